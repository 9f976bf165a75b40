// The driver's entry and request dispatch: registration with the camera class library, the
// device-level SRBs the driver handles itself (stream information, stream open, properties,
// data intersection, initialisation), the per-stream handlers that check proposed formats,
// and the query of the class library's interface.
#include "lumarex.h"

// Size of the class library's interface as the driver copies it (36 bytes on x86).
#define USBCAMD_INTERFACE_SIZE sizeof(USBCAMD_INTERFACE)
// The class library's options the driver asks for: associated formats and device events.
#define LUMAREX_CAM_CONTROL_FLAGS (USBCAMD_CamControlFlag_AssociatedFormat | USBCAMD_CamControlFlag_EnableDeviceEvents)

// A routine stored in a slot of another function type passes through this one.
typedef VOID (*GENERIC_ROUTINE)(VOID);

// Completes a request the driver kept, with the status already in the SRB.
static VOID CompleteDeviceRequest(PHW_STREAM_REQUEST_BLOCK Srb) {
  StreamClassDeviceNotification(DeviceRequestComplete, Srb->HwDeviceExtension, Srb, NULL, NULL, 0);
}

// The device context behind a request; the class library keeps the request.
static PDEVICE_CONTEXT LookupDeviceContext(PHW_STREAM_REQUEST_BLOCK Srb, PUSBCAMD_DEVICE_DATA DeviceData) {
  return (PDEVICE_CONTEXT)USBCAMD_AdapterReceivePacket(Srb, DeviceData, NULL, FALSE);
}

// Hands a request to the class library, which processes and completes it.
static PDEVICE_CONTEXT HandOn(PHW_STREAM_REQUEST_BLOCK Srb) {
  return (PDEVICE_CONTEXT)USBCAMD_AdapterReceivePacket(Srb, (PUSBCAMD_DEVICE_DATA)&LUMAREX_DeviceData, NULL, TRUE);
}

// DriverEntry - register with the camera class library. PASSIVE_LEVEL. Returns the class
// library's status.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  return (NTSTATUS)USBCAMD_DriverEntry(DriverObject, RegistryPath, sizeof(DeviceContext), sizeof(ULONG),
                                       LUMAREX_ReceiveDevicePacket);
}

// GetStreamInfo - report the configured streams and the device property sets in the
// stream descriptor; the class library then completes the request.
static VOID GetStreamInfo(PHW_STREAM_REQUEST_BLOCK Srb) {
  PDEVICE_CONTEXT dc = LookupDeviceContext(Srb, NULL);
  PHW_STREAM_DESCRIPTOR descriptor = Srb->CommandData.StreamBuffer;
  PHW_STREAM_INFORMATION info = &descriptor->StreamInfo;
  ULONG count = dc->g_nNumberOfStreams;
  ULONG i;

  // Never more records than the table holds.
  if (count > LUMAREX_STREAM_COUNT) {
    count = LUMAREX_STREAM_COUNT;
  }
  descriptor->StreamHeader.NumberOfStreams = count;
  for (i = 0; i < count; ++i) {
    info[i] = LUMAREX_StreamInfo[i];
  }
  descriptor->StreamHeader.DevicePropertiesArray =
      LUMAREX_GetDevicePropertySets(&descriptor->StreamHeader.NumDevPropArrayEntries);
  HandOn(Srb);
}

// OpenStream - install the stream handlers and let the class library open the stream
// when its format matches one of the pin's ranges.
static VOID OpenStream(PHW_STREAM_REQUEST_BLOCK Srb) {
  PHW_STREAM_OBJECT stream = Srb->StreamObject;
  PKS_DATAFORMAT_VIDEOINFOHEADER format = (PKS_DATAFORMAT_VIDEOINFOHEADER)Srb->CommandData.OpenFormat;
  PDEVICE_CONTEXT dc;

  // The class library calls the stream handlers with its own three arguments (request, device
  // context, completion flag), whatever the stream object's slot types say.
  stream->ReceiveDataPacket = (PHW_RECEIVE_STREAM_DATA_SRB)(GENERIC_ROUTINE)LUMAREX_ReceiveStreamDataPacket;
  stream->ReceiveControlPacket = (PHW_RECEIVE_STREAM_CONTROL_SRB)(GENERIC_ROUTINE)LUMAREX_ReceiveStreamCtrlPacket;
  if (!LUMAREX_VerifyFormat(Srb->CommandData.OpenFormat, (LONG)stream->StreamNumber)) {
    Srb->Status = STATUS_INVALID_PARAMETER;
    CompleteDeviceRequest(Srb);
    return;
  }
  // Once handed on, the request, its format and (if the open fails) the stream object belong
  // to the stream class again, and the request's status cannot be read: what the driver keeps
  // is taken now, and it counts as the open stream only when the class library calls the
  // driver for that stream (LUMAREX_CommitStreamOpen).
  dc = LookupDeviceContext(Srb, NULL);
  dc->g_pOpeningStream = stream;
  dc->g_nOpeningStreamNumber = (LONG)stream->StreamNumber;
  dc->g_nOpeningWidth = format->VideoInfoHeader.bmiHeader.biWidth;
  HandOn(Srb);
}

