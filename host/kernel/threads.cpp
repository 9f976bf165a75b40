// Handles, referenced objects and system threads on the host.
//
// A system thread is a std::thread running the start routine at PASSIVE_LEVEL. Its thread
// object begins with a DISPATCHER_HEADER that is signalled when the thread ends, so it can be
// waited on. PsTerminateSystemThread leaves the start routine by jumping back to the thread's
// entry (driver code holds no destructors to run), as the kernel ends a thread without
// returning to its caller.
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
};

// One referenced object: a thread, or an object another host source inserted (a registry
// key). destroy runs when the last reference goes.
struct ObjectEntry {
  POBJECT_TYPE type;
  void *object;
  void (*destroy)(void *object);
  LONG references;
};

struct ObjectTable {
  std::mutex lock;
  std::condition_variable threadEnded;
  std::unordered_map<const void *, ObjectEntry> objects;  // by object pointer
  std::unordered_map<HANDLE, const void *> handles;
  uintptr_t nextHandle = 0x1000;
  size_t running = 0;
  NTSTATUS createFailure = STATUS_SUCCESS;  // the next thread creation's fault
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

void DestroyThread(void *object) { delete static_cast<HostThread *>(object); }

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
  t_self = nullptr;
  HostDispatcher_Signal(&self->kthread.Header);
  Release(self);  // the running thread's own reference; self may be gone after this
  ObjectTable &table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  --table.running;
  table.threadEnded.notify_all();
}

POBJECT_TYPE ThreadTypeObject() {
  static struct _OBJECT_TYPE type = {"Thread"};
  return &type;
}

POBJECT_TYPE g_threadType = ThreadTypeObject();

}  // namespace

POBJECT_TYPE *PsThreadType = &g_threadType;

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                    HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext) {
  UNREFERENCED_PARAMETER(DesiredAccess);
  UNREFERENCED_PARAMETER(ObjectAttributes);
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
    table.objects[&t->kthread] = ObjectEntry{g_threadType, t, DestroyThread, 2};
    handle = (HANDLE)table.nextHandle;
    table.nextHandle += 4;
    table.handles[handle] = &t->kthread;
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

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                         KPROCESSOR_MODE AccessMode, PVOID *Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation) {
  UNREFERENCED_PARAMETER(AccessMode);
  HostIrql_Require(PASSIVE_LEVEL, "ObReferenceObjectByHandle");
  ObjectTable &table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  auto h = table.handles.find(Handle);
  if (h == table.handles.end()) {
    return STATUS_INVALID_HANDLE;
  }
  ObjectEntry &entry = table.objects.at(h->second);
  if (ObjectType != NULL && ObjectType != entry.type) {
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  ++entry.references;
  *Object = const_cast<void *>(h->second);
  if (HandleInformation != NULL) {
    HandleInformation->HandleAttributes = 0;
    HandleInformation->GrantedAccess = DesiredAccess;
  }
  return STATUS_SUCCESS;
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
    auto h = table.handles.find(Handle);
    if (h == table.handles.end()) {
      return STATUS_INVALID_HANDLE;
    }
    object = h->second;
    table.handles.erase(h);
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

HANDLE HostObjects_Insert(POBJECT_TYPE type, void *object, void (*destroy)(void *object)) {
  ObjectTable &table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  table.objects[object] = ObjectEntry{type, object, destroy, 1};
  HANDLE handle = (HANDLE)table.nextHandle;
  table.nextHandle += 4;
  table.handles[handle] = object;
  return handle;
}

void HostThreads_FailNextCreate(NTSTATUS status) {
  ObjectTable &table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  table.createFailure = status;
}
