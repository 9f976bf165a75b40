// Capture start and stop through the USBCAMD2 callbacks: the start command at each size, the
// stop command, the 150 ms delays, the decode worker's creation on the first start only, the
// log lines, and the settings saved after a stop the camera accepted.
#include <thread>

#include "controls_fixture.h"
#include "imageproc.h"

namespace {

using namespace controls;

constexpr NTSTATUS kSaved = 1;

class CaptureTest : public ControlsTest {
 protected:
  void SetUp() override {
    ControlsTest::SetUp();
    threadsAtStart_ = HostThreads_Running();
    dc_.g_nIPContextSize = ZRImageProcess_GetContextSize();
    dc_.g_pIPContext = ExAllocatePoolWithTag(NonPagedPool, dc_.g_nIPContextSize, LUMAREX_POOL_TAG);
    dc_.g_WorkerWaitObjects[0] = &dc_.g_StopWorkerEvent;
    dc_.g_WorkerWaitObjects[1] = &dc_.g_FrameReadyEvent;
    dc_.g_nRawFrameSize = 320 * 240;
  }
  void TearDown() override {
    StopWorker();
    ExFreePool(dc_.g_pIPContext);
    dc_.g_pIPContext = nullptr;
    ControlsTest::TearDown();
  }
  // What uninitialisation does to end the worker.
  void StopWorker() {
    if (!dc_.g_bWorkerStarted) return;
    KeSetEvent(&dc_.g_StopWorkerEvent, 1, FALSE);
    KeWaitForSingleObject(&dc_.g_WorkerExitedEvent, Executive, KernelMode, FALSE, NULL);
    KeWaitForSingleObject(dc_.g_pWorkerThread, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(dc_.g_pWorkerThread);
    dc_.g_pWorkerThread = nullptr;
    dc_.g_bWorkerStarted = 0;
    EXPECT_TRUE(HostThreads_WaitAllExited(5000));
  }
  size_t threadsAtStart_ = 0;
};

TEST_F(CaptureTest, StartSendsTheSizesCommandThenWaits150ms) {
  struct Case {
    ULONG rawSize;
    USHORT value, index;
    const char *log;
  } cases[] = {{160 * 120, 0x0A40, 7, "<lumarex>enter LUMAREX_StartVideoCapture 0x4b00"},
               {320 * 240, 0x1440, 15, "<lumarex>enter LUMAREX_StartVideoCapture 0x12c00"},
               {640 * 480, 0x2840, 30, "<lumarex>enter LUMAREX_StartVideoCapture 0x4b000"}};
  dc_.g_bWorkerStarted = 1;  // a later start: only the command
  for (const Case &c : cases) {
    camera_.ClearRequests();
    HostDbg_Clear();
    HostTime_ResetDelayStats();
    dc_.g_nRawFrameSize = c.rawSize;
    dc_.g_nWarmupFrames = 7;
    EXPECT_EQ(CamStartCaptureEx(nullptr, &dc_, 0), STATUS_SUCCESS);
    EXPECT_EQ(Seen(), (std::vector<std::string>{Out(c.value, c.index)})) << "no data stage";
    EXPECT_EQ(HostTime_DelayStats().count, 1u);
    EXPECT_EQ(HostTime_DelayStats().total100ns, 1500000);
    EXPECT_EQ(HostDbg_Lines(), (std::vector<std::string>{c.log}));
    EXPECT_EQ(dc_.g_nWarmupFrames, 0);
  }
  dc_.g_bWorkerStarted = 0;
}

TEST_F(CaptureTest, StartAtAnUnofferedSizeUsesTheDefaultFormatsCommand) {
  dc_.g_bWorkerStarted = 1;
  dc_.g_nRawFrameSize = 0;
  EXPECT_EQ(CamStartCaptureEx(nullptr, &dc_, 0), STATUS_SUCCESS);
  EXPECT_EQ(Seen(), (std::vector<std::string>{Out(0x1440, 15)}));
  dc_.g_bWorkerStarted = 0;
}

TEST_F(CaptureTest, FirstStartCreatesTheWorkerAndReportsItsCreationNotTheCommand) {
  camera_.AnswerControl(false, 0x1440, 15, {STATUS_DEVICE_DATA_ERROR, {}, 0});
  EXPECT_EQ(CamStartCaptureEx(nullptr, &dc_, 0), STATUS_SUCCESS);
  EXPECT_EQ(dc_.g_bWorkerStarted, 1u);
  ASSERT_NE(dc_.g_pWorkerThread, nullptr);
  EXPECT_EQ(HostThreads_Running(), threadsAtStart_ + 1);
  EXPECT_EQ(HostTime_DelayStats().count, 1u) << "the delay follows a failed command too";
  // The worker's events exist, not signalled, and the worker waits on them.
  EXPECT_EQ(KeReadStateEvent(&dc_.g_BufferFreeEvent), 0);
  EXPECT_EQ(KeReadStateEvent(&dc_.g_StopWorkerEvent), 0);

  // A later start creates nothing and reports the command's status.
  PKTHREAD worker = dc_.g_pWorkerThread;
  dc_.g_nWarmupFrames = 5;
  EXPECT_EQ(CamStartCaptureEx(nullptr, &dc_, 0), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(dc_.g_pWorkerThread, worker);
  EXPECT_EQ(HostThreads_Running(), threadsAtStart_ + 1);
  EXPECT_EQ(dc_.g_nWarmupFrames, 0);
  EXPECT_EQ(Seen().size(), 2u);
}

TEST_F(CaptureTest, AFailedWorkerCreationIsReportedAndRetriedAtTheNextStart) {
  dc_.g_nWarmupFrames = 5;
  HostThreads_FailNextCreate(STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(CamStartCaptureEx(nullptr, &dc_, 0), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(dc_.g_bWorkerStarted, 0u);
  EXPECT_EQ(dc_.g_nWarmupFrames, 5) << "left as it was";
  EXPECT_EQ(HostDbg_PendingText(), "<vantor>StartWorkerThread Error");
  EXPECT_EQ(HostThreads_Running(), threadsAtStart_);

  EXPECT_EQ(CamStartCaptureEx(nullptr, &dc_, 0), STATUS_SUCCESS);
  EXPECT_EQ(dc_.g_bWorkerStarted, 1u);
  EXPECT_EQ(dc_.g_nWarmupFrames, 0);
  EXPECT_EQ(Seen().size(), 2u) << "each start sends its command";
}

// After CamInitialize failed there is no image-process context: the start is refused before
// the camera hears of it, and a raw frame the class library still delivers reaches no worker.
TEST_F(CaptureTest, WithoutAnImageProcessContextTheStartIsRefusedAndNothingIsDecoded) {
  PVOID context = dc_.g_pIPContext;
  dc_.g_pIPContext = nullptr;
  EXPECT_FALSE(NT_SUCCESS(CamStartCaptureEx(nullptr, &dc_, 0)));
  EXPECT_TRUE(Seen().empty());
  EXPECT_EQ(dc_.g_bWorkerStarted, 0u);
  EXPECT_EQ(HostThreads_Running(), threadsAtStart_);
  std::vector<uint8_t> raw(200, 0xAB);
  std::vector<UCHAR> out(320 * 240 * 3, 0x5A);
  ULONG bytes = ULONG(raw.size());
  dc_.g_nOutputFormat = LUMAREX_FORMAT_RGB24;
  dc_.g_nFrameWidth = 320;
  dc_.g_nFrameHeight = 240;
  dc_.g_nRawBufSize = 1000;
  std::vector<UCHAR> rawBuf(1000);
  dc_.g_pRawBuf = rawBuf.data();
  EXPECT_EQ(CamProcessRawVideoFrameEx(nullptr, &dc_, nullptr, out.data(), ULONG(out.size()), raw.data(),
                                      ULONG(raw.size()), 1, &bytes, ULONG(raw.size()), 0),
            STATUS_SUCCESS);
  dc_.g_pRawBuf = nullptr;
  EXPECT_EQ(dc_.g_bFrameInFlight, 0) << "handed to a worker that does not exist";
  EXPECT_EQ(bytes, ULONG(out.size()));
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](UCHAR b) { return b == 0; })) << "a blank frame";
  dc_.g_pIPContext = context;
}

TEST_F(CaptureTest, TheStillStreamStartsAndStopsNothing) {
  EXPECT_EQ(CamStartCaptureEx(nullptr, &dc_, 1), STATUS_SUCCESS);
  EXPECT_EQ(CamStopCaptureEx(nullptr, &dc_, 1), STATUS_SUCCESS);
  EXPECT_TRUE(Seen().empty());
  EXPECT_EQ(HostTime_DelayStats().count, 0u);
  EXPECT_EQ(dc_.g_bWorkerStarted, 0u);
  EXPECT_FALSE(HostRegistry_KeyExists(&pdo_, "Settings"));
}

TEST_F(CaptureTest, StopSendsTheStopCommandAndSavesTheSettings) {
  dc_.g_nBrightness = 10;
  dc_.g_nContrast = 20;
  dc_.g_nSaturation = 30;
  dc_.g_nSharpness = 40;
  dc_.g_nWhiteBalance = 60;
  dc_.g_nCompressionQuality = 85;
  dc_.g_nWarmupFrames = 7;
  dc_.g_bSkipBufferWait = 0;
  EXPECT_EQ(CamStopCaptureEx(nullptr, &dc_, 0), kSaved);
  EXPECT_EQ(Seen(), (std::vector<std::string>{Out(0x00A0, 0)}));
  EXPECT_EQ(HostTime_DelayStats().count, 1u);
  EXPECT_EQ(HostTime_DelayStats().total100ns, 1500000);
  EXPECT_EQ(dc_.g_nWarmupFrames, 0);
  EXPECT_EQ(dc_.g_bSkipBufferWait, 1u);
  EXPECT_EQ(HostRegistry_ValueNames(&pdo_, "Settings"),
            (std::vector<std::string>{"Brightness", "Contrast", "Saturation", "Sharpness", "WhiteBalance",
                                      "CompressionQuality"}));
  EXPECT_EQ(HostRegistry_GetDword(&pdo_, "Settings", "Brightness"), 10u);
  EXPECT_EQ(HostRegistry_GetDword(&pdo_, "Settings", "Contrast"), 20u);
  EXPECT_EQ(HostRegistry_GetDword(&pdo_, "Settings", "Saturation"), 30u);
  EXPECT_EQ(HostRegistry_GetDword(&pdo_, "Settings", "Sharpness"), 40u);
  EXPECT_EQ(HostRegistry_GetDword(&pdo_, "Settings", "WhiteBalance"), 60u);
  EXPECT_EQ(HostRegistry_GetDword(&pdo_, "Settings", "CompressionQuality"), 85u);
}

TEST_F(CaptureTest, AStopTheCameraRefusedLeavesTheRegistryAlone) {
  camera_.AnswerControl(false, 0x00A0, 0, {STATUS_DEVICE_DATA_ERROR, {}, 0});
  dc_.g_bSkipBufferWait = 0;
  EXPECT_EQ(CamStopCaptureEx(nullptr, &dc_, 0), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(dc_.g_bSkipBufferWait, 1u);
  EXPECT_EQ(HostTime_DelayStats().count, 1u);
  EXPECT_FALSE(HostRegistry_KeyExists(&pdo_, "Settings"));
  EXPECT_EQ(HostRegistry_Stats().deviceKeyOpens, 0u);
}

TEST_F(CaptureTest, AStopWhoseSettingsCannotBeSavedReportsTheRegistryFailure) {
  HostRegistry_FailOpen(&pdo_, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(CamStopCaptureEx(nullptr, &dc_, 0), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Seen(), (std::vector<std::string>{Out(0x00A0, 0)}));
}

TEST_F(CaptureTest, StartAndStopRunWholeWhileAPropertySequenceIsUnderWay) {
  // A slow camera: the stop must not slip between the private set's two commands.
  camera_.SetLatency(std::chrono::microseconds(2000));
  HostTime_SetDelayScale(1, 100);
  dc_.g_bWorkerStarted = 1;
  std::thread property([&] {
    PropertyRequest r(7, KSPROPERTY_TYPE_SET, 32, 32);
    LUMAREX_SetCustomProperty(&dc_, &r.srb);
  });
  while (camera_.Requests().empty()) {
    std::this_thread::yield();  // the property's first command has reached the camera
  }
  CamStopCaptureEx(nullptr, &dc_, 0);
  property.join();
  std::vector<std::string> seen = Seen();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(seen.begin(), seen.begin() + 2),
            (std::vector<std::string>{Out(6, 0x30, 1, "00"), In(7, 0, 1, "00")}));
  EXPECT_EQ(seen[2], Out(0x00A0, 0));
  dc_.g_bWorkerStarted = 0;
}

// Start, a property sequence and stop as an application's requests: the worker's handle and
// the settings keys stay out of the application's handle table (the worker is ended below, in
// the system process, from the reference start took), and every command goes out inside a
// critical region that the request leaves again before it returns.
TEST_F(CaptureTest, RequestsOfAnApplicationLeaveNoHandlesOrCriticalRegionsBehind) {
  size_t applicationHandles = HostObjects_ApplicationHandlesCreated();
  {
    HostProcessScope application(HostProcess_NewApplication());
    EXPECT_EQ(CamStartCaptureEx(nullptr, &dc_, 0), STATUS_SUCCESS);
    PropertyRequest r(7, KSPROPERTY_TYPE_SET, 32, 32);
    EXPECT_EQ(LUMAREX_SetCustomProperty(&dc_, &r.srb), STATUS_SUCCESS);
    EXPECT_EQ(CamStopCaptureEx(nullptr, &dc_, 0), kSaved);
  }
  EXPECT_EQ(HostObjects_ApplicationHandlesCreated(), applicationHandles);
  std::vector<HostUsbRequest> requests = camera_.Requests();
  ASSERT_EQ(requests.size(), 4u);  // start, the property's two commands, stop
  for (const HostUsbRequest &request : requests) {
    EXPECT_EQ(request.criticalRegions, 1) << Describe(request);
  }
  StopWorker();
}

}  // namespace
