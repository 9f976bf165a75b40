// The class library's command path and the camera behind it: what reaches the camera from a
// vendor request or bulk transfer, what the driver gets back (data, length, status), the
// camera's programmed answers and its own command state.
#include <gtest/gtest.h>

#include "host_camera.h"
#include "host_kernel.h"

namespace {

class CameraCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override { HostCamera_Attach(&context_, &camera_); }
  void TearDown() override { HostCamera_Detach(&context_); }
  NTSTATUS Vendor(USHORT value, USHORT index, PVOID buffer, PULONG length, bool in) {
    return USBCAMD_ControlVendorCommand(&context_, 0x0C, value, index, buffer, length, in, NULL, NULL);
  }
  NTSTATUS Out(USHORT value, USHORT index) { return Vendor(value, index, NULL, NULL, false); }
  uint8_t In(USHORT value, USHORT index) {
    uint8_t b = 0xEE;
    ULONG length = 1;
    EXPECT_EQ(Vendor(value, index, &b, &length, true), STATUS_SUCCESS);
    EXPECT_EQ(length, 1u);
    return b;
  }
  NTSTATUS Bulk(USHORT pipe, std::vector<uint8_t> &buffer) {
    return HostUsbcamd_Interface().USBCAMD_BulkReadWrite(&context_, pipe, buffer.data(), ULONG(buffer.size()), NULL,
                                                         NULL);
  }
  int context_ = 0;  // stands for a device context: only its address matters
  HostSimCamera camera_;
};

TEST_F(CameraCommandsTest, AnOutRequestCarriesExactlyTheDataStageTheDriverGave) {
  uint8_t data[3] = {1, 2, 3};
  ULONG length = 2;
  EXPECT_EQ(Vendor(0x1234, 0x5678, data, &length, false), STATUS_SUCCESS);
  EXPECT_EQ(length, 2u);
  EXPECT_EQ(Out(0x00A0, 0), STATUS_SUCCESS);
  std::vector<HostUsbRequest> seen = camera_.Requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].request, 0x0C);
  EXPECT_EQ(seen[0].value, 0x1234);
  EXPECT_EQ(seen[0].index, 0x5678);
  EXPECT_FALSE(seen[0].deviceToHost);
  EXPECT_TRUE(seen[0].dataStage);
  EXPECT_EQ(seen[0].data, (std::vector<uint8_t>{1, 2}));
  EXPECT_FALSE(seen[1].dataStage);
  EXPECT_TRUE(seen[1].data.empty());
}

// Programmed answers in order (cut to the length asked for, the length lowered on a short one,
// nothing on a failure), then the camera's own: zeros of the length asked for.
TEST_F(CameraCommandsTest, AnInRequestGetsTheAnswerAndTheBytesTransferred) {
  camera_.AnswerControl(true, 7, 0, {STATUS_SUCCESS, {0xAA, 0xBB, 0xCC}, 1});
  camera_.AnswerControl(true, 7, 0, {STATUS_SUCCESS, {0x11}, 1});
  camera_.AnswerControl(true, 7, 0, {STATUS_DEVICE_DATA_ERROR, {0x55}, 1});
  const struct {
    ULONG asked;
    NTSTATUS status;
    ULONG got;
    std::vector<uint8_t> buffer;
  } cases[] = {{2, STATUS_SUCCESS, 2, {0xAA, 0xBB, 0x77, 0x77}},
               {4, STATUS_SUCCESS, 1, {0x11, 0x77, 0x77, 0x77}},
               {1, STATUS_DEVICE_DATA_ERROR, 0, {0x77, 0x77, 0x77, 0x77}},
               {3, STATUS_SUCCESS, 3, {0, 0, 0, 0x77}}};
  for (const auto &c : cases) {
    std::vector<uint8_t> buffer(4, 0x77);
    ULONG length = c.asked;
    EXPECT_EQ(Vendor(7, 0, buffer.data(), &length, true), c.status);
    EXPECT_EQ(length, c.got);
    EXPECT_EQ(buffer, c.buffer) << "asked for " << c.asked;
  }
  EXPECT_EQ(camera_.Requests()[2].status, STATUS_DEVICE_DATA_ERROR);
}

