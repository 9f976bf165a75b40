// The stream class's minidriver interface for the host build: the stream request block (SRB)
// and the property descriptor it carries, in their public 32-bit layouts. Records that only
// pass through here by pointer are declared incomplete.
#pragma once

#include "nt_kernel.h"
#include "nt_ks.h"

typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

typedef enum _DEVICE_POWER_STATE {
  PowerDeviceUnspecified = 0,
  PowerDeviceD0,
  PowerDeviceD1,
  PowerDeviceD2,
  PowerDeviceD3,
  PowerDeviceMaximum
} DEVICE_POWER_STATE, *PDEVICE_POWER_STATE;

typedef enum _SRB_COMMAND {
  SRB_READ_DATA,
  SRB_WRITE_DATA,
  SRB_GET_STREAM_STATE,
  SRB_SET_STREAM_STATE,
  SRB_SET_STREAM_PROPERTY,
  SRB_GET_STREAM_PROPERTY,
  SRB_OPEN_MASTER_CLOCK,
  SRB_INDICATE_MASTER_CLOCK,
  SRB_UNKNOWN_STREAM_COMMAND,
  SRB_SET_STREAM_RATE,
  SRB_PROPOSE_DATA_FORMAT,
  SRB_CLOSE_MASTER_CLOCK,
  SRB_PROPOSE_STREAM_RATE,
  SRB_SET_DATA_FORMAT,
  SRB_GET_DATA_FORMAT,
  SRB_BEGIN_FLUSH,
  SRB_END_FLUSH,

  SRB_GET_STREAM_INFO = 0x100,
  SRB_OPEN_STREAM,
  SRB_CLOSE_STREAM,
  SRB_OPEN_DEVICE_INSTANCE,
  SRB_CLOSE_DEVICE_INSTANCE,
  SRB_GET_DEVICE_PROPERTY,
  SRB_SET_DEVICE_PROPERTY,
  SRB_INITIALIZE_DEVICE,
  SRB_CHANGE_POWER_STATE,
  SRB_UNINITIALIZE_DEVICE,
  SRB_UNKNOWN_DEVICE_COMMAND,
  SRB_PAGING_OUT_DRIVER,
  SRB_GET_DATA_INTERSECTION,
  SRB_INITIALIZATION_COMPLETE,
  SRB_SURPRISE_REMOVAL,
  SRB_DEVICE_METHOD,
  SRB_STREAM_METHOD,
  SRB_NOTIFY_IDLE_STATE
} SRB_COMMAND;

typedef struct {
  PHYSICAL_ADDRESS PhysicalAddress;
  ULONG Length;
} KSSCATTER_GATHER, *PKSSCATTER_GATHER;

// A property request: Property is the caller's input (the KSPROPERTY and what follows it),
// PropertyInfo the property's data buffer (the reply of a get, the value of a set).
typedef struct _STREAM_PROPERTY_DESCRIPTOR {
  PKSPROPERTY Property;
  ULONG PropertySetID;  // index of the set in the minidriver's property-set table
  PVOID PropertyInfo;
  ULONG PropertyInputSize;
  ULONG PropertyOutputSize;
} STREAM_PROPERTY_DESCRIPTOR, *PSTREAM_PROPERTY_DESCRIPTOR;

struct _HW_STREAM_OBJECT;
struct _HW_STREAM_DESCRIPTOR;
struct _KSSTREAM_HEADER;
struct _STREAM_TIME_REFERENCE;
struct _STREAM_DATA_INTERSECT_INFO;
struct _PORT_CONFIGURATION_INFORMATION;
union _KSDATAFORMAT;

typedef struct _HW_STREAM_REQUEST_BLOCK {
  ULONG SizeOfThisPacket;
  SRB_COMMAND Command;
  NTSTATUS Status;
  struct _HW_STREAM_OBJECT *StreamObject;
  PVOID HwDeviceExtension;
  PVOID SRBExtension;
  union _CommandData {
    struct _KSSTREAM_HEADER *DataBufferArray;
    struct _HW_STREAM_DESCRIPTOR *StreamBuffer;
    KSSTATE StreamState;
    struct _STREAM_TIME_REFERENCE *TimeReference;
    PSTREAM_PROPERTY_DESCRIPTOR PropertyInfo;
    union _KSDATAFORMAT *OpenFormat;
    struct _PORT_CONFIGURATION_INFORMATION *ConfigInfo;
    HANDLE MasterClockHandle;
    DEVICE_POWER_STATE DeviceState;
    struct _STREAM_DATA_INTERSECT_INFO *IntersectInfo;
    PVOID MethodInfo;
    LONG FilterTypeIndex;
    BOOLEAN Idle;
  } CommandData;
  ULONG NumberOfBuffers;
  ULONG TimeoutCounter;
  ULONG TimeoutOriginal;
  struct _HW_STREAM_REQUEST_BLOCK *NextSRB;
  struct _IRP *Irp;
  ULONG Flags;
  PVOID HwInstanceExtension;
  union {
    ULONG NumberOfBytesToTransfer;
    ULONG ActualBytesTransferred;
  };
  PKSSCATTER_GATHER ScatterGatherBuffer;
  ULONG NumberOfPhysicalPages;
  ULONG NumberOfScatterGatherElements;
  ULONG Reserved[1];
} HW_STREAM_REQUEST_BLOCK, *PHW_STREAM_REQUEST_BLOCK;
