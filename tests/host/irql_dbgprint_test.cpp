// IRQL tracking and the captured debug output.
#include <gtest/gtest.h>

#include <thread>

#include "host_kernel.h"

namespace {

TEST(Irql, RunAtDispatchRaisesForTheCallbackOnThisThreadAndRestores) {
  KIRQL seen = 0xFF, nested = 0xFF, other = 0xFF;
  HostIrql_RunAtDispatch([&] {
    seen = KeGetCurrentIrql();
    HostIrql_RunAt(DISPATCH_LEVEL, [&] { nested = KeGetCurrentIrql(); });  // the level already held
    std::thread([&] { other = KeGetCurrentIrql(); }).join();
  });
  EXPECT_EQ(seen, DISPATCH_LEVEL);
  EXPECT_EQ(nested, DISPATCH_LEVEL);
  EXPECT_EQ(other, PASSIVE_LEVEL) << "each thread has its own level";
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(IrqlDeathTest, ARoutineAboveItsLevelOrLoweringUpwardsIsABugCheck) {
  HostIrql_Require(PASSIVE_LEVEL, "KeWaitForSingleObject");  // fine at PASSIVE_LEVEL
  EXPECT_DEATH(HostIrql_RunAtDispatch([] { HostIrql_Require(PASSIVE_LEVEL, "KeWaitForSingleObject"); }),
               "BUGCHECK 0x0000000A \\(IRQL_NOT_LESS_OR_EQUAL\\): KeWaitForSingleObject called at IRQL 2 "
               "\\(allowed at most 0\\)");
  EXPECT_DEATH(KeLowerIrql(DISPATCH_LEVEL), "KeLowerIrql to 2 from lower IRQL 0");
}

TEST(DbgPrint, FormatsSplitsIntoLinesAndCutsOneCallAtTheKernelLimit) {
  HostDbg_Clear();
  DbgPrint("DeviceContext->g_pBmpBuf = 0x%08x\n", 0x1234abu);
  DbgPrint("<lumarex>part %d", 1);
  DbgPrint(", part %s\nsecond\n", "two");
  DbgPrint("unfinished");
  EXPECT_EQ(HostDbg_Lines(), (std::vector<std::string>{"DeviceContext->g_pBmpBuf = 0x001234ab",
                                                         "<lumarex>part 1, part two", "second"}));
  EXPECT_EQ(HostDbg_PendingText(), "unfinished");
  EXPECT_EQ(HostDbg_Count("part"), 1u);
  EXPECT_EQ(HostDbg_Count("e"), 3u);
  HostDbg_Clear();
  EXPECT_TRUE(HostDbg_Lines().empty());
  EXPECT_EQ(HostDbg_PendingText(), "");
  // 511 characters and the terminator fit; the newline is cut off with the rest.
  DbgPrint("%s\n", std::string(700, 'x').c_str());
  EXPECT_TRUE(HostDbg_Lines().empty());
  EXPECT_EQ(HostDbg_PendingText().size(), 511u);
  HostDbg_Clear();
}

}  // namespace
