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
// the last reference goes. The handle is a kernel handle when attributes has OBJ_KERNEL_HANDLE
// or the calling thread runs in the system process; otherwise it belongs to the calling
// thread's application process.
HANDLE HostObjects_Insert(POBJECT_TYPE type, void *object, void (*destroy)(void *object), ULONG attributes);

// Takes a reference on the object behind a handle, as the kernel's own routines (ZwQueryValueKey
// and the like) do: another process's handle is a bug check naming routine; a handle of another
// type than type is STATUS_OBJECT_TYPE_MISMATCH.
NTSTATUS HostObjects_ReferenceByHandle(HANDLE handle, POBJECT_TYPE type, const char *routine, PVOID *object);

// Bug-checks when the calling system thread ends inside a critical region.
void HostThread_CheckEnd();

// The kernel's variable that holds the thread object type (what ntoskrnl exports as
// PsThreadType; the host's PsThreadType is the driver's view of it, a pointer to it).
extern POBJECT_TYPE HostKernel_ThreadType;
