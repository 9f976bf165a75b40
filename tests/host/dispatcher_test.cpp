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

TEST(Events, SetClearAndReadState) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  EXPECT_EQ(KeReadStateEvent(&e), 0);
  EXPECT_EQ(KeSetEvent(&e, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_EQ(KeSetEvent(&e, IO_NO_INCREMENT, FALSE), 1);
  KeClearEvent(&e);
  EXPECT_EQ(KeReadStateEvent(&e), 0);
  KeInitializeEvent(&e, NotificationEvent, TRUE);
  EXPECT_EQ(KeResetEvent(&e), 1);
}

TEST(Events, NotificationEventsStaySignalledSynchronizationEventsReset) {
  KEVENT n, s;
  KeInitializeEvent(&n, NotificationEvent, TRUE);
  KeInitializeEvent(&s, SynchronizationEvent, TRUE);
  LARGE_INTEGER poll = {};
  EXPECT_EQ(KeWaitForSingleObject(&n, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&n, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
}

TEST(Events, WaitAnyReturnsTheLowestSignalledIndex) {
  KEVENT stop, ready;
  KeInitializeEvent(&stop, NotificationEvent, FALSE);
  KeInitializeEvent(&ready, NotificationEvent, FALSE);
  PVOID objects[2] = {&stop, &ready};
  LARGE_INTEGER poll = {};
  EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &poll, NULL),
            STATUS_TIMEOUT);
  KeSetEvent(&ready, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, NULL, NULL), STATUS_WAIT_1);
  KeSetEvent(&stop, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, NULL, NULL), STATUS_WAIT_0);
  KeClearEvent(&ready);
  KeClearEvent(&stop);
  EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &poll, NULL),
            STATUS_TIMEOUT);
}

TEST(Events, RelativeTimeoutExpires) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  LARGE_INTEGER timeout = Relative100ns(20 * 10000);  // 20 ms
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
}

struct Handoff {
  KEVENT go;
  KEVENT done;
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
  ASSERT_EQ(PsCreateSystemThread(&handle, 0x1F03FF, NULL, NULL, NULL, HandoffWorker, &h), STATUS_SUCCESS);
  PVOID thread = NULL;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, 0x1F03FF, NULL, KernelMode, &thread, NULL), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);

  LARGE_INTEGER poll = {};
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  KeSetEvent(&h.go, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&h.done, Executive, KernelMode, FALSE, NULL), STATUS_SUCCESS);
  // The thread object is signalled when the thread has ended.
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, NULL), STATUS_SUCCESS);
  EXPECT_TRUE(HostThreads_WaitAllExited(5000));
  EXPECT_EQ(h.stage, 1);

  ObDereferenceObject(thread);
  EXPECT_EQ(HostObjects_LiveCount(), objectsBefore);
}

TEST(SystemThreads, TerminateOutsideASystemThreadIsRefused) {
  EXPECT_EQ(PsTerminateSystemThread(STATUS_SUCCESS), STATUS_INVALID_PARAMETER);
}

TEST(SystemThreads, HandleOfTheWrongTypeOrUnknownIsRefused) {
  PVOID object = NULL;
  EXPECT_EQ(ObReferenceObjectByHandle((HANDLE)0x7, 0, NULL, KernelMode, &object, NULL), STATUS_INVALID_HANDLE);
}

TEST(Delays, ScaledSleepStillCountsTheRequestedInterval) {
  HostTime_ResetDelayStats();
  HostTime_SetDelayScale(0, 1);
  LARGE_INTEGER oneSecond = Relative100ns(10000000);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &oneSecond), STATUS_SUCCESS);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  HostDelayStats stats = HostTime_DelayStats();
  EXPECT_EQ(stats.count, 1u);
  EXPECT_EQ(stats.total100ns, 10000000);

  HostTime_SetDelayScale(1, 1);
  LARGE_INTEGER tenMs = Relative100ns(100000);
  start = std::chrono::steady_clock::now();
  KeDelayExecutionThread(KernelMode, FALSE, &tenMs);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(10));
}

TEST(DispatcherDeathTest, BlockingWaitAtDispatchLevelIsABugCheck) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, TRUE);
  LARGE_INTEGER poll = {};
  // A poll is allowed at DISPATCH_LEVEL; a wait that may block is not.
  HostIrql_RunAtDispatch([&] { EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &poll), 0); });
  EXPECT_DEATH(HostIrql_RunAtDispatch([&] { KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, NULL); }),
               "IRQL_NOT_LESS_OR_EQUAL.*KeWaitForSingleObject called at IRQL 2");
  LARGE_INTEGER delay = Relative100ns(1);
  EXPECT_DEATH(HostIrql_RunAtDispatch([&] { KeDelayExecutionThread(KernelMode, FALSE, &delay); }),
               "KeDelayExecutionThread called at IRQL 2");
}

TEST(DispatcherDeathTest, WaitOnAnUninitialisedEventIsABugCheck) {
  EXPECT_DEATH(
      {
        auto *e = static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), HostPool_Tag("Tst1")));
        KeWaitForSingleObject(e, Executive, KernelMode, FALSE, NULL);
      },
      "INVALID_DISPATCHER_OBJECT");
}

}  // namespace
