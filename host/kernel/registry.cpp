// The registry on the host: one hive per device object, holding the device's driver key and
// the keys below it. Key handles live in the host kernel's object table, so ZwClose closes
// them and a test sees a handle the driver forgot. Values keep their type and bytes exactly as
// set, and ZwQueryValueKey lays them out in the public value-information records, with the
// kernel's answers for buffers that are too small. A hive can be written to a text file and
// read back.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

#include "host_kernel.h"
#include "host_registry.h"
#include "kernel_internal.h"

namespace {

struct RegKey {
  std::u16string name;
  bool isVolatile = false;
  bool deleted = false;
  std::vector<std::pair<std::u16string, HostRegValue>> values;  // in the order first set
  std::vector<std::shared_ptr<RegKey>> subkeys;
};

struct Hive {
  std::shared_ptr<RegKey> driverKey = std::make_shared<RegKey>();
  NTSTATUS openFailure = STATUS_SUCCESS;
};

struct Registry {
  std::mutex lock;
  std::map<const DEVICE_OBJECT *, Hive> hives;
  NTSTATUS createFailure = STATUS_SUCCESS;
  unsigned createFailuresLeft = 0;
  HostRegistryStats stats{};
};

Registry &Reg() {
  static Registry r;
  return r;
}

// What a key handle refers to.
struct KeyObject {
  std::shared_ptr<RegKey> key;
  ACCESS_MASK access;
};

struct _OBJECT_TYPE g_keyType = {"Key"};

void DestroyKeyObject(void *object) { delete static_cast<KeyObject *>(object); }

char16_t Fold(char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - u'a' + u'A') : c; }

bool SameName(const std::u16string &a, const std::u16string &b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) {
           return Fold(x) == Fold(y);
         });
}

std::u16string FromUtf8(const std::string &s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = (unsigned char)s[i];
    uint32_t cp;
    size_t n;
    if (c < 0x80) {
      cp = c, n = 1;
    } else if ((c >> 5) == 6 && i + 1 < s.size()) {
      cp = (c & 0x1Fu) << 6 | (s[i + 1] & 0x3Fu), n = 2;
    } else if ((c >> 4) == 14 && i + 2 < s.size()) {
      cp = (c & 0x0Fu) << 12 | (s[i + 1] & 0x3Fu) << 6 | (s[i + 2] & 0x3Fu), n = 3;
    } else if ((c >> 3) == 30 && i + 3 < s.size()) {
      cp = (c & 0x07u) << 18 | (s[i + 1] & 0x3Fu) << 12 | (s[i + 2] & 0x3Fu) << 6 | (s[i + 3] & 0x3Fu), n = 4;
    } else {
      cp = 0xFFFD, n = 1;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(char16_t(0xD800 + (cp >> 10)));
      out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(char16_t(cp));
    }
    i += n;
  }
  return out;
}

