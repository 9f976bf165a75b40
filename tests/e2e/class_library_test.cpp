// The class library's side of the interface the driver obtained: the isochronous pipe restart
// the camera asks for, device events on the interrupt pipe, and the bulk calls' checks.
#include <atomic>
#include <thread>

#include "e2e/e2e_fixture.h"

namespace e2e {
namespace {

class ClassLibraryTest : public EndToEndTest {};

TEST_F(ClassLibraryTest, ARestartRequestFromTheCameraRestartsThePipeAndStreamingGoesOn) {
  Plug();
  Capture capture = Stream(160, 120, 24, {}, 2, [this](unsigned k) {
    if (k == 10) camera_.RequestRestart();
  });
  ASSERT_EQ(capture.frames.size(), 24u);
  EXPECT_EQ(capture.stats.restarts, 1u);
  // The driver stopped and started the pipe through the interface, in that order.
  std::vector<USHORT> states;
  for (const HostUsbRequest &r : camera_.Requests()) {
    if (r.kind == HostUsbRequest::IsoPipeState) states.push_back(r.value);
  }
  EXPECT_EQ(states, (std::vector<USHORT>{1, 0}));  // stop, then start
  // What arrives after the restart is still the camera's frames, processed.
  ExpectImages(capture, 160, 120, LUMAREX_FORMAT_RGB24, 8, false);
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
