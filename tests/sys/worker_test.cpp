// The frame hand-off and the decode worker, driven as the class library drives them: one raw
// frame at a time through CamProcessRawVideoFrameEx at PASSIVE_LEVEL, with a real worker thread.
#include <gtest/gtest.h>

#include <vector>

#include "host_kernel.h"
#include "imageproc.h"
#include "lumarex.h"
#include "support/watchdog.h"
#include "support/camera_frames.h"
#include "support/expected_image.h"

namespace {

constexpr LONG kWidth = 160;
constexpr LONG kHeight = 120;
constexpr ULONG kFrameLength = kWidth * kHeight * 3;

// The image the driver should deliver for a raw frame of this test's size.
std::vector<UCHAR> ExpectedImage(const std::vector<uint8_t> &raw, const LUMAREX_FRAME_SETTINGS &settings,
                                 UCHAR format) {
  return ExpectedImage(raw, kWidth, kHeight, settings, format);
}

class WorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    watchdog_ = std::make_unique<TestWatchdog>(std::chrono::seconds(30), "the worker finishing its frames");
    HostPool_Reset();
    HostDbg_Clear();
    memset(&dc_, 0, sizeof(dc_));
    dc_.g_nIPContextSize = ZRImageProcess_GetContextSize();
    dc_.g_pIPContext = ExAllocatePoolWithTag(NonPagedPool, dc_.g_nIPContextSize, LUMAREX_POOL_TAG);
    ZRImageProcess_Initialize(&dc_, dc_.g_pIPContext);
    dc_.g_nBrightness = dc_.g_nContrast = dc_.g_nSaturation = dc_.g_nWhiteBalance = 50;
    dc_.g_nSharpness = 20;
    // Configuration: the hand-shake starts with nothing to wait for.
    dc_.g_bSkipBufferWait = 1;
    dc_.g_WorkerWaitObjects[0] = &dc_.g_StopWorkerEvent;
    dc_.g_WorkerWaitObjects[1] = &dc_.g_FrameReadyEvent;
  }

  // What bandwidth allocation does for a stream of kWidth x kHeight in the given format.
  void Allocate(UCHAR format) {
    dc_.g_nOutputFormat = format;
    dc_.g_nFrameWidth = dc_.g_nDecodeWidth = kWidth;
    dc_.g_nFrameHeight = dc_.g_nDecodeHeight = kHeight;
    dc_.g_nRawLength = dc_.g_nRawBufSize = (kWidth + 20480) * 30;
    dc_.g_nBmpBufSize = dc_.g_nIPBufSize = (kWidth + 30816) * 30;
    dc_.g_pRawBuf = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, dc_.g_nRawBufSize, LUMAREX_POOL_TAG));
    dc_.g_pBmpBuf = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, dc_.g_nBmpBufSize, LUMAREX_POOL_TAG));
    dc_.g_pIPBuf = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, dc_.g_nIPBufSize, LUMAREX_POOL_TAG));
  }

  // What the first capture start does to get the worker going.
  void Start() {
    KeInitializeEvent(&dc_.g_BufferFreeEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&dc_.g_FrameReadyEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&dc_.g_StopWorkerEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&dc_.g_WorkerExitedEvent, NotificationEvent, FALSE);
    HANDLE thread = NULL;
    ASSERT_EQ(PsCreateSystemThread(&thread, 0x1F03FF, NULL, NULL, NULL, LUMAREX_DecodeWorker, &dc_), 0);
    PVOID object = NULL;
    ASSERT_EQ(ObReferenceObjectByHandle(thread, 0x1F03FF, NULL, KernelMode, &object, NULL), 0);
    ZwClose(thread);
    dc_.g_pWorkerThread = static_cast<PKTHREAD>(object);
    dc_.g_bWorkerStarted = 1;
    dc_.g_nWarmupFrames = 0;
  }

  void TearDown() override {
    if (dc_.g_bWorkerStarted) {
      KeSetEvent(&dc_.g_StopWorkerEvent, 1, FALSE);
      KeWaitForSingleObject(&dc_.g_WorkerExitedEvent, Executive, KernelMode, FALSE, NULL);
      KeWaitForSingleObject(dc_.g_pWorkerThread, Executive, KernelMode, FALSE, NULL);
      ObDereferenceObject(dc_.g_pWorkerThread);
      // The worker frees the frame buffers on its way out.
      EXPECT_EQ(dc_.g_pRawBuf, nullptr);
      EXPECT_EQ(dc_.g_nBmpBufSize, 0u);
    }
    LUMAREX_FreeMemory(&dc_, FALSE, TRUE, TRUE, TRUE);
    ExFreePool(dc_.g_pIPContext);
    HostPool_ClearFaults();
    EXPECT_EQ(HostPool_LiveBlockCount(), 0u) << HostPool_Report();
    watchdog_.reset();
  }

  // One raw frame through the callback; returns what the application's buffer received.
  std::vector<UCHAR> Deliver(const std::vector<uint8_t> &raw, ULONG frameLength = kFrameLength,
                             ULONG *bytesReturned = nullptr) {
    std::vector<UCHAR> out(frameLength + 16, 0x5A);  // 16 guard bytes past FrameLength
    ULONG count = ULONG(raw.size());
    // Until the worker has finished a frame the callback does not wait for it; the camera's
    // frame interval is what keeps the frames apart then, so the test waits as time would.
    bool paced = InterlockedCompareExchange((LONG volatile *)&dc_.g_bSkipBufferWait, 0, 0) != 0;
    EXPECT_EQ(CamProcessRawVideoFrameEx(nullptr, &dc_, nullptr, out.data(), frameLength,
                                        const_cast<uint8_t *>(raw.data()), ULONG(raw.size()), 10, &count,
                                        ULONG(raw.size()), 0),
              STATUS_SUCCESS);
    if (paced && InterlockedCompareExchange(&dc_.g_bFrameInFlight, 0, 0) != 0) {
      KeWaitForSingleObject(&dc_.g_BufferFreeEvent, Executive, KernelMode, FALSE, NULL);
    }
    for (int i = 0; i < 16; ++i) EXPECT_EQ(out[frameLength + i], 0x5A) << "written past FrameLength";
    out.resize(frameLength);
    if (bytesReturned) *bytesReturned = count;
    return out;
  }

  LUMAREX_FRAME_SETTINGS DeviceSettings() const {
    return LUMAREX_FRAME_SETTINGS{dc_.g_nBrightness, dc_.g_nContrast, dc_.g_nSharpness, dc_.g_nSaturation,
                                  dc_.g_nWhiteBalance};
  }

  std::unique_ptr<TestWatchdog> watchdog_;
  DeviceContext dc_;
};

