// Fuzz target: the device's persisted picture settings. The "Settings" key holds values of
// any type, size and contents (or is missing, or the driver key cannot be opened); the
// settings are loaded at bandwidth allocation, changed by VideoProcAmp sets, and saved at stop.
//
// Input: byte 0 (bit 0 no "Settings" key, bit 1 the driver key cannot be opened, bits 2-3 the
// number of VideoProcAmp sets); then for each of the six values in turn a type byte (0 missing,
// 1 REG_DWORD, 2 REG_BINARY, 3 REG_SZ, any other the byte itself as the type), a length byte
// (0 to 64) and the data; then the sets, each an id byte and a 32-bit value.
//
// Checked: while the stream runs each setting is the stored one when exactly four bytes in
// 0..100 were stored, else its default, then the last in-range value set (white balance, which
// the driver does not advertise, cannot be set through the stream class); the stop writes
// exactly the six values, each a 4-byte REG_DWORD holding the setting used (none when the key
// cannot be opened).
#include <cstdio>
#include <cstring>
#include <optional>

#include "driver_fuzz.h"
#include "lumarex.h"

const char *const kDriverFuzzName = "settings";

namespace {

struct Setting {
  const char *name;
  ULONG propertyId;  // the VideoProcAmp id; none for CompressionQuality
  LONG defaultValue;
  // Advertised in the driver's property-set table: white balance is not, so the stream class
  // refuses its requests and an application cannot change it.
  bool advertised;
};
const Setting kSettings[6] = {{"Brightness", 0, 50, true},    {"Contrast", 1, 50, true},
                              {"Saturation", 3, 50, true},    {"Sharpness", 4, 20, true},
                              {"WhiteBalance", 7, 50, false}, {"CompressionQuality", ~0u, 0, false}};
constexpr int kPictureSettings = 5;

ULONG TypeOf(uint8_t code) {
  switch (code) {
    case 1: return REG_DWORD;
    case 2: return REG_BINARY;
    case 3: return REG_SZ;
    default: return code;
  }
}

}  // namespace

