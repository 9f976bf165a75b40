// Handles, referenced objects and system threads on the host.
//
// A system thread is a std::thread running the start routine at PASSIVE_LEVEL. Its thread
// object begins with a DISPATCHER_HEADER that is signalled when the thread ends, so it can be
// waited on. PsTerminateSystemThread leaves the start routine by jumping back to the thread's
// entry (driver code holds no destructors to run), as the kernel ends a thread without
// returning to its caller.
//
// A handle is a kernel handle or belongs to the application process it was created in
// (process.cpp keeps each thread's process context); every lookup checks that the calling
// context may use it.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csetjmp>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "host_kernel.h"
#include "host_stack.h"
#include "kernel_internal.h"

struct _KTHREAD {
  DISPATCHER_HEADER Header;
};

namespace {

struct HostThread {
  struct _KTHREAD kthread;  // first: the object pointer drivers see
  PKSTART_ROUTINE routine;
  PVOID context;
  NTSTATUS exitStatus;
  jmp_buf exit;
  // Set while the ending thread signals its object after dropping its own reference: a
  // holder of the last other reference that closes it meanwhile waits before the object goes.
  std::atomic<bool> signalling{false};
};

// One referenced object: a thread, or an object another host source inserted (a registry
// key). destroy runs when the last reference goes.
struct ObjectEntry {
  POBJECT_TYPE type;
  void *object;
  void (*destroy)(void *object);
  LONG references;
};

constexpr ULONG kKernelHandle = 0;  // the owner of a handle every context may use

struct HandleEntry {
  const void *object;
  ULONG owner;  // kKernelHandle, or the application process the handle belongs to
};

struct ObjectTable {
  std::mutex lock;
  std::condition_variable threadEnded;
  std::unordered_map<const void *, ObjectEntry> objects;  // by object pointer
  std::unordered_map<HANDLE, HandleEntry> handles;
  uintptr_t nextHandle = 0x1000;
  size_t running = 0;
  size_t applicationHandles = 0;  // handles ever created as an application's
  NTSTATUS createFailure = STATUS_SUCCESS;  // the next thread creation's fault
  NTSTATUS referenceFailure = STATUS_SUCCESS;  // the next ObReferenceObjectByHandle's fault
};

// Never destroyed: a system thread may still be leaving while the process exits.
ObjectTable &Table() {
  static ObjectTable *t = new ObjectTable;
  return *t;
}

thread_local HostThread *t_self = nullptr;

// Drops one reference; the object goes when the last one does.
void Release(const void *object) {
  ObjectTable &table = Table();
  ObjectEntry dead{};
  {
    std::lock_guard<std::mutex> guard(table.lock);
    auto it = table.objects.find(object);
    if (it != table.objects.end() && it->second.references > 0 && --it->second.references == 0) {
      dead = it->second;
      table.objects.erase(it);
    }
  }
  if (dead.destroy != nullptr) {
    dead.destroy(dead.object);
  }
}

void DestroyThread(void *object) {
  HostThread *thread = static_cast<HostThread *>(object);
  while (thread->signalling.load(std::memory_order_acquire)) {
    std::this_thread::yield();
  }
  delete thread;
}

// Enters a new handle to object with its owner. Called with the table's lock held.
HANDLE InsertHandleLocked(ObjectTable &table, const void *object, ULONG attributes) {
  ULONG process = HostProcess_Current();
  ULONG owner = (attributes & OBJ_KERNEL_HANDLE) != 0 || process == HOST_SYSTEM_PROCESS ? kKernelHandle : process;
  if (owner != kKernelHandle) {
    ++table.applicationHandles;
  }
  HANDLE handle = (HANDLE)table.nextHandle;
  table.nextHandle += 4;
  table.handles[handle] = HandleEntry{object, owner};
  return handle;
}

// The entry of a handle, or NULL for none. A handle of an application used in any other
// process context is a bug check: the kernel would look it up in the wrong handle table.
// Called with the table's lock held.
const HandleEntry *LookupLocked(ObjectTable &table, HANDLE handle, const char *routine) {
  auto h = table.handles.find(handle);
  if (h == table.handles.end()) {
    return nullptr;
  }
  ULONG process = HostProcess_Current();
  if (h->second.owner != kKernelHandle && h->second.owner != process) {
    HostBugCheck(HOST_BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION,
                 "%s(%p) in process %u: the handle belongs to application process %u (created there without "
                 "OBJ_KERNEL_HANDLE)",
                 routine, handle, process, h->second.owner);
  }
  return &h->second;
}

void ThreadMain(HostThread *self) {
  t_self = self;
  HostStackProbe stack = HostStack_Paint();
  if (setjmp(self->exit) == 0) {
    self->routine(self->context);
    self->exitStatus = STATUS_SUCCESS;
  }
  HostStack_End(HostStackEntry::Worker, stack);
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    HostBugCheck(HOST_BUGCHECK_IRQL_NOT_LESS_OR_EQUAL, "system thread ended at IRQL %u", KeGetCurrentIrql());
  }
  HostThread_CheckEnd();
  t_self = nullptr;
  // The start routine has been left: the thread no longer runs, and whoever waits on its object
  // may go on (and unload the code the routine belongs to). The running thread's own reference
  // goes first, so a waiter that drops the last other reference leaves no object behind; when
  // it was the last one, the object is destroyed only after the signal.
  ObjectTable &table = Table();
  bool last = false;
  {
    std::lock_guard<std::mutex> guard(table.lock);
    auto it = table.objects.find(&self->kthread);
    if (--it->second.references == 0) {
      table.objects.erase(it);
      last = true;
    } else {
      self->signalling.store(true, std::memory_order_relaxed);
    }
    --table.running;
    table.threadEnded.notify_all();
  }
  HostDispatcher_Signal(&self->kthread.Header);
  if (last) {
    DestroyThread(self);
  } else {
    // The last access to the object: whoever holds it now may destroy it.
    self->signalling.store(false, std::memory_order_release);
  }
}

