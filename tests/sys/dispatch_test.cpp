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
    // The request is gone once completed: its status is the one it was completed with.
    std::vector<HostCompletion> done = HostStream_Completions();
    ASSERT_FALSE(done.empty());
    EXPECT_EQ(done.back().srb, &srb);
    EXPECT_EQ(std::tuple(done.back().status, dc_.g_UsbcamdInterface.Interface.Version), std::tuple(c.status, c.version));
  }
}

// The open's request is gone once handed on and its outcome unknown to the driver: the stream
// counts as open, at the width it was opened at, once the class library calls the driver for
// that stream. A request of another stream of the same number shows that the open failed.
TEST_F(DispatchTest, AStreamCountsAsOpenOnlyOnceTheClassLibraryServesIt) {
  auto format = [](const KS_DATARANGE_VIDEO &range) {
    KS_DATAFORMAT_VIDEOINFOHEADER f = {};
    memcpy(&f.DataFormat, &range.DataRange, sizeof(KSDATAFORMAT));
    f.DataFormat.FormatSize = sizeof(f);
    f.VideoInfoHeader = range.VideoInfoHeader;
    return f;
  };
  auto open = [&](HW_STREAM_OBJECT &stream, KS_DATAFORMAT_VIDEOINFOHEADER f, NTSTATUS outcome) {
    HostUsbcamd_SetHandOnStatus(outcome);
    HW_STREAM_REQUEST_BLOCK srb = Srb(SRB_OPEN_STREAM, &f);
    srb.StreamObject = &stream;
    LUMAREX_ReceiveDevicePacket(&srb);
    // The class library completes the open; the stream class frees the request and its format.
    HostStream_Poison(&f, sizeof(f));
  };
  auto request = [&](HW_STREAM_OBJECT &stream, bool data) {
    HW_STREAM_REQUEST_BLOCK srb = Srb(data ? SRB_READ_DATA : SRB_GET_STREAM_STATE, nullptr);
    srb.StreamObject = &stream;
    BOOLEAN completed = FALSE;
    (data ? LUMAREX_ReceiveStreamDataPacket : LUMAREX_ReceiveStreamCtrlPacket)(&srb, &dc_, &completed);
  };
  HW_STREAM_OBJECT other = {};
  other.StreamNumber = 0;
  stream_.StreamNumber = 0;
  open(stream_, format(LUMAREX_RangeRGB24_160x120), STATUS_SUCCESS);
  EXPECT_EQ(dc_.g_bStreamOpened, 0) << "not before the class library serves the stream";
  request(stream_, true);
  EXPECT_EQ(std::tuple(dc_.g_bStreamOpened, dc_.g_nStreamWidth), std::tuple(1, 160));
  // An open the class library refuses (the stream number is taken) changes nothing, whatever
  // the open stream does next.
  open(other, format(LUMAREX_RangeRGB24_640x480), STATUS_DEVICE_BUSY);
  request(stream_, false);
  ULONG rawLength = 0;
  CamAllocateBandwidthEx(nullptr, &dc_, &rawLength, nullptr, 0);  // no format: refused, but called
  EXPECT_EQ(dc_.g_nStreamWidth, 160);
  // A new device context: a refused open leaves it closed.
  dc_.g_bStreamOpened = 0;
  open(other, format(LUMAREX_RangeRGB24_320x240), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(dc_.g_bStreamOpened, 0);
  // Bandwidth allocation for the stream's number also shows the open succeeded.
  open(stream_, format(LUMAREX_RangeRGB24_320x240), STATUS_SUCCESS);
  CamAllocateBandwidthEx(nullptr, &dc_, &rawLength, nullptr, 1);
  EXPECT_EQ(dc_.g_bStreamOpened, 0) << "another stream number";
  CamAllocateBandwidthEx(nullptr, &dc_, &rawLength, nullptr, 0);
  EXPECT_EQ(std::tuple(dc_.g_bStreamOpened, dc_.g_nStreamWidth), std::tuple(1, 320));
}

}  // namespace
