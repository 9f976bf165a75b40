// Process contexts and critical regions on the host.
//
// Each thread carries the process it runs in (the system process unless a request of an
// application is under way on it) and the number of critical regions it has entered. The
// kernel checks that count when a thread goes back to an application or ends, and so does
// the host.
#include <atomic>

#include "host_kernel.h"
#include "kernel_internal.h"

namespace {

thread_local ULONG t_process = HOST_SYSTEM_PROCESS;
thread_local LONG t_criticalRegions = 0;

std::atomic<ULONG> g_nextApplication{HOST_SYSTEM_PROCESS + 4};

}  // namespace

ULONG HostProcess_NewApplication() { return g_nextApplication.fetch_add(4); }

ULONG HostProcess_Current() { return t_process; }

HostProcessScope::HostProcessScope(ULONG process) : previous_(t_process), criticalRegions_(t_criticalRegions) {
  t_process = process;
}

HostProcessScope::~HostProcessScope() {
  if (t_criticalRegions != criticalRegions_) {
    HostBugCheck(HOST_BUGCHECK_APC_INDEX_MISMATCH,
                 "a request of process %u returned with %d critical region(s) entered and not left", t_process,
                 (int)(t_criticalRegions - criticalRegions_));
  }
  t_process = previous_;
}

LONG HostThread_CriticalRegions() { return t_criticalRegions; }

void HostThread_CheckEnd() {
  if (t_criticalRegions != 0) {
    HostBugCheck(HOST_BUGCHECK_KERNEL_APC_PENDING_DURING_EXIT,
                 "a system thread ended with %d critical region(s) entered and not left", (int)t_criticalRegions);
  }
}

VOID NTAPI KeEnterCriticalRegion(VOID) {
  HostIrql_Require(APC_LEVEL, "KeEnterCriticalRegion");
  ++t_criticalRegions;
}

VOID NTAPI KeLeaveCriticalRegion(VOID) {
  HostIrql_Require(APC_LEVEL, "KeLeaveCriticalRegion");
  if (t_criticalRegions == 0) {
    HostBugCheck(HOST_BUGCHECK_APC_INDEX_MISMATCH, "KeLeaveCriticalRegion without a critical region entered");
  }
  --t_criticalRegions;
}