// LUMAREX_CommitStreamOpen - the class library called the driver for a stream: by its stream
// object (Stream, with its number) from the stream handlers, or by its number alone (Stream
// NULL) from bandwidth allocation. If that is the stream whose open is pending, the open
// succeeded: it becomes the open stream, at the width it was opened at. Another stream object
// of the pending number means that number was taken, so the pending open failed and is
// dropped. Any IRQL.
VOID LUMAREX_CommitStreamOpen(PDEVICE_CONTEXT DeviceContext, PVOID Stream, LONG StreamNumber) {
  if (DeviceContext->g_pOpeningStream == NULL || StreamNumber != DeviceContext->g_nOpeningStreamNumber) {
    return;
  }
  if (Stream != NULL && Stream != DeviceContext->g_pOpeningStream) {
    DeviceContext->g_pOpeningStream = NULL;
    return;
  }
  DeviceContext->g_bStreamOpened = 1;
  DeviceContext->g_nStreamWidth = DeviceContext->g_nOpeningWidth;
  DeviceContext->g_pOpeningStream = NULL;
}

// LUMAREX_ReceiveDevicePacket - the driver's receive routine for every device-level SRB.
// Called by the class library at the IRQL the stream class delivers the request at.
VOID NTAPI LUMAREX_ReceiveDevicePacket(PHW_STREAM_REQUEST_BLOCK Srb) {
  PDEVICE_CONTEXT dc;

  switch (Srb->Command) {
    case SRB_GET_STREAM_INFO:
      GetStreamInfo(Srb);
      break;
    case SRB_OPEN_STREAM:
      OpenStream(Srb);
      break;
    case SRB_GET_DEVICE_PROPERTY:
    case SRB_SET_DEVICE_PROPERTY:
      dc = LookupDeviceContext(Srb, (PUSBCAMD_DEVICE_DATA)&LUMAREX_DeviceData);
      LUMAREX_PropertyRequest(Srb->Command == SRB_SET_DEVICE_PROPERTY, dc, Srb);
      CompleteDeviceRequest(Srb);
      break;
    case SRB_INITIALIZE_DEVICE:
      if (LUMAREX_InitializeNewInterface(Srb)) {
        HandOn(Srb);
      }
      break;
    case SRB_GET_DATA_INTERSECTION:
      Srb->Status = LUMAREX_GetDataIntersection(Srb);
      CompleteDeviceRequest(Srb);
      break;
    case SRB_INITIALIZATION_COMPLETE:
      Srb->Status = LUMAREX_InitializationComplete(Srb);
      CompleteDeviceRequest(Srb);
      break;
    default:
      HandOn(Srb);
      break;
  }
}

// LUMAREX_ReceiveStreamDataPacket - data requests of the open stream are the class library's.
// Leaves the completion flag as it is; the first request of a stream commits its open.
VOID NTAPI LUMAREX_ReceiveStreamDataPacket(PVOID Srb, PVOID DeviceContext, PBOOLEAN Completed) {
  PHW_STREAM_OBJECT stream = ((PHW_STREAM_REQUEST_BLOCK)Srb)->StreamObject;

  UNREFERENCED_PARAMETER(Completed);
  // A request of the stream shows that its open succeeded.
  LUMAREX_CommitStreamOpen((PDEVICE_CONTEXT)DeviceContext, stream, (LONG)stream->StreamNumber);
}

