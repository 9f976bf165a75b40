// The host pool: per-tag accounting, misuse detection and fault injection.
#include <gtest/gtest.h>

#include "host_kernel.h"

namespace {

constexpr ULONG kWdm = HostPool_Tag("Wdm ");
constexpr ULONG kTest = HostPool_Tag("Tst1");

class PoolTest : public ::testing::Test {
 protected:
  void SetUp() override { HostPool_Reset(); }
  void TearDown() override { HostPool_Reset(); }
};

TEST_F(PoolTest, TagValueIsLittleEndianCharacters) { EXPECT_EQ(kWdm, 0x206D6457u); }

TEST_F(PoolTest, AccountsLiveBlocksAndBytesPerTag) {
  void *a = ExAllocatePoolWithTag(NonPagedPool, 100, kWdm);
  void *b = ExAllocatePoolWithTag(PagedPool, 28, kWdm);
  void *c = ExAllocatePoolWithTag(NonPagedPool, 7, kTest);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_NE(c, nullptr);

  HostPoolTagStats wdm = HostPool_TagStats(kWdm);
  EXPECT_EQ(wdm.liveBlocks, 2u);
  EXPECT_EQ(wdm.liveBytes, 128u);
  EXPECT_EQ(HostPool_TagStats(kTest).liveBytes, 7u);
  EXPECT_EQ(HostPool_LiveBlockCount(), 3u);
  EXPECT_EQ(HostPool_LiveByteCount(), 135u);
  EXPECT_TRUE(HostPool_IsLive(a));

  ExFreePool(a);
  ExFreePoolWithTag(b, kWdm);
  wdm = HostPool_TagStats(kWdm);
  EXPECT_EQ(wdm.liveBlocks, 0u);
  EXPECT_EQ(wdm.liveBytes, 0u);
  EXPECT_EQ(wdm.allocations, 2u);
  EXPECT_FALSE(HostPool_IsLive(a));

  // The report lists what is still held, oldest first, and the totals.
  std::string report = HostPool_Report();
  EXPECT_NE(report.find("Tst1 NonPaged 7 bytes"), std::string::npos) << report;
  EXPECT_NE(report.find("1 blocks, 7 bytes live"), std::string::npos) << report;
  ExFreePool(c);
  EXPECT_EQ(HostPool_LiveBlockCount(), 0u);
}

TEST_F(PoolTest, FreshBlocksAreNotZeroed) {
  auto *p = static_cast<unsigned char *>(ExAllocatePoolWithTag(NonPagedPool, 64, kWdm));
  ASSERT_NE(p, nullptr);
  int zeros = 0;
  for (int i = 0; i < 64; ++i) zeros += p[i] == 0;
  EXPECT_EQ(zeros, 0);
  ExFreePool(p);
}

TEST_F(PoolTest, FailsTheNthAllocationOnly) {
  HostPool_FailNthAllocation(3);
  void *p1 = ExAllocatePoolWithTag(NonPagedPool, 8, kWdm);
  void *p2 = ExAllocatePoolWithTag(NonPagedPool, 8, kTest);
  void *p3 = ExAllocatePoolWithTag(NonPagedPool, 8, kWdm);
  void *p4 = ExAllocatePoolWithTag(NonPagedPool, 8, kWdm);
  EXPECT_NE(p1, nullptr);
  EXPECT_NE(p2, nullptr);
  EXPECT_EQ(p3, nullptr);
  EXPECT_NE(p4, nullptr);
  EXPECT_EQ(HostPool_TagStats(kWdm).failures, 1u);
  EXPECT_EQ(HostPool_TagStats(kWdm).liveBlocks, 2u);
  ExFreePool(p1);
  ExFreePool(p2);
  ExFreePool(p4);
}

TEST_F(PoolTest, FailsEveryAllocationOfATagUntilCleared) {
  HostPool_FailTag(kWdm, true);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kWdm), nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, kWdm), nullptr);
  void *other = ExAllocatePoolWithTag(NonPagedPool, 8, kTest);
  EXPECT_NE(other, nullptr);
  EXPECT_EQ(HostPool_TagStats(kWdm).failures, 2u);
  HostPool_ClearFaults();
  void *p = ExAllocatePoolWithTag(NonPagedPool, 8, kWdm);
  EXPECT_NE(p, nullptr);
  ExFreePool(p);
  ExFreePool(other);
}

TEST_F(PoolTest, NonPagedPoolMayBeAllocatedAtDispatchLevel) {
  void *p = nullptr;
  HostIrql_RunAtDispatch([&] { p = ExAllocatePoolWithTag(NonPagedPool, 16, kWdm); });
  ASSERT_NE(p, nullptr);
  HostIrql_RunAtDispatch([&] { ExFreePool(p); });
  EXPECT_EQ(HostPool_LiveBlockCount(), 0u);
}

using PoolDeathTest = PoolTest;

TEST_F(PoolDeathTest, DoubleFreeIsABugCheck) {
  EXPECT_DEATH(
      {
        void *p = ExAllocatePoolWithTag(NonPagedPool, 8, kWdm);
        ExFreePool(p);
        ExFreePool(p);
      },
      "BAD_POOL_CALLER.*double free");
}

TEST_F(PoolDeathTest, FreeingAForeignPointerIsABugCheck) {
  static int notPool;
  EXPECT_DEATH(ExFreePool(&notPool), "BAD_POOL_CALLER.*not the start of a pool block");
  EXPECT_DEATH(
      {
        char *p = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 8, kWdm));
        ExFreePool(p + 1);
      },
      "not the start of a pool block");
}

TEST_F(PoolDeathTest, FreeingWithTheWrongTagIsABugCheck) {
  EXPECT_DEATH(
      {
        void *p = ExAllocatePoolWithTag(NonPagedPool, 8, kWdm);
        ExFreePoolWithTag(p, kTest);
      },
      "tag 'Tst1' given, block has 'Wdm '");
}

TEST_F(PoolDeathTest, PagedPoolAtDispatchLevelIsABugCheck) {
  EXPECT_DEATH(HostIrql_RunAtDispatch([] { ExAllocatePoolWithTag(PagedPool, 8, kWdm); }),
               "IRQL_NOT_LESS_OR_EQUAL.*ExAllocatePoolWithTag called at IRQL 2");
}

}  // namespace
