// Isochronous slot classification, driven the way the class library drives it: one call per
// slot at DISPATCH_LEVEL, with the slot's sync and data packets.
#include <gtest/gtest.h>

#include <vector>

#include "host_kernel.h"
#include "lumarex.h"

namespace {

constexpr USHORT kMaxPacket = 1023;

struct SlotResult {
  ULONG bytes;
  BOOLEAN frameComplete;
  ULONG flags;
  ULONG offset;
};

struct PipeStateCall {
  PVOID deviceContext;
  ULONG flags;
  KIRQL irql;
};
std::vector<PipeStateCall> g_pipeStateCalls;

NTSTATUS NTAPI RecordSetIsoPipeState(PVOID DeviceContext, ULONG PipeStateFlags) {
  g_pipeStateCalls.push_back({DeviceContext, PipeStateFlags, KeGetCurrentIrql()});
  return STATUS_SUCCESS;
}

class PacketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The class library hands the driver a zero-filled record; configuration has stored the
    // interface copy with pipe 0 as the isochronous data pipe.
    memset(&dc_, 0, sizeof(dc_));
    memset(&iface_, 0, sizeof(iface_));
    iface_.info.NumberOfPipes = 3;
    iface_.info.Length = sizeof(iface_);
    iface_.info.Pipes[0].MaximumPacketSize = kMaxPacket;
    iface_.info.Pipes[0].PipeType = UsbdPipeTypeIsochronous;
    iface_.more[0].MaximumPacketSize = 1;  // sync pipe
    dc_.g_pInterfaceInfo = &iface_.info;
    data_.assign(kMaxPacket, 0x5A);
    g_pipeStateCalls.clear();
  }

  void ProvideInterface() {
    dc_.g_UsbcamdInterface.Interface.Size = sizeof(USBCAMD_INTERFACE);
    dc_.g_UsbcamdInterface.Interface.Version = USBCAMD_VERSION_200;
    dc_.g_UsbcamdInterface.USBCAMD_SetIsoPipeState = RecordSetIsoPipeState;
  }

  SlotResult Slot(UCHAR status, ULONG dataLength = kMaxPacket, USBD_STATUS syncStatus = USBD_STATUS_SUCCESS,
                  USBD_STATUS dataStatus = USBD_STATUS_SUCCESS, ULONG syncLength = 1) {
    UCHAR syncBuffer[1] = {status};
    USBD_ISO_PACKET_DESCRIPTOR sync = {0, syncLength, syncStatus};
    USBD_ISO_PACKET_DESCRIPTOR data = {0, dataLength, dataStatus};
    // Outputs start as garbage: the callback must set what it reports.
    SlotResult r = {0xDEAD, FALSE, 0xFFFFFFFF, 0x55};
    HostIrql_RunAtDispatch([&] {
      r.bytes = CamProcessUSBPacketEx(nullptr, &dc_, nullptr, &sync, syncBuffer, &data, data_.data(),
                                      &r.frameComplete, &r.flags, &r.offset);
    });
    EXPECT_EQ(r.offset, 0u);
    return r;
  }

  DeviceContext dc_;
  struct {
    USBD_INTERFACE_INFORMATION info;
    USBD_PIPE_INFORMATION more[2];
  } iface_;
  std::vector<UCHAR> data_;
};

constexpr ULONG kDrop = USBCAMD_PROCESSPACKETEX_DropFrame;
constexpr ULONG kStill = USBCAMD_PROCESSPACKETEX_CurrentFrameIsStill;

TEST_F(PacketTest, FrameBoundaryWithFullPacketStartsAFrameWithItsData) {
  for (UCHAR status : {UCHAR(0x80), UCHAR(0x81), UCHAR(0x83), UCHAR(0xFF)}) {
    SlotResult r = Slot(status);
    EXPECT_TRUE(r.frameComplete) << int(status);
    EXPECT_EQ(r.bytes, kMaxPacket) << int(status);
    EXPECT_EQ(r.flags, 0u) << int(status);
  }
  // Bit 7 wins over the restart request.
  ProvideInterface();
  Slot(0x82);
  EXPECT_TRUE(g_pipeStateCalls.empty());
}

