// Events, waits, delays and system threads of the host kernel.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "host_kernel.h"

namespace {

LARGE_INTEGER Relative100ns(LONGLONG units) {
  LARGE_INTEGER t;
  t.QuadPart = -units;
  return t;
}

NTSTATUS Poll(PVOID object) {
  LARGE_INTEGER poll = {};
  return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &poll);
}

TEST(Events, StateAndWhatASatisfiedWaitLeaves) {
  KEVENT n, s;
  KeInitializeEvent(&n, NotificationEvent, FALSE);
  EXPECT_EQ(KeReadStateEvent(&n), 0);
  EXPECT_EQ(KeSetEvent(&n, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_EQ(KeSetEvent(&n, IO_NO_INCREMENT, FALSE), 1) << "the previous state";
  KeClearEvent(&n);
  EXPECT_EQ(Poll(&n), STATUS_TIMEOUT);
  KeInitializeEvent(&n, NotificationEvent, TRUE);
  KeInitializeEvent(&s, SynchronizationEvent, TRUE);
  // Notification events stay signalled; a synchronization event resets when a wait takes it.
  EXPECT_EQ(Poll(&n), STATUS_SUCCESS);
  EXPECT_EQ(Poll(&n), STATUS_SUCCESS);
  EXPECT_EQ(Poll(&s), STATUS_SUCCESS);
  EXPECT_EQ(Poll(&s), STATUS_TIMEOUT);
  EXPECT_EQ(KeResetEvent(&n), 1);
  EXPECT_EQ(KeReadStateEvent(&n), 0);
}

TEST(Events, WaitAnyReturnsTheLowestSignalledIndexAndWaitAllNeedsEvery) {
  KEVENT stop, ready;
  KeInitializeEvent(&stop, NotificationEvent, FALSE);
  KeInitializeEvent(&ready, NotificationEvent, FALSE);
  PVOID objects[2] = {&stop, &ready};
  LARGE_INTEGER poll = {};
  auto wait = [&](WAIT_TYPE type) {  // polls: a wrong answer must not hang the test
    return KeWaitForMultipleObjects(2, objects, type, Executive, KernelMode, FALSE, &poll, NULL);
  };
  EXPECT_EQ(wait(WaitAny), STATUS_TIMEOUT);
  KeSetEvent(&ready, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(wait(WaitAny), STATUS_WAIT_1);
  EXPECT_EQ(wait(WaitAll), STATUS_TIMEOUT);
  KeSetEvent(&stop, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(wait(WaitAny), STATUS_WAIT_0);
  EXPECT_EQ(wait(WaitAll), STATUS_WAIT_0);
}

TEST(Events, RelativeTimeoutIsInHundredsOfNanoseconds) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  LARGE_INTEGER timeout = Relative100ns(20 * 10000);  // 20 ms
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
}

struct Handoff {
  KEVENT go, done;
  std::atomic<int> stage{0};
};

VOID NTAPI HandoffWorker(PVOID context) {
  auto *h = static_cast<Handoff *>(context);
  KeWaitForSingleObject(&h->go, Executive, KernelMode, FALSE, NULL);
  h->stage = 1;
  KeSetEvent(&h->done, IO_NO_INCREMENT, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
  h->stage = 2;  // never reached: the thread ends in PsTerminateSystemThread
}

TEST(SystemThreads, RunWaitSignalTerminateAndRelease) {
  size_t objectsBefore = HostObjects_LiveCount();
  Handoff h;
  KeInitializeEvent(&h.go, NotificationEvent, FALSE);
  KeInitializeEvent(&h.done, NotificationEvent, FALSE);
  HANDLE handle = NULL;
  PVOID thread = NULL;
  ASSERT_EQ(PsCreateSystemThread(&handle, 0x1F03FF, NULL, NULL, NULL, HandoffWorker, &h), STATUS_SUCCESS);
  ASSERT_EQ(ObReferenceObjectByHandle(handle, 0x1F03FF, NULL, KernelMode, &thread, NULL), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
  EXPECT_EQ(ObReferenceObjectByHandle((HANDLE)0x7, 0, NULL, KernelMode, &thread, NULL), STATUS_INVALID_HANDLE);
  EXPECT_EQ(Poll(thread), STATUS_TIMEOUT);
  KeSetEvent(&h.go, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&h.done, Executive, KernelMode, FALSE, NULL), STATUS_SUCCESS);
  // The thread object is signalled when the thread has ended.
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, NULL), STATUS_SUCCESS);
  EXPECT_TRUE(HostThreads_WaitAllExited(5000));
  EXPECT_EQ(h.stage, 1);
  ObDereferenceObject(thread);
  EXPECT_EQ(HostObjects_LiveCount(), objectsBefore);
  EXPECT_EQ(PsTerminateSystemThread(STATUS_SUCCESS), STATUS_INVALID_PARAMETER) << "outside a system thread";
}

// A scaled delay still counts the interval asked for. Scaled to nothing, an hour's delay
// returns at once; were the scale ignored, the test would hang until ctest's time-out.
TEST(Delays, ScaledSleepStillCountsTheRequestedInterval) {
  HostTime_ResetDelayStats();
  HostTime_SetDelayScale(0, 1);
  LARGE_INTEGER anHour = Relative100ns(36000000000LL);
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &anHour), STATUS_SUCCESS);
  HostTime_SetDelayScale(1, 1);
  HostDelayStats stats = HostTime_DelayStats();
  EXPECT_EQ(stats.count, 1u);
  EXPECT_EQ(stats.total100ns, 36000000000LL);
}

TEST(DispatcherDeathTest, BlockingAtDispatchLevelOrOnAnUninitialisedEventIsABugCheck) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, TRUE);
  // A poll is allowed at DISPATCH_LEVEL; a wait that may block is not.
  HostIrql_RunAtDispatch([&] { EXPECT_EQ(Poll(&e), STATUS_SUCCESS); });
  EXPECT_DEATH(HostIrql_RunAtDispatch([&] { KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, NULL); }),
               "IRQL_NOT_LESS_OR_EQUAL.*KeWaitForSingleObject called at IRQL 2");
  LARGE_INTEGER delay = Relative100ns(1);
  EXPECT_DEATH(HostIrql_RunAtDispatch([&] { KeDelayExecutionThread(KernelMode, FALSE, &delay); }),
               "KeDelayExecutionThread called at IRQL 2");
  EXPECT_DEATH(
      {
        auto *u = static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), HostPool_Tag("Tst1")));
        KeWaitForSingleObject(u, Executive, KernelMode, FALSE, NULL);
      },
      "INVALID_DISPATCHER_OBJECT");
}

}  // namespace
