// Kelvane.sys for Wine: the camera class library (USBCAMD2 programming interface) as the driver
// uses it. USBCAMD_DriverEntry registers the minidriver with the stream class, with a device
// extension that holds the class library's record of the camera followed by the driver's device
// context; device requests the driver hands on are processed as the host's class library
// processes them (host/usbcamd/class_library.cpp): device initialisation with the camera's
// description (the same code, host/shared) through CamConfigureEx and CamInitialize, stream
// information, power, removal and uninitialisation; and the camera-interface query, which the
// stream class passes on as SRB_UNKNOWN_DEVICE_COMMAND, is answered with USBCAMD_INTERFACE.
//
// The camera behind each device answers commands with the simulated camera's own command state
// (the same code as the host's camera, host/shared), and sends the isochronous slots the test
// program handed over (class_library_streams.cpp replays them to the driver).
#include "class_library.h"
#include "torvane_ioctl.h"

namespace kelvane {

Registration g_registration;

namespace {

constexpr USHORT kBulkRead = 0;
constexpr USHORT kBulkWrite = 1;
// The data pipe's MaximumPacketSize of the simulated camera's default stream.
constexpr USHORT kMaxPacketSize = 1023;

// ---- USBCAMD_INTERFACE ------------------------------------------------------------------------

// A command the camera answers: synchronous, at PASSIVE_LEVEL. A capture start or stop that
// succeeds switches the camera's streaming side.
NTSTATUS ServeCommand(Device *d, ULONG kind, BOOLEAN deviceToHost, USHORT value, USHORT index, PUCHAR data,
                      ULONG length) {
  KeWaitForSingleObject(&d->commandLock, Executive, KernelMode, FALSE, nullptr);
  TorvaneShared_CameraServe(&d->camera, &d->cameraStream, kind, deviceToHost, value, index, data, length);
  if (kind == TORVANE_CAMERA_CONTROL && !deviceToHost) {
    LONG width, height;
    if (TorvaneShared_CameraStartSize(value, &width, &height)) {
      d->cameraStream.streaming = TRUE;
      d->cameraStream.width = width;
      d->cameraStream.height = height;
    } else if (value == TORVANE_CAMERA_STOP) {
      d->cameraStream.streaming = FALSE;
    }
  }
  KeSetEvent(&d->commandLock, IO_NO_INCREMENT, FALSE);
  return STATUS_SUCCESS;
}

// A command with a completion routine is still answered before the call returns; the routine
// is called first.
NTSTATUS CompleteCommand(PVOID context, PCOMMAND_COMPLETE_FUNCTION complete, PVOID commandContext, NTSTATUS status) {
  if (complete != NULL) complete(context, commandContext, status);
  return status;
}

// The camera is there until it was surprise-removed.
Device *CameraDevice(PVOID context) {
  Device *d = DeviceOfContext(context);
  return d != nullptr && !d->removed ? d : nullptr;
}

NTSTATUS NTAPI BulkReadWrite(PVOID DeviceContext, USHORT PipeIndex, PVOID Buffer, ULONG BufferLength,
                             PCOMMAND_COMPLETE_FUNCTION CommandComplete, PVOID CommandContext) {
  if ((PipeIndex != kBulkRead && PipeIndex != kBulkWrite) || (Buffer == NULL && BufferLength != 0)) {
    return STATUS_INVALID_PARAMETER;
  }
  Device *d = CameraDevice(DeviceContext);
  if (d == nullptr) return STATUS_DEVICE_NOT_CONNECTED;
  NTSTATUS status = ServeCommand(d, PipeIndex == kBulkRead ? TORVANE_CAMERA_BULK_IN : TORVANE_CAMERA_BULK_OUT,
                                 PipeIndex == kBulkRead, 0, 0, static_cast<PUCHAR>(Buffer), BufferLength);
  return CompleteCommand(DeviceContext, CommandComplete, CommandContext, status);
}

NTSTATUS NTAPI CancelBulkReadWrite(PVOID DeviceContext, ULONG PipeIndex) {
  if (PipeIndex != kBulkRead && PipeIndex != kBulkWrite) return STATUS_INVALID_PARAMETER;
  return CameraDevice(DeviceContext) != nullptr ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED;
}

NTSTATUS NTAPI SetIsoPipeStateEntry(PVOID DeviceContext, ULONG PipeStateFlags) {
  Device *d = CameraDevice(DeviceContext);
  if (d == nullptr) return STATUS_DEVICE_NOT_CONNECTED;
  if (PipeStateFlags != USBCAMD_STOP_STREAM && PipeStateFlags != USBCAMD_START_STREAM) return STATUS_INVALID_PARAMETER;
  return SetIsoPipeState(d, PipeStateFlags);
}

NTSTATUS NTAPI SetVideoFormatEntry(PVOID DeviceContext, PHW_STREAM_REQUEST_BLOCK pSrb) {
  Device *d = DeviceOfContext(DeviceContext);
  if (d == nullptr || pSrb == nullptr) return FALSE;
  return SetVideoFormat(d, pSrb);
}

NTSTATUS NTAPI WaitOnDeviceEvent(PVOID DeviceContext, ULONG PipeIndex, PVOID Buffer, ULONG BufferLength,
                                 PCOMMAND_COMPLETE_FUNCTION EventComplete, PVOID EventContext, BOOLEAN) {
  Device *d = DeviceOfContext(DeviceContext);
  if (d == nullptr || d->removed) return STATUS_DEVICE_NOT_CONNECTED;
  if (PipeIndex >= TORVANE_CAMERA_PIPES || d->Interface()->Pipes[PipeIndex].PipeType != UsbdPipeTypeInterrupt ||
      (Buffer == NULL && BufferLength != 0)) {
    return STATUS_INVALID_PARAMETER;
  }
  // A wait without a completion routine would block until the camera signals: it has none.
  if (EventComplete == NULL) return STATUS_DEVICE_NOT_CONNECTED;
  KeWaitForSingleObject(&d->eventLock, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (d->eventWaitCount < kMaxEventWaits) {
    d->eventWaits[d->eventWaitCount++] = EventWait{EventComplete, EventContext};
    status = STATUS_PENDING;
  }
  KeSetEvent(&d->eventLock, IO_NO_INCREMENT, FALSE);
  return status;
}

// Removal cancels every waiting event request.
void CancelDeviceEvents(Device *d) {
  EventWait waits[kMaxEventWaits];
  KeWaitForSingleObject(&d->eventLock, Executive, KernelMode, FALSE, nullptr);
  ULONG count = d->eventWaitCount;
  memcpy(waits, d->eventWaits, sizeof(waits));
  d->eventWaitCount = 0;
  KeSetEvent(&d->eventLock, IO_NO_INCREMENT, FALSE);
  for (ULONG i = 0; i < count; ++i) waits[i].complete(ContextOf(d), waits[i].context, STATUS_CANCELLED);
}

const GUID kUsbcamdInterfaceGuid = {0x2bcb75c0, 0xb27f, 0x11d1, {0xba, 0x41, 0x00, 0xa0, 0xc9, 0x0d, 0x2b, 0x05}};

// A request the stream class did not handle itself: the camera-interface query is ours, and so
// is the camera input of the private control interface.
void UnknownCommand(Device *d, PHW_STREAM_REQUEST_BLOCK srb) {
  PIRP irp = srb->Irp;  // the request the stream class passes on
  PIO_STACK_LOCATION stack = irp != nullptr ? IoGetCurrentIrpStackLocation(irp) : nullptr;
  if (stack != nullptr && stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
      stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_TORVANE_CAMERA_INPUT) {
    CompleteDevice(srb, TakeSlots(d, static_cast<const UCHAR *>(irp->AssociatedIrp.SystemBuffer),
                                  stack->Parameters.DeviceIoControl.InputBufferLength));
    return;
  }
  if (stack != nullptr && stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
      stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_TORVANE_ALLOCATION_FORMAT) {
    CompleteDevice(srb, SetAllocationFormat(d, static_cast<const UCHAR *>(irp->AssociatedIrp.SystemBuffer),
                                            stack->Parameters.DeviceIoControl.InputBufferLength));
    return;
  }
  if (stack != nullptr && stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
      stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_TORVANE_PRESS_BUTTON) {
    InterlockedExchange(&d->pressFrames, 1);
    CompleteDevice(srb, STATUS_SUCCESS);
    return;
  }
  if (stack != nullptr && stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
      stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_TORVANE_FRAME_LOG) {
    // The reply follows the status the stream class puts first in the caller's buffer.
    PUCHAR buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    ULONG outSize = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG written = 0;
    NTSTATUS status = outSize < sizeof(LONG) ? STATUS_BUFFER_TOO_SMALL
                                             : FrameLog(d, buffer, stack->Parameters.DeviceIoControl.InputBufferLength,
                                                        buffer + sizeof(LONG), outSize - sizeof(LONG), &written);
    srb->ActualBytesTransferred = written;
    CompleteDevice(srb, status);
    return;
  }
  if (stack == nullptr || stack->MajorFunction != IRP_MJ_PNP || stack->MinorFunction != IRP_MN_QUERY_INTERFACE ||
      stack->Parameters.QueryInterface.InterfaceType == nullptr ||
      memcmp(stack->Parameters.QueryInterface.InterfaceType, &kUsbcamdInterfaceGuid, sizeof(GUID)) != 0) {
    CompleteDevice(srb, STATUS_NOT_SUPPORTED);
    return;
  }
  USBCAMD_INTERFACE answer;
  memset(&answer, 0, sizeof(answer));
  answer.Interface.Size = sizeof(USBCAMD_INTERFACE);
  answer.Interface.Version = USBCAMD_VERSION_200;
  answer.USBCAMD_WaitOnDeviceEvent = WaitOnDeviceEvent;
  answer.USBCAMD_BulkReadWrite = BulkReadWrite;
  answer.USBCAMD_SetVideoFormat = SetVideoFormatEntry;
  answer.USBCAMD_SetIsoPipeState = SetIsoPipeStateEntry;
  answer.USBCAMD_CancelBulkReadWrite = CancelBulkReadWrite;
  ULONG size = stack->Parameters.QueryInterface.Size;
  memcpy(stack->Parameters.QueryInterface.Interface, &answer, size < sizeof(answer) ? size : sizeof(answer));
  CompleteDevice(srb, STATUS_SUCCESS);
}

// ---- Device requests -------------------------------------------------------------------------

void InitializeDevice(Device *d, PHW_STREAM_REQUEST_BLOCK srb) {
  if (d->callbacks == nullptr) {
    // The driver never registered its USBCAMD2 callbacks for this device.
    CompleteDevice(srb, STATUS_INVALID_DEVICE_REQUEST);
    return;
  }
  PPORT_CONFIGURATION_INFORMATION config = srb->CommandData.ConfigInfo;
  // Room for the video and the still stream's information.
  config->StreamDescriptorSize = sizeof(HW_STREAM_HEADER) + 2 * sizeof(HW_STREAM_INFORMATION);
  TorvaneShared_DescribeCamera(kMaxPacketSize, &d->deviceDescriptor, &d->configDescriptor, d->Interface());
  for (ULONG p = 0; p < TORVANE_CAMERA_PIPES; ++p) {
    d->pipeConfig[p].StreamAssociation = 0;
    d->pipeConfig[p].PipeConfigFlags = USBCAMD_DONT_CARE_PIPE;
  }
  NTSTATUS status = d->callbacks->CamConfigureEx(d->physicalDevice, ContextOf(d), d->Interface(), &d->configDescriptor,
                                                 TORVANE_CAMERA_PIPES, d->pipeConfig, &d->deviceDescriptor);
  if (!NT_SUCCESS(status)) {
    CompleteDevice(srb, status);
    return;
  }
  TorvaneShared_ChoosePipes(d->Interface(), d->pipeConfig, &d->dataPipe, &d->syncPipe);
  status = d->callbacks->CamInitialize(d->physicalDevice, ContextOf(d));
  if (!NT_SUCCESS(status)) {
    // What the driver did take is given back: the device will not start.
    d->callbacks->CamUnInitialize(d->physicalDevice, ContextOf(d));
    CompleteDevice(srb, status);
    return;
  }
  d->initialized = TRUE;
  CompleteDevice(srb, STATUS_SUCCESS);
}

void UninitializeDevice(Device *d, PHW_STREAM_REQUEST_BLOCK srb) {
  NTSTATUS status = STATUS_SUCCESS;
  StopAllStreams(d);
  CancelDeviceEvents(d);
  if (d->initialized && d->callbacks != nullptr) {
    status = d->callbacks->CamUnInitialize(d->physicalDevice, ContextOf(d));
    d->initialized = FALSE;
  }
  if (d->slots != nullptr) {
    ExFreePool(d->slots);
    d->slots = nullptr;
  }
  CompleteDevice(srb, NT_SUCCESS(status) ? STATUS_SUCCESS : status);
}

// Going below D0 the driver may save its state and the camera loses power (it forgets its start
// command and its open operation); back at D0 the driver restores its state.
void ChangePowerState(Device *d, DEVICE_POWER_STATE state) {
  if (state == PowerDeviceD0) {
    d->poweredDown = FALSE;
    if (d->callbacks != nullptr) d->callbacks->CamRestoreState(d->physicalDevice, ContextOf(d));
    return;
  }
  if (d->callbacks != nullptr) d->callbacks->CamSaveState(d->physicalDevice, ContextOf(d));
  if (!d->poweredDown) {
    d->poweredDown = TRUE;
    KeWaitForSingleObject(&d->commandLock, Executive, KernelMode, FALSE, nullptr);
    d->cameraStream.streaming = FALSE;
    InterlockedIncrement(&d->isoRestarts);  // the frame in flight is lost as at a pipe stop
    TorvaneShared_CameraLosePower(&d->camera);
    KeSetEvent(&d->commandLock, IO_NO_INCREMENT, FALSE);
  }
}

void ProcessDeviceRequest(Device *d, PHW_STREAM_REQUEST_BLOCK srb) {
  switch (srb->Command) {
    case SRB_INITIALIZE_DEVICE:
      InitializeDevice(d, srb);
      break;
    case SRB_GET_STREAM_INFO:
      // The driver filled the descriptor; the class library only checks there is one.
      CompleteDevice(srb, srb->CommandData.StreamBuffer != nullptr ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
      break;
    case SRB_UNKNOWN_DEVICE_COMMAND:
      UnknownCommand(d, srb);
      break;
    case SRB_OPEN_STREAM:
      OpenStream(d, srb);
      break;
    case SRB_CLOSE_STREAM:
      CloseStream(d, srb);
      break;
    case SRB_SURPRISE_REMOVAL:
      // The camera is gone: nothing more reaches it, and streams stop.
      d->removed = TRUE;
      StopAllStreams(d);
      CancelDeviceEvents(d);
      CompleteDevice(srb, STATUS_SUCCESS);
      break;
    case SRB_UNINITIALIZE_DEVICE:
      UninitializeDevice(d, srb);
      break;
    case SRB_CHANGE_POWER_STATE:
      ChangePowerState(d, srb->CommandData.DeviceState);
      CompleteDevice(srb, STATUS_SUCCESS);
      break;
    case SRB_OPEN_DEVICE_INSTANCE:
    case SRB_CLOSE_DEVICE_INSTANCE:
    case SRB_PAGING_OUT_DRIVER:
      CompleteDevice(srb, STATUS_SUCCESS);
      break;
    default:
      CompleteDevice(srb, STATUS_NOT_IMPLEMENTED);
      break;
  }
}

}  // namespace
}  // namespace kelvane

using namespace kelvane;

extern "C" {

ULONG NTAPI USBCAMD_DriverEntry(PVOID Context1, PVOID Context2, ULONG DeviceContextSize, ULONG FrameContextSize,
                                PADAPTER_RECEIVE_PACKET_ROUTINE ReceivePacket) {
  kelvane::g_registration = Registration{Context1, DeviceContextSize, FrameContextSize, ReceivePacket};
  DbgPrint("Kelvane.sys: USBCAMD_DriverEntry: device context %u bytes, frame context %u bytes\n",
           (unsigned)DeviceContextSize, (unsigned)FrameContextSize);
  HW_INITIALIZATION_DATA data;
  memset(&data, 0, sizeof(data));
  data.HwInitializationDataSize = sizeof(data);
  data.HwReceivePacket = ReceivePacket;
  data.DeviceExtensionSize = kContextOffset + DeviceContextSize;
  data.BufferAlignment = 3;
  data.TurnOffSynchronization = TRUE;
  return (ULONG)StreamClassRegisterAdapter(Context1, Context2, &data);
}

ULONG NTAPI USBCAMD_InitializeNewInterface(PVOID DeviceContext, PVOID DeviceData, ULONG Version, ULONG CamControlFlag) {
  UNREFERENCED_PARAMETER(CamControlFlag);
  Device *d = DeviceOfContext(DeviceContext);
  if (d != nullptr && Version >= USBCAMD_VERSION_200 && DeviceData != nullptr) {
    d->callbacks = static_cast<const USBCAMD_DEVICE_DATA2 *>(DeviceData);
  }
  return USBCAMD_VERSION_200;
}

PVOID NTAPI USBCAMD_AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK Srb, PUSBCAMD_DEVICE_DATA DeviceData,
                                         PDEVICE_OBJECT *DeviceObject, BOOLEAN NeedsCompletion) {
  UNREFERENCED_PARAMETER(DeviceData);
  Device *d = static_cast<Device *>(Srb->HwDeviceExtension);
  if (d->magic != kDeviceMagic) {
    // The first request of a new device: the stream class handed over a zeroed extension.
    memset(d, 0, kContextOffset);
    d->magic = kDeviceMagic;
    KeInitializeEvent(&d->eventLock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&d->commandLock, SynchronizationEvent, TRUE);
    TorvaneShared_CameraReset(&d->camera);
  }
  if (Srb->Command == SRB_INITIALIZE_DEVICE && Srb->CommandData.ConfigInfo != nullptr) {
    d->classDevice = Srb->CommandData.ConfigInfo->ClassDeviceObject;
    d->physicalDevice = Srb->CommandData.ConfigInfo->PhysicalDeviceObject;
  }
  if (!NeedsCompletion) return ContextOf(d);
  if (DeviceObject != nullptr) *DeviceObject = d->physicalDevice;
  ProcessDeviceRequest(d, Srb);
  return ContextOf(d);
}

NTSTATUS NTAPI USBCAMD_ControlVendorCommand(PVOID DeviceContext, UCHAR Request, USHORT Value, USHORT Index,
                                            PVOID Buffer, PULONG BufferLength, BOOLEAN GetData,
                                            PCOMMAND_COMPLETE_FUNCTION CommandComplete, PVOID CommandContext) {
  UNREFERENCED_PARAMETER(Request);
  ULONG length = BufferLength != NULL ? *BufferLength : 0;
  // A control transfer's data stage is at most 0xFFFF bytes (wLength).
  if (length > 0xFFFF || (Buffer == NULL && length != 0)) return STATUS_INVALID_PARAMETER;
  Device *d = CameraDevice(DeviceContext);
  if (d == nullptr) return STATUS_DEVICE_NOT_CONNECTED;
  // The library reports the bytes transferred: the whole data stage of an answered read.
  NTSTATUS status = ServeCommand(d, TORVANE_CAMERA_CONTROL, GetData != FALSE, Value, Index,
                                 static_cast<PUCHAR>(Buffer), length);
  return CompleteCommand(DeviceContext, CommandComplete, CommandContext, status);
}

// The image's entry point: nothing to do until a minidriver registers.
NTSTATUS NTAPI KelvaneEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

}  // extern "C"