TEST_F(PacketTest, FrameBoundaryWithShortOrEmptyPacketDropsTheNewFrame) {
  SlotResult r = Slot(0x80, kMaxPacket - 1);
  EXPECT_TRUE(r.frameComplete);
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_EQ(r.flags, kDrop);
  r = Slot(0x80, 0);
  EXPECT_TRUE(r.frameComplete);
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_EQ(r.flags, kDrop);
}

TEST_F(PacketTest, DataSlotAcceptsOnlyFullSizePackets) {
  SlotResult r = Slot(0x00);
  EXPECT_FALSE(r.frameComplete);
  EXPECT_EQ(r.bytes, kMaxPacket);
  EXPECT_EQ(r.flags, 0u);
  for (ULONG length : {ULONG(kMaxPacket - 1), ULONG(0), ULONG(kMaxPacket + 1)}) {
    r = Slot(0x00, length);
    EXPECT_EQ(r.bytes, 0u) << length;
    EXPECT_EQ(r.flags, kDrop) << length;
    EXPECT_FALSE(r.frameComplete);
  }
}

TEST_F(PacketTest, EmptySlotAddsNothingAndDropsOnlyOnUsbError) {
  SlotResult r = Slot(0x01);
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_EQ(r.flags, 0u);
  EXPECT_FALSE(r.frameComplete);
  // A short data packet in a slot without data does not matter.
  r = Slot(0x01, 3);
  EXPECT_EQ(r.flags, 0u);
  // Bits 2 to 6 do not change an empty slot.
  r = Slot(0x7D);
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_EQ(r.flags, 0u);
  r = Slot(0x01, kMaxPacket, USBD_STATUS_SUCCESS, USBD_STATUS_ISO_TD_ERROR);
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_EQ(r.flags, kDrop);
}

TEST_F(PacketTest, RestartRequestWithoutInterfaceIsIgnored) {
  SlotResult r = Slot(0x02);
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_EQ(r.flags, 0u);
  EXPECT_FALSE(r.frameComplete);
  // A function pointer without a version still counts as absent.
  dc_.g_UsbcamdInterface.USBCAMD_SetIsoPipeState = RecordSetIsoPipeState;
  Slot(0x02);
  EXPECT_TRUE(g_pipeStateCalls.empty());
}

TEST_F(PacketTest, RestartRequestStopsAndStartsTheIsochronousStream) {
  ProvideInterface();
  SlotResult r = Slot(0x03);  // bit 1 wins over bit 0
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_EQ(r.flags, 0u);
  ASSERT_EQ(g_pipeStateCalls.size(), 2u);
  EXPECT_EQ(g_pipeStateCalls[0].flags, ULONG(USBCAMD_STOP_STREAM));
  EXPECT_EQ(g_pipeStateCalls[1].flags, ULONG(USBCAMD_START_STREAM));
  EXPECT_EQ(g_pipeStateCalls[0].deviceContext, &dc_);
  EXPECT_EQ(g_pipeStateCalls[1].deviceContext, &dc_);
  EXPECT_EQ(g_pipeStateCalls[0].irql, DISPATCH_LEVEL);
  // A USB error on the restart slot still marks the frame.
  r = Slot(0x02, kMaxPacket, USBD_STATUS_SUCCESS, USBD_STATUS_CRC);
  EXPECT_EQ(r.flags, kDrop);
  EXPECT_EQ(g_pipeStateCalls.size(), 4u);
}

TEST_F(PacketTest, ButtonPressMarksOneStillPerRisingEdge) {
  const UCHAR statuses[] = {0x00, 0x40, 0x40, 0x00, 0x40};
  const ULONG expected[] = {0, kStill, 0, 0, kStill};
  for (size_t i = 0; i < sizeof(statuses); ++i) {
    SlotResult r = Slot(statuses[i]);
    EXPECT_EQ(r.flags, expected[i]) << "slot " << i;
    EXPECT_EQ(r.bytes, kMaxPacket) << "slot " << i;
    EXPECT_EQ(dc_.g_bLastButton, statuses[i] ? 1 : 0) << "slot " << i;
  }
}

