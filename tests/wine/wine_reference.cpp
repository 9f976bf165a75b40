// The host half of the Wine stage: the same driver image, on the host's stream class and class
// library with the simulated camera, makes the property requests of property_script.h and prints
// each result exactly as the Windows test program prints what the stand-in stream class under
// Wine answered (win/standins/torvane_wine.c). The stage compares the two listings line by line.
//   wine_reference    (the driver image from TORVANE_DRIVER_IMAGE, else the linked driver)
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host_kernel.h"
#include "host_registry.h"
#include "host_usbcamd.h"
#include "lumarex.h"
#include "support/driver_under_test.h"
#include "wine/property_script.h"

namespace {

const GUID kVideoProcAmp = {STATIC_PROPSETID_VIDCAP_VIDEOPROCAMP};
const GUID kVideoControl = {STATIC_PROPSETID_VIDCAP_VIDEOCONTROL};
const GUID kPrivate = {STATIC_PROPSETID_LUMAREX_CUSTOM};
const GUID kUnknownSet = {0x12345678, 0x1234, 0x1234, {0x12, 0x34, 0x12, 0x34, 0x12, 0x34, 0x12, 0x34}};

struct DriverObjectStandIn {
  uint8_t bytes[168];
} g_driverObject;

void PutWords(std::vector<uint8_t> &record, const long *words) {
  for (size_t w = 0; w < 3; ++w) {
    int32_t value = (int32_t)words[w];
    if (24 + 4 * (w + 1) <= record.size()) memcpy(record.data() + 24 + 4 * w, &value, 4);
  }
}

}  // namespace

int main() {
  HostPool_Reset();
  HostRegistry_Reset();
  HostStream_Reset();
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, LUMAREX_WIDE("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Torvane"));
  std::string error;
  if (TestDriver_Enter(reinterpret_cast<PDRIVER_OBJECT>(&g_driverObject), &path, &error) != STATUS_SUCCESS) {
    fprintf(stderr, "wine_reference: DriverEntry failed: %s\n", error.c_str());
    return 1;
  }
  int result = 0;
  {
    HostSimCamera camera;
    HostCameraDevice device(camera);
    NTSTATUS status = device.Arrive();
    if (!NT_SUCCESS(status)) {
      fprintf(stderr, "wine_reference: device arrival failed: 0x%08x\n", (unsigned)status);
      return 1;
    }
    for (const TorvanePropertyStep &step : kTorvanePropertyScript) {
      const GUID &set = step.set == TORVANE_SET_VIDEOPROCAMP   ? kVideoProcAmp
                        : step.set == TORVANE_SET_VIDEOCONTROL ? kVideoControl
                        : step.set == TORVANE_SET_PRIVATE      ? kPrivate
                                                               : kUnknownSet;
      std::vector<uint8_t> input(step.propertySize, 0);
      PutWords(input, step.words);
      // A set's buffer starts as a copy of its input (with the KSPROPERTY the request carries).
      std::vector<uint8_t> data(step.dataSize, 0);
      if (step.flags == KSPROPERTY_TYPE_SET) {
        KSPROPERTY header{};
        header.Set = set;
        header.Id = step.id;
        header.Flags = step.flags;
        std::vector<uint8_t> record = input;
        if (record.size() >= sizeof(header)) memcpy(record.data(), &header, sizeof(header));
        memcpy(data.data(), record.data(), std::min(data.size(), record.size()));
        PutWords(data, step.words);
      }
      ULONG bytes = 0;
      status = device.PropertyRequest(step.flags, set, step.id, input, data.empty() ? nullptr : data.data(),
                                      ULONG(data.size()), &bytes);
      printf("property %s: status 0x%08lx bytes %lu reply", step.name, (unsigned long)(ULONG)status,
             (unsigned long)bytes);
      // A get's reply; a set's buffer holds what was sent.
      if (NT_SUCCESS(status) && step.flags != KSPROPERTY_TYPE_SET) {
        for (size_t i = 0; i < std::min<size_t>(bytes, data.size()); ++i) printf(" %02x", data[i]);
      }
      printf("\n");
    }
    status = device.Remove();
    if (!NT_SUCCESS(status)) {
      fprintf(stderr, "wine_reference: removal failed: 0x%08x\n", (unsigned)status);
      result = 1;
    }
  }
  HostUsbcamd_UnloadDriver();
  TestDriver_Unload();
  return result;
}
