// Plugging, streaming and unplugging repeated: start and stop, format changes, removal while
// streaming, and the pool, threads and handles all given back at the end.
#include "e2e/e2e_fixture.h"

namespace e2e {
namespace {

class LifecycleTest : public EndToEndTest {};

TEST_F(LifecycleTest, ArrivalCallsTheDriverInOrderAndTheInterfaceIsObtained) {
  Plug();
  PDEVICE_CONTEXT dc = Context();
  EXPECT_NE(dc->g_pIPContext, nullptr) << "CamInitialize allocated the image-process context";
  EXPECT_NE(dc->g_pInterfaceInfo, nullptr) << "CamConfigureEx kept the interface";
  EXPECT_EQ(dc->g_nNumberOfStreams, 1u);
  EXPECT_EQ(dc->g_UsbcamdInterface.Interface.Version, USBCAMD_VERSION_200);
  EXPECT_NE(dc->g_UsbcamdInterface.USBCAMD_SetIsoPipeState, nullptr);
  EXPECT_EQ(dc->g_pPhysicalDeviceObject, device_->PhysicalDeviceObject());
}

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
      ULONG bytes = ULONG(size[0]) * size[1] * 3;
      stream->QueueRead(bytes);
      stream->QueueRead(bytes);
      HostFrame frame;
      ASSERT_TRUE(stream->NextFrame(&frame));
      EXPECT_EQ(frame.status, STATUS_SUCCESS);
      // Stop with a read that may still be queued: it comes back filled or cancelled, never lost.
      ASSERT_EQ(stream->SetState(run == 1 ? KSSTATE_PAUSE : KSSTATE_STOP), STATUS_SUCCESS);
      if (run != 1) {
        ASSERT_TRUE(stream->NextFrame(&frame, std::chrono::seconds(5)));
      } else {
        ASSERT_EQ(stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
        ASSERT_TRUE(stream->NextFrame(&frame, std::chrono::seconds(5)));
      }
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

// The class library keeps handing the driver raw frames while capture stop and the bandwidth
// release run. None of them may reach the frame buffers or the worker (which the release
// frees), nor undo the stop's reset: every later stream still begins with its seven blank
// frames and then the camera's images.
TEST_F(LifecycleTest, RawFramesDuringStopAndReleaseAreKeptFromTheBuffersAndTheWorker) {
  HostDeviceOptions options;
  options.lateFrames = 3;
  Plug(options);
  for (UCHAR format : {UCHAR(LUMAREX_FORMAT_RGB24), UCHAR(LUMAREX_FORMAT_YUY2), UCHAR(LUMAREX_FORMAT_RGB24)}) {
    SCOPED_TRACE(int(format));
    std::vector<uint8_t> allocation;
    if (format == LUMAREX_FORMAT_YUY2) allocation = WithCompression(Rgb24Format(320, 240), kFourCcYuy2, 16);
    Capture capture = Stream(320, 240, 10, allocation);
    ASSERT_EQ(capture.frames.size(), 10u);
    EXPECT_GE(capture.stats.late, 7u) << "one before the stop, three after it, three after the release";
    std::vector<std::vector<UCHAR>> expected = ExpectedFrames(capture, 320, 240, format);
    for (size_t k = 1; k <= capture.frames.size(); ++k) {
      ASSERT_FALSE(expected[k - 1].empty());
      EXPECT_TRUE(std::equal(expected[k - 1].begin(), expected[k - 1].end(), capture.frames[k - 1].data.begin()))
          << "frame " << k;
    }
    PDEVICE_CONTEXT dc = Context();
    EXPECT_EQ(dc->g_nWarmupFrames, 0) << "a late frame reached the worker after the stop";
    EXPECT_EQ(dc->g_bSkipBufferWait, 1u);
    EXPECT_EQ(dc->g_pRawBuf, nullptr);
  }
}

TEST_F(LifecycleTest, SurpriseRemovalWhileStreamingCancelsReadsAndFreesEverything) {
  Plug();
  std::unique_ptr<HostAppStream> stream = Running(320, 240, 20);
  ASSERT_TRUE(stream);
  HostFrame frame;
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(stream->NextFrame(&frame));
  // With the isochronous pipe stopped no frame can fill the two reads queued now, however fast
  // the camera filled the others: the removal finds them waiting.
  PDEVICE_CONTEXT dc = Context();
  dc->g_UsbcamdInterface.USBCAMD_SetIsoPipeState(dc, USBCAMD_STOP_STREAM);
  stream->QueueRead(320 * 240 * 3);
  stream->QueueRead(320 * 240 * 3);
  PDEVICE_OBJECT pdo = device_->PhysicalDeviceObject();
  EXPECT_EQ(device_->Remove(true), STATUS_SUCCESS);
  // The camera was gone: the stop command failed and the settings were not saved.
  EXPECT_TRUE(HostRegistry_ValueNames(pdo, "Settings").empty());
  device_.reset();
  unsigned cancelled = 0;
  while (stream->NextFrame(&frame, std::chrono::milliseconds(200))) cancelled += frame.status == STATUS_CANCELLED;
  EXPECT_GE(cancelled, 2u);
  EXPECT_FALSE(stream->Open());
  EXPECT_EQ(stream->PendingReads(), 0u);
  EXPECT_EQ(HostUsbcamd_DeviceCount(), 0u);
}

TEST_F(LifecycleTest, OrderlyRemovalWhileRunningStopsTheStreamAndUnloadsCleanly) {
  Plug();
  std::unique_ptr<HostAppStream> stream = Running(160, 120, 4);
  ASSERT_TRUE(stream);
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
  Capture capture = Stream(160, 120, 10);
  EXPECT_EQ(capture.frames.size(), 10u);
}

}  // namespace
}  // namespace e2e
