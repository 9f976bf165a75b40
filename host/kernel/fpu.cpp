// Floating-point state saving and interlocked operations on the host. The host does not need
// to save anything (a user thread's registers are the operating system's business), but it
// checks the pairing of saves and restores and lets tests make a save fail.
#include <atomic>

#include "host_kernel.h"

namespace {

thread_local int t_savedDepth = 0;
std::atomic<bool> g_failNextSave{false};
std::atomic<uint64_t> g_saves{0};

}  // namespace

NTSTATUS NTAPI KeSaveFloatingPointState(PKFLOATING_SAVE FloatSave) {
  HostIrql_Require(DISPATCH_LEVEL, "KeSaveFloatingPointState");
  if (g_failNextSave.exchange(false)) {
    return STATUS_ILLEGAL_FLOAT_CONTEXT;
  }
  memset(FloatSave, 0, sizeof(*FloatSave));
  ++t_savedDepth;
  ++g_saves;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI KeRestoreFloatingPointState(PKFLOATING_SAVE FloatSave) {
  UNREFERENCED_PARAMETER(FloatSave);
  if (t_savedDepth == 0) {
    HostBugCheck(HOST_BUGCHECK_INVALID_FLOATING_POINT_STATE,
                 "KeRestoreFloatingPointState without a matching save on this thread");
  }
  --t_savedDepth;
  return STATUS_SUCCESS;
}

void HostFpu_FailNextSave() { g_failNextSave = true; }
uint64_t HostFpu_SaveCount() { return g_saves; }
int HostFpu_SavedDepth() { return t_savedDepth; }

LONG FASTCALL InterlockedExchange(LONG volatile *Target, LONG Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

LONG FASTCALL InterlockedCompareExchange(LONG volatile *Destination, LONG Exchange, LONG Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return Comparand;
}

LONG FASTCALL InterlockedIncrement(LONG volatile *Addend) { return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST); }

LONG FASTCALL InterlockedDecrement(LONG volatile *Addend) { return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
