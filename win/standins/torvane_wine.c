/* The Windows side of the Wine stage: installs Torvane.sys from its INF as Windows installs a
 * device driver, and drives the camera device through the stand-in stream class's private
 * control interface.
 *
 *   torvane_wine.exe FOLDER
 *
 * FOLDER holds Torvane.inf, Torvane.sys and the stand-in class drivers stream.sys and Kelvane.sys,
 * and the camera input the host recorded: slots.bin (tests/wine/slot_file.h) and format.bin (the
 * capture format).
 * The class drivers go to system32\drivers (their own packages would put them there; the INF's
 * Include/Needs name packages Wine does not have). Then, through setupapi: a device with the
 * camera's hardware id is created and registered, the driver list is built from the INF, the
 * best driver selected and the device installed (files copied, service written and started),
 * after which Wine's Plug and Play manager calls the stream class's AddDevice and starts the
 * device. The program waits for the device, makes the property requests of
 * tests/wine/property_script.h and prints each result, hands the camera its slots, makes the
 * captures of tests/wine/capture_script.h (every read buffer into FOLDER\wine_frames.bin), then
 * removes the device.
 *
 * The program stays alive for the whole run: Wine ends the driver host process a few seconds
 * after the last Windows process has exited. Lines starting "torvane_wine:" go to stdout; exit
 * status 0 when every step ran, 1 otherwise. */
#define UNICODE
#define _UNICODE
#include <windows.h>
#include <setupapi.h>
#include <winioctl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "torvane_ioctl.h"
#include "../../tests/wine/capture_script.h"

static const GUID kImageClass = {0x6bdd1fc6, 0x810f, 0x11d0, {0xbe, 0xc7, 0x08, 0x00, 0x2b, 0xe2, 0x09, 0x2f}};
static const GUID kVideoProcAmp = {0xc6e13360, 0x30ac, 0x11d0, {0xa1, 0x8c, 0x00, 0xa0, 0xc9, 0x11, 0x89, 0x56}};
static const GUID kVideoControl = {0x6a2e0670, 0x28e4, 0x11d0, {0xa1, 0x8c, 0x00, 0xa0, 0xc9, 0x11, 0x89, 0x56}};
static const GUID kPrivate = {0x86ced40f, 0x9209, 0x4f1c, {0xb9, 0x1e, 0xaa, 0xd1, 0x51, 0x21, 0x27, 0x34}};
static const GUID kUnknownSet = {0x12345678, 0x1234, 0x1234, {0x12, 0x34, 0x12, 0x34, 0x12, 0x34, 0x12, 0x34}};

static int Fail(const char *what) {
  printf("torvane_wine: FAILED %s (error %lu)\n", what, (unsigned long)GetLastError());
  fflush(stdout);
  return 0;
}

/* Copies FOLDER\name to system32\drivers\name. */
static int InstallClassDriver(const wchar_t *folder, const wchar_t *name) {
  wchar_t from[MAX_PATH], to[MAX_PATH], system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  swprintf(from, MAX_PATH, L"%ls\\%ls", folder, name);
  swprintf(to, MAX_PATH, L"%ls\\drivers\\%ls", system, name);
  if (!CopyFileW(from, to, FALSE)) return Fail("copying a class driver to system32\\drivers");
  printf("torvane_wine: %ls copied to %ls\n", name, to);
  return 1;
}

static HDEVINFO g_set = INVALID_HANDLE_VALUE;
static SP_DEVINFO_DATA g_device;

/* A run that ended early leaves its device installed: removed first, so that each run starts
 * with one camera. */
static void RemoveStaleDevices(void) {
  HDEVINFO set = SetupDiGetClassDevsW(&kImageClass, NULL, NULL, 0);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA device;
  device.cbSize = sizeof(device);
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    wchar_t ids[256];
    memset(ids, 0, sizeof(ids));
    if (SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, NULL, (BYTE *)ids, sizeof(ids) - 4, NULL) &&
        _wcsicmp(ids, L"USB\\VID_1209&PID_0001") == 0 && SetupDiCallClassInstaller(DIF_REMOVE, set, &device)) {
      printf("torvane_wine: removed a camera device left by an earlier run\n");
    }
  }
  SetupDiDestroyDeviceInfoList(set);
}

