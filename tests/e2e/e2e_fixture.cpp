#include "e2e/e2e_fixture.h"

#include <cstring>

namespace e2e {
namespace {

struct DriverObjectStandIn {
  uint8_t bytes[168];
} g_driverObject;

size_t MeaningfulBytes(LONG width, LONG height, UCHAR format) {
  size_t pixels = size_t(width) * height;
  switch (format) {
    case LUMAREX_FORMAT_YUY2: return pixels * 2;
    case LUMAREX_FORMAT_I420: return pixels * 3 / 2;
    default: return pixels * 3;
  }
}

}  // namespace

void EndToEndTest::SetUp() {
  watchdog_ = std::make_unique<TestWatchdog>(std::chrono::seconds(120), "the streams and the driver's threads ending");
  HostPool_Reset();
  HostDbg_Clear();
  HostRegistry_Reset();
  HostStream_Reset();
  // The driver's 150 ms waits are asked for and counted, but not slept.
  HostTime_SetDelayScale(0, 1);
  handlesAtStart_ = HostObjects_OpenHandles();
  applicationHandlesAtStart_ = HostObjects_ApplicationHandlesCreated();
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, LUMAREX_WIDE("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Torvane"));
  std::string error;
  ASSERT_EQ(TestDriver_Enter(reinterpret_cast<PDRIVER_OBJECT>(&g_driverObject), &path, &error), STATUS_SUCCESS)
      << error;
}

void EndToEndTest::TearDown() {
  if (device_) {
    Unplug();
  }
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
  EXPECT_FALSE(streams.empty());
  if (streams.empty()) return {};
  for (ULONG i = 0; i < streams[0].NumberOfFormatArrayEntries; ++i) {
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

std::vector<uint8_t> EndToEndTest::WithCompression(std::vector<uint8_t> format, ULONG compression, USHORT bitCount) {
  auto *f = reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER *>(format.data());
  f->VideoInfoHeader.bmiHeader.biCompression = compression;
  f->VideoInfoHeader.bmiHeader.biBitCount = bitCount;
  return format;
}

std::unique_ptr<HostAppStream> EndToEndTest::Running(int width, int height, unsigned reads) {
  NTSTATUS status;
  std::unique_ptr<HostAppStream> stream = device_->OpenStream(0, Rgb24Format(width, height), &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  if (!stream) return nullptr;
  status = stream->SetState(KSSTATE_RUN);
  EXPECT_EQ(status, STATUS_SUCCESS);
  if (!NT_SUCCESS(status)) return nullptr;
  for (unsigned i = 0; i < reads; ++i) stream->QueueRead(ULONG(width) * height * 3);
  return stream;
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
  ULONG bytes = ULONG(width) * height * 3;
  // What the driver must report: the image of the output format (MJPG: the bytes it copied,
  // checked by the MJPG tests).
  UCHAR code = LUMAREX_FORMAT_RGB24;
  if (!allocation.empty()) {
    ULONG compression =
        reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER *>(allocation.data())->VideoInfoHeader.bmiHeader.biCompression;
    code = compression == kFourCcYuy2 ? LUMAREX_FORMAT_YUY2
           : compression == kFourCcI420 ? LUMAREX_FORMAT_I420
           : compression == kFourCcMjpg ? LUMAREX_FORMAT_MJPG
                                        : LUMAREX_FORMAT_RGB24;
  }
  unsigned issued = 0;  // read requests handed to the driver so far
  for (; issued < buffers && issued < frames; ++issued) stream.QueueRead(bytes);
  while (capture.frames.size() < frames) {
    HostFrame frame;
    if (!stream.NextFrame(&frame)) {
      ADD_FAILURE() << "no frame after " << capture.frames.size();
      break;
    }
    EXPECT_EQ(frame.status, STATUS_SUCCESS);
    if (code != LUMAREX_FORMAT_MJPG) {
      EXPECT_EQ(frame.dataUsed, MeaningfulBytes(width, height, code)) << "frame " << capture.frames.size() + 1;
    }
    // Nothing past the frame's bytes is written.
    EXPECT_TRUE(std::all_of(frame.data.begin() + std::min<size_t>(frame.dataUsed, frame.data.size()), frame.data.end(),
                            [](uint8_t b) { return b == HostAppStream::kUnwrittenByte; }))
        << "frame " << capture.frames.size() + 1 << " written past its " << frame.dataUsed << " bytes";
    capture.frames.push_back(std::move(frame));
    // The caller acts before the buffer goes back, so that with few buffers the camera cannot
    // run ahead of it.
    if (each) each(unsigned(capture.frames.size()));
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
  for (const HostRawFrameRecord &r : stream->FrameLog()) {
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

std::vector<std::vector<UCHAR>> EndToEndTest::ExpectedFrames(const Capture &capture, LONG width, LONG height,
                                                             UCHAR format) {
  std::vector<std::vector<UCHAR>> expected;
  std::vector<UCHAR> current;  // the worker's last finished image; empty while unknown
  const std::vector<uint8_t> *previous = nullptr;
  for (size_t k = 1; k <= capture.frames.size(); ++k) {
    const HostFrame &frame = capture.frames[k - 1];
    // Raw frame k-1 was decoded by the worker while raw frame k travelled; from the sixth
    // raw frame on, a frame that decodes replaces the image.
    if (previous != nullptr && k - 1 >= 6) {
      std::vector<UCHAR> decoded;
      if (LibraryDecode(*previous, width, height, &decoded)) {
        current = ProcessDecoded(std::move(decoded), width, height, capture.settings, format);
        current.resize(MeaningfulBytes(width, height, format));
      }
    }
    if (k <= 7) {
      expected.push_back(BlankFrame(width, height, format));
    } else {
      expected.push_back(current);
    }
    auto raw = capture.raws.find(frame.info.rawIndex);
    previous = raw != capture.raws.end() ? &raw->second : nullptr;
    if (previous == nullptr) current.clear();  // the raw frame fell out of the log: unknown
  }
  return expected;
}

}  // namespace e2e
