// Shared between the host kernel's own sources; not part of the platform interface.
#pragma once

#include "host_platform.h"

// An object type: ObReferenceObjectByHandle compares the type a caller names with this.
struct _OBJECT_TYPE {
  const char *name;
};

// Signals a dispatcher object (used for thread objects when their thread ends).
void HostDispatcher_Signal(PDISPATCHER_HEADER header);

// Enters object (of the given type) in the object table with one reference, held by the
// handle returned; ZwClose drops it, ObReferenceObjectByHandle adds more. destroy runs when
// the last reference goes.
HANDLE HostObjects_Insert(POBJECT_TYPE type, void *object, void (*destroy)(void *object));
