// The camera's command sequences, driven through the private property set's get and set
// handlers against the simulated camera: the exact requests (value, index, direction, data
// stage), their order, the statuses and byte counts the requests complete with, and the
// translation of camera failures.
#include <thread>

#include "controls_fixture.h"

namespace {

using namespace controls;

constexpr size_t kInput = sizeof(KSPROPERTY) + 8;  // the private items' MinProperty is 32

class CustomPropertyTest : public ControlsTest {
 protected:
  NTSTATUS Get(PropertyRequest &r) {
    NTSTATUS s = LUMAREX_GetCustomProperty(&dc_, &r.srb);
    EXPECT_EQ(r.srb.Status, s);
    EXPECT_TRUE(r.GuardIntact()) << "written past the property buffer";
    return s;
  }
  NTSTATUS Set(PropertyRequest &r) {
    NTSTATUS s = LUMAREX_SetCustomProperty(&dc_, &r.srb);
    EXPECT_EQ(r.srb.Status, s);
    EXPECT_TRUE(r.GuardIntact()) << "written past the property buffer";
    return s;
  }
  static std::vector<uint8_t> Pattern(size_t n, uint8_t first) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(first + i);
    return v;
  }
};

constexpr NTSTATUS kStall = STATUS_DEVICE_DATA_ERROR;
constexpr NTSTATUS kOther = STATUS_UNSUCCESSFUL;

// ---- Private gets -----------------------------------------------------------------------------

TEST_F(CustomPropertyTest, Get0ReadsTheStatusBlockAfterTheStatusCommand) {
  camera_.AnswerBulkRead({STATUS_SUCCESS, Pattern(16, 0x40)});
  PropertyRequest r(0, KSPROPERTY_TYPE_GET, kInput, 32);
  EXPECT_EQ(Get(r), STATUS_SUCCESS);
  EXPECT_EQ(Seen(), (std::vector<std::string>{Out(0x10F0, 0, 0, ""), BulkIn(16)}));
  EXPECT_EQ(r.srb.ActualBytesTransferred, 16u);
  EXPECT_EQ(std::vector<uint8_t>(r.data.begin(), r.data.begin() + 16), Pattern(16, 0x40));
  EXPECT_EQ(r.data[16], 0xCD) << "only 16 bytes are read";
}