// LUMAREX_ReceiveStreamCtrlPacket - check proposed and new formats of the open stream; every
// other control request is left to the class library (the flag goes back to FALSE).
VOID NTAPI LUMAREX_ReceiveStreamCtrlPacket(PVOID Request, PVOID DeviceContext, PBOOLEAN Completed) {
  PHW_STREAM_REQUEST_BLOCK Srb = (PHW_STREAM_REQUEST_BLOCK)Request;
  PDEVICE_CONTEXT dc = (PDEVICE_CONTEXT)DeviceContext;
  PKS_DATAFORMAT_VIDEOINFOHEADER format;

  // A request of the stream shows that its open succeeded; a format change below then
  // replaces the width it was opened at.
  LUMAREX_CommitStreamOpen(dc, Srb->StreamObject, (LONG)Srb->StreamObject->StreamNumber);
  *Completed = TRUE;
  Srb->Status = STATUS_SUCCESS;
  switch (Srb->Command) {
    case SRB_PROPOSE_DATA_FORMAT:
      if (!LUMAREX_VerifyFormat(Srb->CommandData.OpenFormat, (LONG)Srb->StreamObject->StreamNumber)) {
        Srb->Status = STATUS_NO_MATCH;
      }
      break;
    case SRB_SET_DATA_FORMAT:
      if (!LUMAREX_VerifyFormat(Srb->CommandData.OpenFormat, (LONG)Srb->StreamObject->StreamNumber)) {
        Srb->Status = STATUS_NO_MATCH;
        break;
      }
      // Without the class library's interface the change is not passed on.
      if (dc->g_UsbcamdInterface.Interface.Version != 0 && dc->g_UsbcamdInterface.USBCAMD_SetVideoFormat != NULL) {
        format = (PKS_DATAFORMAT_VIDEOINFOHEADER)Srb->CommandData.OpenFormat;
        if (dc->g_UsbcamdInterface.USBCAMD_SetVideoFormat(dc, Srb)) {
          dc->g_nStreamWidth = format->VideoInfoHeader.bmiHeader.biWidth;
        }
      }
      break;
    case SRB_GET_DATA_FORMAT:
      Srb->Status = STATUS_NOT_IMPLEMENTED;
      break;
    default:
      *Completed = FALSE;
      break;
  }
  if (*Completed) {
    StreamClassStreamNotification(StreamRequestComplete, Srb->StreamObject, Srb);
  }
}

// LUMAREX_InitializeNewInterface - record the device objects and register the USBCAMD2
// callback table. PASSIVE_LEVEL. Returns TRUE: the request goes on to the class library.
BOOLEAN LUMAREX_InitializeNewInterface(PHW_STREAM_REQUEST_BLOCK Srb) {
  PDEVICE_CONTEXT dc = LookupDeviceContext(Srb, NULL);
  PPORT_CONFIGURATION_INFORMATION config = Srb->CommandData.ConfigInfo;

  dc->g_pClassDeviceObject = config->ClassDeviceObject;
  dc->g_pPhysicalDeviceObject =
      config->RealPhysicalDeviceObject != NULL ? config->RealPhysicalDeviceObject : config->PhysicalDeviceObject;
  USBCAMD_InitializeNewInterface(dc, (PVOID)&LUMAREX_DeviceData2, USBCAMD_VERSION_200, LUMAREX_CAM_CONTROL_FLAGS);
  return TRUE;
}

