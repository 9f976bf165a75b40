// NT kernel subset for the host build: IRQL, pool, debug output, dispatcher objects and
// the device and driver objects. Declarations follow the public kernel interface; the
// implementations live in host/kernel/.
#pragma once

#include "nt_status.h"

// ---- IRQL -------------------------------------------------------------------------
#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 31

TORVANE_EXTERN_C KIRQL NTAPI KeGetCurrentIrql(VOID);
TORVANE_EXTERN_C KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql);
TORVANE_EXTERN_C VOID FASTCALL KfLowerIrql(KIRQL NewIrql);
#define KeRaiseIrql(a, b) (*(b) = KfRaiseIrql(a))
#define KeLowerIrql(a) KfLowerIrql(a)

// ---- Pool -------------------------------------------------------------------------
typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  NonPagedPoolExecute = NonPagedPool,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  DontUseThisType = 3,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
  NonPagedPoolCacheAlignedMustS = 6,
  MaxPoolType = 7,
  NonPagedPoolNx = 512,
} POOL_TYPE;

TORVANE_EXTERN_C PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
TORVANE_EXTERN_C PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
TORVANE_EXTERN_C VOID NTAPI ExFreePool(PVOID P);
TORVANE_EXTERN_C VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);

// ---- Debug output -----------------------------------------------------------------
TORVANE_EXTERN_C ULONG __cdecl DbgPrint(PCSTR Format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

#define KdPrint(x) DbgPrint x

// ---- Dispatcher objects -------------------------------------------------------------
typedef struct _DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Absolute;
  UCHAR Size;
  UCHAR Inserted;
  LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef enum _EVENT_TYPE {
  NotificationEvent,
  SynchronizationEvent
} EVENT_TYPE;

typedef enum _KWAIT_REASON {
  Executive = 0,
  UserRequest = 6,
} KWAIT_REASON;

typedef enum _MODE {
  KernelMode,
  UserMode,
  MaximumMode
} MODE;

typedef enum _WAIT_TYPE {
  WaitAll,
  WaitAny
} WAIT_TYPE;

typedef struct _KTHREAD *PKTHREAD, *PRKTHREAD;
typedef struct _ETHREAD *PETHREAD;

// ---- Device and driver objects -------------------------------------------------------
struct _DRIVER_OBJECT;
struct _IRP;

// Leading, documented part of the I/O manager's device object. Drivers of this kind only
// pass device objects around; the host class library creates them.
typedef struct _DEVICE_OBJECT {
  CSHORT Type;
  USHORT Size;
  LONG ReferenceCount;
  struct _DRIVER_OBJECT *DriverObject;
  struct _DEVICE_OBJECT *NextDevice;
  struct _DEVICE_OBJECT *AttachedDevice;
  struct _IRP *CurrentIrp;
  PVOID Timer;
  ULONG Flags;
  ULONG Characteristics;
  PVOID Vpb;
  PVOID DeviceExtension;
  DEVICE_TYPE DeviceType;
  CCHAR StackSize;
  // Queue, device queue, DPC, security, lock and extension fields of the real record,
  // which nothing here touches: kept as opaque space so the record has its full size.
  ULONG_PTR Opaque[(184 - 52) / 4];
} DEVICE_OBJECT, *PDEVICE_OBJECT;

typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;

// ---- Events, waits and delays -----------------------------------------------------------------
typedef LONG KPRIORITY;
#define IO_NO_INCREMENT 0
#define THREAD_WAIT_OBJECTS 3
#define MAXIMUM_WAIT_OBJECTS 64

// Dispatcher header types the host layer uses.
#define HOST_DISPATCHER_NOTIFICATION_EVENT 0
#define HOST_DISPATCHER_SYNCHRONIZATION_EVENT 1
#define HOST_DISPATCHER_THREAD 6

typedef struct _KWAIT_BLOCK {
  LIST_ENTRY WaitListEntry;
  struct _KTHREAD *Thread;
  PVOID Object;
  struct _KWAIT_BLOCK *NextWaitBlock;
  USHORT WaitKey;
  UCHAR WaitType;
  UCHAR SpareByte;
} KWAIT_BLOCK, *PKWAIT_BLOCK;

TORVANE_EXTERN_C VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
TORVANE_EXTERN_C LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
TORVANE_EXTERN_C VOID NTAPI KeClearEvent(PRKEVENT Event);
TORVANE_EXTERN_C LONG NTAPI KeResetEvent(PRKEVENT Event);
TORVANE_EXTERN_C LONG NTAPI KeReadStateEvent(PRKEVENT Event);
TORVANE_EXTERN_C NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                      KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                      PLARGE_INTEGER Timeout);
TORVANE_EXTERN_C NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                                         KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                                         BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                                         PKWAIT_BLOCK WaitBlockArray);
TORVANE_EXTERN_C NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                       PLARGE_INTEGER Interval);

