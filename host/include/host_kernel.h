// Host-only controls and observations of the host kernel layer, for the class library,
// tools and tests. Never included by the driver: everything here carries the Host prefix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "host_platform.h"

// ---- Bug checks -------------------------------------------------------------------------
// The codes the host layer raises, with their kernel meanings.
enum : ULONG {
  HOST_BUGCHECK_APC_INDEX_MISMATCH = 0x01,  // a thread returned with a critical region still entered
  HOST_BUGCHECK_IRQL_NOT_LESS_OR_EQUAL = 0x0A,
  HOST_BUGCHECK_KERNEL_APC_PENDING_DURING_EXIT = 0x20,  // a thread ended inside a critical region
  HOST_BUGCHECK_BAD_POOL_CALLER = 0xC2,
  HOST_BUGCHECK_MAXIMUM_WAIT_OBJECTS_EXCEEDED = 0x0C,
  HOST_BUGCHECK_REFERENCE_BY_POINTER = 0x18,
  HOST_BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION = 0xC4,  // a process's handle misused
  HOST_BUGCHECK_INVALID_FLOATING_POINT_STATE = 0xE7,
  HOST_BUGCHECK_INVALID_DISPATCHER_OBJECT = 0xE0000001,  // host-only: a wait on what is no event or thread
  HOST_BUGCHECK_BYTES_PAST_BUFFER = 0xE0000002,  // host-only: a callback reported more bytes than the buffer holds
};

// Stops the program the way a kernel bug check stops the machine: prints
// "*** BUGCHECK 0x000000C2 (BAD_POOL_CALLER): <message>" to stderr and aborts.
[[noreturn]] void HostBugCheck(ULONG code, const char *format, ...) __attribute__((format(printf, 2, 3)));

// ---- IRQL --------------------------------------------------------------------------------
// Runs fn on the calling thread at the given IRQL (raising from the current one), the way the
// class library calls the packet callback at DISPATCH_LEVEL. The IRQL is restored after fn.
void HostIrql_RunAt(KIRQL irql, const std::function<void()> &fn);
inline void HostIrql_RunAtDispatch(const std::function<void()> &fn) { HostIrql_RunAt(DISPATCH_LEVEL, fn); }
// Bug-checks when the calling thread is above maximum: routine names the caller in the message.
void HostIrql_Require(KIRQL maximum, const char *routine);

// ---- Pool --------------------------------------------------------------------------------
constexpr ULONG HostPool_Tag(const char (&t)[5]) {
  return (ULONG)(UCHAR)t[0] | (ULONG)(UCHAR)t[1] << 8 | (ULONG)(UCHAR)t[2] << 16 | (ULONG)(UCHAR)t[3] << 24;
}

struct HostPoolBlock {
  const void *address;
  size_t size;
  ULONG tag;
  POOL_TYPE type;
  uint64_t serial;  // 1 for the first allocation the process made
};

struct HostPoolTagStats {
  size_t liveBlocks = 0;
  size_t liveBytes = 0;
  size_t allocations = 0;  // successful allocations ever made with this tag
  size_t failures = 0;     // allocations with this tag that were made to fail
};

std::vector<HostPoolBlock> HostPool_LiveBlocks();
HostPoolTagStats HostPool_TagStats(ULONG tag);
size_t HostPool_LiveBlockCount();
size_t HostPool_LiveByteCount();
// The most bytes live at one time since the process started or the last HostPool_ResetPeak.
size_t HostPool_PeakByteCount();
void HostPool_ResetPeak();
// One line per live block ("Wdm  NonPaged 4096 bytes #17"), then a totals line.
std::string HostPool_Report();
// Is p the start of a live pool block?
bool HostPool_IsLive(const void *p);

// Fault injection. The n-th allocation attempt from now (1 = the next one) returns NULL.
void HostPool_FailNthAllocation(uint64_t n);
// The n-th allocation attempt with this tag from now (1 = the next one) returns NULL.
void HostPool_FailNthAllocationOfTag(ULONG tag, uint64_t n);
// While set, every allocation with this tag returns NULL.
void HostPool_FailTag(ULONG tag, bool fail);
void HostPool_ClearFaults();
// Frees every live block and forgets the statistics: for test teardown after a leak has
// been reported.
void HostPool_Reset();

// ---- DbgPrint capture --------------------------------------------------------------------
// Every DbgPrint call is appended to a log; the log is split into lines at '\n'. Output is
// echoed to stderr when the environment variable TORVANE_DBGPRINT is set to a non-empty
// value other than "0".
std::vector<std::string> HostDbg_Lines();  // completed lines, without their '\n'
std::string HostDbg_PendingText();         // text after the last '\n'
size_t HostDbg_Count(std::string_view substring);
void HostDbg_Clear();

