// Device start-up and shutdown: configuration, the image-process context, removal with a running worker.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "host_kernel.h"
#include "imageproc.h"
#include "lumarex.h"

namespace {

constexpr ULONG kTag = LUMAREX_POOL_TAG;

// An interface record of `pipes` pipes in a block of exactly its Length; NumberOfPipes may claim fewer.
struct InterfaceRecord {
  std::vector<ULONG_PTR> storage;
  PUSBD_INTERFACE_INFORMATION info;
  explicit InterfaceRecord(ULONG pipes, ULONG claimed) {
    size_t length = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) + pipes * sizeof(USBD_PIPE_INFORMATION);
    storage.assign((length + sizeof(ULONG_PTR) - 1) / sizeof(ULONG_PTR), 0);
    info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(storage.data());
    info->Length = USHORT(length);
    info->AlternateSetting = 3;
    info->NumberOfPipes = claimed;
    for (ULONG i = 0; i < pipes; ++i)
      info->Pipes[i].MaximumPacketSize = USHORT(1023 - i), info->Pipes[i].MaximumTransferSize = 4096;
  }
};

ULONG FullPacketAccepted(DeviceContext &dc) {
  UCHAR status = 0, buffer[1023] = {};
  USBD_ISO_PACKET_DESCRIPTOR sync = {0, 1, 0}, data = {0, 1023, 0};
  BOOLEAN complete = FALSE;
  ULONG flags = 0, offset = 0, accepted = 0;
  HostIrql_RunAtDispatch([&] {
    accepted = CamProcessUSBPacketEx(nullptr, &dc, nullptr, &sync, &status, &data, buffer, &complete, &flags, &offset);
  });
  return accepted;
}

class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HostPool_Reset(), HostDbg_Clear(), HostTime_ResetDelayStats();
    HostTime_SetDelayScale(0, 1);
    memset(&dc_, 0, sizeof(dc_));
  }
  void TearDown() override {
    CamUnInitialize(nullptr, &dc_);
    HostPool_ClearFaults();
    HostTime_SetDelayScale(1, 1);
    EXPECT_EQ(HostPool_LiveBlockCount(), 0u) << HostPool_Report();
  }
  NTSTATUS Configure(InterfaceRecord *iface, ULONG count = 2) {
    pipes_.assign(count, {0x77, 0x77});
    return CamConfigureEx(nullptr, &dc_, iface ? iface->info : nullptr, nullptr, count, pipes_.data(), nullptr);
  }
  void RunningDevice(InterfaceRecord &iface) {
    Configure(&iface);
    CamInitialize(nullptr, &dc_);
    dc_.g_nRawLength = dc_.g_nBmpBufSize = dc_.g_nIPBufSize = 100;
    LUMAREX_AllocateMemory(&dc_, FALSE, TRUE, TRUE, TRUE);
    for (PKEVENT e : {&dc_.g_BufferFreeEvent, &dc_.g_FrameReadyEvent, &dc_.g_StopWorkerEvent, &dc_.g_WorkerExitedEvent,
                      &dc_.g_RestartEvent})
      KeInitializeEvent(e, NotificationEvent, FALSE);
    ASSERT_EQ(StartWorkerThread(&dc_), STATUS_SUCCESS);
    dc_.g_bWorkerStarted = 1;
  }
  DeviceContext dc_;
  std::vector<USBCAMD_Pipe_Config_Descriptor> pipes_;
};