// Critical regions: while the calling thread is inside one (they nest), normal kernel APCs are
// not delivered to it, so it cannot be suspended. IRQL <= APC_LEVEL.
TORVANE_EXTERN_C VOID NTAPI KeEnterCriticalRegion(VOID);
TORVANE_EXTERN_C VOID NTAPI KeLeaveCriticalRegion(VOID);

// ---- Objects, handles and system threads --------------------------------------------------------
typedef struct _OBJECT_TYPE *POBJECT_TYPE;
typedef struct _OBJECT_HANDLE_INFORMATION {
  ULONG HandleAttributes;
  ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

typedef struct _OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define OBJ_INHERIT 0x00000002L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_KERNEL_HANDLE 0x00000200L

#define InitializeObjectAttributes(p, n, a, r, s) \
  do {                                            \
    (p)->Length = sizeof(OBJECT_ATTRIBUTES);      \
    (p)->RootDirectory = (r);                     \
    (p)->Attributes = (a);                        \
    (p)->ObjectName = (n);                        \
    (p)->SecurityDescriptor = (s);                \
    (p)->SecurityQualityOfService = NULL;         \
  } while (0)

typedef struct _CLIENT_ID {
  HANDLE UniqueProcess;
  HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef VOID(NTAPI KSTART_ROUTINE)(PVOID StartContext);
typedef KSTART_ROUTINE *PKSTART_ROUTINE;

#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L

TORVANE_EXTERN_C POBJECT_TYPE *PsThreadType;

TORVANE_EXTERN_C NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                                     POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                                     PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                                     PVOID StartContext);
TORVANE_EXTERN_C NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus);
TORVANE_EXTERN_C NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                          POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                                          PVOID *Object,
                                                          POBJECT_HANDLE_INFORMATION HandleInformation);
TORVANE_EXTERN_C LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object);
#define ObDereferenceObject ObfDereferenceObject
TORVANE_EXTERN_C NTSTATUS NTAPI ZwClose(HANDLE Handle);

// ---- Floating-point and vector state ---------------------------------------------------------
// Kernel code that uses x87, MMX or SSE registers saves the interrupted thread's state first.
#if defined(__i386__)
typedef struct _KFLOATING_SAVE {
  ULONG ControlWord;
  ULONG StatusWord;
  ULONG ErrorOffset;
  ULONG ErrorSelector;
  ULONG DataOffset;
  ULONG DataSelector;
  ULONG Cr0NpxState;
  ULONG Spare1;
} KFLOATING_SAVE, *PKFLOATING_SAVE;
#else
typedef struct _KFLOATING_SAVE {
  ULONG Dummy;
} KFLOATING_SAVE, *PKFLOATING_SAVE;
#endif

TORVANE_EXTERN_C NTSTATUS NTAPI KeSaveFloatingPointState(PKFLOATING_SAVE FloatSave);
TORVANE_EXTERN_C NTSTATUS NTAPI KeRestoreFloatingPointState(PKFLOATING_SAVE FloatSave);

// ---- Interlocked operations -------------------------------------------------------------------
TORVANE_EXTERN_C LONG FASTCALL InterlockedExchange(LONG volatile *Target, LONG Value);
TORVANE_EXTERN_C LONG FASTCALL InterlockedCompareExchange(LONG volatile *Destination, LONG Exchange,
                                                           LONG Comparand);
// Both return the new value.
TORVANE_EXTERN_C LONG FASTCALL InterlockedIncrement(LONG volatile *Addend);
TORVANE_EXTERN_C LONG FASTCALL InterlockedDecrement(LONG volatile *Addend);

// Number of leading bytes in which the two blocks agree (Length when they are equal).
TORVANE_EXTERN_C SIZE_T NTAPI RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length);