TEST_F(WorkerTest, SevenBlankFramesThenTheProcessedPreviousFrame) {
  Allocate(LUMAREX_FORMAT_RGB24);
  Start();
  std::vector<std::vector<uint8_t>> raws;
  for (uint32_t i = 1; i <= 9; ++i) raws.push_back(TestRawFrame(kWidth, kHeight, i));
  const std::vector<UCHAR> black(kFrameLength, 0);
  for (int i = 0; i < 7; ++i) {
    ULONG returned = 0;
    EXPECT_EQ(Deliver(raws[i], kFrameLength, &returned), black) << "raw frame " << i + 1;
    EXPECT_EQ(returned, kFrameLength);
  }
  EXPECT_EQ(Deliver(raws[7]), ExpectedImage(raws[6], DeviceSettings(), LUMAREX_FORMAT_RGB24));
  dc_.g_nBrightness = 70;  // taken with the next frame, applied to it
  EXPECT_EQ(Deliver(raws[8]), ExpectedImage(raws[7], LUMAREX_FRAME_SETTINGS{50, 50, 20, 50, 50},
                                            LUMAREX_FORMAT_RGB24));
  LUMAREX_WaitForWorkerIdle(&dc_);
  // Passes 1 to 5 are warm-up frames counted bad, passes 6 to 9 are good.
  EXPECT_EQ(dc_.g_nBadFrames, 5u);
  EXPECT_EQ(dc_.g_nGoodFrames, 4u);
  EXPECT_EQ(HostDbg_Count("<vantor><####>jpg_decode() BAD= "), 5u);
  EXPECT_EQ(HostDbg_Count("<####>jpg_decode() BAD= "), 10u);
}

