// Events and waits of the host kernel.
#include <gtest/gtest.h>


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