POBJECT_TYPE ThreadTypeObject() {
  static struct _OBJECT_TYPE type = {"Thread"};
  return &type;
}

}  // namespace

// The kernel's variable holding the thread type; drivers reach it through PsThreadType.
POBJECT_TYPE HostKernel_ThreadType = ThreadTypeObject();
POBJECT_TYPE *PsThreadType = &HostKernel_ThreadType;

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                    HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext) {
  UNREFERENCED_PARAMETER(DesiredAccess);
  UNREFERENCED_PARAMETER(ProcessHandle);
  HostIrql_Require(PASSIVE_LEVEL, "PsCreateSystemThread");
  {
    ObjectTable &table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    if (!NT_SUCCESS(table.createFailure)) {
      NTSTATUS failure = table.createFailure;
      table.createFailure = STATUS_SUCCESS;
      return failure;
    }
  }
  HostThread *t = new HostThread{};
  t->kthread.Header.Type = HOST_DISPATCHER_THREAD;
  t->kthread.Header.Size = (UCHAR)(sizeof(DISPATCHER_HEADER) / sizeof(LONG));
  t->kthread.Header.SignalState = 0;
  t->routine = StartRoutine;
  t->context = StartContext;
  t->exitStatus = STATUS_PENDING;

  ObjectTable &table = Table();
  HANDLE handle;
  {
    std::lock_guard<std::mutex> guard(table.lock);
    // One reference for the handle, one for the running thread.
    table.objects[&t->kthread] = ObjectEntry{HostKernel_ThreadType, t, DestroyThread, 2};
    // The handle goes into the calling process's table unless it is asked to be a kernel handle.
    handle = InsertHandleLocked(table, &t->kthread, ObjectAttributes != NULL ? ObjectAttributes->Attributes : 0);
    ++table.running;
  }
  if (ClientId != NULL) {
    ClientId->UniqueProcess = (HANDLE)4;  // the system process
    ClientId->UniqueThread = handle;
  }
  *ThreadHandle = handle;
  std::thread(ThreadMain, t).detach();
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus) {
  HostIrql_Require(PASSIVE_LEVEL, "PsTerminateSystemThread");
  if (t_self == nullptr) {
    return STATUS_INVALID_PARAMETER;  // not a system thread
  }
  t_self->exitStatus = ExitStatus;
  longjmp(t_self->exit, 1);
}