// ---- Time and delays -------------------------------------------------------------------------
// The kernel's system time: 100 ns units since 1 January 1601.
LONGLONG HostTime_SystemTime100ns();
// KeDelayExecutionThread sleeps for interval * numerator / denominator, so tests can run the
// driver's fixed delays (150 ms after a command) faster. The driver still asks
// for, and the statistics still count, the full interval.
void HostTime_SetDelayScale(uint64_t numerator, uint64_t denominator);
struct HostDelayStats {
  uint64_t count;       // KeDelayExecutionThread calls
  int64_t total100ns;   // intervals asked for, before scaling
};
HostDelayStats HostTime_DelayStats();
void HostTime_ResetDelayStats();

// ---- Process contexts and critical regions -------------------------------------------------------
// Every thread runs in a process context. System threads, the class library's own threads and
// any thread outside a HostProcessScope run in the system process; a request an application
// issues runs in that application's process for as long as the request takes. A handle created
// in an application's process without OBJ_KERNEL_HANDLE belongs to that process: using it in
// any other process context is a bug check (DRIVER_VERIFIER_DETECTED_VIOLATION), and so is
// ObReferenceObjectByHandle with KernelMode access on it in its own process, as Driver
// Verifier has it. Kernel handles (OBJ_KERNEL_HANDLE, or created in the system process) work
// in every context.
constexpr ULONG HOST_SYSTEM_PROCESS = 4;
// A new application process: a request issued in it is another application's.
ULONG HostProcess_NewApplication();
ULONG HostProcess_Current();  // the calling thread's process context

// The calling thread runs in process `process` while the scope lives: one request of that
// application (or of the system, for HOST_SYSTEM_PROCESS), entered and left on one thread.
// When the request returns, the thread's critical regions (KeEnterCriticalRegion) must all have
// been left again, or the host bug-checks with APC_INDEX_MISMATCH; a system thread that ends
// inside one bug-checks with KERNEL_APC_PENDING_DURING_EXIT.
class HostProcessScope {
 public:
  explicit HostProcessScope(ULONG process);
  ~HostProcessScope();
  HostProcessScope(const HostProcessScope &) = delete;
  HostProcessScope &operator=(const HostProcessScope &) = delete;

 private:
  ULONG previous_;
  LONG criticalRegions_;  // the thread's count when the request began
};

// Critical regions the calling thread has entered and not yet left.
LONG HostThread_CriticalRegions();

// ---- Objects and system threads ------------------------------------------------------------------
size_t HostObjects_LiveCount();   // objects with references left (threads, registry keys)
size_t HostObjects_OpenHandles(); // handles not yet closed
// Handles ever created in an application's process without OBJ_KERNEL_HANDLE (so owned by it).
size_t HostObjects_ApplicationHandlesCreated();
size_t HostThreads_Running();     // system threads whose start routine has not ended
// Waits (at most timeoutMs) until no system thread runs; returns whether that happened.
bool HostThreads_WaitAllExited(unsigned timeoutMs);
// The next PsCreateSystemThread fails with status and creates nothing.
void HostThreads_FailNextCreate(NTSTATUS status);
// The next ObReferenceObjectByHandle fails with status and references nothing.
void HostObjects_FailNextReference(NTSTATUS status);

// ---- The processor presented to the driver ---------------------------------------------------
// Native: the processor as it is. Sse2: the same, refused where it has no SSE2. Mmx: CPUID
// function 1 reports no SSE or SSE2 (nor later vector sets); Scalar: no MMX either. The choice
// is made once, before the driver is loaded and before the program creates threads (threads
// that exist already keep seeing the real processor); TORVANE_CPU=sse2|mmx|scalar in the
// environment makes it at program start, and a name it cannot present ends the program with
// exit code 77. Mmx and Scalar need Linux CPUID faulting.
enum class HostCpuForm { Native, Sse2, Mmx, Scalar };
bool HostCpu_ParseForm(const char *name, HostCpuForm *form);       // "sse2", "mmx" or "scalar"
bool HostCpu_Present(HostCpuForm form, std::string *why);          // false with the reason
HostCpuForm HostCpu_Form();

// ---- Floating-point state --------------------------------------------------------------------
void HostFpu_FailNextSave();   // the next KeSaveFloatingPointState fails
uint64_t HostFpu_SaveCount();  // successful saves so far
int HostFpu_SavedDepth();      // saves not yet restored on the calling thread
