// The host pool: per-tag accounting, misuse detection and fault injection.
#include <gtest/gtest.h>

#include <algorithm>

#include "host_kernel.h"

namespace {

constexpr ULONG kWdm = HostPool_Tag("Wdm ");
constexpr ULONG kTest = HostPool_Tag("Tst1");

class PoolTest : public ::testing::Test {
 protected:
  void SetUp() override { HostPool_Reset(); }
  void TearDown() override { HostPool_Reset(); }
};

TEST_F(PoolTest, AccountsLiveBlocksAndBytesPerTagAndFillsFreshBlocks) {
  EXPECT_EQ(kWdm, 0x206D6457u) << "little-endian characters";
  auto *a = static_cast<unsigned char *>(ExAllocatePoolWithTag(NonPagedPool, 100, kWdm));
  void *b = ExAllocatePoolWithTag(PagedPool, 28, kWdm);
  void *c = ExAllocatePoolWithTag(NonPagedPool, 7, kTest);
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(std::count(a, a + 100, 0), 0) << "pool memory is not zeroed";
  EXPECT_EQ(HostPool_TagStats(kWdm).liveBlocks, 2u);
  EXPECT_EQ(HostPool_TagStats(kWdm).liveBytes, 128u);
  EXPECT_EQ(HostPool_TagStats(kTest).liveBytes, 7u);
  EXPECT_EQ(HostPool_LiveBlockCount(), 3u);
  EXPECT_EQ(HostPool_LiveByteCount(), 135u);
  EXPECT_EQ(HostPool_PeakByteCount(), 135u);
  ExFreePool(a);
  ExFreePoolWithTag(b, kWdm);
  HostPoolTagStats wdm = HostPool_TagStats(kWdm);
  EXPECT_EQ(wdm.liveBlocks, 0u);
  EXPECT_EQ(wdm.liveBytes, 0u);
  EXPECT_EQ(wdm.allocations, 2u);
  EXPECT_FALSE(HostPool_IsLive(a));
  EXPECT_TRUE(HostPool_IsLive(c));
  EXPECT_EQ(HostPool_PeakByteCount(), 135u) << "the most that was live at once";
  HostPool_ResetPeak();
  EXPECT_EQ(HostPool_PeakByteCount(), 7u);
  std::string report = HostPool_Report();
  EXPECT_NE(report.find("Tst1 NonPaged 7 bytes"), std::string::npos) << report;
  EXPECT_NE(report.find("1 blocks, 7 bytes live"), std::string::npos) << report;
  // Non-paged pool may be freed and allocated at DISPATCH_LEVEL.
  HostIrql_RunAtDispatch([&] {
    ExFreePool(c);
    c = ExAllocatePoolWithTag(NonPagedPool, 16, kWdm);
  });
  ASSERT_NE(c, nullptr);
  ExFreePool(c);
  EXPECT_EQ(HostPool_LiveBlockCount(), 0u);
}

TEST_F(PoolTest, FailsTheNthAllocationOnlyOrEveryOneOfATagUntilCleared) {
  HostPool_FailNthAllocation(3);
  std::vector<void *> got;
  for (ULONG tag : {kWdm, kTest, kWdm, kWdm}) got.push_back(ExAllocatePoolWithTag(NonPagedPool, 8, tag));
  EXPECT_EQ(got[2], nullptr);
  EXPECT_TRUE(got[0] && got[1] && got[3]);
  EXPECT_EQ(HostPool_TagStats(kWdm).failures, 1u);
  EXPECT_EQ(HostPool_TagStats(kWdm).liveBlocks, 2u);
  HostPool_FailTag(kWdm, true);
  EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, kWdm), nullptr);
  got.push_back(ExAllocatePoolWithTag(NonPagedPool, 8, kTest));
  EXPECT_NE(got.back(), nullptr);
  EXPECT_EQ(HostPool_TagStats(kWdm).failures, 2u);
  HostPool_ClearFaults();
  HostPool_FailNthAllocationOfTag(kTest, 2);  // counts only that tag's attempts
  for (ULONG tag : {kTest, kWdm, kTest, kTest}) got.push_back(ExAllocatePoolWithTag(NonPagedPool, 8, tag));
  EXPECT_EQ(got.end()[-2], nullptr);
  EXPECT_TRUE(got.end()[-4] && got.end()[-3] && got.end()[-1]);
  got.push_back(ExAllocatePoolWithTag(NonPagedPool, 8, kWdm));
  EXPECT_NE(got.back(), nullptr);
  for (void *p : got) {
    if (p) ExFreePool(p);
  }
}

using PoolDeathTest = PoolTest;

TEST_F(PoolDeathTest, MisuseIsABugCheck) {
  auto doubleFree = [] {
    void *p = ExAllocatePoolWithTag(NonPagedPool, 8, kWdm);
    ExFreePool(p);
    ExFreePool(p);
  };
  EXPECT_DEATH(doubleFree(), "BAD_POOL_CALLER.*double free");
  static int notPool;
  EXPECT_DEATH(ExFreePool(&notPool), "BAD_POOL_CALLER.*not the start of a pool block");
  EXPECT_DEATH(ExFreePool(static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 8, kWdm)) + 1),
               "not the start of a pool block");
  EXPECT_DEATH(ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 8, kWdm), kTest),
               "tag 'Tst1' given, block has 'Wdm '");
  EXPECT_DEATH(HostIrql_RunAtDispatch([] { ExAllocatePoolWithTag(PagedPool, 8, kWdm); }),
               "IRQL_NOT_LESS_OR_EQUAL.*ExAllocatePoolWithTag called at IRQL 2");
}

}  // namespace
