// What the stand-in drivers (stream.sys, Kelvane.sys) see of the platform: the DDK headers the
// driver itself is built against, and the rules they share with the host's stream class and
// class library.
#pragma once

#include "../../host/shared/shared_rules.h"

// ntoskrnl exports this; mingw-w64's headers do not declare it for 32-bit.
#ifndef NtCurrentProcess
#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)
#endif
