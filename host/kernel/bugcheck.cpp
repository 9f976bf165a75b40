// Kernel bug checks on the host: a fatal, clearly worded stop of the process.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "host_kernel.h"

static const char *BugCheckName(ULONG code) {
  switch (code) {
    case HOST_BUGCHECK_APC_INDEX_MISMATCH:
      return "APC_INDEX_MISMATCH";
    case HOST_BUGCHECK_KERNEL_APC_PENDING_DURING_EXIT:
      return "KERNEL_APC_PENDING_DURING_EXIT";
    case HOST_BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION:
      return "DRIVER_VERIFIER_DETECTED_VIOLATION";
    case HOST_BUGCHECK_IRQL_NOT_LESS_OR_EQUAL:
      return "IRQL_NOT_LESS_OR_EQUAL";
    case HOST_BUGCHECK_BAD_POOL_CALLER:
      return "BAD_POOL_CALLER";
    case HOST_BUGCHECK_MAXIMUM_WAIT_OBJECTS_EXCEEDED:
      return "MAXIMUM_WAIT_OBJECTS_EXCEEDED";
    case HOST_BUGCHECK_INVALID_FLOATING_POINT_STATE:
      return "INVALID_FLOATING_POINT_STATE";
    case HOST_BUGCHECK_REFERENCE_BY_POINTER:
      return "REFERENCE_BY_POINTER";
    case HOST_BUGCHECK_INVALID_DISPATCHER_OBJECT:
      return "INVALID_DISPATCHER_OBJECT";
    case HOST_BUGCHECK_BYTES_PAST_BUFFER:
      return "BYTES_PAST_BUFFER";
    default:
      return "UNKNOWN";
  }
}

void HostBugCheck(ULONG code, const char *format, ...) {
  char message[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof(message), format, args);
  va_end(args);
  fprintf(stderr, "*** BUGCHECK 0x%08X (%s): %s\n", (unsigned)code, BugCheckName(code), message);
  fflush(stderr);
  abort();
}
