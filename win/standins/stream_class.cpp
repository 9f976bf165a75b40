// stream.sys for Wine: the stream class as a minidriver's class library registers with it. It
// takes the registration (StreamClassRegisterAdapter), creates the device object for each device
// Plug and Play hands it, starts the device with the device requests the stream class sends
// (SRB_INITIALIZE_DEVICE, SRB_GET_STREAM_INFO, SRB_INITIALIZATION_COMPLETE), passes the PnP
// requests it does not handle itself to the minidriver as SRB_UNKNOWN_DEVICE_COMMAND (the class
// library answers the camera-interface query there), and serves a private control interface to
// the test program (torvane_ioctl.h) in place of the kernel-streaming IOCTLs.
//
// As the host's stream class does, every request it issues is its own SRB with its own copies of
// the blocks it points to; a completed request's results go back to the caller and the SRB and
// its copies are poisoned, as freed memory would be; device property requests are checked
// against the property-set table the minidriver reported before it sees them (the same code as
// the host's, host/shared).
#include "standin.h"
#include "torvane_ioctl.h"

namespace {

constexpr ULONG kTag = 0x6D727453;  // "Strm"
// A request the minidriver has not completed after this long counts as lost (a stuck driver);
// a read as long as the Wine stage's host run waits for a frame (a loaded machine running the
// tests in parallel can be slow, never this slow).
constexpr LONGLONG kRequestTimeout = -60LL * 10000000;
constexpr LONGLONG kReadTimeout = -30LL * 10000000;

HW_INITIALIZATION_DATA g_hw;  // the registration
LONG g_floatSaves = 0;        // floating-point saves not yet restored (all threads)

// The stream class's part of the device extension; the minidriver's (HwDeviceExtension) follows.
struct StreamDevice {
  PDEVICE_OBJECT self;
  PDEVICE_OBJECT lower;   // what the device object is attached to
  PDEVICE_OBJECT pdo;
  PVOID hwExtension;
  PORT_CONFIGURATION_INFORMATION config;
  const KSPROPERTY_SET *propertySets;
  ULONG propertySetCount;
  ULONG numberOfStreams;
  NTSTATUS arrivalStatus;
  BOOLEAN started;
  BOOLEAN symbolicLink;
  LONG requestsIssued;
  PHW_STREAM_OBJECT streams[2];  // the open streams
  KEVENT requestLock;  // one device request at a time, as the stream class serialises them (signalled: free)
};

// A block the stream class allocated for a request, with its size (poisoned at completion).
struct Copy {
  PVOID block;
  ULONG size;
};

// A request the stream class issued: its SRB, its copies, and where the results go.
struct Issued {
  HW_STREAM_REQUEST_BLOCK srb;
  KEVENT done;
  NTSTATUS status;
  ULONG bytes;
  Copy copies[5];
  ULONG copyCount;
  // A property get copies the reported bytes of its data copy back to the caller's buffer.
  PVOID callerData;
  PVOID ownData;
  ULONG dataSize;
  // Stream information: the descriptor copy goes back to the caller's.
  PVOID callerDescriptor;
  PVOID ownDescriptor;
  ULONG descriptorSize;
  // A read: the header and buffer go back into the caller's record and buffer.
  TORVANE_READ_OUT *readOut;
  PVOID callerBuffer;
  PVOID ownBuffer;
  ULONG bufferSize;
  PKSSTREAM_HEADER ownHeader;
  LONG abandoned;  // the issuer stopped waiting: the late completion frees nothing it still uses
};

StreamDevice *DeviceOf(PDEVICE_OBJECT object) { return static_cast<StreamDevice *>(object->DeviceExtension); }

PVOID Allocate(ULONG size) {
  PVOID block = ExAllocatePoolWithTag(NonPagedPool, size, kTag);
  if (block != nullptr) memset(block, 0, size);
  return block;
}

// A copy of `size` bytes at `from`, recorded in the request (nullptr when out of memory).
PVOID CopyInto(Issued *r, const void *from, ULONG size) {
  PVOID block = Allocate(size);
  if (block == nullptr) return nullptr;
  if (from != nullptr) memcpy(block, from, size);
  r->copies[r->copyCount++] = Copy{block, size};
  return block;
}

void FreeIssued(Issued *r) {
  for (ULONG i = 0; i < r->copyCount; ++i) ExFreePool(r->copies[i].block);
  ExFreePool(r);
}

// The completion: results back to the caller, then the SRB and every copy poisoned.
void Retire(Issued *r) {
  PHW_STREAM_REQUEST_BLOCK srb = &r->srb;
  r->status = srb->Status;
  r->bytes = srb->ActualBytesTransferred;
  // Nothing goes back to an issuer that stopped waiting.
  const bool copyBack = InterlockedCompareExchange(&r->abandoned, 0, 0) == 0;
  if (copyBack && srb->Command == SRB_GET_DEVICE_PROPERTY && r->callerData != nullptr && NT_SUCCESS(r->status)) {
    memcpy(r->callerData, r->ownData, r->bytes < r->dataSize ? r->bytes : r->dataSize);
  }
  if (copyBack && srb->Command == SRB_GET_STREAM_INFO && r->callerDescriptor != nullptr) {
    memcpy(r->callerDescriptor, r->ownDescriptor, r->descriptorSize);
  }
  if (copyBack && srb->Command == SRB_READ_DATA && r->readOut != nullptr) {
    r->readOut->status = r->status;
    r->readOut->actualBytes = r->bytes;
    r->readOut->dataUsed = r->ownHeader->DataUsed;
    r->readOut->optionsFlags = r->ownHeader->OptionsFlags;
    r->readOut->presentationTime = r->ownHeader->PresentationTime.Time;
    r->readOut->duration = r->ownHeader->Duration;
    memcpy(r->callerBuffer, r->ownBuffer, r->bufferSize);
  }
  for (ULONG i = 0; i < r->copyCount; ++i) TorvaneShared_Poison(r->copies[i].block, r->copies[i].size);
  TorvaneShared_Poison(srb, sizeof(*srb));
}

Issued *NewRequest(StreamDevice *d, SRB_COMMAND command) {
  Issued *r = static_cast<Issued *>(Allocate(sizeof(Issued)));
  if (r == nullptr) return nullptr;
  r->srb.SizeOfThisPacket = sizeof(HW_STREAM_REQUEST_BLOCK);
  r->srb.Command = command;
  r->srb.HwDeviceExtension = d->hwExtension;
  r->srb.Status = STATUS_PENDING;
  KeInitializeEvent(&r->done, NotificationEvent, FALSE);
  return r;
}

// Sends the request to the minidriver's receive routine (a device request) or to the stream
// object's (a stream request) and waits for its completion. The request is freed here, unless
// the minidriver never completes it (STATUS_IO_TIMEOUT).
NTSTATUS Issue(StreamDevice *d, Issued *r, ULONG *bytes = nullptr, PHW_RECEIVE_DEVICE_SRB deliver = nullptr) {
  InterlockedIncrement(&d->requestsIssued);
  (deliver != nullptr ? deliver : g_hw.HwReceivePacket)(&r->srb);
  LARGE_INTEGER timeout;
  timeout.QuadPart = r->srb.Command == SRB_READ_DATA ? kReadTimeout : kRequestTimeout;
  if (KeWaitForSingleObject(&r->done, Executive, KernelMode, FALSE, &timeout) != STATUS_SUCCESS) {
    DbgPrint("stream.sys: request 0x%x not completed in time\n", (unsigned)r->srb.Command);
    InterlockedExchange(&r->abandoned, 1);
    return STATUS_IO_TIMEOUT;
  }
  NTSTATUS status = r->status;
  if (bytes != nullptr) *bytes = r->bytes;
  FreeIssued(r);
  return status;
}

NTSTATUS SimpleRequest(StreamDevice *d, SRB_COMMAND command) {
  Issued *r = NewRequest(d, command);
  if (r == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  return Issue(d, r);
}

// ---- Device start and removal ----------------------------------------------------------------

NTSTATUS StartDevice(StreamDevice *d) {
  PORT_CONFIGURATION_INFORMATION &c = d->config;
  memset(&c, 0, sizeof(c));
  c.SizeOfThisPacket = sizeof(c);
  c.HwDeviceExtension = d->hwExtension;
  c.ClassDeviceObject = d->self;
  c.PhysicalDeviceObject = d->lower;
  c.RealPhysicalDeviceObject = d->pdo;
  Issued *r = NewRequest(d, SRB_INITIALIZE_DEVICE);
  if (r == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  r->srb.CommandData.ConfigInfo = &c;
  NTSTATUS status = Issue(d, r);
  DbgPrint("stream.sys: SRB_INITIALIZE_DEVICE 0x%08x\n", (unsigned)status);
  if (!NT_SUCCESS(status)) return status;

  // The streams and the device property sets; the table is kept for property requests.
  ULONG size = c.StreamDescriptorSize;
  if (size < sizeof(HW_STREAM_HEADER)) size = sizeof(HW_STREAM_HEADER);
  PVOID descriptor = Allocate(size);
  r = NewRequest(d, SRB_GET_STREAM_INFO);
  if (descriptor == nullptr || r == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  r->callerDescriptor = descriptor;
  r->descriptorSize = size;
  r->ownDescriptor = CopyInto(r, descriptor, size);
  if (r->ownDescriptor == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  r->srb.CommandData.StreamBuffer = static_cast<PHW_STREAM_DESCRIPTOR>(r->ownDescriptor);
  status = Issue(d, r);
  if (NT_SUCCESS(status)) {
    const HW_STREAM_HEADER *header = static_cast<HW_STREAM_HEADER *>(descriptor);
    d->propertySets = header->DevicePropertiesArray;
    d->propertySetCount = header->NumDevPropArrayEntries;
    d->numberOfStreams = header->NumberOfStreams;
  }
  DbgPrint("stream.sys: SRB_GET_STREAM_INFO 0x%08x: %u stream(s), %u device property set(s)\n", (unsigned)status,
           (unsigned)d->numberOfStreams, (unsigned)d->propertySetCount);
  ExFreePool(descriptor);

  status = SimpleRequest(d, SRB_INITIALIZATION_COMPLETE);
  DbgPrint("stream.sys: SRB_INITIALIZATION_COMPLETE 0x%08x\n", (unsigned)status);
  return status;
}

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI SignalLower(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the IRP down the stack and waits for the lower driver to finish with it.
NTSTATUS CallLowerAndWait(StreamDevice *d, PIRP irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalLower, &event, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(d->lower, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
  }
  return status;
}

NTSTATUS PassDown(StreamDevice *d, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(d->lower, irp);
}

void RemoveDevice(StreamDevice *d) {
  if (d->started) {
    d->started = FALSE;
    NTSTATUS status = SimpleRequest(d, SRB_UNINITIALIZE_DEVICE);
    DbgPrint("stream.sys: SRB_UNINITIALIZE_DEVICE 0x%08x\n", (unsigned)status);
  }
  if (d->symbolicLink) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, TORVANE_DOS_NAME);
    IoDeleteSymbolicLink(&link);
    d->symbolicLink = FALSE;
  }
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT object, PIRP irp) {
  StreamDevice *d = DeviceOf(object);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = CallLowerAndWait(d, irp);
      if (NT_SUCCESS(status)) {
        KeWaitForSingleObject(&d->requestLock, Executive, KernelMode, FALSE, nullptr);
        status = StartDevice(d);
        KeSetEvent(&d->requestLock, IO_NO_INCREMENT, FALSE);
        d->arrivalStatus = status;
        d->started = NT_SUCCESS(status);
      }
      DbgPrint("stream.sys: IRP_MN_START_DEVICE 0x%08x\n", (unsigned)status);
      return CompleteIrp(irp, status, 0);
    }
    case IRP_MN_SURPRISE_REMOVAL: {
      KeWaitForSingleObject(&d->requestLock, Executive, KernelMode, FALSE, nullptr);
      NTSTATUS status = SimpleRequest(d, SRB_SURPRISE_REMOVAL);
      KeSetEvent(&d->requestLock, IO_NO_INCREMENT, FALSE);
      DbgPrint("stream.sys: SRB_SURPRISE_REMOVAL 0x%08x\n", (unsigned)status);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(d, irp);
    }
    case IRP_MN_REMOVE_DEVICE: {
      KeWaitForSingleObject(&d->requestLock, Executive, KernelMode, FALSE, nullptr);
      RemoveDevice(d);
      KeSetEvent(&d->requestLock, IO_NO_INCREMENT, FALSE);
      irp->IoStatus.Status = STATUS_SUCCESS;
      NTSTATUS status = PassDown(d, irp);
      IoDetachDevice(d->lower);
      IoDeleteDevice(d->self);
      DbgPrint("stream.sys: device removed\n");
      return status;
    }
    case IRP_MN_QUERY_INTERFACE: {
      // The minidriver (and the class library behind it) answers what it knows; the rest goes
      // down the stack.
      Issued *r = NewRequest(d, SRB_UNKNOWN_DEVICE_COMMAND);
      if (r == nullptr) return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
      r->srb.Irp = irp;
      NTSTATUS status = Issue(d, r);
      if (status == STATUS_NOT_SUPPORTED || status == STATUS_NOT_IMPLEMENTED) return PassDown(d, irp);
      return CompleteIrp(irp, status, irp->IoStatus.Information);
    }
    default:
      return PassDown(d, irp);
  }
}

// ---- The private control interface ---------------------------------------------------------

NTSTATUS PropertyRequest(StreamDevice *d, PIRP irp, ULONG inSize, ULONG outSize) {
  PUCHAR buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  if (inSize < sizeof(TORVANE_PROPERTY_IN) || outSize < sizeof(TORVANE_PROPERTY_OUT)) {
    return CompleteIrp(irp, STATUS_BUFFER_TOO_SMALL, 0);
  }
  TORVANE_PROPERTY_IN in;
  memcpy(&in, buffer, sizeof(in));
  const ULONG at = sizeof(in);
  if (in.propertySize < sizeof(KSPROPERTY) || in.propertySize > inSize - at || in.dataSize > 0x10000) {
    return CompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
  }
  KSPROPERTY property;
  memcpy(&property, buffer + at, sizeof(property));
  const bool set = (property.Flags & KSPROPERTY_TYPE_SET) != 0;
  if ((set && inSize - at - in.propertySize < in.dataSize) ||
      (!set && outSize - sizeof(TORVANE_PROPERTY_OUT) < in.dataSize)) {
    return CompleteIrp(irp, STATUS_BUFFER_TOO_SMALL, 0);
  }
  // The caller's request, as an application's IOCTL reaches the stream class.
  PVOID callerProperty = Allocate(in.propertySize);
  PVOID callerData = in.dataSize != 0 ? Allocate(in.dataSize) : nullptr;
  Issued *r = NewRequest(d, set ? SRB_SET_DEVICE_PROPERTY : SRB_GET_DEVICE_PROPERTY);
  if (callerProperty == nullptr || (in.dataSize != 0 && callerData == nullptr) || r == nullptr) {
    return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  }
  memcpy(callerProperty, buffer + at, in.propertySize);
  if (set && in.dataSize != 0) memcpy(callerData, buffer + at + in.propertySize, in.dataSize);

  PSTREAM_PROPERTY_DESCRIPTOR descriptor =
      static_cast<PSTREAM_PROPERTY_DESCRIPTOR>(CopyInto(r, nullptr, sizeof(STREAM_PROPERTY_DESCRIPTOR)));
  PVOID ownProperty = CopyInto(r, callerProperty, in.propertySize);
  PVOID ownData = in.dataSize != 0 ? CopyInto(r, callerData, in.dataSize) : nullptr;
  TORVANE_PROPERTY_OUT out = {STATUS_INSUFFICIENT_RESOURCES, 0, 0};
  if (descriptor != nullptr && ownProperty != nullptr && (in.dataSize == 0 || ownData != nullptr)) {
    descriptor->Property = static_cast<PKSPROPERTY>(ownProperty);
    descriptor->PropertySetID = 0;
    descriptor->PropertyInputSize = in.propertySize;
    descriptor->PropertyOutputSize = in.dataSize;
    descriptor->PropertyInfo = ownData;
    r->srb.CommandData.PropertyInfo = descriptor;
    r->callerData = set ? nullptr : callerData;
    r->ownData = ownData;
    r->dataSize = in.dataSize;
    KeWaitForSingleObject(&d->requestLock, Executive, KernelMode, FALSE, nullptr);
    if (!d->started) {
      out.status = STATUS_DEVICE_NOT_READY;
      FreeIssued(r);
    } else if (TorvaneShared_FilterProperty(d->propertySets, d->propertySetCount, &r->srb)) {
      // Answered by the stream class: a get's reply is in its data copy.
      out.status = r->srb.Status;
      out.bytes = r->srb.ActualBytesTransferred;
      out.filtered = 1;
      if (!set && callerData != nullptr && NT_SUCCESS(out.status)) {
        memcpy(callerData, ownData, out.bytes < in.dataSize ? out.bytes : in.dataSize);
      }
      FreeIssued(r);
    } else {
      out.status = Issue(d, r, &out.bytes);
    }
    KeSetEvent(&d->requestLock, IO_NO_INCREMENT, FALSE);
  } else {
    FreeIssued(r);
  }
  ULONG reply = 0;
  if (!set && callerData != nullptr) {
    reply = out.bytes < in.dataSize ? out.bytes : in.dataSize;
    if (!NT_SUCCESS(out.status)) reply = 0;
    memcpy(buffer + sizeof(out), callerData, reply);
  }
  memcpy(buffer, &out, sizeof(out));
  ExFreePool(callerProperty);
  if (callerData != nullptr) ExFreePool(callerData);
  return CompleteIrp(irp, STATUS_SUCCESS, sizeof(out) + reply);
}

NTSTATUS CompleteWithStatus(PIRP irp, ULONG outSize, NTSTATUS status) {
  if (outSize < sizeof(LONG)) return CompleteIrp(irp, STATUS_BUFFER_TOO_SMALL, 0);
  LONG value = status;
  memcpy(irp->AssociatedIrp.SystemBuffer, &value, sizeof(value));
  return CompleteIrp(irp, STATUS_SUCCESS, sizeof(value));
}

// The camera input, the allocation format and the frame log go to the class library through the
// minidriver, as requests the stream class does not know; the frame log's reply follows the status.
NTSTATUS ToClassLibrary(StreamDevice *d, PIRP irp, ULONG outSize) {
  Issued *r = NewRequest(d, SRB_UNKNOWN_DEVICE_COMMAND);
  if (r == nullptr) return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  r->srb.Irp = irp;
  KeWaitForSingleObject(&d->requestLock, Executive, KernelMode, FALSE, nullptr);
  ULONG reply = 0;  // what the class library wrote after the status (the frame log)
  NTSTATUS status = Issue(d, r, &reply);
  KeSetEvent(&d->requestLock, IO_NO_INCREMENT, FALSE);
  if (outSize < sizeof(LONG) || reply > outSize - sizeof(LONG) || status == STATUS_IO_TIMEOUT) reply = 0;
  LONG value = status;
  if (outSize < sizeof(LONG)) return CompleteIrp(irp, STATUS_BUFFER_TOO_SMALL, 0);
  memcpy(irp->AssociatedIrp.SystemBuffer, &value, sizeof(value));
  return CompleteIrp(irp, STATUS_SUCCESS, sizeof(value) + reply);
}

NTSTATUS OpenStream(StreamDevice *d, PIRP irp, ULONG inSize, ULONG outSize) {
  PUCHAR buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  TORVANE_STREAM_IN in;
  KSDATAFORMAT format;
  if (inSize < sizeof(in) + sizeof(format)) return CompleteIrp(irp, STATUS_BUFFER_TOO_SMALL, 0);
  memcpy(&in, buffer, sizeof(in));
  memcpy(&format, buffer + sizeof(in), sizeof(format));
  if (in.stream > 1 || format.FormatSize < sizeof(format) || format.FormatSize > inSize - sizeof(in)) {
    return CompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
  }
  if (!d->started || d->streams[in.stream] != nullptr) return CompleteWithStatus(irp, outSize, STATUS_DEVICE_BUSY);
  ULONG objectSize = sizeof(HW_STREAM_OBJECT) + g_hw.PerStreamExtensionSize;
  PHW_STREAM_OBJECT object = static_cast<PHW_STREAM_OBJECT>(Allocate(objectSize));
  Issued *r = NewRequest(d, SRB_OPEN_STREAM);
  PVOID ownFormat = r != nullptr ? CopyInto(r, buffer + sizeof(in), format.FormatSize) : nullptr;
  if (object == nullptr || ownFormat == nullptr) {
    if (object != nullptr) ExFreePool(object);
    if (r != nullptr) FreeIssued(r);
    return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  }
  object->SizeOfThisPacket = sizeof(HW_STREAM_OBJECT);
  object->StreamNumber = in.stream;
  object->HwDeviceExtension = d->hwExtension;
  object->HwStreamExtension = g_hw.PerStreamExtensionSize != 0 ? object + 1 : nullptr;
  r->srb.StreamObject = object;
  r->srb.CommandData.OpenFormat = static_cast<PKSDATAFORMAT>(ownFormat);
  KeWaitForSingleObject(&d->requestLock, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = Issue(d, r);
  if (NT_SUCCESS(status)) {
    d->streams[in.stream] = object;
  } else if (status != STATUS_IO_TIMEOUT) {
    // A stream object whose open failed is freed.
    TorvaneShared_Poison(object, objectSize);
    ExFreePool(object);
  }
  KeSetEvent(&d->requestLock, IO_NO_INCREMENT, FALSE);
  return CompleteWithStatus(irp, outSize, status);
}

NTSTATUS CloseStream(StreamDevice *d, PIRP irp, ULONG inSize, ULONG outSize) {
  TORVANE_STREAM_IN in;
  if (inSize < sizeof(in)) return CompleteIrp(irp, STATUS_BUFFER_TOO_SMALL, 0);
  memcpy(&in, irp->AssociatedIrp.SystemBuffer, sizeof(in));
  if (in.stream > 1 || d->streams[in.stream] == nullptr) return CompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
  PHW_STREAM_OBJECT object = d->streams[in.stream];
  Issued *r = NewRequest(d, SRB_CLOSE_STREAM);
  if (r == nullptr) return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  r->srb.StreamObject = object;
  KeWaitForSingleObject(&d->requestLock, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = Issue(d, r);
  if (status != STATUS_IO_TIMEOUT) {
    d->streams[in.stream] = nullptr;
    TorvaneShared_Poison(object, sizeof(HW_STREAM_OBJECT) + g_hw.PerStreamExtensionSize);
    ExFreePool(object);
  }
  KeSetEvent(&d->requestLock, IO_NO_INCREMENT, FALSE);
  return CompleteWithStatus(irp, outSize, status);
}

NTSTATUS StreamState(StreamDevice *d, PIRP irp, ULONG inSize, ULONG outSize) {
  TORVANE_STREAM_IN in;
  if (inSize < sizeof(in)) return CompleteIrp(irp, STATUS_BUFFER_TOO_SMALL, 0);
  memcpy(&in, irp->AssociatedIrp.SystemBuffer, sizeof(in));
  if (in.stream > 1 || d->streams[in.stream] == nullptr) return CompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
  PHW_STREAM_OBJECT object = d->streams[in.stream];
  Issued *r = NewRequest(d, SRB_SET_STREAM_STATE);
  if (r == nullptr) return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  r->srb.StreamObject = object;
  r->srb.CommandData.StreamState = (KSSTATE)in.value;
  KeWaitForSingleObject(&d->requestLock, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = Issue(d, r, nullptr, object->ReceiveControlPacket);
  KeSetEvent(&d->requestLock, IO_NO_INCREMENT, FALSE);
  return CompleteWithStatus(irp, outSize, status);
}

NTSTATUS ReadFrame(StreamDevice *d, PIRP irp, ULONG inSize, ULONG outSize) {
  PUCHAR buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  TORVANE_STREAM_IN in;
  if (inSize < sizeof(in)) return CompleteIrp(irp, STATUS_BUFFER_TOO_SMALL, 0);
  memcpy(&in, buffer, sizeof(in));
  if (in.stream > 1 || d->streams[in.stream] == nullptr || in.value == 0) {
    return CompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
  }
  if (outSize < sizeof(TORVANE_READ_OUT) + in.value) return CompleteIrp(irp, STATUS_BUFFER_TOO_SMALL, 0);
  PHW_STREAM_OBJECT object = d->streams[in.stream];
  TORVANE_READ_OUT out;
  memset(&out, 0, sizeof(out));
  Issued *r = NewRequest(d, SRB_READ_DATA);
  PVOID callerBuffer = Allocate(in.value);
  PKSSTREAM_HEADER header = r != nullptr ? static_cast<PKSSTREAM_HEADER>(CopyInto(r, nullptr, sizeof(KSSTREAM_HEADER))) : nullptr;
  PVOID ownBuffer = header != nullptr ? CopyInto(r, nullptr, in.value) : nullptr;
  if (callerBuffer == nullptr || ownBuffer == nullptr) {
    if (callerBuffer != nullptr) ExFreePool(callerBuffer);
    if (r != nullptr) FreeIssued(r);
    return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  }
  // The application's buffer, unwritten.
  memset(ownBuffer, TORVANE_UNWRITTEN_BYTE, in.value);
  header->Size = sizeof(KSSTREAM_HEADER);
  header->FrameExtent = in.value;
  header->Data = ownBuffer;
  r->srb.StreamObject = object;
  r->srb.NumberOfBuffers = 1;
  r->srb.CommandData.DataBufferArray = header;
  r->readOut = &out;
  r->callerBuffer = callerBuffer;
  r->ownBuffer = ownBuffer;
  r->bufferSize = in.value;
  r->ownHeader = header;
  NTSTATUS status = Issue(d, r, nullptr, object->ReceiveDataPacket);
  if (status == STATUS_IO_TIMEOUT) {
    // Never completed: the request keeps its blocks; the caller learns nothing more.
    out.status = status;
    memset(callerBuffer, TORVANE_UNWRITTEN_BYTE, in.value);
  }
  memcpy(buffer, &out, sizeof(out));
  memcpy(buffer + sizeof(out), callerBuffer, in.value);
  ExFreePool(callerBuffer);
  return CompleteIrp(irp, STATUS_SUCCESS, sizeof(out) + in.value);
}

NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT object, PIRP irp) {
  StreamDevice *d = DeviceOf(object);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG inSize = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG outSize = stack->Parameters.DeviceIoControl.OutputBufferLength;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_TORVANE_DEVICE_INFO: {
      if (outSize < sizeof(TORVANE_DEVICE_INFO)) return CompleteIrp(irp, STATUS_BUFFER_TOO_SMALL, 0);
      TORVANE_DEVICE_INFO info = {d->arrivalStatus, d->started, d->numberOfStreams, d->propertySetCount,
                                  (ULONG)d->requestsIssued};
      memcpy(irp->AssociatedIrp.SystemBuffer, &info, sizeof(info));
      return CompleteIrp(irp, STATUS_SUCCESS, sizeof(info));
    }
    case IOCTL_TORVANE_PROPERTY:
      return PropertyRequest(d, irp, inSize, outSize);
    case IOCTL_TORVANE_CAMERA_INPUT:
    case IOCTL_TORVANE_ALLOCATION_FORMAT:
    case IOCTL_TORVANE_FRAME_LOG:
    case IOCTL_TORVANE_PRESS_BUTTON:
      return ToClassLibrary(d, irp, outSize);
    case IOCTL_TORVANE_OPEN_STREAM:
      return OpenStream(d, irp, inSize, outSize);
    case IOCTL_TORVANE_STREAM_STATE:
      return StreamState(d, irp, inSize, outSize);
    case IOCTL_TORVANE_READ:
      return ReadFrame(d, irp, inSize, outSize);
    case IOCTL_TORVANE_CLOSE_STREAM:
      return CloseStream(d, irp, inSize, outSize);
    default:
      return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS, 0); }

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, TORVANE_DEVICE_NAME);
  ULONG hwOffset = (sizeof(StreamDevice) + 15) & ~15u;
  PDEVICE_OBJECT object = nullptr;
  NTSTATUS status = IoCreateDevice(driver, hwOffset + g_hw.DeviceExtensionSize, &name, FILE_DEVICE_KS, 0, FALSE,
                                   &object);
  DbgPrint("stream.sys: AddDevice for PDO %p: IoCreateDevice 0x%08x\n", pdo, (unsigned)status);
  if (!NT_SUCCESS(status)) return status;
  StreamDevice *d = DeviceOf(object);
  memset(d, 0, hwOffset + g_hw.DeviceExtensionSize);  // the minidriver's extension starts zeroed
  d->self = object;
  d->pdo = pdo;
  d->hwExtension = reinterpret_cast<PUCHAR>(d) + hwOffset;
  KeInitializeEvent(&d->requestLock, SynchronizationEvent, TRUE);
  d->lower = IoAttachDeviceToDeviceStack(object, pdo);
  if (d->lower == nullptr) {
    IoDeleteDevice(object);
    return STATUS_NO_SUCH_DEVICE;
  }
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, TORVANE_DOS_NAME);
  d->symbolicLink = NT_SUCCESS(IoCreateSymbolicLink(&link, &name));
  object->Flags |= DO_BUFFERED_IO;
  object->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT) { DbgPrint("stream.sys: driver unloaded\n"); }

