#include "e2e/e2e_fixture.h"

namespace e2e {
namespace {

struct DriverObjectStandIn {
  uint8_t bytes[168];
} g_driverObject;

size_t MeaningfulBytes(LONG width, LONG height, UCHAR format) {
  size_t pixels = size_t(width) * height;
  return format == LUMAREX_FORMAT_YUY2 ? pixels * 2 : format == LUMAREX_FORMAT_I420 ? pixels * 3 / 2 : pixels * 3;
}

UCHAR FormatOf(const std::vector<uint8_t> &allocation) {
  if (allocation.empty()) return LUMAREX_FORMAT_RGB24;
  switch (reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER *>(allocation.data())->VideoInfoHeader.bmiHeader.biCompression) {
    case LUMAREX_FOURCC_YUY2: return LUMAREX_FORMAT_YUY2;
    case LUMAREX_FOURCC_I420: return LUMAREX_FORMAT_I420;
    case LUMAREX_FOURCC_MJPG: return LUMAREX_FORMAT_MJPG;
    default: return LUMAREX_FORMAT_RGB24;
  }
}

}  // namespace

void EndToEndTest::SetUp() {
  watchdog_ = std::make_unique<TestWatchdog>(std::chrono::seconds(120), "the streams and the driver's threads ending");
  HostPool_Reset();
  HostDbg_Clear();
  HostRegistry_Reset();
  HostStream_Reset();
  HostTime_SetDelayScale(0, 1);  // the driver's 150 ms waits are asked for and counted, not slept
  handlesAtStart_ = HostObjects_OpenHandles();
  applicationHandlesAtStart_ = HostObjects_ApplicationHandlesCreated();
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, LUMAREX_WIDE("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Torvane"));
  std::string error;
  ASSERT_EQ(TestDriver_Enter(reinterpret_cast<PDRIVER_OBJECT>(&g_driverObject), &path, &error), STATUS_SUCCESS)
      << error;
}

void EndToEndTest::TearDown() {
  if (device_) Unplug();
  HostUsbcamd_UnloadDriver();
  HostTime_SetDelayScale(1, 1);
  EXPECT_EQ(HostUsbcamd_DeviceCount(), 0u);
  EXPECT_TRUE(HostThreads_WaitAllExited(5000)) << "a system thread is still running";
  EXPECT_EQ(HostObjects_OpenHandles(), handlesAtStart_) << "a handle was left open";
  // The application's requests ran in its process; the driver made kernel handles only.
  EXPECT_EQ(HostObjects_ApplicationHandlesCreated(), applicationHandlesAtStart_);
  EXPECT_EQ(HostPool_LiveBlockCount(), 0u) << HostPool_Report();
  EXPECT_EQ(TestDriver_StackOverruns(), "");
  TestDriver_Unload();
  HostPool_Reset();
  HostRegistry_Reset();
  watchdog_.reset();
}

void EndToEndTest::Plug(HostDeviceOptions options) {
  device_ = std::make_unique<HostCameraDevice>(camera_, options);
  ASSERT_EQ(device_->Arrive(), STATUS_SUCCESS);
}

void EndToEndTest::Unplug(bool surprise) {
  device_->Remove(surprise);
  device_.reset();
}

std::vector<uint8_t> EndToEndTest::Rgb24Format(HostCameraDevice &device, int width, int height) {
  HW_STREAM_HEADER header{};
  std::vector<HW_STREAM_INFORMATION> streams;
  EXPECT_EQ(device.GetStreamInfo(&header, &streams), STATUS_SUCCESS);
  for (ULONG i = 0; !streams.empty() && i < streams[0].NumberOfFormatArrayEntries; ++i) {
    const auto *range = reinterpret_cast<const KS_DATARANGE_VIDEO *>(streams[0].StreamFormatsArray[i]);
    if (range->VideoInfoHeader.bmiHeader.biWidth == width && range->VideoInfoHeader.bmiHeader.biHeight == height) {
      std::vector<uint8_t> format;
      EXPECT_EQ(device.DataIntersection(0, &range->DataRange, &format), STATUS_SUCCESS);
      return format;
    }
  }
  ADD_FAILURE() << "no range of " << width << "x" << height;
  return {};
}

std::vector<uint8_t> EndToEndTest::Allocation(HostCameraDevice &device, int width, int height, UCHAR format) {
  if (format == LUMAREX_FORMAT_RGB24) return {};
  std::vector<uint8_t> record = Rgb24Format(device, width, height);
  auto &bmi = reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER *>(record.data())->VideoInfoHeader.bmiHeader;
  bmi.biCompression = format == LUMAREX_FORMAT_YUY2   ? LUMAREX_FOURCC_YUY2
                      : format == LUMAREX_FORMAT_I420 ? LUMAREX_FOURCC_I420
                                                      : LUMAREX_FOURCC_MJPG;
  bmi.biBitCount = format == LUMAREX_FORMAT_YUY2 ? 16 : format == LUMAREX_FORMAT_I420 ? 12 : 24;
  return record;
}

