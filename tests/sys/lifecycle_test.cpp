// Device start-up and shutdown: configuration, the image-process context, the memory routines
// and removal with a running worker.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "host_kernel.h"
#include "imageproc.h"
#include "lumarex.h"

namespace {

constexpr ULONG kWdm = LUMAREX_POOL_TAG;

// An interface record with n pipes, in a block of exactly its Length (so a write past it shows
// in the sanitizer build).
struct InterfaceRecord {
  std::vector<ULONG_PTR> storage;
  PUSBD_INTERFACE_INFORMATION info;
  explicit InterfaceRecord(ULONG pipes) {
    size_t length = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) + pipes * sizeof(USBD_PIPE_INFORMATION);
    storage.assign((length + sizeof(ULONG_PTR) - 1) / sizeof(ULONG_PTR), 0);
    info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(storage.data());
    info->Length = USHORT(length);
    info->AlternateSetting = 3;
    info->NumberOfPipes = pipes;
    for (ULONG i = 0; i < pipes; ++i) {
      info->Pipes[i].MaximumPacketSize = USHORT(1023 - i);
      info->Pipes[i].MaximumTransferSize = 4096;
    }
  }
};

// The bytes the packet callback accepts of a full 1023-byte data packet in a data slot.
ULONG FullPacketAccepted(DeviceContext &dc, ULONG *flags = nullptr) {
  UCHAR status = 0;
  USBD_ISO_PACKET_DESCRIPTOR sync = {0, 1, 0}, data = {0, 1023, 0};
  BOOLEAN complete = FALSE;
  ULONG packetFlags = 0, offset = 0;
  UCHAR buffer[1023] = {};
  ULONG accepted = 0;
  HostIrql_RunAtDispatch([&] {
    accepted = CamProcessUSBPacketEx(nullptr, &dc, nullptr, &sync, &status, &data, buffer, &complete, &packetFlags,
                                     &offset);
  });
  if (flags != nullptr) *flags = packetFlags;
  return accepted;
}

class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HostPool_Reset();
    HostDbg_Clear();
    HostTime_SetDelayScale(0, 1);
    HostTime_ResetDelayStats();
    memset(&dc_, 0, sizeof(dc_));
  }
  void TearDown() override {
    CamUnInitialize(nullptr, &dc_);
    HostPool_ClearFaults();
    HostTime_SetDelayScale(1, 1);
    EXPECT_EQ(HostPool_LiveBlockCount(), 0u) << HostPool_Report();
  }
  DeviceContext dc_;
};

