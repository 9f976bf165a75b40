// Isochronous slot classification, one call per slot at DISPATCH_LEVEL as the class library makes it.
#include <gtest/gtest.h>

#include <vector>

#include "host_kernel.h"
#include "lumarex.h"

namespace {

constexpr USHORT kMax = 1023;
constexpr ULONG kDrop = USBCAMD_PROCESSPACKETEX_DropFrame;
constexpr ULONG kStill = USBCAMD_PROCESSPACKETEX_CurrentFrameIsStill;
constexpr USBD_STATUS kOk = USBD_STATUS_SUCCESS;

struct SlotResult { ULONG bytes; BOOLEAN complete; ULONG flags; };

std::vector<std::pair<PVOID, ULONG>> g_pipeStates;
NTSTATUS NTAPI RecordSetIsoPipeState(PVOID dc, ULONG flags) {
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  g_pipeStates.push_back({dc, flags});
  return STATUS_SUCCESS;
}

class PacketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    memset(&dc_, 0, sizeof(dc_));
    memset(&iface_, 0, sizeof(iface_));
    iface_.info.NumberOfPipes = 3;
    iface_.info.Length = sizeof(iface_);
    iface_.info.Pipes[0].MaximumPacketSize = kMax;
    iface_.more[0].MaximumPacketSize = 1;  // sync pipe
    dc_.g_pInterfaceInfo = &iface_.info;
    g_pipeStates.clear();
  }
  SlotResult Slot(UCHAR status, ULONG dataLength = kMax, USBD_STATUS syncStatus = kOk, USBD_STATUS dataStatus = kOk,
                  ULONG syncLength = 1) {
    UCHAR syncBuffer[1] = {status};
    std::vector<UCHAR> data(kMax, 0x5A);
    USBD_ISO_PACKET_DESCRIPTOR sync = {0, syncLength, syncStatus}, dataPacket = {0, dataLength, dataStatus};
    SlotResult r = {0xDEAD, 7, 0xFFFFFFFF};  // the callback must set what it reports
    ULONG offset = 0x55;
    HostIrql_RunAtDispatch([&] {
      r.bytes = CamProcessUSBPacketEx(nullptr, &dc_, nullptr, &sync, syncBuffer, &dataPacket, data.data(),
                                      &r.complete, &r.flags, &offset);
    });
    EXPECT_EQ(offset, 0u);
    return r;
  }
  DeviceContext dc_;
  struct {
    USBD_INTERFACE_INFORMATION info;
    USBD_PIPE_INFORMATION more[2];
  } iface_;
};

TEST_F(PacketTest, EachSlotKindIsClassified) {
  // A slot, then what the callback reports: frame complete (7: left as it came), bytes and flags.
  struct Case { const char *what; UCHAR status; ULONG dataLength; USBD_STATUS syncStatus, dataStatus; ULONG syncLength;
                BOOLEAN complete; ULONG bytes, flags; } cases[] = {
      {"frame start, full packet", 0x80, kMax, kOk, kOk, 1, TRUE, kMax, 0},
      {"frame start, other bits", 0xFF, kMax, kOk, kOk, 1, TRUE, kMax, 0},
      {"frame start, short packet", 0x80, kMax - 1, kOk, kOk, 1, TRUE, 0, kDrop},
      {"frame start, empty packet", 0x80, 0, kOk, kOk, 1, TRUE, 0, kDrop},
      {"frame start, data error", 0x80, kMax, kOk, USBD_STATUS_DATA_UNDERRUN, 1, TRUE, kMax, kDrop},
      {"data", 0x00, kMax, kOk, kOk, 1, 7, kMax, 0},
      {"data, short", 0x00, kMax - 1, kOk, kOk, 1, 7, 0, kDrop},
      {"data, empty", 0x00, 0, kOk, kOk, 1, 7, 0, kDrop},
      {"data, too long", 0x00, kMax + 1, kOk, kOk, 1, 7, 0, kDrop},
      {"no data", 0x01, kMax, kOk, kOk, 1, 7, 0, 0},
      {"no data, short packet", 0x01, 3, kOk, kOk, 1, 7, 0, 0},
      {"no data, bits 2 to 6", 0x7D, kMax, kOk, kOk, 1, 7, 0, 0},
      {"no data, USB error", 0x01, kMax, kOk, USBD_STATUS_ISO_TD_ERROR, 1, 7, 0, kDrop},
      {"restart without interface", 0x02, kMax, kOk, kOk, 1, 7, 0, 0},
      {"sync error: read as status 0", 0x80, kMax, USBD_STATUS_ISO_NOT_ACCESSED_BY_HW, kOk, 1, 7, kMax, kDrop},
      {"no status byte", 0x80, kMax, kOk, kOk, 0, 7, kMax, kDrop},
  };
  for (const Case &c : cases) {
    SlotResult r = Slot(c.status, c.dataLength, c.syncStatus, c.dataStatus, c.syncLength);
    EXPECT_EQ(std::tuple(r.complete, r.bytes, r.flags), std::tuple(c.complete, c.bytes, c.flags)) << c.what;
  }
  dc_.g_pInterfaceInfo = nullptr;  // without a stored interface no data is accepted
  EXPECT_EQ(Slot(0x80).bytes, 0u);
}

TEST_F(PacketTest, RestartRequestStopsAndStartsTheStreamOnlyWithTheInterface) {
  dc_.g_UsbcamdInterface.USBCAMD_SetIsoPipeState = RecordSetIsoPipeState;  // no version: absent
  Slot(0x02);
  EXPECT_TRUE(g_pipeStates.empty());
  dc_.g_UsbcamdInterface.Interface.Version = USBCAMD_VERSION_200;
  Slot(0x82);  // bit 7 wins
  EXPECT_TRUE(g_pipeStates.empty());
  SlotResult r = Slot(0x03);  // bit 1 wins over bit 0
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_EQ(r.flags, 0u);
  using Call = std::pair<PVOID, ULONG>;
  EXPECT_EQ(g_pipeStates, (std::vector<Call>{{&dc_, USBCAMD_STOP_STREAM}, {&dc_, USBCAMD_START_STREAM}}));
  EXPECT_EQ(Slot(0x02, kMax, kOk, USBD_STATUS_CRC).flags, kDrop);
  EXPECT_EQ(g_pipeStates.size(), 4u);
}

TEST_F(PacketTest, ButtonPressMarksOneStillPerRisingEdgeOnDataSlots) {
  const UCHAR statuses[] = {0x00, 0xC0, 0x41, 0x40, 0x40, 0x00, 0x40, 0x80, 0x40};
  const ULONG expected[] = {0, 0, 0, kStill, 0, 0, kStill, 0, 0};
  for (size_t i = 0; i < sizeof(statuses); ++i) EXPECT_EQ(Slot(statuses[i]).flags, expected[i]) << "slot " << i;
  Slot(0x40, kMax, USBD_STATUS_CRC);
  EXPECT_EQ(Slot(0x40).flags, kStill);
}

// A still requested by software marks the next data slot once, even a short one.
TEST_F(PacketTest, SoftwareStillRequestMarksTheNextDataSlotOnce) {
  dc_.g_bStillRequested = 1;
  EXPECT_EQ(Slot(0x80).flags, 0u);
  EXPECT_EQ(Slot(0x01).flags, 0u);
  EXPECT_EQ(Slot(0x00, 10).flags, kStill | kDrop);
  EXPECT_EQ(Slot(0x00).flags, 0u);
}

}  // namespace