TEST_F(WorkerTest, FailedDecodeRepeatsThePreviousImage) {
  Allocate(LUMAREX_FORMAT_RGB24);
  Start();
  for (uint32_t i = 1; i <= 8; ++i) Deliver(TestRawFrame(kWidth, kHeight, i));
  std::vector<uint8_t> broken = TestRawFrame(kWidth, kHeight, 99);
  for (size_t i = 80; i + 4 < broken.size(); ++i) {
    if (broken[i] == 0xFF && broken[i + 1] == 0xC0) {
      broken[i + 4] = 12;  // 12-bit samples: refused in the frame header, before any row is written
      break;
    }
  }
  std::vector<UCHAR> shown = Deliver(broken);  // image of frame 8
  std::vector<UCHAR> next = Deliver(TestRawFrame(kWidth, kHeight, 10));
  EXPECT_EQ(next, shown);
  LUMAREX_WaitForWorkerIdle(&dc_);
  EXPECT_EQ(dc_.g_nBadFrames, 6u);
  EXPECT_GE(HostDbg_Count("jpg_decode() BAD= 1("), 1u);
}

TEST_F(WorkerTest, BlankFramesPerFormat) {
  Allocate(LUMAREX_FORMAT_YUY2);
  Start();
  const ULONG yuy2Length = kWidth * kHeight * 2 + 1;  // one byte more than the image
  ULONG bytes = 0;
  std::vector<UCHAR> yuy2 = Deliver(TestRawFrame(kWidth, kHeight, 1), yuy2Length, &bytes);
  EXPECT_EQ(bytes, ULONG(kWidth * kHeight * 2));
  for (ULONG i = 0; i < bytes; ++i) ASSERT_EQ(yuy2[i], (i & 1) ? 0x80 : 0x00) << i;
  EXPECT_EQ(yuy2[bytes], 0x5A) << "the byte past the image is the application's";
  dc_.g_nOutputFormat = LUMAREX_FORMAT_I420;
  const ULONG i420Length = kWidth * kHeight * 3 / 2;
  std::vector<UCHAR> i420 = Deliver(TestRawFrame(kWidth, kHeight, 2), i420Length);
  for (ULONG i = 0; i < i420Length; ++i) ASSERT_EQ(i420[i], i < ULONG(kWidth * kHeight) ? 0x00 : 0x80) << i;
}

TEST_F(WorkerTest, Yuy2AndI420AfterWarmUpMatchTheLibraryAndConverters) {
  for (UCHAR format : {UCHAR(LUMAREX_FORMAT_YUY2), UCHAR(LUMAREX_FORMAT_I420)}) {
    SCOPED_TRACE(int(format));
    Allocate(format);
    Start();
    std::vector<uint8_t> seventh;
    for (uint32_t i = 1; i <= 7; ++i) {
      seventh = TestRawFrame(kWidth, kHeight, 20 + i);
      Deliver(seventh);
    }
    ULONG length = format == LUMAREX_FORMAT_YUY2 ? kWidth * kHeight * 2 : kWidth * kHeight * 3 / 2;
    std::vector<UCHAR> out = Deliver(TestRawFrame(kWidth, kHeight, 40), length);
    std::vector<UCHAR> expected = ExpectedImage(seventh, DeviceSettings(), format);
    expected.resize(length);
    size_t firstDiff = 0;
    while (firstDiff < length && out[firstDiff] == expected[firstDiff]) ++firstDiff;
    EXPECT_EQ(firstDiff, length) << "first difference";
    TearDown();
    SetUp();
  }
}

