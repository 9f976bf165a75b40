// The kernel's debug print, for the library's diagnostic lines. Declared here, in the one
// header the library's sources include for it, so that the declaration matches the kernel's
// on the target and the host kernel layer's on the host build.
#pragma once

#if defined(_WIN32)
typedef unsigned long ip_dbgprint_result;
#else
typedef unsigned int ip_dbgprint_result;
#endif
#if defined(__i386__)
#define IP_CDECL __attribute__((cdecl))
#else
#define IP_CDECL
#endif
extern "C" ip_dbgprint_result IP_CDECL DbgPrint(const char *Format, ...);
