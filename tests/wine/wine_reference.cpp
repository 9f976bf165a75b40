// The host half of the Wine stage: the same driver image, on the host's stream class and class
// library with the simulated camera, makes the property requests of property_script.h and
// captures frames from recorded camera slots, and prints each result exactly as the Windows test
// program prints what the stand-ins under Wine gave it (win/standins/torvane_wine.c). The stage
// compares the two listings line by line and the two frame files byte for byte.
//   wine_reference OUT_DIR [FAULTS [--next]]
// (the driver image from TORVANE_DRIVER_IMAGE, else the linked driver). First it records the
// simulated camera's slots at 320x240 (with FAULTS, camsim's --faults list), enough for the reads
// of capture_script.h, into OUT_DIR/slots.bin, and writes the capture format the driver's data
// intersection gives into OUT_DIR/format.bin; the captures replay the recorded slots (the Wine
// run replays the same file) and write every read buffer into OUT_DIR/host_frames.bin; the
// device's registry hive is saved into OUT_DIR/host_settings.hive before the device is removed.
// With --next it is the next run: the hive saved by the run before is loaded once the device
// has arrived (as Windows keeps a device's driver key), and the captures are those of
// kTorvaneNextRunScript, into OUT_DIR/host_frames_next.bin. The line "wine_reference: removing
// the device" on standard error marks where the removal's debug output begins.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host_kernel.h"
#include "host_registry.h"
#include "host_usbcamd.h"
#include "lumarex.h"
#include "support/driver_under_test.h"
#include "wine/capture_script.h"
#include "wine/slot_writer.h"

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

constexpr int kWidth = 320, kHeight = 240;
constexpr USHORT kStart320 = (20 << 8) | 0x40;  // the capture-start command for 320x240

// The camera's slots from its capture start until twice `frames` frames and a few more have
// begun: enough for the `frames` reads of a capture however many frames the faults make the
// driver drop (slots not needed are never sent: the pump waits for a read at every finished
// frame).
std::vector<HostIsoSlot> RecordSlots(unsigned frames, const std::string &faults) {
  HostSimCamera camera;
  HostCameraStreamConfig config = camera.StreamConfig();
  std::stringstream list(faults);
  for (std::string item; std::getline(list, item, ',');) {
    if (item.empty()) continue;
    unsigned every = 7;
    size_t eq = item.find('=');
    if (eq != std::string::npos) every = unsigned(std::stoul(item.substr(eq + 1)));
    HostFault fault;
    if (!HostFault_FromName(item.substr(0, eq), &fault)) {
      fprintf(stderr, "wine_reference: unknown fault %s\n", item.c_str());
      exit(2);
    }
    config.faultEvery[unsigned(fault)] = every;
    config.faultOffset[unsigned(fault)] = unsigned(fault);
  }
  camera.ConfigureStream(config);
  HostUsbRequest start;
  start.kind = HostUsbRequest::Control;
  start.value = kStart320;
  camera.Serve(start);
  std::vector<HostIsoSlot> slots;
  while (camera.FramesSent() <= 2 * frames + 4) {
    HostIsoSlot slot;
    camera.NextSlot(slot);
    slots.push_back(slot);
  }
  return slots;
}

bool WriteFile(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), std::streamsize(bytes.size()));
  return bool(out);
}

// The capture format of the 320x240 range, as the driver's data intersection gives it.
std::vector<uint8_t> CaptureFormat(HostCameraDevice &device) {
  HW_STREAM_HEADER header{};
  std::vector<HW_STREAM_INFORMATION> streams;
  if (!NT_SUCCESS(device.GetStreamInfo(&header, &streams))) return {};
  for (ULONG i = 0; !streams.empty() && i < streams[0].NumberOfFormatArrayEntries; ++i) {
    const auto *range = reinterpret_cast<const KS_DATARANGE_VIDEO *>(streams[0].StreamFormatsArray[i]);
    if (range->VideoInfoHeader.bmiHeader.biWidth == kWidth && range->VideoInfoHeader.bmiHeader.biHeight == kHeight) {
      std::vector<uint8_t> format;
      if (NT_SUCCESS(device.DataIntersection(0, &range->DataRange, &format))) return format;
    }
  }
  return {};
}

// One property request, printed as the Windows test program prints it.
void RunProperty(HostCameraDevice &device, const TorvanePropertyStep &step) {
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
  NTSTATUS status = device.PropertyRequest(step.flags, set, step.id, input, data.empty() ? nullptr : data.data(),
                                           ULONG(data.size()), &bytes);
  printf("property %s: status 0x%08lx bytes %lu reply", step.name, (unsigned long)(ULONG)status, (unsigned long)bytes);
  // A get's reply; a set's buffer holds what was sent.
  if (NT_SUCCESS(status) && step.flags != KSPROPERTY_TYPE_SET) {
    for (size_t i = 0; i < std::min<size_t>(bytes, data.size()); ++i) printf(" %02x", data[i]);
  }
  printf("\n");
}