Capture EndToEndTest::Stream(int width, int height, unsigned frames, const std::vector<uint8_t> &allocation,
                             unsigned buffers, const std::function<void(unsigned)> &each) {
  std::unique_ptr<HostAppStream> stream = OpenCapture(*device_, width, height, allocation);
  if (!stream) return Capture{};
  EXPECT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(stream->GetState(), KSSTATE_RUN);
  Capture capture = ReadFrames(*stream, width, height, allocation, frames, buffers, each);
  FinishCapture(*device_, std::move(stream), &capture);
  return capture;
}

std::unique_ptr<HostAppStream> EndToEndTest::OpenCapture(HostCameraDevice &device, int width, int height,
                                                         const std::vector<uint8_t> &allocation) {
  NTSTATUS status;
  std::unique_ptr<HostAppStream> stream = device.OpenStream(0, Rgb24Format(device, width, height), &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  if (stream) stream->SetAllocationFormat(allocation);
  return stream;
}

Capture EndToEndTest::ReadFrames(HostAppStream &stream, int width, int height, const std::vector<uint8_t> &allocation,
                                 unsigned frames, unsigned buffers, const std::function<void(unsigned)> &each) {
  Capture capture;
  const ULONG bytes = ULONG(width) * height * 3;
  const UCHAR format = FormatOf(allocation);
  unsigned issued = 0;
  for (; issued < buffers && issued < frames; ++issued) stream.QueueRead(bytes);
  while (capture.frames.size() < frames) {
    HostFrame frame;
    if (!stream.NextFrame(&frame)) {
      ADD_FAILURE() << "no frame after " << capture.frames.size();
      break;
    }
    const size_t k = capture.frames.size() + 1;
    EXPECT_EQ(frame.status, STATUS_SUCCESS);
    // The image of the output format (MJPG: the bytes copied, checked by the MJPG test), and
    // nothing written past it.
    if (format != LUMAREX_FORMAT_MJPG) { EXPECT_EQ(frame.dataUsed, MeaningfulBytes(width, height, format)) << k; }
    EXPECT_TRUE(std::all_of(frame.data.begin() + std::min<size_t>(frame.dataUsed, frame.data.size()), frame.data.end(),
                            [](uint8_t b) { return b == HostAppStream::kUnwrittenByte; }))
        << "frame " << k << " written past its " << frame.dataUsed << " bytes";
    capture.frames.push_back(std::move(frame));
    if (each) each(unsigned(k));
    if (issued < frames) {
      stream.QueueRead(bytes);
      ++issued;
    }
  }
  return capture;
}

void EndToEndTest::FinishCapture(HostCameraDevice &device, std::unique_ptr<HostAppStream> stream, Capture *capture) {
  EXPECT_EQ(stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  capture->stats = stream->Stats();
  capture->log = stream->FrameLog();
  for (const HostRawFrameRecord &r : capture->log) {
    if (r.fate == HostRawFrameRecord::Delivered) capture->raws[r.index] = r.raw;
  }
  auto *dc = static_cast<PDEVICE_CONTEXT>(device.DeviceContext());
  capture->settings = LUMAREX_FRAME_SETTINGS{dc->g_nBrightness, dc->g_nContrast, dc->g_nSharpness, dc->g_nSaturation,
                                             dc->g_nWhiteBalance};
  EXPECT_EQ(stream->Close(), STATUS_SUCCESS);
}

std::vector<UCHAR> EndToEndTest::BlankFrame(LONG width, LONG height, UCHAR format) {
  std::vector<UCHAR> blank(MeaningfulBytes(width, height, format), 0);
  if (format == LUMAREX_FORMAT_YUY2) {
    for (size_t i = 1; i < blank.size(); i += 2) blank[i] = 0x80;
  } else if (format == LUMAREX_FORMAT_I420) {
    std::fill(blank.begin() + size_t(width) * height, blank.end(), 0x80);
  }
  return blank;
}

unsigned EndToEndTest::ExpectImages(const Capture &capture, LONG width, LONG height, UCHAR format, size_t from,
                                    bool allKnown) {
  unsigned compared = 0;
  std::vector<UCHAR> current;  // the worker's last finished image; empty while unknown
  const std::vector<uint8_t> *previous = nullptr;
  for (size_t k = 1; k <= capture.frames.size(); ++k) {
    // Raw frame k-1 was decoded by the worker while raw frame k travelled; from the sixth raw
    // frame on, a frame that decodes replaces the image.
    std::vector<UCHAR> decoded;
    if (previous != nullptr && k - 1 >= 6 && LibraryDecode(*previous, width, height, &decoded)) {
      current = ProcessDecoded(std::move(decoded), width, height, capture.settings, format);
      current.resize(MeaningfulBytes(width, height, format));
    }
    const std::vector<UCHAR> want = k <= 7 ? BlankFrame(width, height, format) : current;
    const HostFrame &frame = capture.frames[k - 1];
    auto raw = capture.raws.find(frame.info.rawIndex);
    previous = raw != capture.raws.end() ? &raw->second : nullptr;
    if (previous == nullptr) current.clear();  // the raw frame fell out of the log: unknown
    if (k < from) continue;
    if (want.empty()) {
      EXPECT_FALSE(allKnown) << "frame " << k << ": its image cannot be known";
      continue;
    }
    ++compared;
    EXPECT_TRUE(std::equal(want.begin(), want.end(), frame.data.begin())) << "frame " << k << " differs";
  }
  return compared;
}

}  // namespace e2e