std::u16string FromUnicodeString(PCUNICODE_STRING s) {
  if (s == NULL || s->Buffer == NULL) {
    return std::u16string();
  }
  return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

std::vector<std::u16string> SplitPath(const std::u16string &path) {
  std::vector<std::u16string> parts;
  std::u16string part;
  for (char16_t c : path) {
    if (c == u'\\') {
      parts.push_back(part);
      part.clear();
    } else {
      part.push_back(c);
    }
  }
  parts.push_back(part);
  return parts;
}

std::shared_ptr<RegKey> FindSubkey(const std::shared_ptr<RegKey> &key, const std::u16string &name) {
  for (const auto &sub : key->subkeys) {
    if (SameName(sub->name, name)) {
      return sub;
    }
  }
  return nullptr;
}

std::pair<std::u16string, HostRegValue> *FindEntry(RegKey &key, const std::u16string &name) {
  for (auto &entry : key.values) {
    if (SameName(entry.first, name)) {
      return &entry;
    }
  }
  return nullptr;
}

HostRegValue *FindValue(RegKey &key, const std::u16string &name) {
  auto *entry = FindEntry(key, name);
  return entry != nullptr ? &entry->second : nullptr;
}

void SetValueLocked(RegKey &key, const std::u16string &name, ULONG type, const std::vector<uint8_t> &data) {
  HostRegValue *v = FindValue(key, name);
  if (v != nullptr) {
    *v = HostRegValue{type, data};
  } else {
    key.values.emplace_back(name, HostRegValue{type, data});
  }
}

Hive &HiveOf(Registry &r, PDEVICE_OBJECT device) { return r.hives[device]; }

// The key at a host path below the driver key; created when create is set.
std::shared_ptr<RegKey> KeyAtPath(Hive &hive, const std::string &path, bool create) {
  std::shared_ptr<RegKey> key = hive.driverKey;
  if (path.empty()) {
    return key;
  }
  for (const std::u16string &part : SplitPath(FromUtf8(path))) {
    std::shared_ptr<RegKey> sub = FindSubkey(key, part);
    if (sub == nullptr) {
      if (!create) {
        return nullptr;
      }
      sub = std::make_shared<RegKey>();
      sub->name = part;
      key->subkeys.push_back(sub);
    }
    key = sub;
  }
  return key;
}

void MarkDeleted(RegKey &key) {
  key.deleted = true;
  for (auto &sub : key.subkeys) {
    MarkDeleted(*sub);
  }
}

// The key a handle refers to, for the registry routine named. The object's reference is held
// only while the key's shared pointer is taken.
NTSTATUS KeyFromHandle(HANDLE handle, const char *routine, std::shared_ptr<RegKey> *key) {
  PVOID object = NULL;
  NTSTATUS status = HostObjects_ReferenceByHandle(handle, &g_keyType, routine, &object);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  *key = static_cast<KeyObject *>(object)->key;
  ObfDereferenceObject(object);
  return (*key)->deleted ? STATUS_KEY_DELETED : STATUS_SUCCESS;
}

// A new handle to key; attributes decide whether it is a kernel handle (OBJ_KERNEL_HANDLE).
HANDLE InsertKeyHandle(const std::shared_ptr<RegKey> &key, ACCESS_MASK access, ULONG attributes) {
  return HostObjects_Insert(&g_keyType, new KeyObject{key, access}, DestroyKeyObject, attributes);
}

// Opens (create false) or opens or creates the key named by ObjectAttributes, relative to its
// root key. As in the kernel, the keys above the last component must exist already.
NTSTATUS OpenOrCreate(const char *routine, PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                      POBJECT_ATTRIBUTES ObjectAttributes, bool create, ULONG CreateOptions, PULONG Disposition) {
  if (KeyHandle == NULL || ObjectAttributes == NULL || ObjectAttributes->ObjectName == NULL) {
    return STATUS_INVALID_PARAMETER;
  }
  if (ObjectAttributes->ObjectName->Length % sizeof(WCHAR) != 0 ||
      ObjectAttributes->ObjectName->Length > ObjectAttributes->ObjectName->MaximumLength) {
    return STATUS_INVALID_PARAMETER;
  }
  if (ObjectAttributes->RootDirectory == NULL) {
    return STATUS_OBJECT_NAME_NOT_FOUND;  // the host registry holds device hives only
  }
  std::shared_ptr<RegKey> key;
  NTSTATUS status = KeyFromHandle(ObjectAttributes->RootDirectory, routine, &key);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  std::u16string name = FromUnicodeString(ObjectAttributes->ObjectName);

  Registry &r = Reg();
  std::lock_guard<std::mutex> guard(r.lock);
  if (create && r.createFailuresLeft > 0) {
    --r.createFailuresLeft;
    return r.createFailure;
  }
  ULONG disposition = REG_OPENED_EXISTING_KEY;
  if (!name.empty()) {
    std::vector<std::u16string> parts = SplitPath(name);
    for (size_t i = 0; i < parts.size(); ++i) {
      if (parts[i].empty()) {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
      }
      std::shared_ptr<RegKey> sub = FindSubkey(key, parts[i]);
      if (sub == nullptr) {
        if (!create || i + 1 != parts.size()) {
          return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        sub = std::make_shared<RegKey>();
        sub->name = parts[i];
        sub->isVolatile = (CreateOptions & REG_OPTION_VOLATILE) != 0 || key->isVolatile;
        key->subkeys.push_back(sub);
        disposition = REG_CREATED_NEW_KEY;
      }
      key = sub;
    }
  }
  if (create) {
    ++r.stats.keyCreates;
    if (disposition == REG_CREATED_NEW_KEY) {
      ++r.stats.keysCreatedNew;
    }
  }
  if (Disposition != NULL) {
    *Disposition = disposition;
  }
  *KeyHandle = InsertKeyHandle(key, DesiredAccess, ObjectAttributes->Attributes);
  return STATUS_SUCCESS;
}

// ---- Hive files -------------------------------------------------------------------------------
// One line per key and per value:
//   key <path>
//   value <path> <name> <type> <data in hex>
// Paths are relative to the driver key, components joined with '\'; in paths and names every
// UTF-16 unit outside '!'..'~', and '%' and '\' themselves, are written as %XXXX.
constexpr const char *kHiveHeader = "TorvaneHive 1";

std::string Escape(const std::u16string &s) {
  std::string out;
  for (char16_t c : s) {
    if (c > u' ' && c <= u'~' && c != u'%' && c != u'\\') {
      out.push_back(char(c));
    } else {
      char buf[8];
      snprintf(buf, sizeof(buf), "%%%04X", unsigned(c));
      out += buf;
    }
  }
  return out;
}

bool Unescape(const std::string &s, std::u16string *out) {
  out->clear();
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out->push_back(char16_t((unsigned char)s[i]));
      continue;
    }
    if (i + 4 >= s.size()) {
      return false;
    }
    unsigned v = 0;
    for (size_t k = 1; k <= 4; ++k) {
      char c = s[i + k];
      v <<= 4;
      if (c >= '0' && c <= '9') {
        v |= unsigned(c - '0');
      } else if (c >= 'A' && c <= 'F') {
        v |= unsigned(c - 'A' + 10);
      } else {
        return false;
      }
    }
    out->push_back(char16_t(v));
    i += 4;
  }
  return true;
}