namespace {

// Takes a reference for a handle the calling context may use. Called with the table's lock held.
NTSTATUS ReferenceLocked(ObjectTable &table, const HandleEntry *h, POBJECT_TYPE type, PVOID *object) {
  if (h == nullptr) {
    return STATUS_INVALID_HANDLE;
  }
  ObjectEntry &entry = table.objects.at(h->object);
  if (type != NULL && type != entry.type) {
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  ++entry.references;
  *object = const_cast<void *>(h->object);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS HostObjects_ReferenceByHandle(HANDLE handle, POBJECT_TYPE type, const char *routine, PVOID *object) {
  ObjectTable &table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  return ReferenceLocked(table, LookupLocked(table, handle, routine), type, object);
}

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                         KPROCESSOR_MODE AccessMode, PVOID *Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation) {
  HostIrql_Require(PASSIVE_LEVEL, "ObReferenceObjectByHandle");
  ObjectTable &table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  const HandleEntry *h = LookupLocked(table, Handle, "ObReferenceObjectByHandle");
  if (!NT_SUCCESS(table.referenceFailure)) {
    NTSTATUS failure = table.referenceFailure;
    table.referenceFailure = STATUS_SUCCESS;
    return failure;
  }
  // Kernel access skips the access check, so an application's handle (which the application
  // can close or replace at any moment) must not be taken that way.
  if (h != nullptr && h->owner != kKernelHandle && AccessMode == KernelMode) {
    HostBugCheck(HOST_BUGCHECK_DRIVER_VERIFIER_DETECTED_VIOLATION,
                 "ObReferenceObjectByHandle(%p) with KernelMode access on a handle of application process %u "
                 "(a user-mode handle referenced as kernel mode)",
                 Handle, h->owner);
  }
  NTSTATUS status = ReferenceLocked(table, h, ObjectType, Object);
  if (NT_SUCCESS(status) && HandleInformation != NULL) {
    HandleInformation->HandleAttributes = 0;
    HandleInformation->GrantedAccess = DesiredAccess;
  }
  return status;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
  HostIrql_Require(DISPATCH_LEVEL, "ObfDereferenceObject");
  ObjectTable &table = Table();
  LONG left;
  {
    std::lock_guard<std::mutex> guard(table.lock);
    auto it = table.objects.find(Object);
    if (it == table.objects.end()) {
      HostBugCheck(HOST_BUGCHECK_REFERENCE_BY_POINTER, "ObDereferenceObject(%p): no referenced object", Object);
    }
    left = it->second.references - 1;
  }
  Release(Object);
  return left;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  HostIrql_Require(PASSIVE_LEVEL, "ZwClose");
  ObjectTable &table = Table();
  const void *object;
  {
    std::lock_guard<std::mutex> guard(table.lock);
    const HandleEntry *h = LookupLocked(table, Handle, "ZwClose");
    if (h == nullptr) {
      return STATUS_INVALID_HANDLE;
    }
    object = h->object;
    table.handles.erase(Handle);
  }
  Release(object);
  return STATUS_SUCCESS;
}

size_t HostObjects_LiveCount() {
  ObjectTable &table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  return table.objects.size();
}

size_t HostObjects_OpenHandles() {
  ObjectTable &table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  return table.handles.size();
}

size_t HostThreads_Running() {
  ObjectTable &table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  return table.running;
}

bool HostThreads_WaitAllExited(unsigned timeoutMs) {
  ObjectTable &table = Table();
  std::unique_lock<std::mutex> guard(table.lock);
  return table.threadEnded.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return table.running == 0; });
}

HANDLE HostObjects_Insert(POBJECT_TYPE type, void *object, void (*destroy)(void *object), ULONG attributes) {
  ObjectTable &table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  table.objects[object] = ObjectEntry{type, object, destroy, 1};
  return InsertHandleLocked(table, object, attributes);
}

size_t HostObjects_ApplicationHandlesCreated() {
  ObjectTable &table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  return table.applicationHandles;
}

void HostObjects_FailNextReference(NTSTATUS status) {
  ObjectTable &table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  table.referenceFailure = status;
}

void HostThreads_FailNextCreate(NTSTATUS status) {
  ObjectTable &table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  table.createFailure = status;
}
