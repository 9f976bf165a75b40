// Capture start and stop: commands, settle delays, the worker's creation and the settings saved at stop.
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "controls_fixture.h"
#include "host_usbcamd.h"
#include "imageproc.h"

namespace {

using namespace controls;

class CaptureTest : public ControlsTest {
 protected:
  void SetUp() override {
    ControlsTest::SetUp();
    threadsAtStart_ = HostThreads_Running();
    dc_.g_nIPContextSize = ZRImageProcess_GetContextSize();
    dc_.g_pIPContext = ExAllocatePoolWithTag(NonPagedPool, dc_.g_nIPContextSize, LUMAREX_POOL_TAG);
    dc_.g_WorkerWaitObjects[0] = &dc_.g_StopWorkerEvent;
    dc_.g_WorkerWaitObjects[1] = &dc_.g_FrameReadyEvent;
    dc_.g_WorkerWaitObjects[2] = &dc_.g_RestartEvent;
    dc_.g_nRawFrameSize = 320 * 240;
  }
  void TearDown() override {
    CamUnInitialize(nullptr, &dc_);  // ends the worker and frees the context
    EXPECT_TRUE(HostThreads_WaitAllExited(5000));
    ControlsTest::TearDown();
  }
  size_t threadsAtStart_ = 0;
};

TEST_F(CaptureTest, StartSendsTheSizesCommandThenWaits150ms) {
  struct Case { ULONG rawSize; USHORT value, index; const char *log; } cases[] = {
      {160 * 120, 0x0A40, 7, "<lumarex>enter LUMAREX_StartVideoCapture 0x4b00"},
               {320 * 240, 0x1440, 15, "<lumarex>enter LUMAREX_StartVideoCapture 0x12c00"},
               {640 * 480, 0x2840, 30, "<lumarex>enter LUMAREX_StartVideoCapture 0x4b000"},
               {0, 0x1440, 15, "<lumarex>enter LUMAREX_StartVideoCapture 0x0"}};  // unoffered: the default
  dc_.g_bWorkerStarted = 1;  // a later start: only the command
  for (const Case &c : cases) {
    camera_.ClearRequests();
    HostDbg_Clear();
    HostTime_ResetDelayStats();
    dc_.g_nRawFrameSize = c.rawSize;
    dc_.g_nWarmupFrames = 7;
    EXPECT_EQ(CamStartCaptureEx(nullptr, &dc_, 0), STATUS_SUCCESS);
    EXPECT_EQ(Seen(), Lines{Out(c.value, c.index)}) << "no data stage";
    EXPECT_EQ(std::tuple(HostTime_DelayStats().count, HostTime_DelayStats().total100ns), std::tuple(1u, 1500000LL));
    EXPECT_EQ(HostDbg_Lines(), Lines{c.log});
    EXPECT_EQ(dc_.g_nWarmupFrames, 0);
  }
  dc_.g_bWorkerStarted = 0;
}

TEST_F(CaptureTest, TheFirstSuccessfulStartCreatesTheWorkerAndReportsItsCreation) {
  dc_.g_nWarmupFrames = 5;
  HostThreads_FailNextCreate(STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(CamStartCaptureEx(nullptr, &dc_, 0), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(std::tuple(dc_.g_bWorkerStarted, dc_.g_nWarmupFrames, HostThreads_Running()),
            std::tuple(0u, UCHAR(5), threadsAtStart_));
  EXPECT_EQ(HostDbg_PendingText(), "<vantor>StartWorkerThread Error");
  camera_.AnswerControl(false, 0x1440, 15, {STATUS_DEVICE_DATA_ERROR, {}, 0});
  EXPECT_EQ(CamStartCaptureEx(nullptr, &dc_, 0), STATUS_SUCCESS);
  ASSERT_EQ(dc_.g_bWorkerStarted, 1u);
  PKTHREAD worker = dc_.g_pWorkerThread;
  EXPECT_EQ(CamStartCaptureEx(nullptr, &dc_, 0), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(std::tuple(dc_.g_pWorkerThread, HostThreads_Running()), std::tuple(worker, threadsAtStart_ + 1));
  EXPECT_EQ(Seen().size(), 3u) << "each start sends its command";
  EXPECT_EQ(HostTime_DelayStats().count, 3u) << "the delay follows a failed command too";
}

// A worker whose thread object cannot be referenced is ended before its handle is closed: nobody
// could stop it later. The next start creates one that runs.
// The stream's frame buffers, which the ending worker released, are there again for that start.
TEST_F(CaptureTest, AWorkerThatCannotBeReferencedIsEndedAndTheNextStartTriesAgain) {
  dc_.g_nRawLength = 1000, dc_.g_nBmpBufSize = 230400, dc_.g_nIPBufSize = 230400;
  ASSERT_EQ(LUMAREX_AllocateMemory(&dc_, FALSE, TRUE, TRUE, TRUE), STATUS_SUCCESS);
  HostObjects_FailNextReference(STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(CamStartCaptureEx(nullptr, &dc_, 0), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(std::tuple(dc_.g_bWorkerStarted, dc_.g_pWorkerThread), std::tuple(0u, nullptr));
  EXPECT_TRUE(HostThreads_WaitAllExited(5000)) << "the unreferenced worker still runs";
  EXPECT_EQ(HostObjects_OpenHandles(), handlesAtStart_);
  EXPECT_TRUE(dc_.g_pRawBuf != nullptr && dc_.g_pBmpBuf != nullptr && dc_.g_pIPBuf != nullptr);
  EXPECT_EQ(std::tuple(dc_.g_nRawBufSize, dc_.g_nBmpBufSize, dc_.g_nIPBufSize), std::tuple(1000u, 230400u, 230400u));
  EXPECT_EQ(CamStartCaptureEx(nullptr, &dc_, 0), STATUS_SUCCESS);
  EXPECT_EQ(std::tuple(dc_.g_bWorkerStarted, HostThreads_Running()), std::tuple(1u, threadsAtStart_ + 1));
}

// A synchronous command the class library answers STATUS_PENDING has not been carried out.
TEST_F(CaptureTest, AStartOrStopAnsweredPendingFails) {
  dc_.g_bWorkerStarted = 1;  // a later start: the command's status is the result
  HostUsbcamd_AnswerPending(&dc_, true);
  EXPECT_FALSE(NT_SUCCESS(CamStartCaptureEx(nullptr, &dc_, 0)));
  EXPECT_FALSE(NT_SUCCESS(CamStopCaptureEx(nullptr, &dc_, 0)));
  HostUsbcamd_AnswerPending(&dc_, false);
  dc_.g_bWorkerStarted = 0;
}

// Without an image-process context the start is refused and a raw frame still delivered comes out blank.
TEST_F(CaptureTest, WithoutAnImageProcessContextTheStartIsRefusedAndNothingIsDecoded) {
  ExFreePool(dc_.g_pIPContext);
  dc_.g_pIPContext = nullptr;
  EXPECT_FALSE(NT_SUCCESS(CamStartCaptureEx(nullptr, &dc_, 0)));
  EXPECT_TRUE(Seen().empty());
  EXPECT_EQ(HostThreads_Running(), threadsAtStart_);
  std::vector<uint8_t> raw(200, 0xAB), rawBuf(1000);
  std::vector<UCHAR> out(320 * 240 * 3, 0x5A);
  ULONG bytes = 200;
  dc_.g_nOutputFormat = LUMAREX_FORMAT_RGB24;
  dc_.g_nFrameWidth = 320, dc_.g_nFrameHeight = 240, dc_.g_nRawBufSize = 1000, dc_.g_pRawBuf = rawBuf.data();
  EXPECT_EQ(CamProcessRawVideoFrameEx(nullptr, &dc_, nullptr, out.data(), 230400, raw.data(), 200, 1, &bytes, 200, 0),
            STATUS_SUCCESS);
  dc_.g_pRawBuf = nullptr;
  EXPECT_EQ(std::tuple(dc_.g_bFrameInFlight, bytes), std::tuple(0, 230400u)) << "no worker to hand it to";
  EXPECT_EQ(out, std::vector<UCHAR>(out.size(), 0)) << "a blank frame";
}

// The settings are saved whatever the camera answered (one unplugged while streaming fails the
// stop); a failed stop's status is still what the stop returns.
TEST_F(CaptureTest, StopSendsTheStopCommandAndSavesTheSettingsWhateverTheCameraAnswered) {
  EXPECT_EQ(CamStartCaptureEx(nullptr, &dc_, 1), STATUS_SUCCESS);  // the still stream: nothing
  EXPECT_EQ(CamStopCaptureEx(nullptr, &dc_, 1), STATUS_SUCCESS);
  EXPECT_TRUE(Seen().empty());
  EXPECT_EQ(HostTime_DelayStats().count, 0u);
  camera_.AnswerControl(false, 0x00A0, 0, {STATUS_DEVICE_DATA_ERROR, {}, 1});
  const LONG brightness[] = {61, 62};
  int round = 0;
  for (NTSTATUS expected : {STATUS_DEVICE_DATA_ERROR, NTSTATUS(1)}) {
    dc_.g_nWarmupFrames = 7;
    dc_.g_bSkipBufferWait = 0;
    dc_.g_nBrightness = brightness[round];
    EXPECT_EQ(CamStopCaptureEx(nullptr, &dc_, 0), expected);
    EXPECT_EQ(std::tuple(dc_.g_nWarmupFrames, dc_.g_bSkipBufferWait), std::tuple(UCHAR(0), 1u));
    EXPECT_EQ(HostRegistry_GetDword(&pdo_, "Settings", "Brightness"), uint32_t(brightness[round]))
        << "saved after the stop, accepted or not";
    ++round;
  }
  EXPECT_EQ(Seen(), (Lines{Failed(Out(0x00A0, 0), STATUS_DEVICE_DATA_ERROR), Out(0x00A0, 0)}));
  EXPECT_EQ(HostTime_DelayStats().total100ns, 2 * 1500000);
  HostRegistry_FailOpen(&pdo_, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(CamStopCaptureEx(nullptr, &dc_, 0), STATUS_OBJECT_NAME_NOT_FOUND);
}

std::atomic<int> g_pipeCalls{0};
NTSTATUS NTAPI CountPipeState(PVOID, ULONG) {
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  ++g_pipeCalls;
  return STATUS_SUCCESS;
}

// The worker restarts the isochronous pipe when the packet routine asked for it, unless capture
// stopped first: the stop cancels a restart not yet done.
TEST_F(CaptureTest, StopCancelsARestartTheWorkerHasNotDone) {
  ASSERT_EQ(CamStartCaptureEx(nullptr, &dc_, 0), STATUS_SUCCESS);
  ASSERT_EQ(dc_.g_bWorkerStarted, 1u);
  dc_.g_UsbcamdInterface.Interface.Version = USBCAMD_VERSION_200;
  dc_.g_UsbcamdInterface.USBCAMD_SetIsoPipeState = CountPipeState;
  g_pipeCalls = 0;
  auto waitFor = [](const std::function<bool()> &done, const char *what) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the worker never " << what;
      std::this_thread::yield();
    }
  };
  InterlockedExchange(&dc_.g_bRestartRequested, 1);  // asked, but the worker not woken yet
  EXPECT_EQ(CamStopCaptureEx(nullptr, &dc_, 0), 1);
  KeSetEvent(&dc_.g_RestartEvent, IO_NO_INCREMENT, FALSE);
  waitFor([&] { return KeReadStateEvent(&dc_.g_RestartEvent) == 0; }, "took the restart event");
  EXPECT_EQ(g_pipeCalls.load(), 0) << "cancelled by the stop";
  InterlockedExchange(&dc_.g_bRestartRequested, 1);
  KeSetEvent(&dc_.g_RestartEvent, IO_NO_INCREMENT, FALSE);
  waitFor([&] { return g_pipeCalls.load() >= 2; }, "stopped and started the pipe");
  EXPECT_EQ(g_pipeCalls.load(), 2);
}

}  // namespace