TEST_F(PacketTest, BoundaryAndEmptySlotsDoNotTouchTheButtonMemory) {
  // The button bit on a boundary or empty slot is not looked at, so the press is seen on the
  // first data slot that shows it.
  EXPECT_EQ(Slot(0xC0).flags, 0u);
  EXPECT_EQ(Slot(0x41).flags, 0u);
  EXPECT_EQ(dc_.g_bLastButton, 0);
  EXPECT_EQ(Slot(0x40).flags, kStill);
  dc_.g_bLastButton = 1;
  EXPECT_EQ(Slot(0x80).flags, 0u);
  EXPECT_EQ(dc_.g_bLastButton, 1);
}

TEST_F(PacketTest, SoftwareStillRequestMarksTheNextDataSlotOnce) {
  dc_.g_bStillRequested = 1;
  EXPECT_EQ(Slot(0x80).flags, 0u);
  EXPECT_EQ(Slot(0x01).flags, 0u);
  EXPECT_EQ(dc_.g_bStillRequested, 1);
  // Consumed even by a short packet, which also drops the frame.
  EXPECT_EQ(Slot(0x00, 10).flags, kStill | kDrop);
  EXPECT_EQ(dc_.g_bStillRequested, 0);
  EXPECT_EQ(Slot(0x00).flags, 0u);
}

TEST_F(PacketTest, SyncErrorReadsAsStatusZeroAndDropsTheFrame) {
  // The 0x80 in the buffer is not believed: the slot is a data slot.
  SlotResult r = Slot(0x80, kMaxPacket, USBD_STATUS_ISO_NOT_ACCESSED_BY_HW);
  EXPECT_FALSE(r.frameComplete);
  EXPECT_EQ(r.bytes, kMaxPacket);
  EXPECT_EQ(r.flags, kDrop);
  // The still test ran on status 0.
  dc_.g_bStillRequested = 1;
  r = Slot(0x41, kMaxPacket, USBD_STATUS_CRC);
  EXPECT_EQ(r.flags, kStill | kDrop);
  EXPECT_EQ(dc_.g_bLastButton, 0);
}

TEST_F(PacketTest, DataErrorKeepsTheByteCountButDropsTheFrame) {
  SlotResult r = Slot(0x80, kMaxPacket, USBD_STATUS_SUCCESS, USBD_STATUS_DATA_UNDERRUN);
  EXPECT_TRUE(r.frameComplete);
  EXPECT_EQ(r.bytes, kMaxPacket);
  EXPECT_EQ(r.flags, kDrop);
}

TEST_F(PacketTest, SlotWithoutAStatusByteIsDropped) {
  // An empty sync packet carries no status byte; the stale buffer byte is not used.
  SlotResult r = Slot(0x80, kMaxPacket, USBD_STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0);
  EXPECT_FALSE(r.frameComplete);
  EXPECT_EQ(r.flags, kDrop);
}

TEST_F(PacketTest, NoStoredInterfaceMeansNoDataIsAccepted) {
  dc_.g_pInterfaceInfo = nullptr;
  SlotResult r = Slot(0x80);
  EXPECT_TRUE(r.frameComplete);
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_EQ(r.flags, kDrop);
}

TEST_F(PacketTest, VersionOneFormReturnsTheCountAndNeverFlagsAStill) {
  dc_.g_bStillRequested = 1;
  UCHAR status = 0x00;
  USBD_ISO_PACKET_DESCRIPTOR sync = {0, 1, USBD_STATUS_SUCCESS};
  USBD_ISO_PACKET_DESCRIPTOR data = {0, kMaxPacket, USBD_STATUS_SUCCESS};
  BOOLEAN complete = FALSE;
  BOOLEAN nextIsStill = TRUE;
  ULONG bytes = 0;
  HostIrql_RunAtDispatch([&] {
    bytes = CamProcessUSBPacket(nullptr, &dc_, nullptr, &sync, &status, &data, data_.data(), &complete,
                                &nextIsStill);
  });
  EXPECT_EQ(bytes, kMaxPacket);
  EXPECT_EQ(nextIsStill, FALSE);
  EXPECT_FALSE(complete);
  EXPECT_EQ(dc_.g_bStillRequested, 0);  // consumed as on the USBCAMD2 path
  status = 0x80;
  data.Length = 5;
  HostIrql_RunAtDispatch([&] {
    bytes = CamProcessUSBPacket(nullptr, &dc_, nullptr, &sync, &status, &data, data_.data(), &complete,
                                &nextIsStill);
  });
  EXPECT_EQ(bytes, 0u);
  EXPECT_TRUE(complete);
}

}  // namespace
