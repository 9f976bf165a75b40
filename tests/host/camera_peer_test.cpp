// The class library's command path and the programmable camera behind it: what reaches the
// camera from a vendor request or bulk transfer, what the driver gets back (data, length,
// status), and the camera's programmed answers.
#include <gtest/gtest.h>

#include "host_camera.h"
#include "host_kernel.h"

namespace {

class CameraPeerTest : public ::testing::Test {
 protected:
  void SetUp() override { HostCamera_Attach(&context_, &camera_); }
  void TearDown() override { HostCamera_Detach(&context_); }
  NTSTATUS Vendor(USHORT value, USHORT index, PVOID buffer, PULONG length, bool in) {
    return USBCAMD_ControlVendorCommand(&context_, 0x0C, value, index, buffer, length, in, NULL, NULL);
  }
  int context_ = 0;  // stands for a device context: only its address matters
  HostSimCamera camera_;
};

TEST_F(CameraPeerTest, AnOutRequestCarriesExactlyTheDataStageTheDriverGave) {
  uint8_t data[3] = {1, 2, 3};
  ULONG length = 2;
  EXPECT_EQ(Vendor(0x1234, 0x5678, data, &length, false), STATUS_SUCCESS);
  EXPECT_EQ(length, 2u);
  EXPECT_EQ(Vendor(0x00A0, 0, nullptr, nullptr, false), STATUS_SUCCESS);
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

TEST_F(CameraPeerTest, AnInRequestReturnsTheAnswerCutToTheLengthAndLowersTheLengthOnAShortOne) {
  camera_.AnswerControl(true, 7, 0, {STATUS_SUCCESS, {0xAA, 0xBB, 0xCC}, 1});
  camera_.AnswerControl(true, 7, 0, {STATUS_SUCCESS, {0x11}, 1});
  uint8_t buffer[4] = {0, 0, 0, 0};
  ULONG length = 2;
  EXPECT_EQ(Vendor(7, 0, buffer, &length, true), STATUS_SUCCESS);
  EXPECT_EQ(length, 2u);
  EXPECT_EQ(buffer[0], 0xAA);
  EXPECT_EQ(buffer[1], 0xBB);
  EXPECT_EQ(buffer[2], 0);
  length = 4;
  EXPECT_EQ(Vendor(7, 0, buffer, &length, true), STATUS_SUCCESS);
  EXPECT_EQ(length, 1u);
  EXPECT_EQ(buffer[0], 0x11);
  // Unprogrammed: zeros of the length asked for.
  length = 3;
  EXPECT_EQ(Vendor(7, 0, buffer, &length, true), STATUS_SUCCESS);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(buffer[0], 0);
}

TEST_F(CameraPeerTest, AFailedRequestTransfersNothing) {
  camera_.AnswerControl(true, 7, 0, {STATUS_DEVICE_DATA_ERROR, {0x55}, 0});
  uint8_t buffer = 0x77;
  ULONG length = 1;
  EXPECT_EQ(Vendor(7, 0, &buffer, &length, true), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(buffer, 0x77);
  EXPECT_EQ(camera_.Requests().back().status, STATUS_DEVICE_DATA_ERROR);
}

TEST_F(CameraPeerTest, TheReadyPollAnswersAsProgrammed) {
  camera_.SetReadyAfterPolls(2);
  uint8_t answer;
  std::vector<uint8_t> answers;
  for (int i = 0; i < 4; ++i) {
    ULONG length = 1;
    Vendor(0xA0, 0, &answer, &length, true);
    answers.push_back(answer);
  }
  EXPECT_EQ(answers, (std::vector<uint8_t>{0, 0, 4, 4}));
}

TEST_F(CameraPeerTest, BulkPipesReadAndWrite) {
  USBCAMD_INTERFACE i = HostUsbcamd_Interface();
  EXPECT_EQ(i.Interface.Size, sizeof(USBCAMD_INTERFACE));  // 36 on the 32-bit builds
  EXPECT_EQ(i.Interface.Version, USBCAMD_VERSION_200);
  ASSERT_NE(i.USBCAMD_BulkReadWrite, nullptr);
  camera_.AnswerBulkRead({STATUS_SUCCESS, {9, 8, 7}, 1});
  uint8_t buffer[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(i.USBCAMD_BulkReadWrite(&context_, 0, buffer, 4, NULL, NULL), STATUS_SUCCESS);
  EXPECT_EQ(buffer[2], 7);
  EXPECT_EQ(buffer[3], 0xEE) << "a short read leaves the rest";
  uint8_t out[2] = {5, 6};
  EXPECT_EQ(i.USBCAMD_BulkReadWrite(&context_, 1, out, 2, NULL, NULL), STATUS_SUCCESS);
  EXPECT_EQ(i.USBCAMD_BulkReadWrite(&context_, 2, out, 2, NULL, NULL), STATUS_INVALID_PARAMETER);
  std::vector<HostUsbRequest> seen = camera_.Requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].kind, HostUsbRequest::BulkIn);
  EXPECT_EQ(seen[0].length, 4u);
  EXPECT_EQ(seen[1].kind, HostUsbRequest::BulkOut);
  EXPECT_EQ(seen[1].data, (std::vector<uint8_t>{5, 6}));
}

TEST_F(CameraPeerTest, RequestsWithoutACameraOrWithBadLengthsFail) {
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

NTSTATUS NTAPI RecordCompletion(PVOID DeviceContext, PVOID Context, NTSTATUS Status) {
  *static_cast<NTSTATUS *>(Context) = Status;
  (void)DeviceContext;
  return STATUS_SUCCESS;
}

TEST_F(CameraPeerTest, ACompletionRoutineGetsTheStatus) {
  camera_.AnswerControl(false, 1, 2, {STATUS_IO_TIMEOUT, {}, 0});
  NTSTATUS completed = STATUS_PENDING;
  EXPECT_EQ(USBCAMD_ControlVendorCommand(&context_, 0x0C, 1, 2, NULL, NULL, FALSE, RecordCompletion, &completed),
            STATUS_IO_TIMEOUT);
  EXPECT_EQ(completed, STATUS_IO_TIMEOUT);
}

}  // namespace
