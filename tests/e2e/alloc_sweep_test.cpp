// A device's whole life with each of the driver's pool allocations failed in turn: arrival,
// streams in every output format with a still, stop, release, removal. Whatever could not be
// done reports a failure; nothing crashes, and the pool, threads and handles all balance.
#include "e2e/e2e_fixture.h"

namespace e2e {
namespace {

class AllocationSweepTest : public EndToEndTest {
 protected:
  // Runs the life; counts the steps that reported a failure.
  unsigned Life() {
    unsigned failed = 0;
    device_ = std::make_unique<HostCameraDevice>(camera_);
    if (!NT_SUCCESS(device_->Arrive())) return device_.reset(), 1;
    const struct {
      int width, height;
      UCHAR format;
    } streams[] = {{320, 240, LUMAREX_FORMAT_RGB24}, {160, 120, LUMAREX_FORMAT_YUY2},
                   {320, 240, LUMAREX_FORMAT_I420}, {160, 120, LUMAREX_FORMAT_MJPG}};
    for (const auto &s : streams) {
      NTSTATUS status;
      std::unique_ptr<HostAppStream> stream = device_->OpenStream(0, Rgb24Format(s.width, s.height), &status);
      if (!stream) {
        ++failed;
        continue;
      }
      stream->SetAllocationFormat(Allocation(s.width, s.height, s.format));
      const ULONG bytes = ULONG(s.width) * s.height * 3;
      bool running = NT_SUCCESS(stream->SetState(KSSTATE_RUN));
      for (int k = 0; running && k < 11; ++k) {
        HostFrame frame;
        if (k >= 2 && !(running = stream->NextFrame(&frame, std::chrono::seconds(5)))) break;
        if (k == 6 && s.format == LUMAREX_FORMAT_RGB24 && !NT_SUCCESS(device_->TriggerStill())) ++failed;
        stream->QueueRead(bytes);
      }
      failed += !running + !NT_SUCCESS(stream->SetState(KSSTATE_STOP));
      stream->Close();
    }
    device_->Remove();
    device_.reset();
    return failed;
  }

  void ExpectBalanced(const std::string &run) {
    EXPECT_TRUE(HostThreads_WaitAllExited(5000)) << run << ": a system thread is still running";
    EXPECT_EQ(HostObjects_OpenHandles(), handlesAtStart_) << run << ": a handle was left open";
    EXPECT_EQ(HostPool_LiveBlockCount(), 0u) << run << ":\n" << HostPool_Report();
  }
};

TEST_F(AllocationSweepTest, EachAllocationFailedInTurnLeavesNothingBehind) {
  const uint64_t before = HostPool_TagStats(LUMAREX_POOL_TAG).allocations;
  EXPECT_EQ(Life(), 0u) << "the life runs whole without faults";
  ExpectBalanced("no fault");
  const uint64_t count = HostPool_TagStats(LUMAREX_POOL_TAG).allocations - before;
  ASSERT_GT(count, 20u);
  unsigned survived = 0, reported = 0;
  for (uint64_t n = 1; n <= count && !HasFailure(); ++n) {
    const uint64_t failuresBefore = HostPool_TagStats(LUMAREX_POOL_TAG).failures;
    HostPool_FailNthAllocationOfTag(LUMAREX_POOL_TAG, n);
    reported += Life() != 0;
    HostPool_ClearFaults();
    ExpectBalanced("allocation " + std::to_string(n) + " failed");
    survived += HostPool_TagStats(LUMAREX_POOL_TAG).failures > failuresBefore;
  }
  // How many frames the worker processes, each with its work tables, varies with the threads'
  // timing, so the last few allocations of a life may not come; nearly every run must still
  // have met its failure.
  EXPECT_GE(survived * 10, count * 9);
  printf("allocations in a life: %llu; failed runs survived: %u; runs that reported a failure: %u\n",
         (unsigned long long)count, survived, reported);
}

}  // namespace
}  // namespace e2e