// ---- Floating-point state -------------------------------------------------------------------
// Wine's ntoskrnl exports KeSaveFloatingPointState and KeRestoreFloatingPointState as stubs that
// end the driver host process when called. A user-mode thread's floating-point registers are the
// operating system's to keep (Wine runs drivers in user threads), so these two only check the
// pairing, as the host's do; their entries in ntoskrnl.exe are made to jump here.

NTSTATUS NTAPI SaveFloatingPointState(PKFLOATING_SAVE save) {
  memset(save, 0, sizeof(*save));
  InterlockedIncrement(&g_floatSaves);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RestoreFloatingPointState(PKFLOATING_SAVE) {
  if (InterlockedDecrement(&g_floatSaves) < 0) {
    // INVALID_FLOATING_POINT_STATE: a restore without a save.
    KeBugCheckEx(0xE7, 0, 0, 0, 0);
  }
  return STATUS_SUCCESS;
}

typedef NTSTATUS(NTAPI *ProtectRoutine)(HANDLE, PVOID *, PSIZE_T, ULONG, PULONG);

PVOID KernelRoutine(PCWSTR name) {
  UNICODE_STRING n;
  RtlInitUnicodeString(&n, name);
  return MmGetSystemRoutineAddress(&n);
}

// Writes a jump to `to` over the first five bytes of the kernel routine `name`.
bool Redirect(PCWSTR name, PVOID to, ProtectRoutine protect) {
  PUCHAR from = static_cast<PUCHAR>(KernelRoutine(name));
  if (from == nullptr) return false;
  PVOID base = from;
  SIZE_T size = 5;
  ULONG old = 0;
  if (!NT_SUCCESS(protect(NtCurrentProcess(), &base, &size, PAGE_EXECUTE_READWRITE, &old))) return false;
  from[0] = 0xE9;  // jmp rel32
  LONG distance = (LONG)(reinterpret_cast<PUCHAR>(to) - (from + 5));
  memcpy(from + 1, &distance, sizeof(distance));
  base = from;
  size = 5;
  protect(NtCurrentProcess(), &base, &size, old, &old);
  DbgPrint("stream.sys: %ls of ntoskrnl.exe at %p now jumps to %p\n", name, from, to);
  return true;
}

void ReplaceFloatingPointStubs() {
  static bool done = false;
  if (done) return;
  done = true;
  ProtectRoutine protect = reinterpret_cast<ProtectRoutine>(KernelRoutine(L"ZwProtectVirtualMemory"));
  if (protect == nullptr || !Redirect(L"KeSaveFloatingPointState", reinterpret_cast<PVOID>(SaveFloatingPointState), protect) ||
      !Redirect(L"KeRestoreFloatingPointState", reinterpret_cast<PVOID>(RestoreFloatingPointState), protect)) {
    DbgPrint("stream.sys: <ERROR> the floating-point state routines could not be replaced\n");
  }
}

// A request the minidriver completed: every request is one this stream class issued.
void Completed(PHW_STREAM_REQUEST_BLOCK srb) {
  Issued *r = CONTAINING_RECORD(srb, Issued, srb);
  Retire(r);
  if (InterlockedCompareExchange(&r->abandoned, 0, 0) != 0) {
    FreeIssued(r);
    return;
  }
  KeSetEvent(&r->done, IO_NO_INCREMENT, FALSE);
}

}  // namespace

