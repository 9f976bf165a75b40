// Dispatcher objects on the host: events and thread objects share one lock and one condition
// variable, which is plenty for the handful of waiters a camera driver has. Signal states live
// in the objects' own DISPATCHER_HEADER, as in the kernel.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "host_kernel.h"
#include "kernel_internal.h"

namespace {

// One lock and one condition variable for every dispatcher object. Never destroyed: system
// threads may still signal while the process exits.
std::mutex &g_lock = *new std::mutex;
std::condition_variable &g_changed = *new std::condition_variable;

struct DelayState {
  std::mutex lock;
  uint64_t numerator = 1;
  uint64_t denominator = 1;
  uint64_t count = 0;
  int64_t total100ns = 0;
};

DelayState &Delays() {
  static DelayState *d = new DelayState;
  return *d;
}

PDISPATCHER_HEADER Header(PVOID object, const char *routine) {
  PDISPATCHER_HEADER h = static_cast<PDISPATCHER_HEADER>(object);
  if (h == NULL || (h->Type != HOST_DISPATCHER_NOTIFICATION_EVENT && h->Type != HOST_DISPATCHER_SYNCHRONIZATION_EVENT &&
                    h->Type != HOST_DISPATCHER_THREAD)) {
    HostBugCheck(HOST_BUGCHECK_INVALID_DISPATCHER_OBJECT, "%s on %p, which is not an initialised dispatcher object",
                 routine, object);
  }
  return h;
}

// The header of an object whose wait list the routine uses (a wait, or a set that wakes
// waiters). A zero-filled event was never initialised: its wait list is no list, and the kernel
// would fault walking it.
PDISPATCHER_HEADER LinkedHeader(PVOID object, const char *routine) {
  PDISPATCHER_HEADER h = Header(object, routine);
  if (h->Size == 0) {
    HostBugCheck(HOST_BUGCHECK_INVALID_DISPATCHER_OBJECT, "%s on %p, an event that was never initialised", routine,
                 object);
  }
  return h;
}

bool Signalled(PDISPATCHER_HEADER h) { return h->SignalState > 0; }

// A satisfied wait resets a synchronization event; notification events stay signalled.
void Satisfy(PDISPATCHER_HEADER h) {
  if (h->Type == HOST_DISPATCHER_SYNCHRONIZATION_EVENT) {
    h->SignalState = 0;
  }
}

// Converts a kernel time-out (NULL: none; negative: relative, 100 ns units; positive: absolute
// system time) into a deadline. Returns false for "wait forever".
bool Deadline(PLARGE_INTEGER timeout, std::chrono::steady_clock::time_point *deadline) {
  if (timeout == NULL) {
    return false;
  }
  auto now = std::chrono::steady_clock::now();
  LONGLONG t = timeout->QuadPart;
  if (t <= 0) {
    *deadline = now + std::chrono::nanoseconds(-t * 100);
  } else {
    LONGLONG nowSystem = HostTime_SystemTime100ns();
    *deadline = now + std::chrono::nanoseconds(t > nowSystem ? (t - nowSystem) * 100 : 0);
  }
  return true;
}

void RequireWaitIrql(PLARGE_INTEGER timeout, const char *routine) {
  // A wait that can block needs PASSIVE_LEVEL; a poll (time-out 0) may run at DISPATCH_LEVEL.
  bool poll = timeout != NULL && timeout->QuadPart == 0;
  HostIrql_Require(poll ? DISPATCH_LEVEL : PASSIVE_LEVEL, routine);
}

}  // namespace

LONGLONG HostTime_SystemTime100ns() {
  // 100 ns units since 1 January 1601, the kernel's system time.
  constexpr LONGLONG kEpochDifference = 116444736000000000LL;
  auto since1970 = std::chrono::system_clock::now().time_since_epoch();
  return kEpochDifference + std::chrono::duration_cast<std::chrono::nanoseconds>(since1970).count() / 100;
}

