// Persisted picture settings: REG_DWORD values under the "Settings" subkey of the device's
// driver key. They are loaded, and defaults filled in, at every bandwidth allocation, and
// saved after every successful capture stop, so a stream always starts with what the user
// last chose.
#include "lumarex.h"

// Access asked for the driver key: the settings key below it is opened with its own rights.
#define DRIVER_KEY_ACCESS 0x00020000
// A value name longer than this is no setting of ours (bounds the query buffer's size).
#define MAX_VALUE_NAME_SIZE 512

typedef struct _LUMAREX_SETTING {
  PCWSTR Name;
  ULONG NameSize;    // bytes, with the terminating null
  ULONG PropertyId;  // the VideoProcAmp property that sets it
  LONG Default;      // used when the stored value is missing or outside 0..100
} LUMAREX_SETTING;

// Defined with the other constant tables at the end of the file.
namespace {
extern const WCHAR SettingsKeyName[];
extern const WCHAR CompressionQualityName[];
extern const LUMAREX_SETTING Settings[];
extern const ULONG SettingCount;
extern const ULONG RestoreOrder[];
extern const ULONG RestoreCount;
}  // namespace

// LUMAREX_SettingField - the device-context field of the setting a VideoProcAmp property id
// names, or NULL for an id that names none. Any IRQL.
PLONG LUMAREX_SettingField(PDEVICE_CONTEXT DeviceContext, ULONG PropertyId) {
  switch (PropertyId) {
    case KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS:
      return &DeviceContext->g_nBrightness;
    case KSPROPERTY_VIDEOPROCAMP_CONTRAST:
      return &DeviceContext->g_nContrast;
    case KSPROPERTY_VIDEOPROCAMP_SATURATION:
      return &DeviceContext->g_nSaturation;
    case KSPROPERTY_VIDEOPROCAMP_SHARPNESS:
      return &DeviceContext->g_nSharpness;
    case KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE:
      return &DeviceContext->g_nWhiteBalance;
    default:
      return NULL;
  }
}

// CreateKeyPath - open or create the key Name below Root. A name with backslashes has its
// leading components ("A", then "A\B", ...) created first, each handle closed at once, since
// the registry creates only the last component of a path. The handles are kernel handles:
// settings are read and written on property requests and stream-state changes, which run in
// an application's process. PASSIVE_LEVEL. Returns the status of the last create; *Key is the
// new handle on success.
static NTSTATUS CreateKeyPath(HANDLE Root, PCWSTR Name, PHANDLE Key) {
  UNICODE_STRING path;
  OBJECT_ATTRIBUTES attributes;
  HANDLE handle = NULL;
  USHORT fullLength;
  USHORT i;
  NTSTATUS status = STATUS_SUCCESS;

  RtlInitUnicodeString(&path, Name);
  fullLength = path.Length;
  InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, Root, NULL);
  for (i = 0; i < fullLength / sizeof(WCHAR); ++i) {
    if (Name[i] != LUMAREX_WIDE('\\')) {
      continue;
    }
    path.Length = (USHORT)(i * sizeof(WCHAR));
    status = ZwCreateKey(&handle, KEY_ALL_ACCESS, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE, NULL);
    if (!NT_SUCCESS(status)) {
      goto Exit;
    }
    ZwClose(handle);
    handle = NULL;
  }
  path.Length = fullLength;
  status = ZwCreateKey(&handle, KEY_ALL_ACCESS, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE, NULL);
  if (NT_SUCCESS(status)) {
    *Key = handle;
  }

Exit:
  return status;
}

// LUMAREX_OpenSettingsKey - open the device's driver key and open or create "Settings" below
// it. On success the caller closes both handles. PASSIVE_LEVEL. Returns the failure of either
// step (nothing is left open then) or STATUS_SUCCESS.
NTSTATUS LUMAREX_OpenSettingsKey(PDEVICE_CONTEXT DeviceContext, PHANDLE DriverKey, PHANDLE SettingsKey) {
  HANDLE driverKey = NULL;
  NTSTATUS status;

  if (DeviceContext->g_pPhysicalDeviceObject == NULL) {
    status = STATUS_INVALID_PARAMETER;  // not initialised: there is no device key yet
    goto Exit;
  }
  status = IoOpenDeviceRegistryKey(DeviceContext->g_pPhysicalDeviceObject, PLUGPLAY_REGKEY_DRIVER,
                                   DRIVER_KEY_ACCESS, &driverKey);
  if (!NT_SUCCESS(status)) {
    goto Exit;
  }
  status = CreateKeyPath(driverKey, SettingsKeyName, SettingsKey);
  if (!NT_SUCCESS(status)) {
    ZwClose(driverKey);
    goto Exit;
  }
  *DriverKey = driverKey;

Exit:
  return status;
}

