// Isochronous slot classification, one call per slot at DISPATCH_LEVEL as the class library makes it.
#include <gtest/gtest.h>

#include <deque>
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
                  ULONG syncLength = 1, ULONG *frameContext = nullptr) {
    UCHAR syncBuffer[1] = {status};
    std::vector<UCHAR> data(kMax, 0x5A);
    USBD_ISO_PACKET_DESCRIPTOR sync = {0, syncLength, syncStatus}, dataPacket = {0, dataLength, dataStatus};
    SlotResult r = {0xDEAD, 7, 0xFFFFFFFF};  // the callback must set what it reports
    ULONG offset = 0x55;
    HostIrql_RunAtDispatch([&] {
      r.bytes = CamProcessUSBPacketEx(nullptr, &dc_, frameContext, &sync, syncBuffer, &dataPacket, data.data(),
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

// The packet routine runs at DISPATCH_LEVEL and must not change the pipe: it notes the restart
// for the worker and drops the frame the restart cuts, and only with the interface and a worker.
TEST_F(PacketTest, RestartRequestIsLeftToTheWorkerAndCutsTheFrame) {
  KeInitializeEvent(&dc_.g_RestartEvent, NotificationEvent, FALSE);
  dc_.g_UsbcamdInterface.USBCAMD_SetIsoPipeState = RecordSetIsoPipeState;  // no version: absent
  dc_.g_bWorkerStarted = 1;
  EXPECT_EQ(Slot(0x02).flags, 0u);
  EXPECT_EQ(dc_.g_bRestartRequested, 0);
  dc_.g_UsbcamdInterface.Interface.Version = USBCAMD_VERSION_200;
  Slot(0x82);  // bit 7 wins
  EXPECT_EQ(dc_.g_bRestartRequested, 0);
  SlotResult r = Slot(0x03);  // bit 1 wins over bit 0
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_EQ(r.flags, kDrop);
  EXPECT_EQ(dc_.g_bRestartRequested, 1);
  EXPECT_EQ(KeReadStateEvent(&dc_.g_RestartEvent), 1);
  EXPECT_TRUE(g_pipeStates.empty()) << "nothing changes the pipe at DISPATCH_LEVEL";
}

// The worker's restart, against the class library's documented answers: STATUS_PENDING (carried
// out later) and STATUS_INVALID_DEVICE_STATE (already in that state, or a change pending).
std::vector<NTSTATUS> g_answers;
NTSTATUS NTAPI AnswerSetIsoPipeState(PVOID dc, ULONG flags) {
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  g_pipeStates.push_back({dc, flags});
  if (g_answers.empty()) return STATUS_UNSUCCESSFUL;
  NTSTATUS s = g_answers.front();
  g_answers.erase(g_answers.begin());
  return s;
}

TEST_F(PacketTest, WorkerRestartStopsThenStartsUntilThePipeRuns) {
  constexpr NTSTATUS kOkay = STATUS_SUCCESS, kPend = STATUS_PENDING, kRefused = STATUS_INVALID_DEVICE_STATE,
                     kFail = STATUS_UNSUCCESSFUL;
  // Answers given in turn; the starts asked for after the stop.
  struct Case { const char *what; std::vector<NTSTATUS> answers; size_t starts; } cases[] = {
      {"both at once", {kOkay, kOkay}, 1},
      {"stopped already", {kRefused, kOkay}, 1},
      {"both pending", {kPend, kPend}, 1},
      {"stop took effect, start refused: it runs", {kOkay, kRefused}, 1},
      {"stop pending: start refused until it took effect", {kPend, kRefused, kRefused, kOkay}, 3},
      {"stop refused while a stop is queued", {kRefused, kRefused, kPend}, 2},
      {"start failing: a bounded number of attempts", {kOkay}, 20},
  };
  KeInitializeEvent(&dc_.g_RestartEvent, NotificationEvent, FALSE);
  dc_.g_UsbcamdInterface.Interface.Version = USBCAMD_VERSION_200;
  dc_.g_UsbcamdInterface.USBCAMD_SetIsoPipeState = AnswerSetIsoPipeState;
  HostTime_SetDelayScale(1, 1000);
  for (const Case &c : cases) {
    g_pipeStates.clear();
    g_answers = c.answers;
    dc_.g_bRestartRequested = 1;
    KeSetEvent(&dc_.g_RestartEvent, IO_NO_INCREMENT, FALSE);
    LUMAREX_RestartIsoPipe(&dc_);
    std::vector<ULONG> expected(1 + c.starts, USBCAMD_START_STREAM);
    expected[0] = USBCAMD_STOP_STREAM;
    std::vector<ULONG> states;
    for (auto &call : g_pipeStates) states.push_back(call.second);
    EXPECT_EQ(states, expected) << c.what;
    EXPECT_EQ(KeReadStateEvent(&dc_.g_RestartEvent), 0) << c.what;
    EXPECT_EQ(dc_.g_bRestartRequested, 0) << c.what;
  }
  // Capture stop cancelled it before the worker came to it: nothing is asked.
  g_pipeStates.clear();
  dc_.g_bRestartRequested = 0;
  KeSetEvent(&dc_.g_RestartEvent, IO_NO_INCREMENT, FALSE);
  LUMAREX_RestartIsoPipe(&dc_);
  EXPECT_TRUE(g_pipeStates.empty());
  HostTime_SetDelayScale(1, 1);
}

TEST_F(PacketTest, ButtonPressMarksOneStillPerRisingEdgeOnDataSlots) {
  const UCHAR statuses[] = {0x00, 0xC0, 0x41, 0x40, 0x40, 0x00, 0x40, 0x80, 0x40};
  const ULONG expected[] = {0, 0, 0, kStill, 0, 0, kStill, 0, 0};
  for (size_t i = 0; i < sizeof(statuses); ++i) EXPECT_EQ(Slot(statuses[i]).flags, expected[i]) << "slot " << i;
  // A slot whose status could not be read neither presses nor releases the button.
  EXPECT_EQ(Slot(0x40, kMax, USBD_STATUS_CRC).flags, kDrop);
  EXPECT_EQ(Slot(0x40).flags, 0u);
  EXPECT_EQ(Slot(0x00, kMax, kOk, kOk, 0).flags, kDrop);
  EXPECT_EQ(Slot(0x40).flags, 0u);
  Slot(0x00);
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

// With frame contexts a still follows its frame: taken on a data slot of a frame not known to
// be dropped, and placed again when that frame is dropped, by the driver (at once) or by the
// class library (noticed when a later frame reaches the raw-frame callback).
class StillFrameTest : public PacketTest {
 protected:
  // A new frame: its context, as CamNewVideoFrameEx initialises it (the class library keeps one
  // per frame; the old value must not matter).
  ULONG *Begin() {
    contexts_.push_back(0xA5A5A5A5);
    Slot(0x80, kMax, kOk, kOk, 1, contexts_.size() > 1 ? &contexts_[contexts_.size() - 2] : nullptr);
    CamNewVideoFrameEx(&dc_, &contexts_.back(), 0, nullptr);
    return &contexts_.back();
  }
  // The raw frame of this context reaches the raw-frame callback (what it does there is the
  // worker tests' business: only the still accounting is looked at).
  void Arrive(ULONG *context, bool delivered = true) { LUMAREX_StillFrameArrived(&dc_, context, delivered); }
  std::deque<ULONG> contexts_;
};

TEST_F(StillFrameTest, AStillOnADroppedFrameGoesToTheNextFrameTheApplicationGets) {
  dc_.g_bStillRequested = 1;
  ULONG *f1 = Begin();
  EXPECT_EQ(Slot(0x00, kMax, kOk, kOk, 1, f1).flags, kStill);
  EXPECT_EQ(Slot(0x00, kMax - 1, kOk, kOk, 1, f1).flags, kDrop) << "the driver drops the still frame";
  EXPECT_EQ(Slot(0x00, kMax, kOk, kOk, 1, f1).flags, 0u) << "no second still on a dropped frame";
  ULONG *f2 = Begin();
  EXPECT_EQ(Slot(0x00, kMax, kOk, kOk, 1, f2).flags, kStill) << "placed again at once";
  ULONG *f3 = Begin();
  Arrive(f2);
  EXPECT_EQ(Slot(0x00, kMax, kOk, kOk, 1, f3).flags, 0u) << "delivered: settled";

  // The class library drops the still frame itself: the next frame cannot take a still while
  // the fate is unknown; its arrival shows the still frame never came.
  dc_.g_bStillRequested = 1;
  ULONG *f4 = Begin();
  Arrive(f3);
  EXPECT_EQ(Slot(0x00, kMax, kOk, kOk, 1, f4).flags, kStill);
  ULONG *f5 = Begin();  // f4 never reaches the callback
  EXPECT_EQ(Slot(0x00, kMax, kOk, kOk, 1, f5).flags, 0u);
  ULONG *f6 = Begin();
  Arrive(f5);
  EXPECT_EQ(Slot(0x00, kMax, kOk, kOk, 1, f6).flags, kStill);
  ULONG *f7 = Begin();
  Arrive(f6, false);  // reaches the callback without data: not a frame the application gets
  EXPECT_EQ(Slot(0x00, kMax, kOk, kOk, 1, f7).flags, kStill);
  ULONG *f8 = Begin();
  Arrive(f7);

  // A restart cuts the still frame.
  KeInitializeEvent(&dc_.g_RestartEvent, NotificationEvent, FALSE);
  dc_.g_UsbcamdInterface.Interface.Version = USBCAMD_VERSION_200;
  dc_.g_UsbcamdInterface.USBCAMD_SetIsoPipeState = RecordSetIsoPipeState;
  dc_.g_bWorkerStarted = 1;
  dc_.g_bStillRequested = 1;
  EXPECT_EQ(Slot(0x00, kMax, kOk, kOk, 1, f8).flags, kStill);
  EXPECT_EQ(Slot(0x02, kMax, kOk, kOk, 1, f8).flags, kDrop);
  ULONG *f9 = Begin();
  EXPECT_EQ(Slot(0x00, kMax, kOk, kOk, 1, f9).flags, kStill);
}

TEST_F(StillFrameTest, PressesAndRequestsEachGetTheirOwnFrameAndUnknownSlotsTakeNone) {
  ULONG *f1 = Begin();
  EXPECT_EQ(Slot(0x00, kMax - 1, kOk, kOk, 1, f1).flags, kDrop);
  // Pressed during a frame already dropped: the press is kept for a later frame.
  EXPECT_EQ(Slot(0x40, kMax, kOk, kOk, 1, f1).flags, 0u);
  dc_.g_bStillRequested = 1;
  EXPECT_EQ(Slot(0x40, kMax, kOk, kOk, 1, f1).flags, 0u);
  ULONG *f2 = Begin();
  // Slots whose status is unknown take nothing.
  EXPECT_EQ(Slot(0x00, kMax, USBD_STATUS_CRC, kOk, 1, f2).flags, kDrop);
  ULONG *f3 = Begin();
  EXPECT_EQ(Slot(0x00, kMax, kOk, kOk, 0, f3).flags, kDrop);
  ULONG *f4 = Begin();
  EXPECT_EQ(Slot(0x00, kMax, kOk, kOk, 1, f4).flags, kStill);
  ULONG *f5 = Begin();
  Arrive(f4);
  EXPECT_EQ(Slot(0x00, kMax, kOk, kOk, 1, f5).flags, kStill) << "the press, after the request";
  ULONG *f6 = Begin();
  Arrive(f5);
  EXPECT_EQ(Slot(0x00, kMax, kOk, kOk, 1, f6).flags, 0u) << "both placed";
  // Bandwidth allocation forgets what is owed.
  EXPECT_EQ(Slot(0x40, kMax - 1, kOk, kOk, 1, f6).flags, kDrop);  // a press kept for later
  LUMAREX_ClearStills(&dc_);
  ULONG *f7 = Begin();
  EXPECT_EQ(Slot(0x00, kMax, kOk, kOk, 1, f7).flags, 0u);
}

}  // namespace
