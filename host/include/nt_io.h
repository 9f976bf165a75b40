// The I/O request packet for the host build: the IRP and its stack locations in their public
// 32-bit layouts (only the parameters of a PnP interface query are spelled out), and the
// synchronous-request routines a driver uses to send one IRP down its stack.
#pragma once

#include "nt_kernel.h"

#define IRP_MJ_PNP 0x1b
#define IRP_MN_QUERY_INTERFACE 0x08

typedef struct _IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

struct _INTERFACE;

typedef struct _IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;
  union {
    struct {
      const GUID *InterfaceType;
      USHORT Size;
      USHORT Version;
      struct _INTERFACE *Interface;
      PVOID InterfaceSpecificData;
    } QueryInterface;
    struct {
      PVOID Argument1;
      PVOID Argument2;
      PVOID Argument3;
      PVOID Argument4;
    } Others;
  } Parameters;
  PDEVICE_OBJECT DeviceObject;
  PVOID FileObject;
  PVOID CompletionRoutine;
  PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

typedef struct _IRP {
  CSHORT Type;
  USHORT Size;
  PVOID MdlAddress;
  ULONG Flags;
  PVOID AssociatedIrp;
  LIST_ENTRY ThreadListEntry;
  IO_STATUS_BLOCK IoStatus;
  KPROCESSOR_MODE RequestorMode;
  BOOLEAN PendingReturned;
  CHAR StackCount;
  CHAR CurrentLocation;
  BOOLEAN Cancel;
  KIRQL CancelIrql;
  CCHAR ApcEnvironment;
  UCHAR AllocationFlags;
  PIO_STATUS_BLOCK UserIosb;
  PKEVENT UserEvent;
  ULONG_PTR Overlay[2];
  PVOID CancelRoutine;
  PVOID UserBuffer;
  union {
    struct {
      PVOID DriverContext[4];
      PETHREAD Thread;
      PCHAR AuxiliaryBuffer;
      LIST_ENTRY ListEntry;
      struct _IO_STACK_LOCATION *CurrentStackLocation;
      PVOID OriginalFileObject;
    } Overlay;
    ULONG_PTR Opaque[12];
  } Tail;
} IRP, *PIRP;

// The stack location the next driver down will see.
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) { return Irp->Tail.Overlay.CurrentStackLocation - 1; }

TORVANE_EXTERN_C PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject,
                                                         PVOID Buffer, ULONG Length, PLARGE_INTEGER StartingOffset,
                                                         PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock);
TORVANE_EXTERN_C NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
#define IoCallDriver IofCallDriver
