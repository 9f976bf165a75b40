// Shared between the host kernel's own sources; not part of the platform interface.
#pragma once

#include "host_platform.h"

// Signals a dispatcher object (used for thread objects when their thread ends).
void HostDispatcher_Signal(PDISPATCHER_HEADER header);
