// Stack use of the image's entry points over a session that reaches each of them: arrival, a
// stream at the largest size with property requests and a still while it runs, removal (which
// ends the worker). Every entry point is measured, and none uses more than half of the 32-bit
// kernel's 12 KB stack.
#include "e2e/e2e_fixture.h"
#include "host_stack.h"

namespace e2e {
namespace {

class StackUseTest : public EndToEndTest {};

TEST_F(StackUseTest, EveryEntryPointStaysWithinHalfTheKernelStack) {
  ASSERT_TRUE(TestDriver_FromImage());
  Plug();
  Capture capture = Stream(640, 480, 12, {}, 2, [this](unsigned k) {
    if (k == 4) {
      LONG value = 0;
      EXPECT_EQ(device_->GetVideoProcAmp(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, &value), STATUS_SUCCESS);
      EXPECT_TRUE(NT_SUCCESS(device_->SetVideoProcAmp(KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 80)));
      EXPECT_EQ(device_->TriggerStill(), STATUS_SUCCESS);
    }
  });
  EXPECT_EQ(capture.frames.size(), 12u);
  Unplug();
  ASSERT_TRUE(HostThreads_WaitAllExited(5000));  // the worker's use is known once its thread has ended
  for (int e = 0; e < int(HostStackEntry::Count); ++e) {
    HostStackUse use = HostStack_Use(HostStackEntry(e));
    printf("  %-34s %6zu bytes at most, %llu calls\n", HostStackEntry_Name(HostStackEntry(e)), use.deepest,
           (unsigned long long)use.calls);
    EXPECT_GT(use.calls, 0u) << HostStackEntry_Name(HostStackEntry(e));
    EXPECT_GT(use.deepest, 0u) << HostStackEntry_Name(HostStackEntry(e));
    EXPECT_LE(use.deepest, kTestDriverStackBudget) << HostStackEntry_Name(HostStackEntry(e));
  }
}

}  // namespace
}  // namespace e2e
