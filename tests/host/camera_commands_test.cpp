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