TEST_F(CustomPropertyTest, Get0TranslatesAStalledCommandAndIgnoresOtherCommandFailures) {
  camera_.AnswerControl(false, 0x10F0, 0, {kStall, {}, 1});
  PropertyRequest stalled(0, KSPROPERTY_TYPE_GET, kInput, 32);
  EXPECT_EQ(Get(stalled), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(stalled.srb.ActualBytesTransferred, 0u);
  EXPECT_EQ(Seen(), (std::vector<std::string>{Failed(Out(0x10F0, 0, 0, ""), kStall)}));

  camera_.ClearRequests();
  camera_.AnswerControl(false, 0x10F0, 0, {kOther, {}, 1});
  PropertyRequest other(0, KSPROPERTY_TYPE_GET, kInput, 32);
  EXPECT_EQ(Get(other), STATUS_SUCCESS);
  EXPECT_EQ(other.srb.ActualBytesTransferred, 16u);
  EXPECT_EQ(Seen(), (std::vector<std::string>{Failed(Out(0x10F0, 0, 0, ""), kOther), BulkIn(16)}));

  camera_.AnswerBulkRead({STATUS_IO_TIMEOUT, {}, 1});
  PropertyRequest readFails(0, KSPROPERTY_TYPE_GET, kInput, 32);
  EXPECT_EQ(Get(readFails), STATUS_IO_TIMEOUT);
  EXPECT_EQ(readFails.srb.ActualBytesTransferred, 0u);
}

TEST_F(CustomPropertyTest, Get0WhileAStillIsPendingAnswersWithoutTheCamera) {
  dc_.g_bStillRequested = 1;
  PropertyRequest r(0, KSPROPERTY_TYPE_GET, kInput, 32);
  EXPECT_EQ(Get(r), STATUS_SUCCESS);
  EXPECT_EQ(r.srb.ActualBytesTransferred, 32u);
  ULONG word;
  memcpy(&word, r.data.data() + 24, 4);
  EXPECT_EQ(word, 256u);
  EXPECT_EQ(r.data[0], 0xCD) << "only the word at 24..27 is written";
  EXPECT_TRUE(Seen().empty());
  EXPECT_EQ(dc_.g_bStillRequested, 1) << "the packet handler consumes the still, not the get";
}

TEST_F(CustomPropertyTest, Get0RefusesABufferShorterThanItsReply) {
  PropertyRequest r(0, KSPROPERTY_TYPE_GET, kInput, 15);
  EXPECT_EQ(Get(r), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(r.srb.ActualBytesTransferred, 0u);
  dc_.g_bStillRequested = 1;
  PropertyRequest pending(0, KSPROPERTY_TYPE_GET, kInput, 27);
  EXPECT_EQ(Get(pending), STATUS_BUFFER_TOO_SMALL);
  EXPECT_TRUE(Seen().empty());
}

TEST_F(CustomPropertyTest, Get1ReadsABlockInsideOperation0x20) {
  camera_.AnswerBulkRead({STATUS_SUCCESS, Pattern(40, 1)});
  PropertyRequest r(1, KSPROPERTY_TYPE_GET, kInput, 40);
  EXPECT_EQ(Get(r), STATUS_SUCCESS);
  EXPECT_EQ(Seen(), (std::vector<std::string>{Out(6, 0x20, 0, ""), In(7, 0, 0, ""), BulkIn(40), Out(6, 0xA0, 0, ""),
                                              In(7, 0, 0, ""), Out(0xC0, 0, 0, "")}));
  EXPECT_EQ(r.srb.ActualBytesTransferred, 40u);
  EXPECT_EQ(std::vector<uint8_t>(r.data.begin(), r.data.begin() + 40), Pattern(40, 1));
}

TEST_F(CustomPropertyTest, Get1EndsAtAFailureBeforeTheCloseAndReportsOnlyTheLastCommandAfterIt) {
  camera_.AnswerControl(true, 7, 0, {kOther, {}, 1});
  PropertyRequest early(1, KSPROPERTY_TYPE_GET, kInput, 32);
  EXPECT_EQ(Get(early), kOther);
  EXPECT_EQ(Seen(), (std::vector<std::string>{Out(6, 0x20, 0, ""), Failed(In(7, 0, 0, ""), kOther)}));
  EXPECT_EQ(early.srb.ActualBytesTransferred, 32u);

  // The close's answer fails, the end command succeeds: the end command decides.
  camera_.ClearRequests();
  camera_.AnswerControl(true, 7, 0, {STATUS_SUCCESS, {}, 1});
  camera_.AnswerControl(true, 7, 0, {kOther, {}, 1});
  PropertyRequest tail(1, KSPROPERTY_TYPE_GET, kInput, 32);
  EXPECT_EQ(Get(tail), STATUS_SUCCESS);
  EXPECT_EQ(Seen().size(), 6u);

  camera_.AnswerControl(false, 0xC0, 0, {kStall, {}, 1});
  PropertyRequest end(1, KSPROPERTY_TYPE_GET, kInput, 32);
  EXPECT_EQ(Get(end), kStall);
}

TEST_F(CustomPropertyTest, Get2ReadsTwoBytesInsideOperation0x90AndStopsAtTheFirstFailure) {
  camera_.AnswerBulkRead({STATUS_SUCCESS, {0x12, 0x34}, 1});
  PropertyRequest r(2, KSPROPERTY_TYPE_GET, kInput, 32);
  EXPECT_EQ(Get(r), STATUS_SUCCESS);
  EXPECT_EQ(Seen(), (std::vector<std::string>{Out(6, 0x90, 0, ""), In(7, 0, 0, ""), BulkIn(2), Out(6, 0xA0, 0, ""),
                                              In(7, 0, 0, "")}));
  EXPECT_EQ(r.srb.ActualBytesTransferred, 32u);
  EXPECT_EQ(r.data[0], 0x12);
  EXPECT_EQ(r.data[1], 0x34);
  EXPECT_EQ(r.data[2], 0x00) << "the reported bytes the camera did not fill are cleared, not left as they were";

  camera_.ClearRequests();
  camera_.AnswerBulkRead({kStall, {}, 1});
  PropertyRequest failing(2, KSPROPERTY_TYPE_GET, kInput, 32);
  EXPECT_EQ(Get(failing), kStall);
  EXPECT_EQ(Seen(), (std::vector<std::string>{Out(6, 0x90, 0, ""), In(7, 0, 0, ""), Failed(BulkIn(2), kStall)}));

  PropertyRequest tooShort(2, KSPROPERTY_TYPE_GET, kInput, 1);
  EXPECT_EQ(Get(tooShort), STATUS_BUFFER_TOO_SMALL);
}

TEST_F(CustomPropertyTest, Gets3And5And11AreBulkReadsWithTheirOwnFailureReports) {
  camera_.AnswerBulkRead({STATUS_SUCCESS, Pattern(48, 9), 3});
  PropertyRequest r3(3, KSPROPERTY_TYPE_GET, kInput, 48), r5(5, KSPROPERTY_TYPE_GET, kInput, 48),
      r11(11, KSPROPERTY_TYPE_GET, kInput, 48);
  EXPECT_EQ(Get(r3), STATUS_SUCCESS);
  EXPECT_EQ(Get(r5), STATUS_SUCCESS);
  EXPECT_EQ(Get(r11), STATUS_SUCCESS);
  EXPECT_EQ(Seen(), (std::vector<std::string>{BulkIn(48), BulkIn(48), BulkIn(48)}));
  for (PropertyRequest *r : {&r3, &r5, &r11}) {
    EXPECT_EQ(r->srb.ActualBytesTransferred, 48u);
    EXPECT_EQ(std::vector<uint8_t>(r->data.begin(), r->data.begin() + 48), Pattern(48, 9));
  }

  camera_.AnswerBulkRead({STATUS_IO_TIMEOUT, {}, 0});
  PropertyRequest f3(3, KSPROPERTY_TYPE_GET, kInput, 48), f5(5, KSPROPERTY_TYPE_GET, kInput, 48),
      f11(11, KSPROPERTY_TYPE_GET, kInput, 48);
  EXPECT_EQ(Get(f3), STATUS_IO_TIMEOUT);
  EXPECT_EQ(f3.srb.ActualBytesTransferred, 48u);
  EXPECT_EQ(Get(f5), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(f5.srb.ActualBytesTransferred, 0xBADu) << "left as it came";
  EXPECT_EQ(Get(f11), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(f11.srb.ActualBytesTransferred, 0u);
}

TEST_F(CustomPropertyTest, GetsOfSetOnlyItemsAreRefusedWithoutTraffic) {
  for (ULONG id : {4u, 6u, 7u, 8u, 9u, 10u, 12u, 13u}) {
    PropertyRequest r(id, KSPROPERTY_TYPE_GET, kInput, 32);
    EXPECT_EQ(Get(r), STATUS_NOT_SUPPORTED) << id;
  }
  EXPECT_TRUE(Seen().empty());
}

TEST_F(CustomPropertyTest, BulkTransfersAreSkippedWithoutTheClassLibraryInterface) {
  dc_.g_UsbcamdInterface.Interface.Version = 0;
  PropertyRequest r(3, KSPROPERTY_TYPE_GET, kInput, 32);
  EXPECT_EQ(Get(r), STATUS_NOT_SUPPORTED);
  EXPECT_TRUE(Seen().empty());
}

// ---- Private sets -----------------------------------------------------------------------------

TEST_F(CustomPropertyTest, Set4PollsUntilReadyThenOpensTheCallersOperation) {
  camera_.SetReadyAfterPolls(3);
  PropertyRequest r(4, KSPROPERTY_TYPE_SET, kInput, 32);
  r.data[0] = 0x55;
  EXPECT_EQ(Set(r), STATUS_SUCCESS);
  EXPECT_EQ(Seen(), (std::vector<std::string>{In(0xA0, 0, 1, "00"), In(0xA0, 0, 1, "00"), In(0xA0, 0, 1, "00"),
                                              In(0xA0, 0, 1, "04"), Out(6, 0x55, 1, "00"), In(7, 0, 1, "00")}));
  EXPECT_EQ(r.srb.ActualBytesTransferred, 0xBADu);
}

TEST_F(CustomPropertyTest, Set4GivesUpOnACameraThatNeverGetsReady) {
  camera_.AnswerControl(true, 0xA0, 0, {STATUS_SUCCESS, {0xFB}, 0});  // every bit but the ready bit
  PropertyRequest r(4, KSPROPERTY_TYPE_SET, kInput, 32);
  r.data[0] = 0x55;
  EXPECT_EQ(Set(r), STATUS_DEVICE_DATA_ERROR);
  std::vector<std::string> seen = Seen();
  EXPECT_EQ(seen.size(), 1000u);
  EXPECT_EQ(seen.back(), In(0xA0, 0, 1, "fb")) << "nothing is opened";
}

TEST_F(CustomPropertyTest, Set4CameraReadyAtTheThousandthPollIsUsed) {
  camera_.AnswerControl(true, 0xA0, 0, {STATUS_SUCCESS, {0x00}, 999});  // then the camera's own "ready"
  PropertyRequest r(4, KSPROPERTY_TYPE_SET, kInput, 32);
  r.data[0] = 0x55;
  EXPECT_EQ(Set(r), STATUS_SUCCESS);
  std::vector<std::string> seen = Seen();
  ASSERT_EQ(seen.size(), 1002u);
  EXPECT_EQ(seen[999], In(0xA0, 0, 1, "04"));
  EXPECT_EQ(seen[1000], Out(6, 0x55, 1, "00"));
}

TEST_F(CustomPropertyTest, Set4TurnsEveryFailureIntoADataError) {
  camera_.AnswerControl(true, 0xA0, 0, {kOther, {}, 1});
  PropertyRequest poll(4, KSPROPERTY_TYPE_SET, kInput, 32);
  EXPECT_EQ(Set(poll), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(Seen().size(), 1u);

  camera_.ClearRequests();
  camera_.AnswerControl(false, 6, 0x11, {kOther, {}, 1});
  PropertyRequest open(4, KSPROPERTY_TYPE_SET, kInput, 32);
  open.data[0] = 0x11;
  EXPECT_EQ(Set(open), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(Seen().size(), 2u);

  camera_.ClearRequests();
  camera_.AnswerControl(true, 7, 0, {STATUS_IO_TIMEOUT, {}, 1});
  PropertyRequest answer(4, KSPROPERTY_TYPE_SET, kInput, 32);
  EXPECT_EQ(Set(answer), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(Seen().size(), 3u);
}

TEST_F(CustomPropertyTest, Sets6And7And8RunTheirOperationAndReportTheAnswer) {
  PropertyRequest r6(6, KSPROPERTY_TYPE_SET, kInput, 32), r7(7, KSPROPERTY_TYPE_SET, kInput, 32),
      r8(8, KSPROPERTY_TYPE_SET, kInput, 32);
  EXPECT_EQ(Set(r6), STATUS_SUCCESS);
  EXPECT_EQ(Set(r7), STATUS_SUCCESS);
  EXPECT_EQ(Set(r8), STATUS_SUCCESS);
  EXPECT_EQ(Seen(), (std::vector<std::string>{Out(6, 0xA0, 1, "00"), In(7, 0, 1, "00"), Out(6, 0x30, 1, "00"),
                                              In(7, 0, 1, "00"), Out(6, 0xA0, 1, "00"), In(7, 0, 1, "00")}));

  // The opening command's failure is not looked at; the answer's is reported untranslated.
  camera_.AnswerControl(false, 6, 0x30, {kOther, {}, 1});
  PropertyRequest openFails(7, KSPROPERTY_TYPE_SET, kInput, 32);
  EXPECT_EQ(Set(openFails), STATUS_SUCCESS);
  camera_.AnswerControl(true, 7, 0, {STATUS_IO_TIMEOUT, {}, 1});
  PropertyRequest answerFails(8, KSPROPERTY_TYPE_SET, kInput, 32);
  EXPECT_EQ(Set(answerFails), STATUS_IO_TIMEOUT);
  EXPECT_EQ(answerFails.srb.ActualBytesTransferred, 0xBADu);
}

TEST_F(CustomPropertyTest, Set9WritesTheBufferInsideOperation0xD6) {
  PropertyRequest r(9, KSPROPERTY_TYPE_SET, kInput, 34);
  std::vector<uint8_t> block = Pattern(34, 0x80);
  std::copy(block.begin(), block.end(), r.data.begin());
  EXPECT_EQ(Set(r), STATUS_SUCCESS);
  EXPECT_EQ(Seen(), (std::vector<std::string>{Out(6, 0xD6, 1, "00"), In(7, 0, 1, "00"), BulkOut(Hex(block)),
                                              Out(6, 0xA0, 1, "00"), In(7, 0, 1, "00")}));
  EXPECT_EQ(r.srb.ActualBytesTransferred, 34u);
}

TEST_F(CustomPropertyTest, Set9ReportsAFailedWriteAsItselfAndAFailedAnswerAsADataError) {
  camera_.AnswerBulkWrite({STATUS_IO_TIMEOUT, {}, 1});
  PropertyRequest write(9, KSPROPERTY_TYPE_SET, kInput, 32);
  EXPECT_EQ(Set(write), STATUS_IO_TIMEOUT);
  EXPECT_EQ(write.srb.ActualBytesTransferred, 0u);
  EXPECT_EQ(Seen().size(), 3u) << "nothing after the failed write";

  camera_.ClearRequests();
  camera_.AnswerControl(true, 7, 0, {kOther, {}, 1});
  PropertyRequest answer(9, KSPROPERTY_TYPE_SET, kInput, 32);
  EXPECT_EQ(Set(answer), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(answer.srb.ActualBytesTransferred, 0xBADu);
  EXPECT_EQ(Seen().size(), 2u) << "no write after a failed answer";

  camera_.ClearRequests();
  camera_.AnswerControl(false, 6, 0xD6, {kOther, {}, 1});
  PropertyRequest open(9, KSPROPERTY_TYPE_SET, kInput, 32);
  EXPECT_EQ(Set(open), STATUS_SUCCESS) << "the opening command is not looked at";
}

TEST_F(CustomPropertyTest, Set10SendsTheCallersCommandWithAtMostTheOneDataByteTheDriverHas) {
  PropertyRequest r(10, KSPROPERTY_TYPE_SET, kInput, 32);
  const uint8_t command[] = {0xEE, 0xEE, 0x34, 0x12, 0x78, 0x56, 0x01, 0x00};
  memcpy(r.data.data(), command, sizeof(command));
  EXPECT_EQ(Set(r), STATUS_SUCCESS);

  // A longer data stage than the one byte would send what lies beyond the driver's variable.
  PropertyRequest longer(10, KSPROPERTY_TYPE_SET, kInput, 32);
  const uint8_t longCommand[] = {0, 0, 0x01, 0x00, 0x02, 0x00, 0x40, 0x00};
  memcpy(longer.data.data(), longCommand, sizeof(longCommand));
  EXPECT_EQ(Set(longer), STATUS_SUCCESS);

  PropertyRequest none(10, KSPROPERTY_TYPE_SET, kInput, 32);
  const uint8_t noData[] = {0, 0, 0xCD, 0xAB, 0x00, 0x00, 0x00, 0x00};
  memcpy(none.data.data(), noData, sizeof(noData));
  EXPECT_EQ(Set(none), STATUS_SUCCESS);

  EXPECT_EQ(Seen(), (std::vector<std::string>{Out(0x1234, 0x5678, 1, "00"), Out(0x0001, 0x0002, 1, "00"),
                                              Out(0xABCD, 0, 0, "")}));

  camera_.AnswerControl(false, 0x1234, 0x5678, {kOther, {}, 1});
  PropertyRequest failing(10, KSPROPERTY_TYPE_SET, kInput, 32);
  memcpy(failing.data.data(), command, sizeof(command));
  EXPECT_EQ(Set(failing), STATUS_DEVICE_DATA_ERROR);

  PropertyRequest tooShort(10, KSPROPERTY_TYPE_SET, kInput, 7);
  EXPECT_EQ(Set(tooShort), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Seen().size(), 4u);
}

TEST_F(CustomPropertyTest, Set12WritesTheBufferToTheBulkPipe) {
  PropertyRequest r(12, KSPROPERTY_TYPE_SET, kInput, 3);
  r.data[0] = 1, r.data[1] = 2, r.data[2] = 3;
  EXPECT_EQ(Set(r), STATUS_SUCCESS);
  EXPECT_EQ(r.srb.ActualBytesTransferred, 3u);
  camera_.AnswerBulkWrite({STATUS_IO_TIMEOUT, {}, 1});
  PropertyRequest failing(12, KSPROPERTY_TYPE_SET, kInput, 3);
  EXPECT_EQ(Set(failing), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(failing.srb.ActualBytesTransferred, 0xBADu);
  EXPECT_EQ(Seen(), (std::vector<std::string>{BulkOut("01 02 03"), Failed(BulkOut("cd cd cd"), STATUS_IO_TIMEOUT)}));
}

TEST_F(CustomPropertyTest, SetsOfGetOnlyItemsAreRefusedWithoutTraffic) {
  for (ULONG id : {0u, 1u, 2u, 3u, 5u, 11u, 13u}) {
    PropertyRequest r(id, KSPROPERTY_TYPE_SET, kInput, 32);
    EXPECT_EQ(Set(r), STATUS_NOT_SUPPORTED) << id;
  }
  PropertyRequest empty(4, KSPROPERTY_TYPE_SET, kInput, 0);
  EXPECT_EQ(Set(empty), STATUS_BUFFER_TOO_SMALL);
  EXPECT_TRUE(Seen().empty());
}

// ---- Serialisation ------------------------------------------------------------------------------

// Two requests at once, with a camera slow enough that their commands would interleave: each
// sequence must reach the camera whole.
TEST_F(CustomPropertyTest, ConcurrentSequencesReachTheCameraWhole) {
  camera_.SetLatency(std::chrono::microseconds(300));
  constexpr int kRounds = 8;
  std::thread closer([&] {
    for (int i = 0; i < kRounds; ++i) {
      PropertyRequest r(6, KSPROPERTY_TYPE_SET, kInput, 32);
      LUMAREX_SetCustomProperty(&dc_, &r.srb);
    }
  });
  std::thread reader([&] {
    for (int i = 0; i < kRounds; ++i) {
      PropertyRequest r(2, KSPROPERTY_TYPE_GET, kInput, 32);
      LUMAREX_GetCustomProperty(&dc_, &r.srb);
    }
  });
  closer.join();
  reader.join();

  const std::vector<std::string> closeSequence = {Out(6, 0xA0, 1, "00"), In(7, 0, 1, "00")};
  const std::vector<std::string> wordSequence = {Out(6, 0x90, 0, ""), In(7, 0, 0, ""), BulkIn(2),
                                                 Out(6, 0xA0, 0, ""), In(7, 0, 0, "")};
  std::vector<std::string> seen = Seen();
  int closes = 0, words = 0;
  for (size_t i = 0; i < seen.size();) {
    const std::vector<std::string> &expected = seen[i] == closeSequence[0] ? closeSequence : wordSequence;
    ASSERT_LE(i + expected.size(), seen.size());
    ASSERT_EQ(std::vector<std::string>(seen.begin() + i, seen.begin() + i + expected.size()), expected)
        << "sequences interleaved at request " << i;
    (&expected == &closeSequence ? closes : words)++;
    i += expected.size();
  }
  EXPECT_EQ(closes, kRounds);
  EXPECT_EQ(words, kRounds);
}

}  // namespace
