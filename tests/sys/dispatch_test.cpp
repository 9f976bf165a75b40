// Initialisation complete: the query of the class library's interface, in the cases a session does not reach.
#include "controls_fixture.h"
#include "host_stream.h"

namespace {

using namespace controls;

class DispatchTest : public ControlsTest {
 protected:
  void SetUp() override {
    ControlsTest::SetUp();
    HostStream_Reset();
    dc_.g_UsbcamdInterface.Interface.Version = 0;  // absent until the query
  }
  HW_STREAM_REQUEST_BLOCK Srb(SRB_COMMAND command, PVOID data) {
    HW_STREAM_REQUEST_BLOCK srb = {};
    srb.SizeOfThisPacket = sizeof(srb);
    srb.Command = command;
    srb.HwDeviceExtension = &dc_;
    srb.StreamObject = &stream_;
    srb.CommandData.ConfigInfo = static_cast<PPORT_CONFIGURATION_INFORMATION>(data);  // a union of pointers
    return srb;
  }
  DEVICE_OBJECT classDo_ = {};
  HW_STREAM_OBJECT stream_ = {};
};

// A query that pends, fails or lacks the isochronous entry decides the interface's presence.
TEST_F(DispatchTest, TheInterfaceQueryDecidesPresence) {
  PORT_CONFIGURATION_INFORMATION config = {};
  config.ClassDeviceObject = &classDo_;
  config.PhysicalDeviceObject = &pdo_;
  HW_STREAM_REQUEST_BLOCK init = Srb(SRB_INITIALIZE_DEVICE, &config);
  LUMAREX_ReceiveDevicePacket(&init);
  struct Case { HostQueryMode mode; bool failBuild, failPool; NTSTATUS status; USHORT version; } cases[] = {
      {HostQueryMode::Answer, false, false, STATUS_SUCCESS, 0x200},
      {HostQueryMode::AnswerPending, false, false, STATUS_SUCCESS, 0x200},
      {HostQueryMode::Refuse, false, false, STATUS_SUCCESS, 0},
      {HostQueryMode::NoIsoEntry, false, false, STATUS_SUCCESS, 0},
      {HostQueryMode::Answer, true, false, STATUS_SUCCESS, 0},
      {HostQueryMode::Answer, false, true, STATUS_INSUFFICIENT_RESOURCES, 0x200}};
  for (const Case &c : cases) {
    dc_.g_UsbcamdInterface = HostUsbcamd_Interface();
    HostIrp_SetQueryMode(c.mode);
    if (c.failBuild) HostIrp_FailNextBuild();
    if (c.failPool) HostPool_FailNthAllocation(1);
    HW_STREAM_REQUEST_BLOCK srb = Srb(SRB_INITIALIZATION_COMPLETE, nullptr);
    LUMAREX_ReceiveDevicePacket(&srb);
    EXPECT_EQ(std::tuple(srb.Status, dc_.g_UsbcamdInterface.Interface.Version), std::tuple(c.status, c.version));
  }
}

}  // namespace