// The captures of capture_script.h; false when a read got no frame.
template <size_t N>
bool RunCaptures(HostCameraDevice &device, const TorvaneCaptureStep (&script)[N], const std::vector<HostIsoSlot> &slots,
                 const std::vector<uint8_t> &format, std::string *frameFile) {
  std::unique_ptr<HostAppStream> stream;
  unsigned frame = 0;
  for (const TorvaneCaptureStep &step : script) {
    switch (step.action) {
      case TORVANE_CAPTURE_OPEN: {
        device.Camera().ScriptSlots(slots);
        NTSTATUS status;
        stream = device.OpenStream(0, format, &status);
        printf("stream open: status 0x%08lx\n", (unsigned long)(ULONG)status);
        if (!stream) return false;
        std::vector<uint8_t> allocation = format;
        if (TorvaneAllocationFormat(step.value, allocation.data(), allocation.size()) != 0) {
          stream->SetAllocationFormat(allocation);
        }
        break;
      }
      case TORVANE_CAPTURE_STATE:
        printf("stream state %lu: status 0x%08lx\n", step.value,
               (unsigned long)(ULONG)stream->SetState(KSSTATE(step.value)));
        break;
      case TORVANE_CAPTURE_PROPERTY:
        RunProperty(device, step.property);
        break;
      case TORVANE_CAPTURE_READS:
        for (unsigned long k = 0; k < step.value; ++k) {
          stream->QueueRead(TORVANE_CAPTURE_BUFFER);
          HostFrame got;
          if (!stream->NextFrame(&got, std::chrono::seconds(30))) {
            printf("frame %u: none\n", ++frame);
            return false;
          }
          printf("frame %u: status 0x%08lx dataUsed %lu time %lld\n", ++frame, (unsigned long)(ULONG)got.status,
                 (unsigned long)got.dataUsed, got.timeValid ? (long long)got.presentationTime : -1LL);
          frameFile->append(reinterpret_cast<const char *>(got.data.data()), got.data.size());
        }
        break;
      case TORVANE_CAPTURE_CLOSE:
        printf("stream close: status 0x%08lx\n", (unsigned long)(ULONG)stream->Close());
        stream.reset();
        break;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: wine_reference OUT_DIR [FAULTS [--next]]\n");
    return 2;
  }
  const std::string dir = argv[1];
  const std::string faults = argc > 2 ? argv[2] : "";
  const bool next = argc > 3 && std::string(argv[3]) == "--next";
  unsigned frames = 0, most = 0;  // the reads of the longest capture
  for (const TorvaneCaptureStep &step : kTorvaneCaptureScript) {
    if (step.action == TORVANE_CAPTURE_OPEN) frames = 0;
    if (step.action == TORVANE_CAPTURE_READS) frames += unsigned(step.value);
    most = std::max(most, frames);
  }
  std::vector<HostIsoSlot> slots = RecordSlots(most, faults);
  if (!WriteFile(dir + "/slots.bin", TorvaneSlotFile(slots))) {
    fprintf(stderr, "wine_reference: cannot write %s/slots.bin\n", dir.c_str());
    return 1;
  }

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
    const std::string hive = dir + "/host_settings.hive";
    if (next && !HostRegistry_LoadHive(device.PhysicalDeviceObject(), hive)) {
      fprintf(stderr, "wine_reference: cannot load %s\n", hive.c_str());
      return 1;
    }
    if (!next) {
      for (const TorvanePropertyStep &step : kTorvanePropertyScript) RunProperty(device, step);
    }
    std::vector<uint8_t> format = CaptureFormat(device);
    if (format.empty() || !WriteFile(dir + "/format.bin", std::string(format.begin(), format.end()))) {
      fprintf(stderr, "wine_reference: no capture format\n");
      return 1;
    }
    std::string frameFile;
    bool captured = next ? RunCaptures(device, kTorvaneNextRunScript, slots, format, &frameFile)
                         : RunCaptures(device, kTorvaneCaptureScript, slots, format, &frameFile);
    if (!captured) result = 1;
    if (!WriteFile(dir + (next ? "/host_frames_next.bin" : "/host_frames.bin"), frameFile)) result = 1;
    // The settings the driver saved in the device's driver key, printed as the Windows test
    // program prints them from Wine's registry.
    for (const std::string &name : HostRegistry_ValueNames(device.PhysicalDeviceObject(), "Settings")) {
      std::optional<uint32_t> value = HostRegistry_GetDword(device.PhysicalDeviceObject(), "Settings", name);
      printf("settings %s = %lu%s\n", name.c_str(), (unsigned long)value.value_or(0), value ? "" : " (not REG_DWORD)");
    }
    if (!HostRegistry_SaveHive(device.PhysicalDeviceObject(), hive)) {
      fprintf(stderr, "wine_reference: cannot save %s\n", hive.c_str());
      result = 1;
    }
    fprintf(stderr, "wine_reference: removing the device\n");
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
