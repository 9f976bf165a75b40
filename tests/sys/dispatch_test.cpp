// Entry and request dispatch, driven through LUMAREX_ReceiveDevicePacket with the SRB
// sequences of a device's life: registration, initialisation and the interface query, stream
// information, stream opens, format proposals and changes, data intersection and property
// routing, and the requests that go straight to the class library.
#include <optional>
#include <vector>

#include "controls_fixture.h"
#include "host_stream.h"

namespace {

using namespace controls;

KS_DATAFORMAT_VIDEOINFOHEADER FormatFrom(const KS_DATARANGE_VIDEO &r) {
  KS_DATAFORMAT_VIDEOINFOHEADER f;
  memset(&f, 0, sizeof(f));
  memcpy(&f.DataFormat, &r.DataRange, sizeof(KSDATAFORMAT));
  f.DataFormat.FormatSize = sizeof(f);
  f.VideoInfoHeader = r.VideoInfoHeader;
  return f;
}

// What the class library's USBCAMD_SetVideoFormat answered last, and how often it was called.
int g_setVideoFormatCalls = 0;
NTSTATUS g_setVideoFormatResult = 0;
NTSTATUS NTAPI FakeSetVideoFormat(PVOID, PHW_STREAM_REQUEST_BLOCK) {
  ++g_setVideoFormatCalls;
  return g_setVideoFormatResult;
}

class DispatchTest : public ControlsTest {
 protected:
  void SetUp() override {
    ControlsTest::SetUp();
    HostStream_Reset();
    memset(&classDo_, 0, sizeof(classDo_));
    memset(&stream_, 0, sizeof(stream_));
    dc_.g_UsbcamdInterface.Interface.Version = 0;  // absent until the query
    g_setVideoFormatCalls = 0;
  }
  void TearDown() override {
    HostStream_Reset();
    ControlsTest::TearDown();
  }
  HW_STREAM_REQUEST_BLOCK Srb(SRB_COMMAND command) {
    HW_STREAM_REQUEST_BLOCK srb;
    memset(&srb, 0, sizeof(srb));
    srb.SizeOfThisPacket = sizeof(srb);
    srb.Command = command;
    srb.HwDeviceExtension = &dc_;
    srb.StreamObject = &stream_;
    srb.Status = STATUS_PENDING;
    return srb;
  }
  // The requests completed so far, as (who completed, SRB, status).
  std::vector<HostCompletion> Completions() const { return HostStream_Completions(); }
  void Initialize(PDEVICE_OBJECT realPdo = nullptr) {
    PORT_CONFIGURATION_INFORMATION config;
    memset(&config, 0, sizeof(config));
    config.ClassDeviceObject = &classDo_;
    config.PhysicalDeviceObject = &pdo_;
    config.RealPhysicalDeviceObject = realPdo;
    HW_STREAM_REQUEST_BLOCK srb = Srb(SRB_INITIALIZE_DEVICE);
    srb.CommandData.ConfigInfo = &config;
    LUMAREX_ReceiveDevicePacket(&srb);
  }
  NTSTATUS InitializationComplete() {
    HW_STREAM_REQUEST_BLOCK srb = Srb(SRB_INITIALIZATION_COMPLETE);
    LUMAREX_ReceiveDevicePacket(&srb);
    return srb.Status;
  }
  DEVICE_OBJECT classDo_;
  HW_STREAM_OBJECT stream_;
};

TEST_F(DispatchTest, DriverEntryRegistersOnceAndReturnsTheClassLibrarysStatus) {
  HostUsbcamd_SetDriverEntryStatus(STATUS_INSUFFICIENT_RESOURCES);
  int driverObject = 0, registryPath = 0;
  EXPECT_EQ(DriverEntry(reinterpret_cast<PDRIVER_OBJECT>(&driverObject),
                        reinterpret_cast<PUNICODE_STRING>(&registryPath)),
            STATUS_INSUFFICIENT_RESOURCES);
  HostUsbcamdRegistration r = HostUsbcamd_Registration();
  EXPECT_EQ(r.calls, 1u);
  EXPECT_EQ(r.driverObject, &driverObject);
  EXPECT_EQ(r.registryPath, &registryPath);
  EXPECT_EQ(r.deviceContextSize, sizeof(DeviceContext));
  EXPECT_EQ(r.frameContextSize, 4u);
  EXPECT_EQ(r.receivePacket, &LUMAREX_ReceiveDevicePacket);
}

TEST_F(DispatchTest, InitializationRecordsTheDeviceObjectsRegistersTheTableAndHandsOn) {
  dc_.g_pPhysicalDeviceObject = nullptr;
  Initialize();
  EXPECT_EQ(dc_.g_pClassDeviceObject, &classDo_);
  EXPECT_EQ(dc_.g_pPhysicalDeviceObject, &pdo_) << "without a real PDO the PDO stands in";
  std::vector<HostUsbcamdNewInterface> reg = HostUsbcamd_NewInterfaces();
  ASSERT_EQ(reg.size(), 1u);
  EXPECT_EQ(reg[0].deviceContext, &dc_);
  EXPECT_EQ(reg[0].deviceData, &LUMAREX_DeviceData2);
  EXPECT_EQ(reg[0].version, 0x200u);
  EXPECT_EQ(reg[0].camControlFlag, 0x0Cu);
  std::vector<HostHandOn> handOns = HostUsbcamd_HandOns();
  ASSERT_EQ(handOns.size(), 1u);
  EXPECT_EQ(handOns[0].command, SRB_INITIALIZE_DEVICE);
  EXPECT_EQ(handOns[0].deviceData, &LUMAREX_DeviceData);
  EXPECT_EQ(Completions().size(), 1u) << "the class library completes it, the driver does not";

  DEVICE_OBJECT realPdo;
  memset(&realPdo, 0, sizeof(realPdo));
  Initialize(&realPdo);
  EXPECT_EQ(dc_.g_pPhysicalDeviceObject, &realPdo);
}

TEST_F(DispatchTest, TheCallbackTablesNameTheDriversRoutinesInSlotOrder) {
  EXPECT_EQ(LUMAREX_DeviceData.Reserved1, 0u);
  EXPECT_EQ(LUMAREX_DeviceData.CamProcessUSBPacket, &CamProcessUSBPacket);
  EXPECT_EQ(LUMAREX_DeviceData.CamConfigure, &CamConfigure);
  EXPECT_EQ(LUMAREX_DeviceData.CamAllocateBandwidth, &CamAllocateBandwidth);
  EXPECT_EQ(LUMAREX_DeviceData.CamFreeBandwidth, &CamFreeBandwidth);
  EXPECT_EQ(LUMAREX_DeviceData2.Reserved1, 0u);
  EXPECT_EQ(LUMAREX_DeviceData2.CamProcessUSBPacketEx, &CamProcessUSBPacketEx);
  EXPECT_EQ(LUMAREX_DeviceData2.CamProcessRawVideoFrameEx, &CamProcessRawVideoFrameEx);
  EXPECT_EQ(LUMAREX_DeviceData2.CamConfigureEx, &CamConfigureEx);
  EXPECT_EQ(LUMAREX_DeviceData2.CamAllocateBandwidthEx, &CamAllocateBandwidthEx);
  EXPECT_EQ(LUMAREX_DeviceData2.CamFreeBandwidthEx, &CamFreeBandwidthEx);
  EXPECT_EQ(LUMAREX_DeviceData.CamSaveState(nullptr, &dc_), STATUS_SUCCESS);
  EXPECT_EQ(LUMAREX_DeviceData2.CamRestoreState(nullptr, &dc_), STATUS_SUCCESS);
  // The still pin gets its fixed raw length through the USBCAMD2 table.
  ULONG length = 0;
  EXPECT_EQ(LUMAREX_DeviceData2.CamAllocateBandwidthEx(nullptr, &dc_, &length, nullptr, 1), STATUS_SUCCESS);
  EXPECT_EQ(length, 76800u);
}

TEST_F(DispatchTest, InitializationCompleteQueriesTheInterfaceOfTheClassDevice) {
  Initialize();
  EXPECT_EQ(InitializationComplete(), STATUS_SUCCESS);
  USBCAMD_INTERFACE expected = HostUsbcamd_Interface();
  EXPECT_EQ(0, memcmp(&dc_.g_UsbcamdInterface, &expected, sizeof(expected)));
  std::vector<HostIrpRecord> irps = HostIrp_Calls();
  ASSERT_EQ(irps.size(), 1u);
  const GUID usbcamd = {0x2BCB75C0, 0xB27F, 0x11D1, {0xBA, 0x41, 0x00, 0xA0, 0xC9, 0x0D, 0x2B, 0x05}};
  EXPECT_EQ(irps[0].major, IRP_MJ_PNP);
  EXPECT_EQ(irps[0].minor, IRP_MN_QUERY_INTERFACE);
  EXPECT_EQ(0, memcmp(&irps[0].interfaceType, &usbcamd, sizeof(GUID)));
  EXPECT_EQ(irps[0].size, sizeof(USBCAMD_INTERFACE));
  EXPECT_EQ(irps[0].version, 0x200);
  EXPECT_EQ(irps[0].interfaceSpecificData, nullptr);
  EXPECT_EQ(irps[0].requestorMode, KernelMode);
  EXPECT_EQ(irps[0].presetStatus, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(irps[0].target, &classDo_);
  std::vector<HostCompletion> done = Completions();
  ASSERT_EQ(done.size(), 2u);
  EXPECT_EQ(done[1].kind, HostCompletion::Device);
  EXPECT_EQ(done[1].status, STATUS_SUCCESS);
}

TEST_F(DispatchTest, AQueryThatPendsFailsOrLacksTheIsoEntryDecidesPresence) {
  Initialize();
  HostIrp_SetQueryMode(HostQueryMode::AnswerPending);
  EXPECT_EQ(InitializationComplete(), STATUS_SUCCESS);
  EXPECT_EQ(dc_.g_UsbcamdInterface.Interface.Version, 0x200);

  for (HostQueryMode mode : {HostQueryMode::Refuse, HostQueryMode::NoIsoEntry}) {
    dc_.g_UsbcamdInterface = HostUsbcamd_Interface();
    HostIrp_SetQueryMode(mode);
    EXPECT_EQ(InitializationComplete(), STATUS_SUCCESS);
    EXPECT_EQ(dc_.g_UsbcamdInterface.Interface.Version, 0) << int(mode);
  }
  dc_.g_UsbcamdInterface = HostUsbcamd_Interface();
  HostIrp_SetQueryMode(HostQueryMode::Answer);
  HostIrp_FailNextBuild();
  EXPECT_EQ(InitializationComplete(), STATUS_SUCCESS);
  EXPECT_EQ(dc_.g_UsbcamdInterface.Interface.Version, 0);

  // Without pool for the query buffer the request fails and the interface stays as it was.
  dc_.g_UsbcamdInterface = HostUsbcamd_Interface();
  HostPool_FailNthAllocation(1);
  EXPECT_EQ(InitializationComplete(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(dc_.g_UsbcamdInterface.Interface.Version, 0x200);
  EXPECT_EQ(HostPool_LiveBlockCount(), 0u);
}

// A stream descriptor with room for both records, filled with a marker the driver must leave
// where it copies nothing.
struct Descriptor {
  HW_STREAM_HEADER header;
  HW_STREAM_INFORMATION info[2];
  Descriptor() { memset(this, 0xCC, sizeof(*this)); }
  bool Untouched(const void *p, size_t n) const {
    for (size_t i = 0; i < n; ++i)
      if (static_cast<const uint8_t *>(p)[i] != 0xCC) return false;
    return true;
  }
};
static_assert(offsetof(Descriptor, info) == offsetof(HW_STREAM_DESCRIPTOR, StreamInfo));

TEST_F(DispatchTest, StreamInfoReportsTheConfiguredStreamsAndTheDevicePropertySets) {
  for (ULONG streams : {0u, 1u}) {
    SCOPED_TRACE(streams);
    dc_.g_nNumberOfStreams = streams;
    Descriptor d;
    HW_STREAM_REQUEST_BLOCK srb = Srb(SRB_GET_STREAM_INFO);
    srb.CommandData.StreamBuffer = reinterpret_cast<PHW_STREAM_DESCRIPTOR>(&d);
    LUMAREX_ReceiveDevicePacket(&srb);
    EXPECT_EQ(d.header.NumberOfStreams, streams);
    EXPECT_EQ(d.header.NumDevPropArrayEntries, 2u);
    EXPECT_EQ(d.header.DevicePropertiesArray, DevicePropertySets);
    EXPECT_TRUE(d.Untouched(&d.header.SizeOfHwStreamInformation, sizeof(ULONG)));
    EXPECT_TRUE(d.Untouched(&d.header.NumDevEventArrayEntries, sizeof(ULONG)));
    if (streams == 1) {
      EXPECT_EQ(0, memcmp(&d.info[0], &LUMAREX_StreamInfo[0], sizeof(HW_STREAM_INFORMATION)));
    } else {
      EXPECT_TRUE(d.Untouched(&d.info[0], sizeof(HW_STREAM_INFORMATION)));
    }
    EXPECT_TRUE(d.Untouched(&d.info[1], sizeof(HW_STREAM_INFORMATION))) << "the still pin is never reported";
  }
  EXPECT_EQ(HostUsbcamd_HandOns().size(), 2u);
  // A count beyond the table is held to its two records.
  dc_.g_nNumberOfStreams = 7;
  std::vector<uint8_t> big(sizeof(HW_STREAM_HEADER) + 8 * sizeof(HW_STREAM_INFORMATION), 0xCC);
  HW_STREAM_REQUEST_BLOCK srb = Srb(SRB_GET_STREAM_INFO);
  srb.CommandData.StreamBuffer = reinterpret_cast<PHW_STREAM_DESCRIPTOR>(big.data());
  LUMAREX_ReceiveDevicePacket(&srb);
  EXPECT_EQ(srb.CommandData.StreamBuffer->StreamHeader.NumberOfStreams, 2u);
  EXPECT_EQ(big[sizeof(HW_STREAM_HEADER) + 2 * sizeof(HW_STREAM_INFORMATION)], 0xCC);
}

TEST_F(DispatchTest, AnOpenThatMatchesGoesOnAndOneThatDoesNotIsRefused) {
  KS_DATAFORMAT_VIDEOINFOHEADER f = FormatFrom(LUMAREX_RangeRGB24_640x480);
  HW_STREAM_REQUEST_BLOCK srb = Srb(SRB_OPEN_STREAM);
  srb.CommandData.OpenFormat = &f.DataFormat;
  LUMAREX_ReceiveDevicePacket(&srb);
  EXPECT_NE(stream_.ReceiveDataPacket, nullptr);
  EXPECT_NE(stream_.ReceiveControlPacket, nullptr);
  ASSERT_EQ(HostUsbcamd_HandOns().size(), 1u);
  EXPECT_EQ(srb.Status, STATUS_SUCCESS);
  EXPECT_EQ(dc_.g_bStreamOpened, 1);
  EXPECT_EQ(dc_.g_nStreamWidth, 640);

  struct Refused {
    const char *what;
    LONG stream;
    KS_DATAFORMAT_VIDEOINFOHEADER format;
  } refused[] = {
      {"image size 0", 0, FormatFrom(LUMAREX_RangeRGB24_320x240)},
      {"stream 2", 2, FormatFrom(LUMAREX_RangeRGB24_320x240)},
      {"stream -1", -1, FormatFrom(LUMAREX_RangeRGB24_320x240)},
      {"YUY2", 0, FormatFrom(LUMAREX_UnlistedRanges[7])},
      {"640x480 on the still pin", 1, FormatFrom(LUMAREX_RangeRGB24_640x480)},
  };
  refused[0].format.VideoInfoHeader.bmiHeader.biSizeImage = 0;
  for (Refused &r : refused) {
    HostStream_ClearCompletions();
    memset(&stream_, 0, sizeof(stream_));
    stream_.StreamNumber = ULONG(r.stream);
    dc_.g_nStreamWidth = 1;
    HW_STREAM_REQUEST_BLOCK s = Srb(SRB_OPEN_STREAM);
    s.CommandData.OpenFormat = &r.format.DataFormat;
    LUMAREX_ReceiveDevicePacket(&s);
    std::vector<HostCompletion> done = Completions();
    ASSERT_EQ(done.size(), 1u) << r.what;
    EXPECT_EQ(done[0].status, STATUS_INVALID_PARAMETER) << r.what;
    EXPECT_EQ(done[0].srb, &s);
    EXPECT_NE(stream_.ReceiveControlPacket, nullptr) << "handlers are installed whatever the outcome";
    EXPECT_EQ(dc_.g_nStreamWidth, 1) << r.what;
  }
  EXPECT_EQ(HostUsbcamd_HandOns().size(), 1u) << "the class library never sees a refused open";
}

TEST_F(DispatchTest, StreamControlChecksProposalsAndPassesAcceptedChangesOn) {
  stream_.StreamNumber = 0;
  KS_DATAFORMAT_VIDEOINFOHEADER good = FormatFrom(LUMAREX_RangeRGB24_160x120);
  KS_DATAFORMAT_VIDEOINFOHEADER bad = good;
  bad.VideoInfoHeader.bmiHeader.biSizeImage = 19200;
  auto control = [&](SRB_COMMAND command, KS_DATAFORMAT_VIDEOINFOHEADER *f, BOOLEAN *flag) {
    HW_STREAM_REQUEST_BLOCK srb = Srb(command);
    srb.CommandData.OpenFormat = f ? &f->DataFormat : nullptr;
    *flag = 2;
    LUMAREX_ReceiveStreamCtrlPacket(&srb, &dc_, flag);
    return srb.Status;
  };
  BOOLEAN flag;
  EXPECT_EQ(control(SRB_PROPOSE_DATA_FORMAT, &good, &flag), STATUS_SUCCESS);
  EXPECT_EQ(flag, TRUE);
  EXPECT_EQ(control(SRB_PROPOSE_DATA_FORMAT, &bad, &flag), STATUS_NO_MATCH);
  EXPECT_EQ(control(SRB_GET_DATA_FORMAT, nullptr, &flag), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(Completions().size(), 3u);
  for (const HostCompletion &c : Completions()) {
    EXPECT_EQ(c.kind, HostCompletion::Stream);
    EXPECT_EQ(c.target, &stream_);
  }
  // Other control requests are the class library's: flag back to FALSE, no completion.
  control(SRB_SET_STREAM_STATE, nullptr, &flag);
  EXPECT_EQ(flag, FALSE);
  EXPECT_EQ(Completions().size(), 3u);

  // A change while the interface is absent succeeds and changes nothing.
  dc_.g_nStreamWidth = 320;
  EXPECT_EQ(control(SRB_SET_DATA_FORMAT, &good, &flag), STATUS_SUCCESS);
  EXPECT_EQ(dc_.g_nStreamWidth, 320);
  EXPECT_EQ(control(SRB_SET_DATA_FORMAT, &bad, &flag), STATUS_NO_MATCH);

  // With the interface: the width follows only what the class library accepts.
  dc_.g_UsbcamdInterface = HostUsbcamd_Interface();
  dc_.g_UsbcamdInterface.USBCAMD_SetVideoFormat = FakeSetVideoFormat;
  g_setVideoFormatResult = 0;
  EXPECT_EQ(control(SRB_SET_DATA_FORMAT, &good, &flag), STATUS_SUCCESS);
  EXPECT_EQ(dc_.g_nStreamWidth, 320);
  g_setVideoFormatResult = 1;
  EXPECT_EQ(control(SRB_SET_DATA_FORMAT, &good, &flag), STATUS_SUCCESS);
  EXPECT_EQ(dc_.g_nStreamWidth, 160);
  EXPECT_EQ(control(SRB_SET_DATA_FORMAT, &bad, &flag), STATUS_NO_MATCH);
  EXPECT_EQ(g_setVideoFormatCalls, 2);

  // The data handler leaves the flag alone.
  flag = 2;
  HW_STREAM_REQUEST_BLOCK data = Srb(SRB_READ_DATA);
  LUMAREX_ReceiveStreamDataPacket(&data, &dc_, &flag);
  EXPECT_EQ(flag, 2);
}

TEST_F(DispatchTest, DataIntersectionIsCompletedByTheDriverWithItsStatus) {
  KS_DATARANGE_VIDEO range = LUMAREX_RangeRGB24_640x480;
  STREAM_DATA_INTERSECT_INFO info = {0, &range.DataRange, nullptr, 0};
  HW_STREAM_REQUEST_BLOCK srb = Srb(SRB_GET_DATA_INTERSECTION);
  srb.CommandData.IntersectInfo = &info;
  LUMAREX_ReceiveDevicePacket(&srb);
  std::vector<HostCompletion> done = Completions();
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(done[0].bytes, 152u);

  std::vector<uint64_t> out(19, 0);
  info.DataFormatBuffer = out.data();
  info.SizeOfDataFormatBuffer = 152;
  LUMAREX_ReceiveDevicePacket(&srb);
  done = Completions();
  ASSERT_EQ(done.size(), 2u);
  EXPECT_EQ(done[1].status, STATUS_SUCCESS);
  EXPECT_EQ(reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER *>(out.data())->DataFormat.SampleSize, 921600u);
  EXPECT_TRUE(HostUsbcamd_HandOns().empty());
}

TEST_F(DispatchTest, PropertiesAreRoutedBySetAndCompletedByTheDriver) {
  const GUID procamp = {STATIC_PROPSETID_VIDCAP_VIDEOPROCAMP};
  const GUID control = {STATIC_PROPSETID_VIDCAP_VIDEOCONTROL};
  const GUID custom = {0x86CED40F, 0x9209, 0x4F1C, {0xB9, 0x1E, 0xAA, 0xD1, 0x51, 0x21, 0x27, 0x34}};
  const GUID other = {STATIC_KSPROPSETID_Connection};
  // Each request is built in place: the SRB points at the request's own descriptor.
  std::optional<PropertyRequest> r;
  auto send = [&](bool set, const GUID &guid, ULONG id, size_t inSize, size_t outSize) {
    r.emplace(id, set ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET, inSize, outSize);
    r->Property()->Set = guid;
    r->srb.Command = set ? SRB_SET_DEVICE_PROPERTY : SRB_GET_DEVICE_PROPERTY;
    r->srb.HwDeviceExtension = &dc_;
    LUMAREX_ReceiveDevicePacket(&r->srb);
    return r->srb.Status;
  };
  dc_.g_nContrast = 70;
  EXPECT_EQ(send(false, procamp, KSPROPERTY_VIDEOPROCAMP_CONTRAST, 40, 40), STATUS_SUCCESS);
  EXPECT_EQ(r->Data<KSPROPERTY_VIDEOPROCAMP_S>()->Value, 70);
  EXPECT_EQ(r->srb.ActualBytesTransferred, 40u);
  EXPECT_EQ(dc_.g_bStillRequested, 1);

  r.reset();
  EXPECT_EQ(send(false, control, KSPROPERTY_VIDEOCONTROL_FRAME_RATES, 40, 16), STATUS_SUCCESS);
  EXPECT_EQ(r->Data<KSMULTIPLE_ITEM>()->Count, 1u);
  EXPECT_EQ(r->Data<KSMULTIPLE_ITEM>()->Size, 16u);

  EXPECT_EQ(send(true, custom, 99, 32, 32), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(send(false, other, 3, 24, 24), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(send(true, other, 3, 24, 24), STATUS_NOT_SUPPORTED);
  EXPECT_TRUE(r->GuardIntact());

  std::vector<HostCompletion> done = Completions();
  ASSERT_EQ(done.size(), 5u);
  EXPECT_EQ(done[3].status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(HostUsbcamd_LookupCount(), 5u);
  EXPECT_TRUE(HostUsbcamd_HandOns().empty());
}

TEST_F(DispatchTest, EveryOtherRequestReachesTheClassLibraryUnchanged) {
  const SRB_COMMAND commands[] = {SRB_CLOSE_STREAM,       SRB_OPEN_DEVICE_INSTANCE, SRB_CLOSE_DEVICE_INSTANCE,
                                  SRB_CHANGE_POWER_STATE, SRB_UNINITIALIZE_DEVICE,  SRB_UNKNOWN_DEVICE_COMMAND,
                                  SRB_PAGING_OUT_DRIVER,  SRB_SURPRISE_REMOVAL};
  std::vector<HW_STREAM_REQUEST_BLOCK> srbs;
  for (SRB_COMMAND c : commands) srbs.push_back(Srb(c));
  for (HW_STREAM_REQUEST_BLOCK &s : srbs) LUMAREX_ReceiveDevicePacket(&s);
  std::vector<HostHandOn> handOns = HostUsbcamd_HandOns();
  ASSERT_EQ(handOns.size(), srbs.size());
  for (size_t i = 0; i < srbs.size(); ++i) {
    EXPECT_EQ(handOns[i].srb, &srbs[i]);
    EXPECT_EQ(handOns[i].command, commands[i]);
    EXPECT_EQ(handOns[i].deviceData, &LUMAREX_DeviceData);
  }
  EXPECT_EQ(Completions().size(), srbs.size()) << "each completed once, by the class library";
  EXPECT_EQ(HostUsbcamd_LookupCount(), 0u);
}

}  // namespace
