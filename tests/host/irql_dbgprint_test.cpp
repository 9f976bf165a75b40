// IRQL tracking and the captured debug output.
#include <gtest/gtest.h>

#include <thread>

#include "host_kernel.h"

namespace {

TEST(Irql, RunAtDispatchRaisesForTheCallbackAndRestores) {
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KIRQL seen = 0xFF;
  KIRQL nested = 0xFF;
  HostIrql_RunAtDispatch([&] {
    seen = KeGetCurrentIrql();
    // Raising to the level already held is allowed.
    HostIrql_RunAt(DISPATCH_LEVEL, [&] { nested = KeGetCurrentIrql(); });
  });
  EXPECT_EQ(seen, DISPATCH_LEVEL);
  EXPECT_EQ(nested, DISPATCH_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(Irql, EachThreadHasItsOwnLevel) {
  KIRQL other = 0xFF;
  HostIrql_RunAtDispatch([&] {
    std::thread t([&] { other = KeGetCurrentIrql(); });
    t.join();
  });
  EXPECT_EQ(other, PASSIVE_LEVEL);
}

TEST(IrqlDeathTest, BlockingRoutineAboveItsLevelIsABugCheck) {
  HostIrql_Require(PASSIVE_LEVEL, "KeWaitForSingleObject");  // fine at PASSIVE_LEVEL
  EXPECT_DEATH(HostIrql_RunAtDispatch([] { HostIrql_Require(PASSIVE_LEVEL, "KeWaitForSingleObject"); }),
               "BUGCHECK 0x0000000A \\(IRQL_NOT_LESS_OR_EQUAL\\): KeWaitForSingleObject called at IRQL 2 "
               "\\(allowed at most 0\\)");
}

TEST(IrqlDeathTest, LoweringAboveTheCurrentLevelIsABugCheck) {
  EXPECT_DEATH(KeLowerIrql(DISPATCH_LEVEL), "KeLowerIrql to 2 from lower IRQL 0");
}

TEST(DbgPrint, FormatsAndSplitsIntoLines) {
  HostDbg_Clear();
  DbgPrint("DeviceContext->g_pBmpBuf = 0x%08x\n", 0x1234abu);
  DbgPrint("<lumarex>part %d", 1);
  DbgPrint(", part %s\nsecond\n", "two");
  DbgPrint("unfinished");
  std::vector<std::string> lines = HostDbg_Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "DeviceContext->g_pBmpBuf = 0x001234ab");
  EXPECT_EQ(lines[1], "<lumarex>part 1, part two");
  EXPECT_EQ(lines[2], "second");
  EXPECT_EQ(HostDbg_PendingText(), "unfinished");
  EXPECT_EQ(HostDbg_Count("part"), 1u);
  EXPECT_EQ(HostDbg_Count("e"), 3u);
  HostDbg_Clear();
  EXPECT_TRUE(HostDbg_Lines().empty());
  EXPECT_EQ(HostDbg_PendingText(), "");
}

TEST(DbgPrint, TruncatesOneCallAtTheKernelLimit) {
  HostDbg_Clear();
  std::string longText(700, 'x');
  DbgPrint("%s\n", longText.c_str());
  // 511 characters and the terminator fit; the newline is cut off with the rest.
  EXPECT_TRUE(HostDbg_Lines().empty());
  EXPECT_EQ(HostDbg_PendingText().size(), 511u);
  HostDbg_Clear();
}

}  // namespace