// LUMAREX_InitializationComplete - obtain the class library's interface; it counts as present
// only when it carries the isochronous-pipe entry. PASSIVE_LEVEL. Returns STATUS_SUCCESS, or
// STATUS_INSUFFICIENT_RESOURCES without pool for the query buffer.
NTSTATUS LUMAREX_InitializationComplete(PHW_STREAM_REQUEST_BLOCK Srb) {
  PDEVICE_CONTEXT dc = LookupDeviceContext(Srb, NULL);
  PUSBCAMD_INTERFACE buffer;

  buffer = (PUSBCAMD_INTERFACE)ExAllocatePoolWithTag(NonPagedPool, USBCAMD_INTERFACE_SIZE, LUMAREX_POOL_TAG);
  if (buffer == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(buffer, USBCAMD_INTERFACE_SIZE);
  // A failed query leaves the buffer zeroed: the interface is then absent.
  LUMAREX_QueryUsbcamdInterface(dc->g_pClassDeviceObject, buffer);
  if (buffer->USBCAMD_SetIsoPipeState != NULL) {
    RtlCopyMemory(&dc->g_UsbcamdInterface, buffer, USBCAMD_INTERFACE_SIZE);
  } else {
    dc->g_UsbcamdInterface.Interface.Version = 0;
  }
  ExFreePool(buffer);
  return STATUS_SUCCESS;
}

// LUMAREX_QueryUsbcamdInterface - send a synchronous PnP interface query for the class
// library's interface down the device's stack. PASSIVE_LEVEL. Returns the query's status, or
// STATUS_INSUFFICIENT_RESOURCES when no IRP could be built.
NTSTATUS LUMAREX_QueryUsbcamdInterface(PDEVICE_OBJECT DeviceObject, PUSBCAMD_INTERFACE Interface) {
  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  PIRP irp;
  PIO_STACK_LOCATION next;
  NTSTATUS status;

  KeInitializeEvent(&event, NotificationEvent, FALSE);
  irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, DeviceObject, NULL, 0, NULL, &event, &ioStatus);
  if (irp == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->RequestorMode = KernelMode;
  // A PnP IRP nobody answers must come back as not supported.
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  next = IoGetNextIrpStackLocation(irp);
  next->MinorFunction = IRP_MN_QUERY_INTERFACE;
  next->Parameters.QueryInterface.InterfaceType = &LUMAREX_GuidUsbcamdInterface;
  next->Parameters.QueryInterface.Size = (USHORT)USBCAMD_INTERFACE_SIZE;
  next->Parameters.QueryInterface.Version = USBCAMD_VERSION_200;
  next->Parameters.QueryInterface.Interface = (PINTERFACE)Interface;
  next->Parameters.QueryInterface.InterfaceSpecificData = NULL;

  status = IoCallDriver(DeviceObject, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    status = ioStatus.Status;
  }
  return status;
}

// LUMAREX_PropertyRequest - route a device property request by its set to the handler of that
// set. PASSIVE_LEVEL. Returns the status recorded in Srb->Status (STATUS_NOT_SUPPORTED for any
// other set).
NTSTATUS LUMAREX_PropertyRequest(BOOLEAN IsSet, PDEVICE_CONTEXT DeviceContext, PHW_STREAM_REQUEST_BLOCK Srb) {
  const GUID *set = &Srb->CommandData.PropertyInfo->Property->Set;
  NTSTATUS status;

  if (RtlCompareMemory(set, &LUMAREX_GuidPropsetVideoProcAmp, sizeof(GUID)) == sizeof(GUID)) {
    status = IsSet ? LUMAREX_SetVideoProcAmpProperty(DeviceContext, Srb)
                   : LUMAREX_GetVideoProcAmpProperty(DeviceContext, Srb);
  } else if (RtlCompareMemory(set, &LUMAREX_GuidPropsetCustom, sizeof(GUID)) == sizeof(GUID)) {
    status = IsSet ? LUMAREX_SetCustomProperty(DeviceContext, Srb) : LUMAREX_GetCustomProperty(DeviceContext, Srb);
  } else if (RtlCompareMemory(set, &LUMAREX_GuidPropsetVideoControl, sizeof(GUID)) == sizeof(GUID)) {
    status = IsSet ? LUMAREX_SetVideoControlProperty(DeviceContext, Srb)
                   : LUMAREX_GetVideoControlProperty(DeviceContext, Srb);
  } else {
    status = STATUS_NOT_SUPPORTED;
    Srb->Status = status;
  }
  return status;
}

// =================================================================================================
// Constant tables: the class library's interface GUID and the two callback tables
// =================================================================================================

// {2BCB75C0-B27F-11D1-BA41-00A0C90D2B05}
const GUID LUMAREX_GuidUsbcamdInterface = {0x2bcb75c0, 0xb27f, 0x11d1, {0xba, 0x41, 0x00, 0xa0, 0xc9, 0x0d, 0x2b, 0x05}};

// Version-1 callback set, passed with every request handed on.
const USBCAMD_DEVICE_DATA LUMAREX_DeviceData = {
    0,                          // Reserved1 (version field)
    CamInitialize,              // CamInitialize
    CamUnInitialize,            // CamUnInitialize
    CamProcessUSBPacket,        // CamProcessUSBPacket
    CamNewVideoFrame,           // CamNewVideoFrame
    CamProcessRawVideoFrame,    // CamProcessRawVideoFrame
    CamStartCapture,            // CamStartCapture
    CamStopCapture,             // CamStopCapture
    CamConfigure,               // CamConfigure
    CamSaveState,               // CamSaveState
    CamRestoreState,            // CamRestoreState
    CamAllocateBandwidth,       // CamAllocateBandwidth
    CamFreeBandwidth,           // CamFreeBandwidth
};

// USBCAMD2 callback set, registered at device initialisation.
const USBCAMD_DEVICE_DATA2 LUMAREX_DeviceData2 = {
    0,                          // Reserved1 (version field)
    CamInitialize,              // CamInitialize
    CamUnInitialize,            // CamUnInitialize
    CamProcessUSBPacketEx,      // CamProcessUSBPacketEx
    CamNewVideoFrameEx,         // CamNewVideoFrameEx
    CamProcessRawVideoFrameEx,  // CamProcessRawVideoFrameEx
    CamStartCaptureEx,          // CamStartCaptureEx
    CamStopCaptureEx,           // CamStopCaptureEx
    CamConfigureEx,             // CamConfigureEx
    CamSaveState,               // CamSaveState
    CamRestoreState,            // CamRestoreState
    CamAllocateBandwidthEx,     // CamAllocateBandwidthEx
    CamFreeBandwidthEx,         // CamFreeBandwidthEx
};
