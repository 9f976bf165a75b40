// See driver_fuzz.h.
#include "driver_fuzz.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host_usbcamd.h"
#include "lumarex.h"
#include <algorithm>

void FuzzFail(const char *format, ...) {
  std::fprintf(stderr, "*** %s fuzz finding: ", kDriverFuzzName);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fprintf(stderr, "\n");
  std::abort();
}

bool FuzzVerbose() {
  static const bool verbose = std::getenv("TORVANE_FUZZ_VERBOSE") != nullptr;
  return verbose;
}

std::vector<uint8_t> FuzzReader::Bytes(size_t n) {
  std::vector<uint8_t> out(n, 0);
  size_t have = std::min(n, Left());
  if (have != 0) std::memcpy(out.data(), data_ + at_, have);
  at_ += have;
  return out;
}

namespace {

struct DriverObjectStandIn {
  uint8_t bytes[168];
} g_driverObject;

}  // namespace

FuzzDriverLife::FuzzDriverLife() {
  HostTime_SetDelayScale(0, 1);
  HostDbg_Clear();
  HostStream_Reset();
  HostRegistry_Reset();
  HostPool_ClearFaults();
  liveBlocks_ = HostPool_LiveBlockCount();
  handles_ = HostObjects_OpenHandles();
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, LUMAREX_WIDE("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Torvane"));
  NTSTATUS status = DriverEntry(reinterpret_cast<PDRIVER_OBJECT>(&g_driverObject), &path);
  if (!NT_SUCCESS(status)) FuzzFail("DriverEntry failed with 0x%08X", unsigned(status));
}

FuzzDriverLife::~FuzzDriverLife() {
  HostUsbcamd_UnloadDriver();
  if (HostUsbcamd_DeviceCount() != 0) FuzzFail("a device outlived its removal");
  if (!HostThreads_WaitAllExited(5000)) FuzzFail("a system thread still runs after removal");
  if (HostObjects_OpenHandles() != handles_) FuzzFail("a handle was left open");
  if (HostPool_LiveBlockCount() != liveBlocks_) FuzzFail("the pool does not balance:\n%s", HostPool_Report().c_str());
  HostDbg_Clear();
  HostStream_Reset();
  HostRegistry_Reset();
}

std::unique_ptr<HostCameraDevice> FuzzDriverLife::Plug(HostSimCamera &camera, HostDeviceOptions options) {
  auto device = std::make_unique<HostCameraDevice>(camera, options);
  if (!NT_SUCCESS(device->Arrive())) {
    device->Remove();
    return nullptr;
  }
  return device;
}

void FuzzProgramCamera(FuzzReader &in, unsigned readyCode, HostSimCamera &camera) {
  static const NTSTATUS statuses[] = {STATUS_SUCCESS, STATUS_UNSUCCESSFUL, STATUS_IO_TIMEOUT,
                                      STATUS_DEVICE_NOT_CONNECTED};
  camera.SetReadyAfterPolls(readyCode >= 15 ? 1u << 30 : readyCode);
  for (unsigned n = in.Byte() & 7; n > 0; --n) {
    const uint8_t kind = in.Byte() % 4;
    const USHORT value = in.Word();
    const USHORT index = in.Byte();
    HostCameraAnswer answer;
    answer.status = statuses[in.Byte() % 4];
    answer.times = in.Byte() % 4;
    answer.data = in.Bytes(in.Byte() % 65);
    switch (kind) {
      case 0: camera.AnswerControl(true, value, index, answer); break;
      case 1: camera.AnswerControl(false, value, index, answer); break;
      case 2: camera.AnswerBulkRead(answer); break;
      default: camera.AnswerBulkWrite(answer); break;
    }
  }
}

void FuzzWriteCamera(FuzzWriter &w, const std::vector<FuzzCameraAnswer> &answers) {
  w.Byte(uint8_t(answers.size()));
  for (const FuzzCameraAnswer &a : answers) {
    w.Byte(a.kind).Word(a.value).Byte(a.index).Byte(a.status).Byte(a.times).Byte(uint8_t(a.data.size())).Bytes(a.data);
  }
}

FuzzSize FuzzFrameSize(unsigned index) {
  static const FuzzSize sizes[3] = {{160, 120}, {320, 240}, {640, 480}};
  return sizes[index % 3];
}

std::vector<uint8_t> FuzzCaptureFormat(HostCameraDevice &device, FuzzSize size) {
  HW_STREAM_HEADER header{};
  std::vector<HW_STREAM_INFORMATION> streams;
  if (!NT_SUCCESS(device.GetStreamInfo(&header, &streams)) || streams.empty()) return {};
  for (ULONG i = 0; i < streams[0].NumberOfFormatArrayEntries; ++i) {
    const auto *range = reinterpret_cast<const KS_DATARANGE_VIDEO *>(streams[0].StreamFormatsArray[i]);
    if (range->VideoInfoHeader.bmiHeader.biWidth == size.width &&
        range->VideoInfoHeader.bmiHeader.biHeight == size.height) {
      std::vector<uint8_t> format;
      if (!NT_SUCCESS(device.DataIntersection(0, &range->DataRange, &format))) return {};
      return format;
    }
  }
  return {};
}

std::vector<uint8_t> FuzzWithFormat(std::vector<uint8_t> format, FuzzFormat output) {
  if (output == FuzzFormat::Rgb24 || format.size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) return format;
  auto *f = reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER *>(format.data());
  switch (output) {
    case FuzzFormat::Yuy2:
      f->VideoInfoHeader.bmiHeader.biCompression = LUMAREX_FOURCC_YUY2;
      f->VideoInfoHeader.bmiHeader.biBitCount = 16;
      break;
    case FuzzFormat::I420:
      f->VideoInfoHeader.bmiHeader.biCompression = LUMAREX_FOURCC_I420;
      f->VideoInfoHeader.bmiHeader.biBitCount = 12;
      break;
    default:
      f->VideoInfoHeader.bmiHeader.biCompression = LUMAREX_FOURCC_MJPG;
      f->VideoInfoHeader.bmiHeader.biBitCount = 24;
      break;
  }
  return format;
}

size_t FuzzImageBytes(FuzzFormat format, FuzzSize size) {
  size_t pixels = size_t(size.width) * size_t(size.height);
  switch (format) {
    case FuzzFormat::Rgb24: return pixels * 3;
    case FuzzFormat::Yuy2: return pixels * 2;
    case FuzzFormat::I420: return pixels + pixels / 2;
    default: return 0;
  }
}
