// The camera's command sequences through the private property set, against the simulated camera.
#include <functional>
#include <numeric>
#include <thread>

#include "controls_fixture.h"
#include "host_usbcamd.h"

namespace {

using namespace controls;

constexpr size_t kInput = sizeof(KSPROPERTY) + 8;  // the private items' MinProperty is 32
constexpr NTSTATUS kStall = STATUS_DEVICE_DATA_ERROR;
constexpr NTSTATUS kOther = STATUS_UNSUCCESSFUL;
constexpr NTSTATUS kTimeout = STATUS_IO_TIMEOUT;
constexpr ULONG kGet = KSPROPERTY_TYPE_GET, kSet = KSPROPERTY_TYPE_SET;

std::vector<uint8_t> Pattern(size_t n, uint8_t first) {
  std::vector<uint8_t> v(n);
  std::iota(v.begin(), v.end(), first);
  return v;
}

class CustomPropertyTest : public ControlsTest {
 protected:
  NTSTATUS Run(PropertyRequest &r) {
    NTSTATUS s = r.Property()->Flags == kGet ? LUMAREX_GetCustomProperty(&dc_, &r.srb)
                                             : LUMAREX_SetCustomProperty(&dc_, &r.srb);
    EXPECT_EQ(r.srb.Status, s);
    EXPECT_TRUE(r.GuardIntact()) << "written past the property buffer";
    return s;
  }
};

// One request against a camera programmed by `program`: status, byte count (0xBAD: untouched), requests seen.
struct Sequence {
  const char *what;
  ULONG id, flags, size;
  std::function<void(HostSimCamera &)> program;
  NTSTATUS status;
  ULONG bytes;
  Lines seen;
  std::vector<uint8_t> data = {};  // put into the caller's buffer first
};

TEST_F(CustomPropertyTest, EachItemSendsItsSequenceAndReportsItsOutcome) {
  const Lines word = {Out(6, 0x90, 0, ""), In(7, 0, 0, ""), BulkIn(2), Out(6, 0xA0, 0, ""), In(7, 0, 0, "")};
  const auto none = [](HostSimCamera &) {};
  const auto control = [](bool in, USHORT value, USHORT index, NTSTATUS s) {
    return [=](HostSimCamera &c) { c.AnswerControl(in, value, index, {s, {}, 1}); };
  };
  const auto bulkRead = [](NTSTATUS s) { return [=](HostSimCamera &c) { c.AnswerBulkRead({s, {}, 1}); }; };
  const auto bulkWrite = [](NTSTATUS s) { return [=](HostSimCamera &c) { c.AnswerBulkWrite({s, {}, 1}); }; };
  const Sequence cases[] = {
      {"get 0", 0, kGet, 32, none, STATUS_SUCCESS, 16, {Out(0x10F0, 0, 0, ""), BulkIn(16)}},
      {"get 0, stalled", 0, kGet, 32, control(false, 0x10F0, 0, kStall), STATUS_NOT_SUPPORTED, 0,
       {Failed(Out(0x10F0, 0, 0, ""), kStall)}},
      {"get 0, command fails", 0, kGet, 32, control(false, 0x10F0, 0, kOther), STATUS_SUCCESS, 16,
       {Failed(Out(0x10F0, 0, 0, ""), kOther), BulkIn(16)}},
      {"get 0, read fails", 0, kGet, 32, bulkRead(kTimeout), kTimeout, 0,
       {Out(0x10F0, 0, 0, ""), Failed(BulkIn(16), kTimeout)}},
      {"get 0, short buffer", 0, kGet, 15, none, STATUS_BUFFER_TOO_SMALL, 0, {}},
      {"get 1", 1, kGet, 40, none, STATUS_SUCCESS, 40,
       {Out(6, 0x20, 0, ""), In(7, 0, 0, ""), BulkIn(40), Out(6, 0xA0, 0, ""), In(7, 0, 0, ""), Out(0xC0, 0, 0, "")}},
      {"get 1, answer fails", 1, kGet, 32, control(true, 7, 0, kOther), kOther, 32,
       {Out(6, 0x20, 0, ""), Failed(In(7, 0, 0, ""), kOther)}},
      {"get 1, end fails", 1, kGet, 32, control(false, 0xC0, 0, kStall), kStall, 32,
       {Out(6, 0x20, 0, ""), In(7, 0, 0, ""), BulkIn(32), Out(6, 0xA0, 0, ""), In(7, 0, 0, ""),
        Failed(Out(0xC0, 0, 0, ""), kStall)}},
      {"get 2", 2, kGet, 32, none, STATUS_SUCCESS, 32, word},
      {"get 2, read fails", 2, kGet, 32, bulkRead(kStall), kStall, 32,
       {Out(6, 0x90, 0, ""), In(7, 0, 0, ""), Failed(BulkIn(2), kStall)}},
      {"get 2, close fails", 2, kGet, 32, control(false, 6, 0xA0, kOther), kOther, 32,
       {Out(6, 0x90, 0, ""), In(7, 0, 0, ""), BulkIn(2), Failed(Out(6, 0xA0, 0, ""), kOther)}},
      {"get 2, short buffer", 2, kGet, 1, none, STATUS_BUFFER_TOO_SMALL, 0, {}},
      {"get 3, fails", 3, kGet, 48, bulkRead(kTimeout), kTimeout, 48, {Failed(BulkIn(48), kTimeout)}},
      {"get 5, fails", 5, kGet, 48, bulkRead(kTimeout), kStall, 0xBAD, {Failed(BulkIn(48), kTimeout)}},
      {"get 11, fails", 11, kGet, 48, bulkRead(kTimeout), kStall, 0, {Failed(BulkIn(48), kTimeout)}},
      {"set 4", 4, kSet, 32, [](HostSimCamera &c) { c.SetReadyAfterPolls(2); }, STATUS_SUCCESS, 0xBAD,
       {In(0xA0, 0, 1, "00"), In(0xA0, 0, 1, "00"), In(0xA0, 0, 1, "04"), Out(6, 0x55, 1, "00"), In(7, 0, 1, "00")},
       {0x55}},
      {"set 4, poll fails", 4, kSet, 32, control(true, 0xA0, 0, kOther), kStall, 0xBAD,
       {Failed(In(0xA0, 0, 1, ""), kOther)}},
      {"set 4, open fails", 4, kSet, 32, control(false, 6, 0x11, kOther), kStall, 0xBAD,
       {In(0xA0, 0, 1, "04"), Failed(Out(6, 0x11, 1, "00"), kOther)}, {0x11}},
      {"set 4, answer fails", 4, kSet, 32, control(true, 7, 0, kTimeout), kStall, 0xBAD,
       {In(0xA0, 0, 1, "04"), Out(6, 0x00, 1, "00"), Failed(In(7, 0, 1, ""), kTimeout)}, {0x00}},
      {"set 6", 6, kSet, 32, none, STATUS_SUCCESS, 0xBAD, {Out(6, 0xA0, 1, "00"), In(7, 0, 1, "00")}},
      // The class library lowers the shared length to 0 on a failure: each one-byte command still
      // goes out with its byte.
      {"set 7, open fails", 7, kSet, 32, control(false, 6, 0x30, kOther), STATUS_SUCCESS, 0xBAD,
       {Failed(Out(6, 0x30, 1, "00"), kOther), In(7, 0, 1, "00")}},
      {"set 4, short poll answer", 4, kSet, 32,
       [](HostSimCamera &c) { c.AnswerControl(true, 0xA0, 0, {STATUS_SUCCESS, {}, 1}); }, STATUS_SUCCESS, 0xBAD,
       {In(0xA0, 0, 1, ""), In(0xA0, 0, 1, "04"), Out(6, 0x21, 1, "00"), In(7, 0, 1, "00")}, {0x21}},
      {"set 8, answer fails", 8, kSet, 32, control(true, 7, 0, kTimeout), kTimeout, 0xBAD,
       {Out(6, 0xA0, 1, "00"), Failed(In(7, 0, 1, ""), kTimeout)}},
      {"set 9", 9, kSet, 3, none, STATUS_SUCCESS, 3,
       {Out(6, 0xD6, 1, "00"), In(7, 0, 1, "00"), BulkOut("80 81 82"), Out(6, 0xA0, 1, "00"), In(7, 0, 1, "00")},
       Pattern(3, 0x80)},
      {"set 9, write fails", 9, kSet, 1, bulkWrite(kTimeout), kTimeout, 0,
       {Out(6, 0xD6, 1, "00"), In(7, 0, 1, "00"), Failed(BulkOut("cd"), kTimeout)}},
      {"set 9, answer fails", 9, kSet, 1, control(true, 7, 0, kOther), kStall, 0xBAD,
       {Out(6, 0xD6, 1, "00"), Failed(In(7, 0, 1, ""), kOther)}},
      // With no write operation open the block would go to the camera as something else.
      {"set 9, open fails", 9, kSet, 2, control(false, 6, 0xD6, kOther), kStall, 0xBAD,
       {Failed(Out(6, 0xD6, 1, "00"), kOther)}},
      {"set 10", 10, kSet, 32, none, STATUS_SUCCESS, 0xBAD, {Out(0x1234, 0x5678, 1, "00")},
       {0xEE, 0xEE, 0x34, 0x12, 0x78, 0x56, 0x40, 0x00}},
      {"set 10, no data stage", 10, kSet, 32, none, STATUS_SUCCESS, 0xBAD, {Out(0xABCD, 0, 0, "")},
       {0, 0, 0xCD, 0xAB, 0, 0, 0, 0}},
      {"set 10, fails", 10, kSet, 32, control(false, 1, 2, kOther), kStall, 0xBAD,
       {Failed(Out(1, 2, 1, "00"), kOther)}, {0, 0, 1, 0, 2, 0, 1, 0}},
      {"set 12", 12, kSet, 3, none, STATUS_SUCCESS, 3, {BulkOut("01 02 03")}, {1, 2, 3}},
      {"set 12, fails", 12, kSet, 2, bulkWrite(kTimeout), kStall, 0xBAD, {Failed(BulkOut("cd cd"), kTimeout)}},
  };
  for (const Sequence &c : cases) {
    HostSimCamera camera;  // programmed afresh for each request
    HostCamera_Attach(&dc_, &camera);
    c.program(camera);
    PropertyRequest r(c.id, c.flags, kInput, c.size);
    std::copy(c.data.begin(), c.data.end(), r.data.begin());
    EXPECT_EQ(Run(r), c.status) << c.what;
    EXPECT_EQ(r.srb.ActualBytesTransferred, c.bytes) << c.what;
    EXPECT_EQ(Seen(&camera), c.seen) << c.what;
  }
  HostCamera_Attach(&dc_, &camera_);
}

// A synchronous command answered STATUS_PENDING has not been carried out: every item reports a
// failure, never the pending status as success.
TEST_F(CustomPropertyTest, CommandsAnsweredPendingAreFailures) {
  struct Case { ULONG id, flags, size; } cases[] = {
      {0, kGet, 32}, {1, kGet, 32}, {2, kGet, 32}, {3, kGet, 32}, {4, kSet, 32}, {6, kSet, 32},
      {7, kSet, 32}, {8, kSet, 32}, {9, kSet, 2}, {10, kSet, 32}, {12, kSet, 2}};
  HostUsbcamd_AnswerPending(&dc_, true);
  for (const Case &c : cases) {
    PropertyRequest r(c.id, c.flags, kInput, c.size);
    if (c.id == 10) r.data[2] = 0x34;
    EXPECT_FALSE(NT_SUCCESS(Run(r))) << "item " << c.id;
  }
  HostUsbcamd_AnswerPending(&dc_, false);
}

// The camera gets a thousand ready polls: ready on the last one is used, never ready is a failure.
TEST_F(CustomPropertyTest, Set4PollsAThousandTimesAtMost) {
  for (bool readyAtLast : {true, false}) {
    camera_.ClearRequests();
    camera_.AnswerControl(true, 0xA0, 0, {STATUS_SUCCESS, {0xFB}, readyAtLast ? 999u : 0u});
    PropertyRequest r(4, kSet, kInput, 32);
    r.data[0] = 0x55;
    EXPECT_EQ(Run(r), readyAtLast ? STATUS_SUCCESS : kStall);
    Lines seen = Seen();
    ASSERT_EQ(seen.size(), readyAtLast ? 1002u : 1000u);
    EXPECT_EQ(seen[998], In(0xA0, 0, 1, "fb"));
    EXPECT_EQ(seen[999], readyAtLast ? In(0xA0, 0, 1, "04") : In(0xA0, 0, 1, "fb"));
  }
}

// Two requests at once, with a camera slow enough that their commands would interleave.
TEST_F(CustomPropertyTest, ConcurrentSequencesReachTheCameraWhole) {
  camera_.SetLatency(std::chrono::microseconds(300));
  constexpr int kRounds = 8;
  auto repeat = [&](ULONG id, ULONG flags) {
    for (int i = 0; i < kRounds; ++i) {
      PropertyRequest r(id, flags, kInput, 32);
      Run(r);
    }
  };
  std::thread closer(repeat, 6, kSet), reader(repeat, 2, kGet);
  closer.join(), reader.join();
  const Lines close = {Out(6, 0xA0, 1, "00"), In(7, 0, 1, "00")};
  const Lines word = {Out(6, 0x90, 0, ""), In(7, 0, 0, ""), BulkIn(2), Out(6, 0xA0, 0, ""), In(7, 0, 0, "")};
  const Lines seen = Seen();
  int count[2] = {0, 0};
  for (size_t i = 0; i < seen.size();) {
    const Lines &expected = seen[i] == close[0] ? close : word;
    ASSERT_LE(i + expected.size(), seen.size());
    ASSERT_EQ(Lines(seen.begin() + i, seen.begin() + i + expected.size()), expected) << "interleaved at " << i;
    count[&expected == &close]++;
    i += expected.size();
  }
  EXPECT_EQ(std::tuple(count[0], count[1]), std::tuple(kRounds, kRounds));
}

}  // namespace
