// The frame hand-off and the decode worker, against the library's own decode of the same frames.
#include <gtest/gtest.h>

#include <vector>

#include "host_kernel.h"
#include "imageproc.h"
#include "lumarex.h"
#include "support/camera_frames.h"
#include "support/expected_image.h"
#include "support/watchdog.h"

namespace {

constexpr LONG kWidth = 160, kHeight = 120;
constexpr ULONG kRgbLength = kWidth * kHeight * 3;

class WorkerTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    HostPool_Reset(), HostDbg_Clear();
    memset(&dc_, 0, sizeof(dc_));
    dc_.g_nIPContextSize = ZRImageProcess_GetContextSize();
    dc_.g_pIPContext = ExAllocatePoolWithTag(NonPagedPool, dc_.g_nIPContextSize, LUMAREX_POOL_TAG);
    ZRImageProcess_Initialize(&dc_, dc_.g_pIPContext);
    dc_.g_nBrightness = dc_.g_nContrast = dc_.g_nSaturation = dc_.g_nWhiteBalance = 50, dc_.g_nSharpness = 20;
    dc_.g_bSkipBufferWait = 1;  // configuration: the hand-shake starts with nothing to wait for
    dc_.g_WorkerWaitObjects[0] = &dc_.g_StopWorkerEvent, dc_.g_WorkerWaitObjects[1] = &dc_.g_FrameReadyEvent;
    dc_.g_WorkerWaitObjects[2] = &dc_.g_RestartEvent;
  }
  void Start(UCHAR format) {
    dc_.g_nOutputFormat = format;
    dc_.g_nFrameWidth = dc_.g_nDecodeWidth = kWidth, dc_.g_nFrameHeight = dc_.g_nDecodeHeight = kHeight;
    dc_.g_nRawLength = (kWidth + 20480) * 30;
    dc_.g_nBmpBufSize = dc_.g_nIPBufSize = (kWidth + 30816) * 30;
    ASSERT_EQ(LUMAREX_AllocateMemory(&dc_, FALSE, TRUE, TRUE, TRUE), STATUS_SUCCESS);
    for (PKEVENT e : {&dc_.g_BufferFreeEvent, &dc_.g_FrameReadyEvent, &dc_.g_StopWorkerEvent, &dc_.g_WorkerExitedEvent,
                      &dc_.g_RestartEvent})
      KeInitializeEvent(e, NotificationEvent, FALSE);
    ASSERT_EQ(StartWorkerThread(&dc_), STATUS_SUCCESS);
    dc_.g_bWorkerStarted = 1;
  }
  void TearDown() override {
    CamUnInitialize(nullptr, &dc_);  // ends the worker, which frees the frame buffers
    HostPool_ClearFaults();
    EXPECT_EQ(HostPool_LiveBlockCount(), 0u) << HostPool_Report();
  }
  std::vector<UCHAR> Deliver(const std::vector<uint8_t> &raw, ULONG frameLength = kRgbLength, ULONG *bytes = nullptr) {
    std::vector<UCHAR> out(frameLength + 16, 0x5A);  // 16 guard bytes past FrameLength
    ULONG count = ULONG(raw.size());
    // Until the worker has finished a frame the callback does not wait for it: the test waits as time would.
    bool paced = InterlockedCompareExchange((LONG volatile *)&dc_.g_bSkipBufferWait, 0, 0) != 0;
    EXPECT_EQ(CamProcessRawVideoFrameEx(nullptr, &dc_, nullptr, out.data(), frameLength,
                                        const_cast<uint8_t *>(raw.data()), count, 10, &count, count, 0),
              STATUS_SUCCESS);
    if (paced && InterlockedCompareExchange(&dc_.g_bFrameInFlight, 0, 0) != 0)
      KeWaitForSingleObject(&dc_.g_BufferFreeEvent, Executive, KernelMode, FALSE, NULL);
    EXPECT_EQ(std::vector<UCHAR>(out.end() - 16, out.end()), std::vector<UCHAR>(16, 0x5A)) << "past FrameLength";
    out.resize(frameLength);
    if (bytes) *bytes = count;
    return out;
  }
  static std::vector<uint8_t> Raw(uint32_t seed, LONG w = kWidth, LONG h = kHeight) { return TestRawFrame(w, h, seed); }
  std::vector<UCHAR> Expected(const std::vector<uint8_t> &raw, LUMAREX_FRAME_SETTINGS s, UCHAR format, ULONG length) {
    std::vector<UCHAR> image = ExpectedImage(raw, kWidth, kHeight, s, format);
    image.resize(length);
    return image;
  }
  TestWatchdog watchdog_{std::chrono::seconds(30), "the worker finishing its frames"};
  DeviceContext dc_;
};