extern "C" {

NTSTATUS STREAMAPI StreamClassRegisterAdapter(PVOID Argument1, PVOID Argument2, PHW_INITIALIZATION_DATA data) {
  PDRIVER_OBJECT driver = static_cast<PDRIVER_OBJECT>(Argument1);
  UNREFERENCED_PARAMETER(Argument2);
  if (data == nullptr || data->HwInitializationDataSize < FIELD_OFFSET(HW_INITIALIZATION_DATA, NumNameExtensions) ||
      data->HwReceivePacket == nullptr) {
    return STATUS_REVISION_MISMATCH;
  }
  ReplaceFloatingPointStubs();
  memcpy(&g_hw, data, sizeof(g_hw) < data->HwInitializationDataSize ? sizeof(g_hw) : data->HwInitializationDataSize);
  driver->DriverExtension->AddDevice = AddDevice;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
  driver->DriverUnload = Unload;
  DbgPrint("stream.sys: minidriver registered, device extension %u bytes\n", (unsigned)g_hw.DeviceExtensionSize);
  return STATUS_SUCCESS;
}

VOID __cdecl StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE type, PVOID extension,
                                           PHW_STREAM_REQUEST_BLOCK srb, PKSEVENT_ENTRY, GUID *, ULONG) {
  UNREFERENCED_PARAMETER(extension);
  if (type == DeviceRequestComplete && srb != nullptr) Completed(srb);
}

VOID __cdecl StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE type, PHW_STREAM_OBJECT object,
                                           ...) {
  UNREFERENCED_PARAMETER(object);
  if (type != StreamRequestComplete) return;  // readiness for the next request: nothing to do
  __builtin_va_list args;
  __builtin_va_start(args, object);
  PHW_STREAM_REQUEST_BLOCK srb = __builtin_va_arg(args, PHW_STREAM_REQUEST_BLOCK);
  __builtin_va_end(args);
  if (srb != nullptr) Completed(srb);
}

// The image's entry point: nothing to do until a minidriver registers.
NTSTATUS NTAPI StreamEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

}  // extern "C"