// LUMAREX_QuerySettingValue - read the value ValueName (NameSize bytes with its null) into
// *Destination. Only data of at most 4 bytes is copied, to the low bytes of *Destination; a
// value of another type is taken as it is. Longer data, a missing value or a failed query
// leave *Destination alone. PASSIVE_LEVEL. Returns the query's status,
// STATUS_BUFFER_OVERFLOW for data longer than 4 bytes, or STATUS_INSUFFICIENT_RESOURCES.
NTSTATUS LUMAREX_QuerySettingValue(HANDLE KeyHandle, PCWSTR ValueName, ULONG NameSize, PLONG Destination) {
  PKEY_VALUE_FULL_INFORMATION info = NULL;
  UNICODE_STRING name;
  ULONG size;
  ULONG resultLength = 0;
  NTSTATUS status;

  if (NameSize > MAX_VALUE_NAME_SIZE) {
    status = STATUS_INVALID_PARAMETER;
    goto Exit;
  }
  // The record, the name and room for 4 bytes of data.
  size = sizeof(KEY_VALUE_FULL_INFORMATION) + NameSize + sizeof(LONG);
  info = (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolWithTag(PagedPool, size, LUMAREX_POOL_TAG);
  if (info == NULL) {
    status = STATUS_INSUFFICIENT_RESOURCES;
    goto Exit;
  }
  RtlInitUnicodeString(&name, ValueName);
  status = ZwQueryValueKey(KeyHandle, &name, KeyValueFullInformation, info, size, &resultLength);
  if (!NT_SUCCESS(status)) {
    goto Exit;
  }
  // The buffer can hold a little more than 4 bytes of data behind a short name; more than the
  // field holds would run into the next field.
  if (info->DataLength > sizeof(LONG) || info->DataOffset > size || info->DataLength > size - info->DataOffset) {
    status = STATUS_BUFFER_OVERFLOW;
    goto Exit;
  }
  RtlCopyMemory(Destination, (PUCHAR)info + info->DataOffset, info->DataLength);

Exit:
  if (info != NULL) {
    ExFreePool(info);
    info = NULL;
  }
  return status;
}

// LUMAREX_WriteSettingValue - store Value as the REG_DWORD ValueName. PASSIVE_LEVEL. Returns
// the write's status.
NTSTATUS LUMAREX_WriteSettingValue(HANDLE KeyHandle, PCWSTR ValueName, LONG Value) {
  UNICODE_STRING name;

  RtlInitUnicodeString(&name, ValueName);
  return ZwSetValueKey(KeyHandle, &name, 0, REG_DWORD, &Value, sizeof(Value));
}

// LUMAREX_LoadSettings - read the five stored picture settings into the device context; a
// setting whose value cannot be read keeps what the field held. PASSIVE_LEVEL. Returns FALSE
// when the settings key cannot be opened (nothing is read), else TRUE.
BOOLEAN LUMAREX_LoadSettings(PDEVICE_CONTEXT DeviceContext) {
  HANDLE driverKey = NULL;
  HANDLE settingsKey = NULL;
  ULONG i;

  if (!NT_SUCCESS(LUMAREX_OpenSettingsKey(DeviceContext, &driverKey, &settingsKey))) {
    return FALSE;
  }
  for (i = 0; i < SettingCount; ++i) {
    LUMAREX_QuerySettingValue(settingsKey, Settings[i].Name, Settings[i].NameSize,
                              LUMAREX_SettingField(DeviceContext, Settings[i].PropertyId));
  }
  ZwClose(settingsKey);
  ZwClose(driverKey);
  return TRUE;
}

// LUMAREX_ApplySetting - what a VideoProcAmp set does to a setting: store Value when it is in
// 0..100 (else keep the setting), then run the single-setting save. PASSIVE_LEVEL. Returns
// the save's result, or STATUS_NOT_SUPPORTED for an id that names no setting.
NTSTATUS LUMAREX_ApplySetting(PDEVICE_CONTEXT DeviceContext, ULONG PropertyId, LONG Value) {
  PLONG field = LUMAREX_SettingField(DeviceContext, PropertyId);

  if (field == NULL) {
    return STATUS_NOT_SUPPORTED;
  }
  if (Value >= LUMAREX_SETTING_MIN && Value <= LUMAREX_SETTING_MAX) {
    // The raw-frame callback takes its snapshot of the settings on another thread.
    InterlockedExchange(field, Value);
  }
  return LUMAREX_SaveSetting(DeviceContext, PropertyId);
}

// LUMAREX_RestoreSettings - load the stored settings and apply them, a default standing in
// for any that is missing or out of range. Called by bandwidth allocation at PASSIVE_LEVEL.
// Returns STATUS_SUCCESS.
NTSTATUS LUMAREX_RestoreSettings(PDEVICE_OBJECT BusDeviceObject, PDEVICE_CONTEXT DeviceContext) {
  const LUMAREX_SETTING *setting;
  PLONG field;
  LONG value;
  ULONG i;

  UNREFERENCED_PARAMETER(BusDeviceObject);
  // -1 marks a setting the load did not reach; a short value replaces only its low bytes.
  for (i = 0; i < SettingCount; ++i) {
    *LUMAREX_SettingField(DeviceContext, Settings[i].PropertyId) = -1;
  }
  LUMAREX_LoadSettings(DeviceContext);
  for (i = 0; i < RestoreCount; ++i) {
    setting = &Settings[RestoreOrder[i]];
    field = LUMAREX_SettingField(DeviceContext, setting->PropertyId);
    value = *field;
    if (value < LUMAREX_SETTING_MIN || value > LUMAREX_SETTING_MAX) {
      value = setting->Default;
    }
    LUMAREX_ApplySetting(DeviceContext, setting->PropertyId, value);
  }
  return STATUS_SUCCESS;
}

// LUMAREX_SaveSettings - write the five picture settings and the compression quality. Called
// by capture stop at PASSIVE_LEVEL. Returns LUMAREX_SAVE_SUCCESS, or the failure status of the
// key's open; failures of single writes are not reported.
NTSTATUS LUMAREX_SaveSettings(PDEVICE_OBJECT BusDeviceObject, PDEVICE_CONTEXT DeviceContext) {
  HANDLE driverKey = NULL;
  HANDLE settingsKey = NULL;
  NTSTATUS status;
  ULONG i;

  UNREFERENCED_PARAMETER(BusDeviceObject);
  status = LUMAREX_OpenSettingsKey(DeviceContext, &driverKey, &settingsKey);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  for (i = 0; i < SettingCount; ++i) {
    LUMAREX_WriteSettingValue(settingsKey, Settings[i].Name,
                              *LUMAREX_SettingField(DeviceContext, Settings[i].PropertyId));
  }
  LUMAREX_WriteSettingValue(settingsKey, CompressionQualityName, DeviceContext->g_nCompressionQuality);
  ZwClose(settingsKey);
  ZwClose(driverKey);
  return LUMAREX_SAVE_SUCCESS;
}

// LUMAREX_SaveSetting - the save run after a single setting changes. The picture settings are
// written at capture stop, so this only opens the settings key (creating it on first use) and
// closes it again. PASSIVE_LEVEL. Returns LUMAREX_SAVE_SUCCESS, or the failure status of the
// key's open.
NTSTATUS LUMAREX_SaveSetting(PDEVICE_CONTEXT DeviceContext, ULONG Setting) {
  HANDLE driverKey = NULL;
  HANDLE settingsKey = NULL;
  NTSTATUS status;

  UNREFERENCED_PARAMETER(Setting);
  status = LUMAREX_OpenSettingsKey(DeviceContext, &driverKey, &settingsKey);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  ZwClose(settingsKey);
  ZwClose(driverKey);
  return LUMAREX_SAVE_SUCCESS;
}

// ---- Constant tables ---------------------------------------------------------------------------

namespace {
const WCHAR SettingsKeyName[] = LUMAREX_WIDE("Settings");
const WCHAR CompressionQualityName[] = LUMAREX_WIDE("CompressionQuality");

// In the order they are loaded and saved.
const LUMAREX_SETTING Settings[] = {
    {LUMAREX_WIDE("Brightness"), sizeof(LUMAREX_WIDE("Brightness")), KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 50},
    {LUMAREX_WIDE("Contrast"), sizeof(LUMAREX_WIDE("Contrast")), KSPROPERTY_VIDEOPROCAMP_CONTRAST, 50},
    {LUMAREX_WIDE("Saturation"), sizeof(LUMAREX_WIDE("Saturation")), KSPROPERTY_VIDEOPROCAMP_SATURATION, 50},
    {LUMAREX_WIDE("Sharpness"), sizeof(LUMAREX_WIDE("Sharpness")), KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 20},
    {LUMAREX_WIDE("WhiteBalance"), sizeof(LUMAREX_WIDE("WhiteBalance")), KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 50},
};
const ULONG SettingCount = ARRAYSIZE(Settings);

// Indexes into Settings in the order a restore applies them: brightness, white balance,
// contrast, saturation, sharpness.
const ULONG RestoreOrder[] = {0, 4, 1, 2, 3};
const ULONG RestoreCount = ARRAYSIZE(RestoreOrder);
}  // namespace