/* The camera device an earlier run left installed, in g_set/g_device; 0 when there is none. */
static int FindInstalledDevice(void) {
  g_set = SetupDiGetClassDevsW(&kImageClass, NULL, NULL, 0);
  if (g_set == INVALID_HANDLE_VALUE) return 0;
  g_device.cbSize = sizeof(g_device);
  for (DWORD i = 0; SetupDiEnumDeviceInfo(g_set, i, &g_device); ++i) {
    wchar_t ids[256];
    memset(ids, 0, sizeof(ids));
    if (SetupDiGetDeviceRegistryPropertyW(g_set, &g_device, SPDRP_HARDWAREID, NULL, (BYTE *)ids, sizeof(ids) - 4, NULL) &&
        _wcsicmp(ids, L"USB\\VID_1209&PID_0001") == 0) {
      return 1;
    }
  }
  SetupDiDestroyDeviceInfoList(g_set);
  g_set = INVALID_HANDLE_VALUE;
  return 0;
}

/* The driver of the INF selected for g_device and the device installed (which starts it). */
static int InstallDriver(const wchar_t *inf) {
  SP_DEVINSTALL_PARAMS_W params;
  memset(&params, 0, sizeof(params));
  params.cbSize = sizeof(params);
  if (!SetupDiGetDeviceInstallParamsW(g_set, &g_device, &params)) return Fail("SetupDiGetDeviceInstallParams");
  wcsncpy(params.DriverPath, inf, MAX_PATH - 1);
  params.Flags |= DI_ENUMSINGLEINF;
  if (!SetupDiSetDeviceInstallParamsW(g_set, &g_device, &params)) return Fail("SetupDiSetDeviceInstallParams");
  if (!SetupDiBuildDriverInfoList(g_set, &g_device, SPDIT_COMPATDRIVER)) return Fail("SetupDiBuildDriverInfoList");
  /* SetupDiSelectBestCompatDrv rather than SetupDiSetSelectedDriver, which Wine does not have. */
  if (!SetupDiSelectBestCompatDrv(g_set, &g_device)) return Fail("SetupDiSelectBestCompatDrv (no driver in the INF matches)");
  printf("torvane_wine: driver selected from %ls\n", inf);
  if (!SetupDiCallClassInstaller(DIF_INSTALLDEVICE, g_set, &g_device)) return Fail("DIF_INSTALLDEVICE");
  printf("torvane_wine: device installed\n");
  fflush(stdout);
  return 1;
}

static int InstallDevice(const wchar_t *folder) {
  static const wchar_t hardwareId[] = L"USB\\VID_1209&PID_0001\0";
  wchar_t inf[MAX_PATH];
  swprintf(inf, MAX_PATH, L"%ls\\Torvane.inf", folder);

  g_set = SetupDiCreateDeviceInfoList(&kImageClass, NULL);
  if (g_set == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDeviceInfoList");
  memset(&g_device, 0, sizeof(g_device));
  g_device.cbSize = sizeof(g_device);
  if (!SetupDiCreateDeviceInfoW(g_set, L"IMAGE", &kImageClass, L"Torvane USB Camera", NULL, DICD_GENERATE_ID,
                                &g_device)) {
    return Fail("SetupDiCreateDeviceInfo");
  }
  if (!SetupDiSetDeviceRegistryPropertyW(g_set, &g_device, SPDRP_HARDWAREID, (const BYTE *)hardwareId,
                                         sizeof(hardwareId))) {
    return Fail("setting the hardware id");
  }
  if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, g_set, &g_device)) return Fail("DIF_REGISTERDEVICE");
  printf("torvane_wine: device registered with hardware id USB\\VID_1209&PID_0001\n");

  return InstallDriver(inf);
}

/* The settings the driver saved, where Windows keeps them: the "Settings" key under the device's
 * driver key (what IoOpenDeviceRegistryKey's PLUGPLAY_REGKEY_DRIVER opens), read through setupapi. */
