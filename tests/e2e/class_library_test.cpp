// The class library's side of the interface the driver obtained: the isochronous pipe restart
// the camera asks for, device events on the interrupt pipe, and the bulk calls' checks.
#include <atomic>
#include <thread>

#include "e2e/e2e_fixture.h"

namespace e2e {
namespace {

class ClassLibraryTest : public EndToEndTest {};

// The pipe states the driver's requests reached the camera with (1 stop, 0 start), in order.
std::vector<USHORT> PipeStates(const HostSimCamera &camera) {
  std::vector<USHORT> states;
  for (const HostUsbRequest &r : camera.Requests()) {
    if (r.kind == HostUsbRequest::IsoPipeState) states.push_back(r.value);
  }
  return states;
}

// The class library changes the pipe only at PASSIVE_LEVEL: a request at raised IRQL is answered
// STATUS_PENDING and carried out later; a request for the state the pipe is in, or while a
// change is pending, is refused.
TEST_F(ClassLibraryTest, PipeStateRequestsAreDeferredAtRaisedIrqlAndRefusedWhenNeedless) {
  Plug();
  PDEVICE_CONTEXT dc = Context();
  auto set = [dc](KIRQL irql, ULONG state) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    HostIrql_RunAt(irql, [&] { status = dc->g_UsbcamdInterface.USBCAMD_SetIsoPipeState(dc, state); });
    return status;
  };
  constexpr ULONG kStop = USBCAMD_STOP_STREAM, kStart = USBCAMD_START_STREAM;
  struct Step { KIRQL irql; ULONG state; NTSTATUS answer; std::vector<USHORT> reached; } steps[] = {
      {PASSIVE_LEVEL, kStart, STATUS_INVALID_DEVICE_STATE, {}},  // it runs
      {PASSIVE_LEVEL, kStop, STATUS_SUCCESS, {1}},
      {PASSIVE_LEVEL, kStop, STATUS_INVALID_DEVICE_STATE, {1}},
      {DISPATCH_LEVEL, kStart, STATUS_PENDING, {1}},             // queued, not yet done
      {DISPATCH_LEVEL, kStop, STATUS_INVALID_DEVICE_STATE, {1}},  // a change is pending
      {DISPATCH_LEVEL, kStart, STATUS_INVALID_DEVICE_STATE, {1}},
      {PASSIVE_LEVEL, kStart, STATUS_INVALID_DEVICE_STATE, {1, 0}},  // the pending start first
      {DISPATCH_LEVEL, kStop, STATUS_PENDING, {1, 0}},
      {DISPATCH_LEVEL, kStart, STATUS_INVALID_DEVICE_STATE, {1, 0}},  // still running
      {PASSIVE_LEVEL, kStart, STATUS_SUCCESS, {1, 0, 1, 0}},
  };
  camera_.ClearRequests();
  for (size_t i = 0; i < sizeof(steps) / sizeof(steps[0]); ++i) {
    const Step &st = steps[i];
    EXPECT_EQ(set(st.irql, st.state), st.answer) << "step " << i;
    EXPECT_EQ(PipeStates(camera_), st.reached) << "step " << i;
  }
}

// The restart the camera asks for is carried out by the driver at PASSIVE_LEVEL: the pipe ends
// running and the stream goes on; the frame the restart cut never reaches the driver's decoder
// (nor, in MJPG, the application): every raw frame handed over is one the camera sent whole.
TEST_F(ClassLibraryTest, ARestartRequestFromTheCameraRestartsThePipeAndStreamingGoesOn) {
  HostCameraStreamConfig config;
  config.frameLogLimit = 256;
  camera_.ConfigureStream(config);
  Plug();
  for (UCHAR format : {LUMAREX_FORMAT_RGB24, LUMAREX_FORMAT_MJPG}) {
    SCOPED_TRACE(int(format));
    camera_.ClearRequests();
    Capture capture = Stream(160, 120, 24, format == LUMAREX_FORMAT_MJPG ? Allocation(160, 120, format) : std::vector<uint8_t>{},
                             2, [this](unsigned k) {
                               if (k == 10 || k == 14) camera_.RequestRestart();
                             });
    ASSERT_EQ(capture.frames.size(), 24u) << "the pipe ended stopped";
    EXPECT_EQ(capture.stats.restarts, 2u);
    EXPECT_EQ(PipeStates(camera_), (std::vector<USHORT>{1, 0, 1, 0}));  // stop, then start, each time
    std::map<uint64_t, std::vector<uint8_t>> sent;
    for (const HostSentFrame &f : camera_.SentFrames()) sent[f.sequence] = f.raw;
    for (const auto &[index, raw] : capture.raws) {
      ASSERT_GE(raw.size(), 12u);
      uint64_t sequence = 0;
      for (int b = 0; b < 8; ++b) sequence |= uint64_t(raw[4 + b]) << (8 * b);
      ASSERT_EQ(sent.count(sequence), 1u) << "raw frame " << index;
      const std::vector<uint8_t> &whole = sent[sequence];
      EXPECT_TRUE(raw.size() >= whole.size() && std::equal(whole.begin(), whole.end(), raw.begin()))
          << "raw frame " << index << " (camera frame " << sequence << ") was cut: " << raw.size() << " of "
          << whole.size() << " bytes";
    }
    if (format == LUMAREX_FORMAT_RGB24) ExpectImages(capture, 160, 120, LUMAREX_FORMAT_RGB24, 8, false);
  }
}

std::atomic<NTSTATUS> g_lastStatus{STATUS_PENDING};
NTSTATUS NTAPI OnEvent(PVOID, PVOID context, NTSTATUS status) {
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  g_lastStatus = status;
  if (NT_SUCCESS(status)) *static_cast<int *>(context) += 1;
  return STATUS_SUCCESS;
}

TEST_F(ClassLibraryTest, DeviceEventsCompleteWaitsOnTheInterruptPipe) {
  Plug();
  PDEVICE_CONTEXT dc = Context();
  USBCAMD_INTERFACE &i = dc->g_UsbcamdInterface;
  uint8_t buffer[8] = {};
  int count = 0;
  // Pipe 4 is the camera's interrupt pipe; the data pipe is no event source.
  EXPECT_EQ(i.USBCAMD_WaitOnDeviceEvent(dc, 0, buffer, sizeof(buffer), OnEvent, &count, FALSE),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(i.USBCAMD_WaitOnDeviceEvent(dc, 4, buffer, sizeof(buffer), OnEvent, &count, TRUE), STATUS_PENDING);
  device_->SignalDeviceEvent({0x40, 0x01});
  EXPECT_EQ(count, 1);
  EXPECT_EQ(buffer[0], 0x40);
  device_->SignalDeviceEvent({0x00, 0x02});  // LoopBack: the wait was armed again
  EXPECT_EQ(count, 2);
  EXPECT_EQ(buffer[1], 0x02);
  // A caller without a completion routine blocks until the event, signalled once its wait is
  // armed beside the looping one.
  uint8_t sync[2] = {};
  std::thread waiter([&] { EXPECT_EQ(i.USBCAMD_WaitOnDeviceEvent(dc, 4, sync, sizeof(sync), nullptr, nullptr, FALSE), STATUS_SUCCESS); });
  while (device_->EventWaits() < 2) std::this_thread::yield();
  device_->SignalDeviceEvent({0x11, 0x22});
  waiter.join();
  EXPECT_EQ(sync[0], 0x11);
  EXPECT_EQ(count, 3);
  Unplug(true);  // removal cancels the armed wait
  EXPECT_EQ(g_lastStatus.load(), STATUS_CANCELLED);
}

TEST_F(ClassLibraryTest, BulkCallsCheckTheirPipeAndFailOnceTheCameraIsGone) {
  Plug();
  PDEVICE_CONTEXT dc = Context();
  USBCAMD_INTERFACE i = dc->g_UsbcamdInterface;
  uint8_t data[4] = {1, 2, 3, 4};
  EXPECT_EQ(i.USBCAMD_BulkReadWrite(dc, 2, data, sizeof(data), nullptr, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(i.USBCAMD_BulkReadWrite(dc, 1, data, sizeof(data), nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(i.USBCAMD_CancelBulkReadWrite(dc, 0), STATUS_SUCCESS);
  EXPECT_EQ(i.USBCAMD_CancelBulkReadWrite(dc, 7), STATUS_INVALID_PARAMETER);
  HW_STREAM_REQUEST_BLOCK removal{};
  removal.Command = SRB_SURPRISE_REMOVAL;
  EXPECT_EQ(device_->SendDeviceRequest(removal), STATUS_SUCCESS);
  EXPECT_EQ(i.USBCAMD_BulkReadWrite(dc, 0, data, sizeof(data), nullptr, nullptr), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(i.USBCAMD_CancelBulkReadWrite(dc, 0), STATUS_DEVICE_NOT_CONNECTED);
}

}  // namespace
}  // namespace e2e
