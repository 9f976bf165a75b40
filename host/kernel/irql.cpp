// IRQL tracking: each host thread has its own current IRQL, PASSIVE_LEVEL at start.
#include "host_kernel.h"

static thread_local KIRQL t_currentIrql = PASSIVE_LEVEL;

KIRQL NTAPI KeGetCurrentIrql(VOID) { return t_currentIrql; }

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
  KIRQL old = t_currentIrql;
  if (NewIrql < old) {
    HostBugCheck(HOST_BUGCHECK_IRQL_NOT_LESS_OR_EQUAL, "KeRaiseIrql to %u from higher IRQL %u", NewIrql, old);
  }
  t_currentIrql = NewIrql;
  return old;
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql) {
  if (NewIrql > t_currentIrql) {
    HostBugCheck(HOST_BUGCHECK_IRQL_NOT_LESS_OR_EQUAL, "KeLowerIrql to %u from lower IRQL %u", NewIrql,
                 t_currentIrql);
  }
  t_currentIrql = NewIrql;
}

void HostIrql_RunAt(KIRQL irql, const std::function<void()> &fn) {
  KIRQL old = KfRaiseIrql(irql);
  fn();
  if (t_currentIrql != irql) {
    HostBugCheck(HOST_BUGCHECK_IRQL_NOT_LESS_OR_EQUAL, "callback returned at IRQL %u, entered at %u",
                 t_currentIrql, irql);
  }
  KfLowerIrql(old);
}

void HostIrql_Require(KIRQL maximum, const char *routine) {
  if (t_currentIrql > maximum) {
    HostBugCheck(HOST_BUGCHECK_IRQL_NOT_LESS_OR_EQUAL, "%s called at IRQL %u (allowed at most %u)", routine,
                 t_currentIrql, maximum);
  }
}