TEST_F(WorkerTest, MjpgPassesJpegThroughAndMarksBadFrames) {
  Allocate(LUMAREX_FORMAT_MJPG);
  Start();
  std::vector<std::vector<uint8_t>> raws;
  for (uint32_t i = 1; i <= 8; ++i) raws.push_back(TestRawFrame(kWidth, kHeight, 50 + i));
  for (int i = 0; i < 8; ++i) {
    std::vector<UCHAR> out = Deliver(raws[i]);
    size_t jpegLength = raws[i].size() - 80;
    if (i == 0 || i >= 6) {
      ASSERT_TRUE(std::equal(raws[i].begin() + 80, raws[i].end(), out.begin())) << "raw frame " << i + 1;
    } else {
      ASSERT_EQ(out, std::vector<UCHAR>(kFrameLength, 0xFF)) << "raw frame " << i + 1;
    }
    (void)jpegLength;
  }
  // JPEG data longer than the application's buffer is cut at FrameLength.
  std::vector<uint8_t> big = TestRawFrame(kWidth, kHeight, 60);
  std::vector<UCHAR> out = Deliver(big, 100);
  EXPECT_TRUE(std::equal(out.begin(), out.end(), big.begin() + 80));
}

TEST_F(WorkerTest, FramesThatDoNotFitAreRejected) {
  Allocate(LUMAREX_FORMAT_RGB24);
  Start();
  for (uint32_t i = 1; i <= 9; ++i) Deliver(TestRawFrame(kWidth, kHeight, i));
  LUMAREX_WaitForWorkerIdle(&dc_);
  std::vector<UCHAR> shown(dc_.g_pBmpBuf, dc_.g_pBmpBuf + kFrameLength);  // image of frame 9
  ULONG badBefore = dc_.g_nBadFrames;
  // Shorter than the header, and longer than the raw buffer: neither reaches the worker.
  EXPECT_EQ(Deliver(std::vector<uint8_t>(79, 0xD8)), shown);
  std::vector<uint8_t> huge = TestRawFrame(kWidth, kHeight, 11);
  huge.resize(80 + dc_.g_nRawBufSize + 1, 0);
  EXPECT_EQ(Deliver(huge), shown);
  EXPECT_EQ(dc_.g_nBadFrames, badBefore + 2);
  // A JPEG larger than the stream's size is refused before it touches the image.
  EXPECT_EQ(Deliver(TestRawFrame(kWidth * 2, kHeight * 2, 12)), shown);
  // One of the stream's width but fewer rows fits the buffer and decodes, but is not the
  // picture the application asked for.
  EXPECT_EQ(Deliver(TestRawFrame(kWidth, kHeight - 16, 14)), shown);
  std::vector<UCHAR> after = Deliver(TestRawFrame(kWidth, kHeight, 13));
  EXPECT_EQ(after, shown);
  LUMAREX_WaitForWorkerIdle(&dc_);
  EXPECT_EQ(dc_.g_nBadFrames, badBefore + 4);
}

TEST_F(WorkerTest, FailedFloatingPointSaveFallsBackToTheScalarForms) {
  Allocate(LUMAREX_FORMAT_RGB24);
  Start();
  std::vector<uint8_t> seventh;
  for (uint32_t i = 1; i <= 7; ++i) {
    seventh = TestRawFrame(kWidth, kHeight, 70 + i);
    if (i == 7) HostFpu_FailNextSave();
    Deliver(seventh);
  }
  EXPECT_EQ(Deliver(TestRawFrame(kWidth, kHeight, 80)), ExpectedImage(seventh, DeviceSettings(), LUMAREX_FORMAT_RGB24));
  EXPECT_FALSE(LUMAREX_VectorFormsAllowed());
}

TEST_F(WorkerTest, BuffersCanBeFreedOnceTheWorkerIsIdle) {
  Allocate(LUMAREX_FORMAT_RGB24);
  Start();
  for (uint32_t i = 1; i <= 9; ++i) Deliver(TestRawFrame(kWidth, kHeight, i));
  // What bandwidth release does: wait for the worker, then free under its feet if it were
  // still working (the sanitizer builds would catch that).
  LUMAREX_WaitForWorkerIdle(&dc_);
  LUMAREX_FreeMemory(&dc_, FALSE, TRUE, TRUE, TRUE);
  EXPECT_EQ(dc_.g_pBmpBuf, nullptr);
}

}  // namespace