// The first two pipes get 32 KB transfers where the record has them; the four defined descriptions are filled.
TEST_F(LifecycleTest, ConfigureTunesThePipesDescribesThemAndKeepsACopy) {
  struct Case { ULONG pipes, claimed, descriptions; } cases[] = {{3, 3, 2}, {1, 1, 1}, {2, 0, 2}, {6, 6, 6}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.claimed << " of " << c.pipes << " pipes");
    InterfaceRecord iface(c.pipes, c.claimed);
    dc_.g_nGoodFrames = 7, dc_.g_nBadFrames = 8, dc_.g_nDecodeWidth = 640, dc_.g_nWarmupFrames = 7;
    ASSERT_EQ(Configure(&iface, c.descriptions), STATUS_SUCCESS);
    for (ULONG i = 0; i < c.pipes; ++i)
      EXPECT_EQ(iface.info->Pipes[i].MaximumTransferSize, i < std::min(c.claimed, 2u) ? 32768u : 4096u) << i;
    EXPECT_EQ(iface.info->AlternateSetting, 0);
    ASSERT_NE(dc_.g_pInterfaceInfo, nullptr);
    EXPECT_EQ(0, memcmp(dc_.g_pInterfaceInfo, iface.info, iface.info->Length));
    for (ULONG i = 0; i < c.descriptions; ++i) {
      USHORT expected = i < 2 ? (USBCAMD_VIDEO_STREAM | USBCAMD_DATA_PIPE << 8) : i < 4 ? 0 : 0x7777;
      EXPECT_EQ(pipes_[i].StreamAssociation | pipes_[i].PipeConfigFlags << 8, expected) << i;
    }
    EXPECT_EQ(FullPacketAccepted(dc_), c.claimed ? 1023u : 0u);
    EXPECT_EQ(std::tuple(dc_.g_nNumberOfStreams, dc_.g_nGoodFrames, dc_.g_nBadFrames, dc_.g_nDecodeWidth,
                         dc_.g_nWarmupFrames, dc_.g_bSkipBufferWait), std::tuple(1u, 0u, 0u, 0, UCHAR(0), 1u));
    EXPECT_EQ(HostPool_TagStats(kTag).liveBlocks, 1u) << "a new copy replaces the last";
  }
}

TEST_F(LifecycleTest, InitializeAllocatesTheContextOnceAndFreesTheCommandLock) {
  HostPool_FailTag(kTag, true);
  EXPECT_EQ(CamInitialize(nullptr, &dc_), (NTSTATUS)0xC0002017);
  EXPECT_EQ(HostDbg_Count("<ZR417IP>"), 0u) << "it fails before the library";
  HostPool_FailTag(kTag, false);
  EXPECT_EQ(CamInitialize(nullptr, &dc_), STATUS_SUCCESS);
  EXPECT_EQ(CamInitialize(nullptr, &dc_), STATUS_SUCCESS);
  EXPECT_EQ(HostPool_TagStats(kTag).liveBlocks, 1u);
  LARGE_INTEGER poll = {};  // free, and a lock: the first taker gets it, the next would wait
  EXPECT_EQ(KeWaitForSingleObject(&dc_.g_CommandLock, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&dc_.g_CommandLock, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
}

// Removal and a new configuration of an initialised device end the worker and free what the device holds.
TEST_F(LifecycleTest, UnInitializeAndReconfigurationEndTheWorkerAndFreeEverything) {
  InterfaceRecord iface(2, 2);
  RunningDevice(iface);
  // Fresh pool holds what its last owner left (the host fills it with 0xA5): frame buffers start cleared.
  for (PUCHAR b : {dc_.g_pRawBuf, dc_.g_pBmpBuf, dc_.g_pIPBuf})
    EXPECT_EQ(std::vector<UCHAR>(b, b + 100), std::vector<UCHAR>(100, 0));
  ASSERT_EQ(Configure(&iface), STATUS_SUCCESS);
  EXPECT_EQ(dc_.g_bWorkerStarted, 0u);
  EXPECT_TRUE(HostThreads_WaitAllExited(5000));
  EXPECT_EQ(HostPool_LiveBlockCount(), 1u) << "only the new interface copy: " << HostPool_Report();
  RunningDevice(iface);
  EXPECT_EQ(CamUnInitialize(nullptr, &dc_), STATUS_SUCCESS);
  EXPECT_EQ(std::tuple(dc_.g_bWorkerStarted, dc_.g_pWorkerThread, dc_.g_pInterfaceInfo, dc_.g_pIPContext),
            std::tuple(0u, nullptr, nullptr, nullptr));
  EXPECT_EQ(std::tuple(KeReadStateEvent(&dc_.g_WorkerExitedEvent), HostThreads_Running(), HostTime_DelayStats().count,
                       HostObjects_LiveCount()), std::tuple(0, size_t(0), 0u, size_t(0)));
  EXPECT_EQ(HostPool_LiveBlockCount(), 0u) << HostPool_Report();
}

}  // namespace