std::string EscapePath(const std::vector<std::u16string> &parts) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    out += (i ? "\\" : "") + Escape(parts[i]);
  }
  return out;
}

void WriteKey(std::ostream &os, const RegKey &key, std::vector<std::u16string> &path) {
  if (key.isVolatile) {
    return;  // volatile keys do not outlive the session
  }
  if (!path.empty()) {
    os << "key " << EscapePath(path) << "\n";
  }
  for (const auto &entry : key.values) {
    os << "value " << (path.empty() ? "\\" : EscapePath(path)) << " " << Escape(entry.first) << " "
       << entry.second.type << " ";
    static const char kHex[] = "0123456789abcdef";
    for (uint8_t b : entry.second.data) {
      os << kHex[b >> 4] << kHex[b & 15];
    }
    os << (entry.second.data.empty() ? "-" : "") << "\n";
  }
  for (const auto &sub : key.subkeys) {
    path.push_back(sub->name);
    WriteKey(os, *sub, path);
    path.pop_back();
  }
}

bool ParsePath(const std::string &text, std::vector<std::u16string> *parts) {
  parts->clear();
  if (text == "\\") {
    return true;
  }
  std::stringstream ss(text);
  std::string part;
  while (std::getline(ss, part, '\\')) {
    std::u16string name;
    if (part.empty() || !Unescape(part, &name)) {
      return false;
    }
    parts->push_back(name);
  }
  return !parts->empty();
}