TEST_F(CameraCommandsTest, RequestsWithoutACameraOrWithBadLengthsFail) {
  int other = 0;
  ULONG length = 1;
  uint8_t b = 0;
  EXPECT_EQ(USBCAMD_ControlVendorCommand(&other, 0x0C, 0, 0, &b, &length, FALSE, NULL, NULL),
            STATUS_DEVICE_NOT_CONNECTED);
  length = 0x10000;
  EXPECT_EQ(Vendor(0, 0, &b, &length, false), STATUS_INVALID_PARAMETER);
  length = 1;
  EXPECT_EQ(Vendor(0, 0, nullptr, &length, false), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(camera_.Requests().empty());
}

NTSTATUS NTAPI RecordCompletion(PVOID, PVOID context, NTSTATUS status) {
  *static_cast<NTSTATUS *>(context) = status;
  return STATUS_SUCCESS;
}

TEST_F(CameraCommandsTest, ACompletionRoutineGetsTheStatus) {
  camera_.AnswerControl(false, 1, 2, {STATUS_IO_TIMEOUT, {}, 0});
  NTSTATUS completed = STATUS_PENDING;
  EXPECT_EQ(USBCAMD_ControlVendorCommand(&context_, 0x0C, 1, 2, NULL, NULL, FALSE, RecordCompletion, &completed),
            STATUS_IO_TIMEOUT);
  EXPECT_EQ(completed, STATUS_IO_TIMEOUT);
}

TEST_F(CameraCommandsTest, BulkPipesReadAndWrite) {
  USBCAMD_INTERFACE i = HostUsbcamd_Interface();
  EXPECT_EQ(i.Interface.Size, sizeof(USBCAMD_INTERFACE));
  EXPECT_EQ(i.Interface.Version, USBCAMD_VERSION_200);
  camera_.AnswerBulkRead({STATUS_SUCCESS, {9, 8, 7}, 1});
  std::vector<uint8_t> in(4, 0xEE), out = {5, 6};
  EXPECT_EQ(Bulk(0, in), STATUS_SUCCESS);
  EXPECT_EQ(in, (std::vector<uint8_t>{9, 8, 7, 0xEE})) << "a short read leaves the rest";
  EXPECT_EQ(Bulk(1, out), STATUS_SUCCESS);
  EXPECT_EQ(Bulk(2, out), STATUS_INVALID_PARAMETER);
  std::vector<HostUsbRequest> seen = camera_.Requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].kind, HostUsbRequest::BulkIn);
  EXPECT_EQ(seen[0].length, 4u);
  EXPECT_EQ(seen[1].kind, HostUsbRequest::BulkOut);
  EXPECT_EQ(seen[1].data, out);
  // With no operation open, bulk writes come back in order; then zeros.
  std::vector<uint8_t> second = {6, 7, 8}, a(4), b(6);
  ASSERT_EQ(Bulk(1, second), STATUS_SUCCESS);
  ASSERT_EQ(Bulk(0, a), STATUS_SUCCESS);
  ASSERT_EQ(Bulk(0, b), STATUS_SUCCESS);
  EXPECT_EQ(a, (std::vector<uint8_t>{5, 6, 6, 7}));
  EXPECT_EQ(b, (std::vector<uint8_t>{8, 0, 0, 0, 0, 0}));
}

