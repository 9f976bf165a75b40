// Start and stop, format changes, raw frames late at stop, removal while streaming.
#include "e2e/e2e_fixture.h"

namespace e2e {
namespace {

class LifecycleTest : public EndToEndTest {};

TEST_F(LifecycleTest, StartStopAndFormatChangesRepeatedManyTimes) {
  Plug();
  const int sizes[][2] = {{320, 240}, {160, 120}, {640, 480}};
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE(round);
    const int *size = sizes[round % 3];
    NTSTATUS status;
    std::unique_ptr<HostAppStream> stream = device_->OpenStream(0, Rgb24Format(size[0], size[1]), &status);
    ASSERT_TRUE(stream);
    for (int run = 0; run < 3; ++run) {
      ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
      stream->QueueRead(ULONG(size[0]) * size[1] * 3);
      stream->QueueRead(ULONG(size[0]) * size[1] * 3);
      HostFrame frame;
      ASSERT_TRUE(stream->NextFrame(&frame));
      EXPECT_EQ(frame.status, STATUS_SUCCESS);
      // Stopped (once by way of PAUSE) with a read that may still be queued: it comes back
      // filled or cancelled, never lost.
      if (run == 1) { ASSERT_EQ(stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS); }
      ASSERT_EQ(stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
      ASSERT_TRUE(stream->NextFrame(&frame, std::chrono::seconds(5)));
      EXPECT_TRUE(frame.status == STATUS_SUCCESS || frame.status == STATUS_CANCELLED) << std::hex << frame.status;
      EXPECT_EQ(stream->PendingReads(), 0u);
    }
    // A format change on the open, stopped stream goes through the class library.
    const int *next = sizes[(round + 1) % 3];
    std::vector<uint8_t> format = Rgb24Format(next[0], next[1]);
    EXPECT_EQ(stream->ProposeFormat(format), STATUS_SUCCESS);
    EXPECT_EQ(stream->SetFormat(format), STATUS_SUCCESS);
    EXPECT_EQ(Context()->g_nStreamWidth, next[0]);
    EXPECT_EQ(stream->Close(), STATUS_SUCCESS);
  }
  // A size the pin does not have is refused.
  std::vector<uint8_t> odd = Rgb24Format(320, 240);
  reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER *>(odd.data())->VideoInfoHeader.bmiHeader.biWidth = 352;
  NTSTATUS status;
  EXPECT_FALSE(device_->OpenStream(0, odd, &status));
  EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
}

// Raw frames keep coming during capture stop and the bandwidth release: none may reach the freed
// buffers or the worker, nor undo the stop's reset (every later stream begins with seven blanks).
TEST_F(LifecycleTest, RawFramesDuringStopAndReleaseAreKeptFromTheBuffersAndTheWorker) {
  HostDeviceOptions options;
  options.lateFrames = 3;
  Plug(options);
  for (UCHAR format : {UCHAR(LUMAREX_FORMAT_RGB24), UCHAR(LUMAREX_FORMAT_YUY2), UCHAR(LUMAREX_FORMAT_RGB24)}) {
    SCOPED_TRACE(int(format));
    Capture capture = Stream(320, 240, 10, Allocation(320, 240, format));
    ASSERT_EQ(capture.frames.size(), 10u);
    EXPECT_GE(capture.stats.late, 7u) << "one before the stop, three after it, three after the release";
    ExpectImages(capture, 320, 240, format);
    PDEVICE_CONTEXT dc = Context();
    EXPECT_EQ(dc->g_nWarmupFrames, 0) << "a late frame reached the worker after the stop";
    EXPECT_EQ(dc->g_bSkipBufferWait, 1u);
    EXPECT_EQ(dc->g_pRawBuf, nullptr);
  }
}

// A class library that gives the assembled length only as the actual length (*BytesReturned 0 on
// entry), at the frames it pumps and at the late ones while the stream stops.
TEST_F(LifecycleTest, RawFramesGivenOnlyByTheirActualLengthGiveTheRightPictures) {
  HostDeviceOptions options;
  options.actualLengthOnly = true;
  options.lateFrames = 3;
  Plug(options);
  Capture capture = Stream(320, 240, 12);
  ASSERT_EQ(capture.frames.size(), 12u);
  EXPECT_EQ(ExpectImages(capture, 320, 240, LUMAREX_FORMAT_RGB24), 12u);
  EXPECT_GE(capture.stats.late, 7u);
}

// The device goes to D3 and back while streaming: the camera lost power and its start command, and
// the pictures go on once it is powered again.
TEST_F(LifecycleTest, PicturesResumeAfterThePowerCycleWhileStreaming) {
  Plug();
  uint64_t sentBefore = 0;
  Capture capture = Stream(320, 240, 30, {}, 3, [&](unsigned k) {
    if (k != 10) return;
    ASSERT_EQ(device_->SetPowerState(PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_FALSE(camera_.Streaming()) << "the camera kept its power";
    sentBefore = camera_.FramesSent();
    ASSERT_EQ(device_->SetPowerState(PowerDeviceD0), STATUS_SUCCESS);
  });
  ASSERT_EQ(capture.frames.size(), 30u);
  EXPECT_GE(camera_.FramesSent(), sentBefore + 15) << "the camera was not started again";
  // The frame in flight when the power went is lost, as the one in flight at the stop is.
  EXPECT_GE(capture.stats.abandoned, 2u) << "a frame cut by the power loss was handed on";
  EXPECT_EQ(ExpectImages(capture, 320, 240, LUMAREX_FORMAT_RGB24), 30u);
  const auto &last = capture.frames.back().data;
  EXPECT_FALSE(std::all_of(last.begin(), last.end(), [](uint8_t b) { return b == 0; })) << "the stream went dark";
}

// The class library uninitialises the device while raw frames still arrive: no callback may copy
// into the buffers being freed nor wait for a worker that has ended.
TEST_F(LifecycleTest, UninitialisationWhileRawFramesArriveEndsTheWorkerCleanly) {
  HostDeviceOptions options;
  options.framesDuringUninitialize = 3;
  Plug(options);
  std::unique_ptr<HostAppStream> stream = OpenCapture(*device_, 320, 240, {});
  ASSERT_TRUE(stream && stream->SetState(KSSTATE_RUN) == STATUS_SUCCESS);
  for (int i = 0; i < 12; ++i) stream->QueueRead(320 * 240 * 3);
  HostFrame frame;
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(stream->NextFrame(&frame));
  {
    TestWatchdog watchdog(std::chrono::seconds(8), "uninitialisation with raw frames arriving");
    HW_STREAM_REQUEST_BLOCK uninit{};
    uninit.Command = SRB_UNINITIALIZE_DEVICE;
    EXPECT_EQ(device_->SendDeviceRequest(uninit), STATUS_SUCCESS);
  }
  EXPECT_GE(stream->Stats().late, 4u) << "one before the uninitialisation, three after it";
  PDEVICE_CONTEXT dc = Context();
  EXPECT_EQ(std::tuple(dc->g_bWorkerStarted, dc->g_pRawBuf, dc->g_pBmpBuf, dc->g_pIPContext),
            std::tuple(0u, nullptr, nullptr, nullptr));
  EXPECT_TRUE(HostThreads_WaitAllExited(5000));
}

TEST_F(LifecycleTest, SurpriseRemovalWhileStreamingCancelsReadsAndFreesEverything) {
  Plug();
  std::unique_ptr<HostAppStream> stream = OpenCapture(*device_, 320, 240, {});
  ASSERT_TRUE(stream && stream->SetState(KSSTATE_RUN) == STATUS_SUCCESS);
  for (int i = 0; i < 20; ++i) stream->QueueRead(320 * 240 * 3);
  HostFrame frame;
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(stream->NextFrame(&frame));
  ASSERT_EQ(device_->SetVideoProcAmp(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 70), NTSTATUS(1));
  // With the isochronous pipe stopped the removal finds the two reads queued now still waiting.
  PDEVICE_CONTEXT dc = Context();
  dc->g_UsbcamdInterface.USBCAMD_SetIsoPipeState(dc, USBCAMD_STOP_STREAM);
  stream->QueueRead(320 * 240 * 3);
  stream->QueueRead(320 * 240 * 3);
  PDEVICE_OBJECT pdo = device_->PhysicalDeviceObject();
  EXPECT_EQ(device_->Remove(true), STATUS_SUCCESS);
  // The camera was gone: the stop command failed, and the settings of the capture were saved.
  EXPECT_EQ(HostRegistry_GetDword(pdo, "Settings", "Brightness"), 70u);
  device_.reset();
  unsigned cancelled = 0;
  while (stream->NextFrame(&frame, std::chrono::milliseconds(200))) cancelled += frame.status == STATUS_CANCELLED;
  EXPECT_GE(cancelled, 2u);
  EXPECT_FALSE(stream->Open());
  EXPECT_EQ(stream->PendingReads(), 0u);
}

TEST_F(LifecycleTest, OrderlyRemovalWhileRunningStopsTheStreamAndUnloadsCleanly) {
  Plug();
  std::unique_ptr<HostAppStream> stream = OpenCapture(*device_, 160, 120, {});
  ASSERT_TRUE(stream && stream->SetState(KSSTATE_RUN) == STATUS_SUCCESS);
  for (int i = 0; i < 4; ++i) stream->QueueRead(160 * 120 * 3);
  HostFrame frame;
  ASSERT_TRUE(stream->NextFrame(&frame));
  PDEVICE_OBJECT pdo = device_->PhysicalDeviceObject();
  EXPECT_EQ(device_->Remove(false), STATUS_SUCCESS);
  // The camera was still there: capture stop saved the settings.
  EXPECT_EQ(HostRegistry_GetDword(pdo, "Settings", "Brightness"), 50u);
  device_.reset();
  EXPECT_FALSE(stream->Open());
  // Plugged in again, the camera streams as before.
  Plug();
  EXPECT_EQ(Stream(160, 120, 10).frames.size(), 10u);
}

}  // namespace
}  // namespace e2e