std::shared_ptr<RegKey> MakePath(const std::shared_ptr<RegKey> &root, const std::vector<std::u16string> &parts) {
  std::shared_ptr<RegKey> key = root;
  for (const auto &part : parts) {
    std::shared_ptr<RegKey> sub = FindSubkey(key, part);
    if (sub == nullptr) {
      sub = std::make_shared<RegKey>();
      sub->name = part;
      key->subkeys.push_back(sub);
    }
    key = sub;
  }
  return key;
}

bool ParseHex(const std::string &text, std::vector<uint8_t> *data) {
  data->clear();
  if (text == "-") {
    return true;
  }
  if (text.size() % 2 != 0) {
    return false;
  }
  for (size_t i = 0; i < text.size(); i += 2) {
    unsigned v;
    if (sscanf(text.substr(i, 2).c_str(), "%2x", &v) != 1) {
      return false;
    }
    data->push_back(uint8_t(v));
  }
  return true;
}

}  // namespace

// ---- Kernel routines -----------------------------------------------------------------------

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  size_t n = 0;
  if (SourceString != NULL) {
    while (SourceString[n] != 0) {
      ++n;
    }
  }
  // Lengths are 16-bit byte counts; the kernel caps the string rather than wrap.
  if (n > 32766) {
    n = 32766;
  }
  DestinationString->Length = (USHORT)(n * sizeof(WCHAR));
  DestinationString->MaximumLength = SourceString != NULL ? (USHORT)((n + 1) * sizeof(WCHAR)) : 0;
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                       PHANDLE DevInstRegKey) {
  HostIrql_Require(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey");
  if (DeviceObject == NULL || DevInstRegKey == NULL) {
    return STATUS_INVALID_PARAMETER;
  }
  if (DevInstKeyType != PLUGPLAY_REGKEY_DRIVER) {
    return STATUS_INVALID_PARAMETER;  // the host keeps driver keys only
  }
  std::shared_ptr<RegKey> key;
  {
    Registry &r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    Hive &hive = HiveOf(r, DeviceObject);
    if (!NT_SUCCESS(hive.openFailure)) {
      return hive.openFailure;
    }
    key = hive.driverKey;
    ++r.stats.deviceKeyOpens;
  }
  // The I/O manager opens the key as a kernel handle, whatever the caller's process.
  *DevInstRegKey = InsertKeyHandle(key, DesiredAccess, OBJ_KERNEL_HANDLE);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                           ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
  UNREFERENCED_PARAMETER(TitleIndex);
  UNREFERENCED_PARAMETER(Class);
  HostIrql_Require(PASSIVE_LEVEL, "ZwCreateKey");
  return OpenOrCreate("ZwCreateKey", KeyHandle, DesiredAccess, ObjectAttributes, true, CreateOptions, Disposition);
}

NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
  HostIrql_Require(PASSIVE_LEVEL, "ZwOpenKey");
  return OpenOrCreate("ZwOpenKey", KeyHandle, DesiredAccess, ObjectAttributes, false, 0, NULL);
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                               ULONG Length, PULONG ResultLength) {
  HostIrql_Require(PASSIVE_LEVEL, "ZwQueryValueKey");
  if (ResultLength == NULL || (KeyValueInformation == NULL && Length != 0)) {
    return STATUS_INVALID_PARAMETER;
  }
  std::shared_ptr<RegKey> key;
  NTSTATUS status = KeyFromHandle(KeyHandle, "ZwQueryValueKey", &key);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  std::u16string name = FromUnicodeString(ValueName);

  Registry &r = Reg();
  std::lock_guard<std::mutex> guard(r.lock);
  ++r.stats.valueQueries;
  const auto *entry = FindEntry(*key, name);
  if (entry == nullptr) {
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  name = entry->first;  // the name as stored, not as asked for
  const HostRegValue *found = &entry->second;
  ULONG nameBytes = ULONG(name.size() * sizeof(WCHAR));
  ULONG dataBytes = ULONG(found->data.size());

  // Fixed part, whole record, and where the name and data go in it.
  ULONG fixed;
  ULONG total;
  ULONG dataOffset = 0;
  switch (KeyValueInformationClass) {
    case KeyValueBasicInformation:
      fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
      total = fixed + nameBytes;
      break;
    case KeyValueFullInformation:
      fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
      dataOffset = (fixed + nameBytes + sizeof(ULONG) - 1) & ~ULONG(sizeof(ULONG) - 1);
      total = dataOffset + dataBytes;
      break;
    case KeyValuePartialInformation:
      fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
      total = fixed + dataBytes;
      break;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  *ResultLength = total;
  if (Length < fixed) {
    return STATUS_BUFFER_TOO_SMALL;
  }

  // The fixed part is filled in whenever it fits, also when the rest does not.
  uint8_t *out = static_cast<uint8_t *>(KeyValueInformation);
  switch (KeyValueInformationClass) {
    case KeyValueBasicInformation: {
      auto *info = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(out);
      info->TitleIndex = 0;
      info->Type = found->type;
      info->NameLength = nameBytes;
      if (Length >= total) {
        memcpy(out + fixed, name.data(), nameBytes);
      }
      break;
    }
    case KeyValueFullInformation: {
      auto *info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(out);
      info->TitleIndex = 0;
      info->Type = found->type;
      info->DataOffset = dataOffset;
      info->DataLength = dataBytes;
      info->NameLength = nameBytes;
      if (Length >= total) {
        memcpy(out + fixed, name.data(), nameBytes);
        if (dataBytes != 0) {
          memcpy(out + dataOffset, found->data.data(), dataBytes);
        }
      }
      break;
    }
    default: {
      auto *info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(out);
      info->TitleIndex = 0;
      info->Type = found->type;
      info->DataLength = dataBytes;
      if (Length >= total && dataBytes != 0) {
        memcpy(out + fixed, found->data.data(), dataBytes);
      }
      break;
    }
  }
  return Length >= total ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                             ULONG DataSize) {
  UNREFERENCED_PARAMETER(TitleIndex);
  HostIrql_Require(PASSIVE_LEVEL, "ZwSetValueKey");
  if (Data == NULL && DataSize != 0) {
    return STATUS_INVALID_PARAMETER;
  }
  std::shared_ptr<RegKey> key;
  NTSTATUS status = KeyFromHandle(KeyHandle, "ZwSetValueKey", &key);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  const uint8_t *bytes = static_cast<const uint8_t *>(Data);
  std::vector<uint8_t> data(bytes, bytes + DataSize);
  Registry &r = Reg();
  std::lock_guard<std::mutex> guard(r.lock);
  SetValueLocked(*key, FromUnicodeString(ValueName), Type, data);
  ++r.stats.valueSets;
  return STATUS_SUCCESS;
}

// ---- Host controls -------------------------------------------------------------------------

void HostRegistry_SetValue(PDEVICE_OBJECT device, const std::string &keyPath, const std::string &name, ULONG type,
                           const std::vector<uint8_t> &data) {
  Registry &r = Reg();
  std::lock_guard<std::mutex> guard(r.lock);
  SetValueLocked(*KeyAtPath(HiveOf(r, device), keyPath, true), FromUtf8(name), type, data);
}

void HostRegistry_SetDword(PDEVICE_OBJECT device, const std::string &keyPath, const std::string &name,
                           uint32_t value) {
  std::vector<uint8_t> data(4);
  memcpy(data.data(), &value, 4);
  HostRegistry_SetValue(device, keyPath, name, REG_DWORD, data);
}

std::optional<HostRegValue> HostRegistry_GetValue(PDEVICE_OBJECT device, const std::string &keyPath,
                                                  const std::string &name) {
  Registry &r = Reg();
  std::lock_guard<std::mutex> guard(r.lock);
  std::shared_ptr<RegKey> key = KeyAtPath(HiveOf(r, device), keyPath, false);
  const HostRegValue *v = key ? FindValue(*key, FromUtf8(name)) : nullptr;
  if (v == nullptr) {
    return std::nullopt;
  }
  return *v;
}

std::optional<uint32_t> HostRegistry_GetDword(PDEVICE_OBJECT device, const std::string &keyPath,
                                              const std::string &name) {
  std::optional<HostRegValue> v = HostRegistry_GetValue(device, keyPath, name);
  if (!v || v->type != REG_DWORD || v->data.size() != 4) {
    return std::nullopt;
  }
  uint32_t value;
  memcpy(&value, v->data.data(), 4);
  return value;
}

bool HostRegistry_KeyExists(PDEVICE_OBJECT device, const std::string &keyPath) {
  Registry &r = Reg();
  std::lock_guard<std::mutex> guard(r.lock);
  return KeyAtPath(HiveOf(r, device), keyPath, false) != nullptr;
}

std::vector<std::string> HostRegistry_ValueNames(PDEVICE_OBJECT device, const std::string &keyPath) {
  Registry &r = Reg();
  std::lock_guard<std::mutex> guard(r.lock);
  std::vector<std::string> names;
  std::shared_ptr<RegKey> key = KeyAtPath(HiveOf(r, device), keyPath, false);
  if (key) {
    for (const auto &entry : key->values) {
      std::string n;
      for (char16_t c : entry.first) {
        n.push_back(c < 0x80 ? char(c) : '?');
      }
      names.push_back(n);
    }
  }
  return names;
}

void HostRegistry_DeleteKey(PDEVICE_OBJECT device, const std::string &keyPath) {
  if (keyPath.empty()) {
    return;
  }
  Registry &r = Reg();
  std::lock_guard<std::mutex> guard(r.lock);
  Hive &hive = HiveOf(r, device);
  size_t cut = keyPath.rfind('\\');
  std::shared_ptr<RegKey> parent =
      KeyAtPath(hive, cut == std::string::npos ? std::string() : keyPath.substr(0, cut), false);
  if (!parent) {
    return;
  }
  std::u16string name = FromUtf8(cut == std::string::npos ? keyPath : keyPath.substr(cut + 1));
  auto &subs = parent->subkeys;
  for (auto it = subs.begin(); it != subs.end(); ++it) {
    if (SameName((*it)->name, name)) {
      MarkDeleted(**it);
      subs.erase(it);
      return;
    }
  }
}

namespace {

// Reads a hive file into a fresh driver key. Every line, the last one included, ends with a
// newline (a file cut short ends in the middle of a line). False with the reason, and the line
// number where there is one, in *why.
bool ParseHiveFile(const std::string &file, std::shared_ptr<RegKey> *rootOut, std::string *why) {
  std::ifstream f(file, std::ios::binary);
  if (!f) {
    *why = "cannot be opened";
    return false;
  }
  std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (f.bad()) {
    *why = "cannot be read";
    return false;
  }
  const std::string header = std::string(kHiveHeader) + "\n";
  if (text.compare(0, header.size(), header) != 0) {
    *why = "line 1: not a settings hive (it does not begin with \"" + std::string(kHiveHeader) + "\")";
    return false;
  }
  auto root = std::make_shared<RegKey>();
  size_t at = header.size();
  for (unsigned number = 2; at < text.size(); ++number) {
    size_t eol = text.find('\n', at);
    auto bad = [&](const std::string &what) {
      *why = "line " + std::to_string(number) + ": " + what;
      return false;
    };
    if (eol == std::string::npos) {
      return bad("cut short (the file ends in the middle of the line)");
    }
    std::string line = text.substr(at, eol - at);
    at = eol + 1;
    if (line.empty()) {
      continue;
    }
    std::istringstream ls(line);
    std::string kind, pathText;
    ls >> kind >> pathText;
    if (kind != "key" && kind != "value") {
      return bad("neither a key nor a value line");
    }
    std::vector<std::u16string> parts;
    if (!ParsePath(pathText, &parts)) {
      return bad("malformed key path");
    }
    if (kind == "key") {
      MakePath(root, parts);
      continue;
    }
    std::string nameText, hex, rest;
    ULONG type;
    std::u16string name;
    if (!(ls >> nameText >> type >> hex) || !Unescape(nameText, &name) || (ls >> rest)) {
      return bad("malformed value line");
    }
    std::vector<uint8_t> data;
    if (!ParseHex(hex, &data)) {
      return bad("malformed value data");
    }
    SetValueLocked(*MakePath(root, parts), name, type, data);
  }
  *rootOut = root;
  return true;
}

}  // namespace

bool HostRegistry_SaveHive(PDEVICE_OBJECT device, const std::string &file) {
  std::ostringstream os;
  {
    Registry &r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    std::vector<std::u16string> path;
    os << kHiveHeader << "\n";
    WriteKey(os, *HiveOf(r, device).driverKey, path);
  }
  // A temporary file beside the hive, then a rename: the file is the old hive or the new one,
  // never part of one, whatever happens on the way (a crash, a full disk).
  const std::string text = os.str();
  std::string temp = file + ".XXXXXX";
  int fd = mkstemp(temp.data());
  if (fd < 0) {
    return false;
  }
  struct stat old;
  fchmod(fd, stat(file.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644);  // as the file was, or as a new one
  bool ok = true;
  for (size_t done = 0; ok && done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    ok = n > 0;
    done += ok ? size_t(n) : 0;
  }
  ok = fsync(fd) == 0 && ok;
  ok = close(fd) == 0 && ok;
  ok = ok && rename(temp.c_str(), file.c_str()) == 0;
  if (!ok) {
    unlink(temp.c_str());
  }
  return ok;
}

bool HostRegistry_CheckHiveFile(const std::string &file, std::string *why) {
  std::shared_ptr<RegKey> root;
  std::string reason;
  bool ok = ParseHiveFile(file, &root, &reason);
  if (why != nullptr) *why = reason;
  return ok;
}

bool HostRegistry_LoadHive(PDEVICE_OBJECT device, const std::string &file, std::string *why) {
  std::shared_ptr<RegKey> root;
  std::string reason;
  if (!ParseHiveFile(file, &root, &reason)) {
    if (why != nullptr) *why = reason;
    return false;
  }
  Registry &r = Reg();
  std::lock_guard<std::mutex> guard(r.lock);
  Hive &hive = HiveOf(r, device);
  MarkDeleted(*hive.driverKey);  // handles still open on the old hive see it deleted
  hive.driverKey = root;
  return true;
}

void HostRegistry_ForgetDevice(PDEVICE_OBJECT device) {
  Registry &r = Reg();
  std::lock_guard<std::mutex> guard(r.lock);
  auto it = r.hives.find(device);
  if (it != r.hives.end()) {
    MarkDeleted(*it->second.driverKey);
    r.hives.erase(it);
  }
}

void HostRegistry_FailOpen(PDEVICE_OBJECT device, NTSTATUS status) {
  Registry &r = Reg();
  std::lock_guard<std::mutex> guard(r.lock);
  HiveOf(r, device).openFailure = status;
}

void HostRegistry_FailCreateKey(NTSTATUS status, unsigned n) {
  Registry &r = Reg();
  std::lock_guard<std::mutex> guard(r.lock);
  r.createFailure = status;
  r.createFailuresLeft = n;
}

HostRegistryStats HostRegistry_Stats() {
  Registry &r = Reg();
  std::lock_guard<std::mutex> guard(r.lock);
  return r.stats;
}

void HostRegistry_Reset() {
  Registry &r = Reg();
  std::lock_guard<std::mutex> guard(r.lock);
  for (auto &entry : r.hives) {
    MarkDeleted(*entry.second.driverKey);
  }
  r.hives.clear();
  r.createFailure = STATUS_SUCCESS;
  r.createFailuresLeft = 0;
  r.stats = HostRegistryStats{};
}