TEST_F(LifecycleTest, ConfigureTunesThePipesKeepsACopyAndResetsTheBookkeeping) {
  InterfaceRecord iface(3);
  USBCAMD_Pipe_Config_Descriptor pipes[2] = {{9, 9}, {9, 9}};
  dc_.g_nGoodFrames = 7;
  dc_.g_nBadFrames = 8;
  dc_.g_nDecodeWidth = 640;
  dc_.g_nWarmupFrames = 7;
  ASSERT_EQ(CamConfigureEx(nullptr, &dc_, iface.info, nullptr, 2, pipes, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(iface.info->Pipes[0].MaximumTransferSize, 32768u);
  EXPECT_EQ(iface.info->Pipes[1].MaximumTransferSize, 32768u);
  EXPECT_EQ(iface.info->Pipes[2].MaximumTransferSize, 4096u);
  EXPECT_EQ(iface.info->AlternateSetting, 0);
  ASSERT_NE(dc_.g_pInterfaceInfo, nullptr);
  EXPECT_EQ(0, memcmp(dc_.g_pInterfaceInfo, iface.info, iface.info->Length));
  EXPECT_EQ(dc_.g_nNumberOfStreams, 1u);
  for (const auto &p : pipes) {
    EXPECT_EQ(p.StreamAssociation, USBCAMD_VIDEO_STREAM);
    EXPECT_EQ(p.PipeConfigFlags, USBCAMD_DATA_PIPE);
  }
  EXPECT_EQ(dc_.g_nGoodFrames, 0u);
  EXPECT_EQ(dc_.g_nBadFrames, 0u);
  EXPECT_EQ(dc_.g_nDecodeWidth, 0);
  EXPECT_EQ(dc_.g_nWarmupFrames, 0);
  EXPECT_EQ(dc_.g_bSkipBufferWait, 1u);
  EXPECT_EQ(dc_.g_WorkerWaitObjects[0], &dc_.g_StopWorkerEvent);
  EXPECT_EQ(dc_.g_WorkerWaitObjects[1], &dc_.g_FrameReadyEvent);
  // The packet callback sees pipe 0 through the copy.
  EXPECT_EQ(FullPacketAccepted(dc_), 1023u);
}

TEST_F(LifecycleTest, OnlyTheFourDefinedPipeDescriptionsAreFilled) {
  InterfaceRecord iface(6);
  USBCAMD_Pipe_Config_Descriptor pipes[6];
  memset(pipes, 0x77, sizeof(pipes));
  CamConfigureEx(nullptr, &dc_, iface.info, nullptr, 6, pipes, nullptr);
  EXPECT_EQ(pipes[1].PipeConfigFlags, USBCAMD_DATA_PIPE);
  for (int i = 2; i < 4; ++i) {
    EXPECT_EQ(pipes[i].StreamAssociation, 0) << i;
    EXPECT_EQ(pipes[i].PipeConfigFlags, 0) << i;
  }
  for (int i = 4; i < 6; ++i) {
    EXPECT_EQ(pipes[i].StreamAssociation, 0x77) << i;
    EXPECT_EQ(pipes[i].PipeConfigFlags, 0x77) << i;
  }
}

TEST_F(LifecycleTest, OnePipeInterfaceIsTunedOnlyWhereItHasPipes) {
  InterfaceRecord iface(1);
  USBCAMD_Pipe_Config_Descriptor pipes[1];
  EXPECT_EQ(CamConfigureEx(nullptr, &dc_, iface.info, nullptr, 1, pipes, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(iface.info->Pipes[0].MaximumTransferSize, 32768u);
}

TEST_F(LifecycleTest, InterfaceWithoutPipesIsNeitherTunedNorReadForData) {
  // Room for two pipes, but the record says it has none: nothing past the header is a pipe.
  InterfaceRecord iface(2);
  iface.info->NumberOfPipes = 0;
  USBCAMD_Pipe_Config_Descriptor pipes[2];
  ASSERT_EQ(CamConfigureEx(nullptr, &dc_, iface.info, nullptr, 2, pipes, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(iface.info->Pipes[0].MaximumTransferSize, 4096u);
  EXPECT_EQ(iface.info->Pipes[1].MaximumTransferSize, 4096u);
  ASSERT_NE(dc_.g_pInterfaceInfo, nullptr);
  // A full packet of what would be pipe 0's size is no frame data.
  ULONG flags = 0;
  EXPECT_EQ(FullPacketAccepted(dc_, &flags), 0u);
  EXPECT_EQ(flags, ULONG(USBCAMD_PROCESSPACKETEX_DropFrame));
}

TEST_F(LifecycleTest, NullInterfaceReleasesTheCopyAndLeavesTheStreamCount) {
  InterfaceRecord iface(2);
  USBCAMD_Pipe_Config_Descriptor pipes[2];
  CamConfigureEx(nullptr, &dc_, iface.info, nullptr, 2, pipes, nullptr);
  // A second configuration replaces the copy without leaking the first.
  CamConfigureEx(nullptr, &dc_, iface.info, nullptr, 2, pipes, nullptr);
  EXPECT_EQ(HostPool_TagStats(kWdm).liveBlocks, 1u);
  dc_.g_nNumberOfStreams = 5;
  pipes[0].PipeConfigFlags = 0x40;
  EXPECT_EQ(CamConfigureEx(nullptr, &dc_, nullptr, nullptr, 2, pipes, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(dc_.g_pInterfaceInfo, nullptr);
  EXPECT_EQ(dc_.g_nNumberOfStreams, 5u);
  EXPECT_EQ(pipes[0].PipeConfigFlags, 0x40);
  EXPECT_EQ(HostPool_LiveBlockCount(), 0u);
}

TEST_F(LifecycleTest, NoPoolForTheCopyStillDescribesThePipes) {
  InterfaceRecord iface(2);
  USBCAMD_Pipe_Config_Descriptor pipes[2] = {};
  HostPool_FailNthAllocation(1);
  EXPECT_EQ(CamConfigureEx(nullptr, &dc_, iface.info, nullptr, 2, pipes, nullptr), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(dc_.g_nNumberOfStreams, 1u);
  EXPECT_EQ(pipes[1].PipeConfigFlags, USBCAMD_DATA_PIPE);
  EXPECT_EQ(iface.info->AlternateSetting, 3);  // not changed when no copy can be kept
}

TEST_F(LifecycleTest, InitializeAllocatesTheContextOnceAndLogs) {
  EXPECT_EQ(CamInitialize(nullptr, &dc_), STATUS_SUCCESS);
  PVOID context = dc_.g_pIPContext;
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(dc_.g_nIPContextSize, ZRImageProcess_GetContextSize());
#if defined(__i386__)
  EXPECT_EQ(dc_.g_nIPContextSize, 325648u);
#endif
  EXPECT_EQ(CamInitialize(nullptr, &dc_), STATUS_SUCCESS);
  EXPECT_EQ(dc_.g_pIPContext, context);
  EXPECT_EQ(HostPool_TagStats(kWdm).allocations, 1u);
  std::vector<std::string> lines = HostDbg_Lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0].rfind("ZR Camera Driver Version =  ", 0), 0u) << lines[0];
  char expected[64];
  snprintf(expected, sizeof(expected), "ImageProcess Context Size = %u(0x%08x)", dc_.g_nIPContextSize,
           dc_.g_nIPContextSize);
  EXPECT_EQ(lines[1], expected);
  EXPECT_EQ(lines[2].rfind("LUMAREX_Initialize = 0x", 0), 0u) << lines[2];
  EXPECT_EQ(HostDbg_Count("<ZR417IP>Builded in "), 2u);
}

TEST_F(LifecycleTest, InitializeWithoutPoolFailsBeforeTheLibrary) {
  HostPool_FailTag(kWdm, true);
  EXPECT_EQ(CamInitialize(nullptr, &dc_), (NTSTATUS)0xC0002017);
  EXPECT_EQ(HostDbg_Count("<ERROR> Allocate Memory for ImageProcess Context (size="), 1u);
  EXPECT_EQ(HostDbg_Count("<ERROR> Allocate System Memory Error=0xc0002017"), 1u);
  EXPECT_EQ(HostDbg_Count("<ZR417IP>"), 0u);
}

TEST_F(LifecycleTest, AllocateMemoryOrsTheErrorsOfEveryBlockItCannotHave) {
  dc_.g_nRawLength = 1000;
  dc_.g_nBmpBufSize = 2000;
  dc_.g_nIPBufSize = 3000;
  HostPool_FailNthAllocation(2);  // the bitmap buffer (raw is first)
  NTSTATUS status = LUMAREX_AllocateMemory(&dc_, FALSE, TRUE, TRUE, TRUE);
  EXPECT_EQ(status, (NTSTATUS)0xC0000417);
  EXPECT_NE(dc_.g_pRawBuf, nullptr);
  EXPECT_EQ(dc_.g_pBmpBuf, nullptr);
  EXPECT_NE(dc_.g_pIPBuf, nullptr);
  EXPECT_EQ(HostDbg_Count("<ERROR> Allocate Memory for Bmp Buffer (size=2000)"), 1u);
  EXPECT_EQ(HostDbg_Count("DeviceContext->g_pBmpBuf = 0x00000000"), 1u);
  HostPool_FailTag(kWdm, true);
  LUMAREX_FreeMemory(&dc_, FALSE, TRUE, FALSE, FALSE);
  EXPECT_EQ(LUMAREX_AllocateMemory(&dc_, FALSE, TRUE, TRUE, TRUE), (NTSTATUS)(0xC0000217 | 0xC0000417));
  HostPool_ClearFaults();
  LUMAREX_FreeMemory(&dc_, TRUE, TRUE, TRUE, TRUE);
  HostDbg_Clear();
  LUMAREX_FreeMemory(&dc_, TRUE, TRUE, TRUE, TRUE);  // nothing left: nothing done, nothing printed
  EXPECT_TRUE(HostDbg_Lines().empty());
}

// A configured and initialised device with its frame buffers and a running worker, as the
// first capture start leaves it.
void RunningDevice(DeviceContext &dc, const InterfaceRecord &iface) {
  USBCAMD_Pipe_Config_Descriptor pipes[2];
  CamConfigureEx(nullptr, &dc, iface.info, nullptr, 2, pipes, nullptr);
  CamInitialize(nullptr, &dc);
  dc.g_nRawLength = 100;
  dc.g_nBmpBufSize = 100;
  dc.g_nIPBufSize = 100;
  LUMAREX_AllocateMemory(&dc, FALSE, TRUE, TRUE, TRUE);
  KeInitializeEvent(&dc.g_BufferFreeEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&dc.g_FrameReadyEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&dc.g_StopWorkerEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&dc.g_WorkerExitedEvent, NotificationEvent, FALSE);
  ASSERT_EQ(StartWorkerThread(&dc), STATUS_SUCCESS);
  dc.g_bWorkerStarted = 1;
}

TEST_F(LifecycleTest, UnInitializeStopsTheWorkerAndFreesEverything) {
  InterfaceRecord iface(2);
  RunningDevice(dc_, iface);
  EXPECT_EQ(CamUnInitialize(nullptr, &dc_), STATUS_SUCCESS);
  EXPECT_EQ(dc_.g_bWorkerStarted, 0u);
  EXPECT_EQ(dc_.g_pWorkerThread, nullptr);
  EXPECT_EQ(dc_.g_pInterfaceInfo, nullptr);
  EXPECT_EQ(dc_.g_pIPContext, nullptr);
  EXPECT_EQ(KeReadStateEvent(&dc_.g_WorkerExitedEvent), 0);
  // It waited for the worker's thread to end, not for a fixed time.
  EXPECT_EQ(HostThreads_Running(), 0u);
  EXPECT_EQ(HostTime_DelayStats().count, 0u);
  EXPECT_EQ(HostObjects_LiveCount(), 0u);
  EXPECT_EQ(HostPool_LiveBlockCount(), 0u) << HostPool_Report();
}

// A configuration of a device that is already initialised ends its worker and frees what it
// holds before the bookkeeping is reset: nothing leaks, and the device initialises again.
TEST_F(LifecycleTest, ConfiguringAnInitialisedDeviceEndsItsWorkerAndFreesItsMemoryFirst) {
  InterfaceRecord iface(2);
  RunningDevice(dc_, iface);
  size_t threads = HostThreads_Running();
  USBCAMD_Pipe_Config_Descriptor pipes[2];
  ASSERT_EQ(CamConfigureEx(nullptr, &dc_, iface.info, nullptr, 2, pipes, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(dc_.g_bWorkerStarted, 0u);
  EXPECT_TRUE(HostThreads_WaitAllExited(5000));
  EXPECT_LT(HostThreads_Running(), threads);
  EXPECT_EQ(HostPool_LiveBlockCount(), 1u) << "only the new interface copy: " << HostPool_Report();
  EXPECT_EQ(CamInitialize(nullptr, &dc_), STATUS_SUCCESS);
  EXPECT_NE(dc_.g_pIPContext, nullptr);
}

// Fresh pool holds what its last owner left (the host fills it with 0xA5): a frame buffer
// reaches the application only through copies, so it starts cleared.
TEST_F(LifecycleTest, FrameBuffersComeCleared) {
  dc_.g_nRawLength = 64;
  dc_.g_nBmpBufSize = 96;
  dc_.g_nIPBufSize = 128;
  ASSERT_EQ(LUMAREX_AllocateMemory(&dc_, FALSE, TRUE, TRUE, TRUE), 0);
  for (auto [buffer, size] : {std::pair{dc_.g_pRawBuf, 64}, {dc_.g_pBmpBuf, 96}, {dc_.g_pIPBuf, 128}}) {
    EXPECT_TRUE(std::all_of(buffer, buffer + size, [](UCHAR b) { return b == 0; })) << size;
  }
  LUMAREX_FreeMemory(&dc_, FALSE, TRUE, TRUE, TRUE);
}

TEST_F(LifecycleTest, InitializeGivesTheCommandLockItsFreeState) {
  InterfaceRecord iface(2);
  USBCAMD_Pipe_Config_Descriptor pipes[2];
  CamConfigureEx(nullptr, &dc_, iface.info, nullptr, 2, pipes, nullptr);
  ASSERT_EQ(CamInitialize(nullptr, &dc_), STATUS_SUCCESS);
  // Free, and a lock: the first taker gets it, the next one would have to wait.
  LARGE_INTEGER poll = {};
  EXPECT_EQ(KeWaitForSingleObject(&dc_.g_CommandLock, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&dc_.g_CommandLock, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
}

TEST_F(LifecycleTest, UnInitializeWithoutCaptureFreesTheContextAndCopy) {
  InterfaceRecord iface(2);
  USBCAMD_Pipe_Config_Descriptor pipes[2];
  CamConfigureEx(nullptr, &dc_, iface.info, nullptr, 2, pipes, nullptr);
  CamInitialize(nullptr, &dc_);
  EXPECT_EQ(CamUnInitialize(nullptr, &dc_), STATUS_SUCCESS);
  EXPECT_EQ(HostPool_LiveBlockCount(), 0u);
  EXPECT_EQ(HostDbg_Count("DeviceContext->g_pIPContext = 0x00000000"), 1u);
  EXPECT_EQ(CamSaveState(nullptr, &dc_), STATUS_SUCCESS);
  EXPECT_EQ(CamRestoreState(nullptr, &dc_), STATUS_SUCCESS);
}

}  // namespace