// Seven blank frames in the format's own black, then the processed image of the frame before.
TEST_P(WorkerTest, SevenBlankFramesThenTheProcessedPreviousFrame) {
  const UCHAR format = UCHAR(GetParam());
  const ULONG image = format == LUMAREX_FORMAT_RGB24   ? kRgbLength
                      : format == LUMAREX_FORMAT_YUY2 ? kWidth * kHeight * 2
                                                       : kWidth * kHeight * 3 / 2;
  Start(format);
  std::vector<UCHAR> blank(image, 0);
  for (ULONG i = 0; i < image; ++i)
    if (format == LUMAREX_FORMAT_YUY2 ? i % 2 == 1 : format == LUMAREX_FORMAT_I420 && i >= ULONG(kWidth * kHeight))
      blank[i] = 0x80;
  blank.push_back(0x5A);
  for (uint32_t i = 1; i <= 7; ++i) {
    ULONG bytes = 0;
    EXPECT_EQ(Deliver(Raw(i), image + 1, &bytes), blank) << "raw frame " << i;
    EXPECT_EQ(bytes, image);
  }
  const LUMAREX_FRAME_SETTINGS defaults = {50, 50, 20, 50, 50};
  EXPECT_EQ(Deliver(Raw(8), image), Expected(Raw(7), defaults, format, image));
  dc_.g_nBrightness = 70;  // taken with the next frame, applied to it
  EXPECT_EQ(Deliver(Raw(9), image), Expected(Raw(8), defaults, format, image));
  EXPECT_EQ(Deliver(Raw(10), image), Expected(Raw(9), {70, 50, 20, 50, 50}, format, image));
  LUMAREX_WaitForWorkerIdle(&dc_);
  EXPECT_EQ(dc_.g_nBadFrames, 5u);
  EXPECT_EQ(dc_.g_nGoodFrames, 5u);
  EXPECT_EQ(HostDbg_Count("<vantor><####>jpg_decode() BAD= "), 5u);
}

INSTANTIATE_TEST_SUITE_P(Formats, WorkerTest,
                         ::testing::Values(LUMAREX_FORMAT_RGB24, LUMAREX_FORMAT_YUY2, LUMAREX_FORMAT_I420));

using WorkerFrameTest = WorkerTest;

// A frame that does not decode, or does not fit, shows the previous image again.
TEST_F(WorkerFrameTest, FramesThatCannotBeShownRepeatThePreviousImage) {
  Start(LUMAREX_FORMAT_RGB24);
  for (uint32_t i = 1; i <= 9; ++i) Deliver(Raw(i));
  LUMAREX_WaitForWorkerIdle(&dc_);
  const std::vector<UCHAR> shown(dc_.g_pBmpBuf, dc_.g_pBmpBuf + kRgbLength);  // the image of frame 9
  const ULONG bad = dc_.g_nBadFrames;
  std::vector<uint8_t> twelveBit = Raw(99), huge = Raw(11);
  for (size_t i = 80; i + 4 < twelveBit.size(); ++i)
    if (twelveBit[i] == 0xFF && twelveBit[i + 1] == 0xC0) {
      twelveBit[i + 4] = 12;  // refused in the frame header, before any row is written
      break;
    }
  huge.resize(80 + dc_.g_nRawBufSize + 1, 0);
  const std::vector<uint8_t> frames[] = {
      twelveBit,                         // does not decode
      std::vector<uint8_t>(79, 0xD8),    // shorter than the header: never reaches the worker
      huge,                              // longer than the raw buffer: never reaches the worker
      Raw(12, kWidth * 2, kHeight * 2),  // larger than the stream: refused before it touches the image
      Raw(14, kWidth, kHeight - 16),     // the stream's width but fewer rows: decodes, but is no picture
      Raw(13)};
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(Deliver(frames[i]), shown) << "frame " << i;
  LUMAREX_WaitForWorkerIdle(&dc_);
  EXPECT_EQ(dc_.g_nBadFrames, bad + 5);
  EXPECT_GE(HostDbg_Count("jpg_decode() BAD= 1("), 1u);
}

TEST_F(WorkerFrameTest, FailedFloatingPointSaveFallsBackToTheScalarForms) {
  Start(LUMAREX_FORMAT_RGB24);
  for (uint32_t i = 1; i <= 7; ++i) {
    if (i == 7) HostFpu_FailNextSave();
    Deliver(Raw(70 + i));
  }
  EXPECT_EQ(Deliver(Raw(80)), Expected(Raw(77), {50, 50, 20, 50, 50}, LUMAREX_FORMAT_RGB24, kRgbLength));
  EXPECT_FALSE(LUMAREX_VectorFormsAllowed());
}

}  // namespace