TEST_F(CameraCommandsTest, StartAndStopSwitchStreamingAndSizeAndTheReadyPollIsNoStop) {
  const int sizes[3][3] = {{0x0A40, 160, 120}, {0x1440, 320, 240}, {0x2840, 640, 480}};
  for (auto &s : sizes) {
    ASSERT_EQ(Out(USHORT(s[0]), 0), STATUS_SUCCESS);
    EXPECT_TRUE(camera_.Streaming());
    int w = 0, h = 0;
    camera_.StreamSize(&w, &h);
    EXPECT_EQ(w, s[1]);
    EXPECT_EQ(h, s[2]);
    EXPECT_EQ(In(0xA0, 0), 0x04);
    EXPECT_TRUE(camera_.Streaming());
  }
  ASSERT_EQ(Out(0x00A0, 0), STATUS_SUCCESS);
  EXPECT_FALSE(camera_.Streaming());
  // A start the camera refuses changes nothing; one answered by a rule with success counts.
  camera_.AnswerControl(false, 0x0A40, 7, {STATUS_DEVICE_DATA_ERROR, {}, 1});
  EXPECT_EQ(Out(0x0A40, 7), STATUS_DEVICE_DATA_ERROR);
  EXPECT_FALSE(camera_.Streaming());
  camera_.AnswerControl(false, 0x0A40, 7, {STATUS_SUCCESS, {}, 1});
  EXPECT_EQ(Out(0x0A40, 7), STATUS_SUCCESS);
  EXPECT_TRUE(camera_.Streaming());
  // The ready poll as programmed: not ready for n polls, then ready.
  camera_.SetReadyAfterPolls(2);
  std::vector<uint8_t> polls;
  for (int i = 0; i < 4; ++i) polls.push_back(In(0xA0, 0));
  EXPECT_EQ(polls, (std::vector<uint8_t>{0, 0, 4, 4}));
}

TEST_F(CameraCommandsTest, ParameterMemoryWrittenWithD6ReadsBackWith20) {
  std::vector<uint8_t> block(40);
  for (size_t i = 0; i < block.size(); ++i) block[i] = uint8_t(0x30 + 7 * i);
  EXPECT_EQ(Out(6, 0xD6), STATUS_SUCCESS);
  EXPECT_EQ(In(7, 0), 0x00);
  ASSERT_EQ(Bulk(1, block), STATUS_SUCCESS);
  EXPECT_EQ(Out(6, 0xA0), STATUS_SUCCESS);
  EXPECT_EQ(Out(6, 0x20), STATUS_SUCCESS);
  EXPECT_EQ(In(7, 0), 0x00);
  std::vector<uint8_t> back(48, 0xEE), expected = block;
  expected.resize(48, 0);  // never written
  ASSERT_EQ(Bulk(0, back), STATUS_SUCCESS);
  EXPECT_EQ(back, expected);
  // Another read opens the operation afresh and starts at the beginning again.
  Out(6, 0xA0);
  Out(6, 0x20);
  std::vector<uint8_t> again(4);
  Bulk(0, again);
  EXPECT_EQ(again, std::vector<uint8_t>(block.begin(), block.begin() + 4));
  // Operation 0x90 gives the firmware version, two bytes, unless a programmed answer comes first.
  camera_.AnswerBulkRead({STATUS_SUCCESS, {9, 9}, 1});
  Out(6, 0x90);
  std::vector<uint8_t> version(2);
  Bulk(0, version);
  EXPECT_EQ(version, (std::vector<uint8_t>{9, 9}));
  Bulk(0, version);
  EXPECT_EQ(version, (std::vector<uint8_t>{1, 2}));
}

TEST_F(CameraCommandsTest, TheStatusBlockDescribesTheStream) {
  ASSERT_EQ(Out(0x2840, 0), STATUS_SUCCESS);
  HostIsoSlot slot;
  for (int i = 0; i < 3; ++i) camera_.NextSlot(slot);
  camera_.SetButton(true);
  ASSERT_EQ(Out(0x10F0, 0), STATUS_SUCCESS);
  std::vector<uint8_t> status(16, 0xEE), next(16, 0xEE);
  ASSERT_EQ(Bulk(0, status), STATUS_SUCCESS);
  EXPECT_EQ(status[0] & 0x03, 0x03) << "streaming, button down";
  EXPECT_EQ(status[1], 40);
  EXPECT_EQ(status[4], 1) << "frames sent";
  EXPECT_EQ(status[10] | status[11] << 8, 640);
  EXPECT_EQ(status[12] | status[13] << 8, 480);
  Bulk(0, next);
  EXPECT_EQ(next, std::vector<uint8_t>(16, 0)) << "only the read right after the command returns the block";
  Out(0x00A0, 0);
  Out(0x10F0, 0);
  Bulk(0, status);
  EXPECT_EQ(status[0] & 0x01, 0);
  EXPECT_EQ(status[1], 0);
}

}  // namespace