void HostDispatcher_Signal(PDISPATCHER_HEADER header) {
  std::lock_guard<std::mutex> guard(g_lock);
  header->SignalState = 1;
  g_changed.notify_all();
}

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  std::lock_guard<std::mutex> guard(g_lock);
  Event->Header.Type = (UCHAR)(Type == SynchronizationEvent ? HOST_DISPATCHER_SYNCHRONIZATION_EVENT
                                                            : HOST_DISPATCHER_NOTIFICATION_EVENT);
  Event->Header.Absolute = 0;
  Event->Header.Size = (UCHAR)(sizeof(KEVENT) / sizeof(LONG));
  Event->Header.Inserted = 0;
  Event->Header.SignalState = State ? 1 : 0;
  Event->Header.WaitListHead.Flink = &Event->Header.WaitListHead;
  Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  UNREFERENCED_PARAMETER(Increment);
  UNREFERENCED_PARAMETER(Wait);
  HostIrql_Require(DISPATCH_LEVEL, "KeSetEvent");
  PDISPATCHER_HEADER h = LinkedHeader(Event, "KeSetEvent");
  std::lock_guard<std::mutex> guard(g_lock);
  LONG previous = h->SignalState;
  h->SignalState = 1;
  g_changed.notify_all();
  return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
  PDISPATCHER_HEADER h = Header(Event, "KeClearEvent");
  std::lock_guard<std::mutex> guard(g_lock);
  h->SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
  HostIrql_Require(DISPATCH_LEVEL, "KeResetEvent");
  PDISPATCHER_HEADER h = Header(Event, "KeResetEvent");
  std::lock_guard<std::mutex> guard(g_lock);
  LONG previous = h->SignalState;
  h->SignalState = 0;
  return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  PDISPATCHER_HEADER h = Header(Event, "KeReadStateEvent");
  std::lock_guard<std::mutex> guard(g_lock);
  return h->SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  PVOID objects[1] = {Object};
  RequireWaitIrql(Timeout, "KeWaitForSingleObject");
  return KeWaitForMultipleObjects(1, objects, WaitAny, WaitReason, WaitMode, Alertable, Timeout, NULL);
}

NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                        KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                        PKWAIT_BLOCK WaitBlockArray) {
  UNREFERENCED_PARAMETER(WaitReason);
  UNREFERENCED_PARAMETER(WaitMode);
  UNREFERENCED_PARAMETER(Alertable);
  RequireWaitIrql(Timeout, "KeWaitForMultipleObjects");
  if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS || (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == NULL)) {
    HostBugCheck(HOST_BUGCHECK_MAXIMUM_WAIT_OBJECTS_EXCEEDED,
                 "KeWaitForMultipleObjects with %u objects and %s wait block array", Count,
                 WaitBlockArray ? "a" : "no");
  }
  PDISPATCHER_HEADER headers[MAXIMUM_WAIT_OBJECTS];
  for (ULONG i = 0; i < Count; ++i) {
    headers[i] = LinkedHeader(Object[i], "KeWaitForMultipleObjects");
  }

  std::chrono::steady_clock::time_point deadline;
  bool timed = Deadline(Timeout, &deadline);
  std::unique_lock<std::mutex> guard(g_lock);
  for (;;) {
    if (WaitType == WaitAny) {
      // The lowest index among the signalled objects satisfies the wait.
      for (ULONG i = 0; i < Count; ++i) {
        if (Signalled(headers[i])) {
          Satisfy(headers[i]);
          return STATUS_WAIT_0 + (NTSTATUS)i;
        }
      }
    } else {
      bool all = true;
      for (ULONG i = 0; i < Count && all; ++i) {
        all = Signalled(headers[i]);
      }
      if (all) {
        for (ULONG i = 0; i < Count; ++i) {
          Satisfy(headers[i]);
        }
        return STATUS_WAIT_0;
      }
    }
    if (!timed) {
      g_changed.wait(guard);
    } else {
      if (std::chrono::steady_clock::now() >= deadline) {
        return STATUS_TIMEOUT;
      }
      g_changed.wait_until(guard, deadline);
    }
  }
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
  UNREFERENCED_PARAMETER(WaitMode);
  UNREFERENCED_PARAMETER(Alertable);
  HostIrql_Require(PASSIVE_LEVEL, "KeDelayExecutionThread");
  LONGLONG wait100ns = Interval->QuadPart < 0 ? -Interval->QuadPart
                                              : std::max<LONGLONG>(0, Interval->QuadPart - HostTime_SystemTime100ns());
  DelayState &d = Delays();
  uint64_t scaled;
  {
    std::lock_guard<std::mutex> guard(d.lock);
    ++d.count;
    d.total100ns += wait100ns;
    scaled = (uint64_t)wait100ns * d.numerator / d.denominator;
  }
  std::this_thread::sleep_for(std::chrono::nanoseconds(scaled * 100));
  return STATUS_SUCCESS;
}

void HostTime_SetDelayScale(uint64_t numerator, uint64_t denominator) {
  DelayState &d = Delays();
  std::lock_guard<std::mutex> guard(d.lock);
  d.numerator = numerator;
  d.denominator = denominator == 0 ? 1 : denominator;
}

HostDelayStats HostTime_DelayStats() {
  DelayState &d = Delays();
  std::lock_guard<std::mutex> guard(d.lock);
  return HostDelayStats{d.count, d.total100ns};
}

void HostTime_ResetDelayStats() {
  DelayState &d = Delays();
  std::lock_guard<std::mutex> guard(d.lock);
  d.count = 0;
  d.total100ns = 0;
}