static void ShowSavedSettings(void) {
  HKEY driverKey = SetupDiOpenDevRegKey(g_set, &g_device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
  HKEY settings;
  if (driverKey == INVALID_HANDLE_VALUE) {
    Fail("opening the device's driver key");
    return;
  }
  if (RegOpenKeyExW(driverKey, L"Settings", 0, KEY_READ, &settings) != ERROR_SUCCESS) {
    printf("torvane_wine: no Settings key under the driver key\n");
    RegCloseKey(driverKey);
    return;
  }
  for (DWORD i = 0;; ++i) {
    wchar_t name[64];
    DWORD nameSize = 64, type = 0, value = 0, size = sizeof(value);
    if (RegEnumValueW(settings, i, name, &nameSize, NULL, &type, (BYTE *)&value, &size) != ERROR_SUCCESS) break;
    printf("settings %ls = %lu%s\n", name, (unsigned long)value, type == REG_DWORD ? "" : " (not REG_DWORD)");
  }
  RegCloseKey(settings);
  RegCloseKey(driverKey);
}

static void RemoveDevice(void) {
  if (g_set == INVALID_HANDLE_VALUE) return;
  if (SetupDiCallClassInstaller(DIF_REMOVE, g_set, &g_device)) {
    printf("torvane_wine: device removed\n");
  } else {
    Fail("DIF_REMOVE");
  }
  SetupDiDestroyDeviceInfoList(g_set);
  g_set = INVALID_HANDLE_VALUE;
}

/* The stream class's device appears once the device has started. */
static HANDLE OpenCamera(void) {
  for (int i = 0; i < 200; ++i) {
    HANDLE h = CreateFileW(TORVANE_USER_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (h != INVALID_HANDLE_VALUE) return h;
    Sleep(50);
  }
  Fail("opening the camera device (it did not appear within 10 s)");
  return INVALID_HANDLE_VALUE;
}

static int DeviceInfo(HANDLE camera) {
  TORVANE_DEVICE_INFO info;
  DWORD bytes = 0;
  if (!DeviceIoControl(camera, IOCTL_TORVANE_DEVICE_INFO, NULL, 0, &info, sizeof(info), &bytes, NULL)) {
    return Fail("IOCTL_TORVANE_DEVICE_INFO");
  }
  printf("torvane_wine: device started %lu, arrival status 0x%08lx, %lu stream(s), %lu device property set(s)\n",
         (unsigned long)info.started, (unsigned long)info.arrivalStatus, (unsigned long)info.numberOfStreams,
         (unsigned long)info.propertySetCount);
  return info.started != 0;
}

static void PutWords(unsigned char *record, unsigned long size, const long *words) {
  for (unsigned long w = 0; w < 3; ++w) {
    if (24 + 4 * (w + 1) <= size) memcpy(record + 24 + 4 * w, &words[w], 4);
  }
}

/* One property request, printed as "property NAME: status S bytes N reply BYTES". */
static int RunProperty(HANDLE camera, const TorvanePropertyStep *step) {
  unsigned char in[512], out[512];
  const GUID *set = step->set == TORVANE_SET_VIDEOPROCAMP   ? &kVideoProcAmp
                    : step->set == TORVANE_SET_VIDEOCONTROL ? &kVideoControl
                    : step->set == TORVANE_SET_PRIVATE      ? &kPrivate
                                                            : &kUnknownSet;
  TORVANE_PROPERTY_IN header = {step->propertySize, step->dataSize};
  unsigned char *property = in + sizeof(header);
  unsigned char *data = property + step->propertySize;
  memset(in, 0, sizeof(in));
  memcpy(in, &header, sizeof(header));
  memcpy(property, set, sizeof(GUID));
  memcpy(property + 16, &step->id, 4);
  memcpy(property + 20, &step->flags, 4);
  PutWords(property, step->propertySize, step->words);
  /* A set's buffer starts as a copy of its input. */
  if (step->flags == 2) {
    memcpy(data, property, step->dataSize < step->propertySize ? step->dataSize : step->propertySize);
    PutWords(data, step->dataSize, step->words);
  }
  DWORD inSize = sizeof(header) + step->propertySize + (step->flags == 2 ? step->dataSize : 0);
  DWORD outSize = sizeof(TORVANE_PROPERTY_OUT) + step->dataSize, bytes = 0;
  if (!DeviceIoControl(camera, IOCTL_TORVANE_PROPERTY, in, inSize, out, outSize, &bytes, NULL)) {
    return Fail("IOCTL_TORVANE_PROPERTY");
  }
  TORVANE_PROPERTY_OUT result;
  memcpy(&result, out, sizeof(result));
  printf("property %s: status 0x%08lx bytes %lu reply", step->name, (unsigned long)result.status,
         (unsigned long)result.bytes);
  for (DWORD i = sizeof(result); i < bytes; ++i) printf(" %02x", out[i]);
  printf("\n");
  return 1;
}

static int RunProperties(HANDLE camera) {
  for (size_t s = 0; s < sizeof(kTorvanePropertyScript) / sizeof(kTorvanePropertyScript[0]); ++s) {
    if (!RunProperty(camera, &kTorvanePropertyScript[s])) return 0;
  }
  fflush(stdout);
  return 1;
}

/* The whole file, or NULL. */
static unsigned char *ReadWhole(const wchar_t *folder, const wchar_t *name, DWORD *size) {
  wchar_t path[MAX_PATH];
  swprintf(path, MAX_PATH, L"%ls\\%ls", folder, name);
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return NULL;
  *size = GetFileSize(file, NULL);
  unsigned char *bytes = (unsigned char *)malloc(*size + 1);
  DWORD got = 0;
  if (bytes == NULL || !ReadFile(file, bytes, *size, &got, NULL) || got != *size) {
    free(bytes);
    bytes = NULL;
  }
  CloseHandle(file);
  return bytes;
}

static LONG StatusCall(HANDLE camera, DWORD code, const void *in, DWORD inSize) {
  LONG status = 0;
  DWORD bytes = 0;
  if (!DeviceIoControl(camera, code, (void *)in, inSize, &status, sizeof(status), &bytes, NULL)) {
    Fail("a stream request");
    return (LONG)0xC0000001;
  }
  return status;
}

/* The captures of a script of tests/wine/capture_script.h; every read buffer goes to FOLDER\FRAMES. */
static int Capture(HANDLE camera, const wchar_t *folder, const TorvaneCaptureStep *script, size_t steps,
                   const wchar_t *frames) {
  DWORD slotsSize = 0, formatSize = 0;
  unsigned char *slots = ReadWhole(folder, L"slots.bin", &slotsSize);
  unsigned char *format = ReadWhole(folder, L"format.bin", &formatSize);
  if (slots == NULL || format == NULL) return Fail("reading slots.bin and format.bin");
  LONG status;

  wchar_t path[MAX_PATH];
  swprintf(path, MAX_PATH, L"%ls\\%ls", folder, frames);
  HANDLE out = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  if (out == INVALID_HANDLE_VALUE) return Fail("creating wine_frames.bin");
  unsigned char *request = (unsigned char *)malloc(sizeof(TORVANE_STREAM_IN) + formatSize);
  unsigned char *reply = (unsigned char *)malloc(sizeof(TORVANE_READ_OUT) + TORVANE_CAPTURE_BUFFER);
  unsigned frame = 0;
  int ok = 1;
  for (size_t i = 0; ok && i < steps; ++i) {
    const TorvaneCaptureStep *step = &script[i];
    TORVANE_STREAM_IN in = {0, step->value};
    switch (step->action) {
      case TORVANE_CAPTURE_OPEN: {
        status = StatusCall(camera, IOCTL_TORVANE_CAMERA_INPUT, slots, slotsSize);
        if (status < 0) {
          printf("torvane_wine: camera input of %lu bytes: status 0x%08lx\n", (unsigned long)slotsSize,
                 (unsigned long)status);
          ok = 0;
          break;
        }
        memcpy(request, &in, sizeof(in));
        memcpy(request + sizeof(in), format, formatSize);
        status = StatusCall(camera, IOCTL_TORVANE_OPEN_STREAM, request, sizeof(in) + formatSize);
        printf("stream open: status 0x%08lx\n", (unsigned long)status);
        if (status < 0) ok = 0;
        /* The output format the class library allocates the bandwidth with. */
        if (ok && TorvaneAllocationFormat(step->value, request + sizeof(in), formatSize) != 0) {
          status = StatusCall(camera, IOCTL_TORVANE_ALLOCATION_FORMAT, request, sizeof(in) + formatSize);
          if (status < 0) ok = Fail("setting the allocation format");
        }
        break;
      }
      case TORVANE_CAPTURE_STATE:
        printf("stream state %lu: status 0x%08lx\n", (unsigned long)step->value,
               (unsigned long)StatusCall(camera, IOCTL_TORVANE_STREAM_STATE, &in, sizeof(in)));
        break;
      case TORVANE_CAPTURE_PROPERTY:
        ok = RunProperty(camera, &step->property);
        break;
      case TORVANE_CAPTURE_READS:
        for (unsigned long k = 0; ok && k < step->value; ++k) {
          TORVANE_READ_OUT result;
          DWORD got = 0, written = 0;
          in.value = TORVANE_CAPTURE_BUFFER;
          if (!DeviceIoControl(camera, IOCTL_TORVANE_READ, &in, sizeof(in), reply, sizeof(result) + TORVANE_CAPTURE_BUFFER,
                               &got, NULL) ||
              got != sizeof(result) + TORVANE_CAPTURE_BUFFER) {
            ok = Fail("a read");
            break;
          }
          memcpy(&result, reply, sizeof(result));
          printf("frame %u: status 0x%08lx dataUsed %lu time %lld\n", ++frame, (unsigned long)result.status,
                 (unsigned long)result.dataUsed,
                 (result.optionsFlags & 0x10) != 0 ? (long long)result.presentationTime : -1LL); /* TIMEVALID */
          WriteFile(out, reply + sizeof(result), TORVANE_CAPTURE_BUFFER, &written, NULL);
          if (result.status < 0) ok = 0; /* no frame came: the stream is stopped and closed */
        }
        break;
      case TORVANE_CAPTURE_CLOSE:
        printf("stream close: status 0x%08lx\n",
               (unsigned long)StatusCall(camera, IOCTL_TORVANE_CLOSE_STREAM, &in, sizeof(in)));
        break;
    }
  }
  if (!ok) {
    /* Whatever stream is still open is stopped and closed. */
    TORVANE_STREAM_IN in = {0, 0};
    StatusCall(camera, IOCTL_TORVANE_STREAM_STATE, &in, sizeof(in));
    StatusCall(camera, IOCTL_TORVANE_CLOSE_STREAM, &in, sizeof(in));
  }
  CloseHandle(out);
  fflush(stdout);
  free(reply);
  free(request);
  free(slots);
  free(format);
  return ok;
}

/* ---- camsim --kernel wine -------------------------------------------------------------------
 * FOLDER --camsim: one camsim run. Besides the INF, the drivers and slots.bin, FOLDER holds
 * format.bin (the stream's format), allocation.bin (the format the class library allocates the
 * bandwidth with, when it is not the stream's own), camsim.txt ("NAME VALUE" lines: frames,
 * buffer (the read buffer's size), still-every, button-every, brightness, contrast, saturation,
 * sharpness) and
 * settings_in.txt ("NAME VALUE" lines, DWORDs that go under the driver key's Settings before
 * the stream opens). Every read goes into camsim_frames.bin as TORVANE_READ_OUT, the frame log's
 * byte count (ULONG) and its TORVANE_RAW_FRAME records since the read before, then the buffer;
 * "frame N" lines on stdout follow the reads; a file FOLDER\stop (camsim was interrupted) ends
 * them early, and the run stops as usual. Once the stream has stopped, the frame log's last
 * records go into camsim_log_end.bin. At the end the driver key's Settings go into
 * settings_out.txt and the device is removed. */

/* "NAME VALUE" of a camsim.txt line, or the default. */
static long RunValue(const char *text, const char *name, long otherwise) {
  size_t n = strlen(name);
  for (const char *line = text; line != NULL && *line != 0;) {
    if (strncmp(line, name, n) == 0 && line[n] == ' ') return strtol(line + n + 1, NULL, 10);
    line = strchr(line, '\n');
    if (line != NULL) ++line;
  }
  return otherwise;
}

/* settings_in.txt's values under the driver key's Settings. */
static int PutSettings(const wchar_t *folder) {
  DWORD size = 0;
  char *text = (char *)ReadWhole(folder, L"settings_in.txt", &size);
  if (text == NULL) return 1; /* none to put */
  text[size] = 0;
  HKEY driverKey = SetupDiOpenDevRegKey(g_set, &g_device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_ALL_ACCESS);
  HKEY settings;
  int ok = driverKey != INVALID_HANDLE_VALUE;
  if (!ok) Fail("opening the device's driver key");
  if (ok && RegCreateKeyExW(driverKey, L"Settings", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &settings, NULL) != ERROR_SUCCESS) {
    ok = Fail("creating the Settings key");
  }
  for (char *line = text; ok && line != NULL && *line != 0;) {
    char name[64];
    unsigned long value;
    if (sscanf(line, "%63s %lu", name, &value) == 2) {
      DWORD dword = (DWORD)value;
      ok = RegSetValueExA(settings, name, 0, REG_DWORD, (const BYTE *)&dword, sizeof(dword)) == ERROR_SUCCESS ||
           Fail("writing a setting");
      printf("torvane_wine: setting %s = %lu put in the driver key\n", name, value);
    }
    line = strchr(line, '\n');
    if (line != NULL) ++line;
  }
  if (driverKey != INVALID_HANDLE_VALUE) {
    RegCloseKey(settings);
    RegCloseKey(driverKey);
  }
  free(text);
  return ok;
}

/* The driver key's Settings as "NAME VALUE" lines in FOLDER\settings_out.txt (REG_DWORD only). */
static void TakeSettings(const wchar_t *folder) {
  wchar_t path[MAX_PATH];
  swprintf(path, MAX_PATH, L"%ls\\settings_out.txt", folder);
  FILE *out = _wfopen(path, L"w");
  HKEY driverKey = SetupDiOpenDevRegKey(g_set, &g_device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
  HKEY settings;
  if (out == NULL) return;
  if (driverKey != INVALID_HANDLE_VALUE && RegOpenKeyExW(driverKey, L"Settings", 0, KEY_READ, &settings) == ERROR_SUCCESS) {
    for (DWORD i = 0;; ++i) {
      char name[64];
      DWORD nameSize = 64, type = 0, value = 0, size = sizeof(value);
      if (RegEnumValueA(settings, i, name, &nameSize, NULL, &type, (BYTE *)&value, &size) != ERROR_SUCCESS) break;
      if (type == REG_DWORD) fprintf(out, "%s %lu\n", name, (unsigned long)value);
    }
    RegCloseKey(settings);
  }
  if (driverKey != INVALID_HANDLE_VALUE) RegCloseKey(driverKey);
  fclose(out);
}

static int CamsimRun(HANDLE camera, const wchar_t *folder) {
  DWORD runSize = 0, slotsSize = 0, formatSize = 0, allocationSize = 0;
  char *run = (char *)ReadWhole(folder, L"camsim.txt", &runSize);
  unsigned char *slots = ReadWhole(folder, L"slots.bin", &slotsSize);
  unsigned char *format = ReadWhole(folder, L"format.bin", &formatSize);
  unsigned char *allocation = ReadWhole(folder, L"allocation.bin", &allocationSize);
  if (run == NULL || slots == NULL || format == NULL) return Fail("reading camsim.txt, slots.bin and format.bin");
  run[runSize] = 0;
  const long frames = RunValue(run, "frames", 1), bufferSize = RunValue(run, "buffer", 0);
  const long stillEvery = RunValue(run, "still-every", 0), buttonEvery = RunValue(run, "button-every", 0);
  static const char *const kControls[4] = {"brightness", "contrast", "saturation", "sharpness"};
  static const unsigned long kControlIds[4] = {0, 1, 3, 4};

  wchar_t path[MAX_PATH];
  swprintf(path, MAX_PATH, L"%ls\\camsim_frames.bin", folder);
  HANDLE out = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  unsigned char *request = (unsigned char *)malloc(sizeof(TORVANE_STREAM_IN) + formatSize + allocationSize);
  unsigned char *reply = (unsigned char *)malloc(sizeof(TORVANE_READ_OUT) + (bufferSize > 0 ? bufferSize : 1));
  unsigned char log[sizeof(LONG) + TORVANE_RAW_FRAME_LOG * sizeof(TORVANE_RAW_FRAME)];
  int ok = out != INVALID_HANDLE_VALUE && request != NULL && reply != NULL && bufferSize > 0;
  if (!ok) Fail("making camsim_frames.bin");
  TORVANE_STREAM_IN in = {0, 0};
  LONG status = 0;
  if (ok) {
    status = StatusCall(camera, IOCTL_TORVANE_CAMERA_INPUT, slots, slotsSize);
    printf("camera input: status 0x%08lx\n", (unsigned long)status);
    ok = status >= 0;
  }
  if (ok) {
    memcpy(request, &in, sizeof(in));
    memcpy(request + sizeof(in), format, formatSize);
    status = StatusCall(camera, IOCTL_TORVANE_OPEN_STREAM, request, sizeof(in) + formatSize);
    printf("stream open: status 0x%08lx\n", (unsigned long)status);
    ok = status >= 0;
  }
  int open = ok;
  if (ok && allocation != NULL) {
    memcpy(request + sizeof(in), allocation, allocationSize);
    status = StatusCall(camera, IOCTL_TORVANE_ALLOCATION_FORMAT, request, sizeof(in) + allocationSize);
    ok = status >= 0 || Fail("setting the allocation format");
  }
  /* Bandwidth first (it restores the saved settings), then the picture controls, then run. */
  in.value = 1; /* KSSTATE_ACQUIRE */
  if (ok) {
    status = StatusCall(camera, IOCTL_TORVANE_STREAM_STATE, &in, sizeof(in));
    printf("stream state 1: status 0x%08lx\n", (unsigned long)status);
    ok = status >= 0;
  }
  for (int c = 0; ok && c < 4; ++c) {
    long value = RunValue(run, kControls[c], -1);
    if (value < 0) continue;
    TorvanePropertyStep step = {kControls[c], TORVANE_SET_VIDEOPROCAMP, kControlIds[c], 2, 40, 40, {value, 2, 0}};
    ok = RunProperty(camera, &step);
  }
  for (unsigned long state = 2; ok && state <= 3; ++state) {
    in.value = state;
    status = StatusCall(camera, IOCTL_TORVANE_STREAM_STATE, &in, sizeof(in));
    printf("stream state %lu: status 0x%08lx\n", state, (unsigned long)status);
    ok = status >= 0;
  }
  ULONGLONG seen = 0; /* the newest raw frame index of the frame log */
  wchar_t stop[MAX_PATH];
  swprintf(stop, MAX_PATH, L"%ls\\stop", folder);
  for (long k = 1; ok && k <= frames; ++k) {
    if (GetFileAttributesW(stop) != INVALID_FILE_ATTRIBUTES) {
      printf("torvane_wine: stopped by camsim after %ld frames\n", k - 1);
      break;
    }
    TORVANE_READ_OUT result;
    DWORD got = 0, written = 0, logBytes = 0;
    in.value = (ULONG)bufferSize;
    if (!DeviceIoControl(camera, IOCTL_TORVANE_READ, &in, sizeof(in), reply, sizeof(result) + bufferSize, &got, NULL) ||
        got != sizeof(result) + bufferSize) {
      ok = Fail("a read");
      break;
    }
    memcpy(&result, reply, sizeof(result));
    TORVANE_STREAM_IN since = {0, (ULONG)seen};
    if (!DeviceIoControl(camera, IOCTL_TORVANE_FRAME_LOG, &since, sizeof(since), log, sizeof(log), &logBytes, NULL) ||
        logBytes < sizeof(LONG)) {
      ok = Fail("the frame log");
      break;
    }
    logBytes -= sizeof(LONG);
    if (logBytes >= sizeof(TORVANE_RAW_FRAME)) {
      TORVANE_RAW_FRAME last;
      memcpy(&last, log + sizeof(LONG) + logBytes - sizeof(last), sizeof(last));
      seen = last.index;
    }
    WriteFile(out, &result, sizeof(result), &written, NULL);
    WriteFile(out, &logBytes, sizeof(logBytes), &written, NULL);
    WriteFile(out, log + sizeof(LONG), logBytes, &written, NULL);
    WriteFile(out, reply + sizeof(result), bufferSize, &written, NULL);
    printf("frame %ld: status 0x%08lx dataUsed %lu\n", k, (unsigned long)result.status, (unsigned long)result.dataUsed);
    if (result.status < 0) break; /* the run ends with the failed read */
    if (stillEvery > 0 && k % stillEvery == 0 && k < frames) {
      TorvanePropertyStep still = {"still trigger", TORVANE_SET_VIDEOCONTROL, 3, 2, 32, 32, {1, 8, 0}};
      ok = RunProperty(camera, &still);
    }
    if (ok && buttonEvery > 0 && k % buttonEvery == 0 && k < frames) {
      status = StatusCall(camera, IOCTL_TORVANE_PRESS_BUTTON, NULL, 0);
      printf("button press: status 0x%08lx\n", (unsigned long)status);
      ok = status >= 0;
    }
  }
  if (open) {
    /* Stop (the settings are saved) and close. */
    in.value = 0;
    printf("stream state 0: status 0x%08lx\n", (unsigned long)StatusCall(camera, IOCTL_TORVANE_STREAM_STATE, &in, sizeof(in)));
    /* What the stop cut off. */
    TORVANE_STREAM_IN since = {0, (ULONG)seen};
    DWORD logBytes = 0, written = 0;
    swprintf(path, MAX_PATH, L"%ls\\camsim_log_end.bin", folder);
    HANDLE end = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (end != INVALID_HANDLE_VALUE) {
      if (DeviceIoControl(camera, IOCTL_TORVANE_FRAME_LOG, &since, sizeof(since), log, sizeof(log), &logBytes, NULL) &&
          logBytes >= sizeof(LONG)) {
        WriteFile(end, log + sizeof(LONG), logBytes - sizeof(LONG), &written, NULL);
      }
      CloseHandle(end);
    }
    printf("stream close: status 0x%08lx\n", (unsigned long)StatusCall(camera, IOCTL_TORVANE_CLOSE_STREAM, &in, sizeof(in)));
  }
  if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
  free(reply);
  free(request);
  free(run);
  free(slots);
  free(format);
  free(allocation);
  return ok;
}

int wmain(int argc, wchar_t **argv) {
  /* FOLDER alone: a whole run, the device removed at the end. --keep: the device stays installed
   * (with its driver key) for a next run. --next: the next run, on the device the run before
   * left, which Wine starts again when it starts; the device is removed at the end. */
  const int keep = argc == 3 && wcscmp(argv[2], L"--keep") == 0;
  const int next = argc == 3 && wcscmp(argv[2], L"--next") == 0;
  const int camsim = argc == 3 && wcscmp(argv[2], L"--camsim") == 0;
  if (argc < 2 || argc > 3 || (argc == 3 && !keep && !next && !camsim)) {
    fprintf(stderr, "usage: torvane_wine.exe FOLDER [--keep|--next|--camsim]\n");
    return 2;
  }
  setvbuf(stdout, NULL, _IONBF, 0);  /* every line out at once, whatever happens next */
  int ok;
  if (next) {
    /* Wine's Plug and Play manager starts the installed device again when Wine starts. */
    ok = FindInstalledDevice() || Fail("finding the device the run before left");
    if (ok) printf("torvane_wine: the device the run before installed is there\n");
  } else {
    RemoveStaleDevices();
    ok = InstallClassDriver(argv[1], L"stream.sys") && InstallClassDriver(argv[1], L"Kelvane.sys") &&
         InstallDevice(argv[1]);
  }
  if (ok && camsim) {
    /* The saved settings go in before the device's stream opens; the driver reads them at the
     * bandwidth allocation. */
    ok = PutSettings(argv[1]);
    HANDLE camera = ok ? OpenCamera() : INVALID_HANDLE_VALUE;
    ok = camera != INVALID_HANDLE_VALUE && DeviceInfo(camera) && CamsimRun(camera, argv[1]);
    if (camera != INVALID_HANDLE_VALUE) CloseHandle(camera);
    TakeSettings(argv[1]);
  } else if (ok) {
    HANDLE camera = OpenCamera();
    ok = camera != INVALID_HANDLE_VALUE && DeviceInfo(camera);
    if (ok && next) {
      ok = Capture(camera, argv[1], kTorvaneNextRunScript, sizeof(kTorvaneNextRunScript) / sizeof(kTorvaneNextRunScript[0]),
                   L"wine_frames_next.bin");
    } else if (ok) {
      ok = RunProperties(camera) &&
           Capture(camera, argv[1], kTorvaneCaptureScript, sizeof(kTorvaneCaptureScript) / sizeof(kTorvaneCaptureScript[0]),
                   L"wine_frames.bin");
    }
    if (camera != INVALID_HANDLE_VALUE) CloseHandle(camera);
    ShowSavedSettings();
  }
  if (keep && ok) {
    printf("torvane_wine: device kept for the next run\n");
  } else {
    RemoveDevice();
  }
  printf("torvane_wine: %s\n", ok ? "done" : "FAILED");
  return ok ? 0 : 1;
}