void DriverFuzzOne(const uint8_t *data, size_t size) {
  FuzzReader in(data, size);
  const uint8_t setup = in.Byte();
  const bool noKey = setup & 1;
  const bool openFails = setup & 2;
  struct Stored {
    bool present;
    ULONG type;
    std::vector<uint8_t> bytes;
  } stored[6];
  for (Stored &s : stored) {
    uint8_t type = in.Byte();
    s.present = type != 0 && !noKey;
    s.type = TypeOf(type);
    s.bytes = in.Bytes(in.Byte() % 65);
  }

  FuzzDriverLife life;
  HostSimCamera camera;
  std::unique_ptr<HostCameraDevice> device = life.Plug(camera);
  if (!device) FuzzFail("the camera's arrival failed");
  PDEVICE_OBJECT pdo = device->PhysicalDeviceObject();
  for (int i = 0; i < 6; ++i) {
    if (stored[i].present) HostRegistry_SetValue(pdo, "Settings", kSettings[i].name, stored[i].type, stored[i].bytes);
  }
  if (openFails) HostRegistry_FailOpen(pdo, STATUS_OBJECT_NAME_NOT_FOUND);

  // What the allocation must load: four stored bytes in range, else the default.
  LONG expected[kPictureSettings];
  for (int i = 0; i < kPictureSettings; ++i) {
    expected[i] = kSettings[i].defaultValue;
    if (!openFails && stored[i].present && stored[i].bytes.size() == 4) {
      int32_t v;
      std::memcpy(&v, stored[i].bytes.data(), 4);
      if (v >= 0 && v <= 100) expected[i] = v;
    }
  }

  NTSTATUS status;
  std::unique_ptr<HostAppStream> stream = device->OpenStream(0, FuzzCaptureFormat(*device, FuzzFrameSize(0)), &status);
  if (!stream) FuzzFail("stream open failed with 0x%08X", unsigned(status));
  status = stream->SetState(KSSTATE_RUN);
  if (!NT_SUCCESS(status)) FuzzFail("RUN failed with 0x%08X", unsigned(status));
  for (unsigned n = (setup >> 2) & 3; n > 0; --n) {
    const int which = in.Byte() % kPictureSettings;
    const LONG value = LONG(in.Dword());
    status = device->SetVideoProcAmp(kSettings[which].propertyId, value);
    if (!kSettings[which].advertised && status != STATUS_NOT_FOUND) {
      FuzzFail("%s set reached the driver (0x%08X)", kSettings[which].name, unsigned(status));
    }
    if (kSettings[which].advertised && value >= 0 && value <= 100) expected[which] = value;
  }
  auto *dc = static_cast<PDEVICE_CONTEXT>(device->DeviceContext());
  for (int i = 0; i < kPictureSettings; ++i) {
    LONG value = -1;
    if (kSettings[i].advertised) {
      status = device->GetVideoProcAmp(kSettings[i].propertyId, &value);
      if (!NT_SUCCESS(status)) FuzzFail("%s get failed with 0x%08X", kSettings[i].name, unsigned(status));
    } else {
      value = dc->g_nWhiteBalance;  // the one setting no property reaches
    }
    if (value != expected[i]) FuzzFail("%s is %d, not %d", kSettings[i].name, int(value), int(expected[i]));
  }

  const uint64_t setsBefore = HostRegistry_Stats().valueSets;
  stream->SetState(KSSTATE_STOP);
  const uint64_t sets = HostRegistry_Stats().valueSets - setsBefore;
  HostRegistry_FailOpen(pdo, STATUS_SUCCESS);
  if (sets != (openFails ? 0u : 6u)) FuzzFail("the stop wrote %llu values", (unsigned long long)sets);
  if (!openFails) {
    for (int i = 0; i < 6; ++i) {
      std::optional<uint32_t> saved = HostRegistry_GetDword(pdo, "Settings", kSettings[i].name);
      if (!saved) FuzzFail("%s was not saved as a 4-byte REG_DWORD", kSettings[i].name);
      if (i < kPictureSettings && LONG(*saved) != expected[i]) {
        FuzzFail("%s saved as %u, not %d", kSettings[i].name, unsigned(*saved), int(expected[i]));
      }
    }
  }
  if (FuzzVerbose()) {
    std::fprintf(stderr, "%s: %d %d %d %d %d\n", kDriverFuzzName, int(expected[0]), int(expected[1]),
                 int(expected[2]), int(expected[3]), int(expected[4]));
  }
  stream->Close();
  stream.reset();
  device->Remove();
}

std::vector<std::vector<uint8_t>> DriverFuzzSeeds() {
  auto dword = [](uint32_t v) { return std::vector<uint8_t>{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; };
  std::vector<std::vector<uint8_t>> out;
  // All six in range.
  FuzzWriter w;
  w.Byte(0);
  for (uint32_t v : {60u, 70u, 40u, 10u, 55u, 75u}) w.Byte(1).Byte(4).Bytes(dword(v));
  out.push_back(w.Take());
  // Out of range, short binary, a string, too long, missing; and two sets.
  w.Byte(2 << 2);
  w.Byte(1).Byte(4).Bytes(dword(101));
  w.Byte(2).Byte(1).Byte(0x32);
  w.Byte(3).Byte(6).Bytes({'5', 0, '0', 0, 0, 0});
  w.Byte(1).Byte(8).Bytes(dword(30)).Bytes(dword(0));
  w.Byte(0).Byte(0);
  w.Byte(7).Byte(4).Bytes(dword(0xFFFFFFFF));
  w.Byte(0).Dword(80).Byte(3).Dword(0xFFFFFF9C);
  out.push_back(w.Take());
  // No "Settings" key; the driver key cannot be opened.
  out.push_back({1});
  out.push_back({2 | 1 << 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 25, 0, 0, 0});
  return out;
}
