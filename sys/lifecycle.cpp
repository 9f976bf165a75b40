// Device start-up and shutdown: the configuration callbacks that tune the camera's pipes and
// reset the device context, CamInitialize with the image-process context, and CamUnInitialize,
// which stops the decode worker and frees everything the device holds.
#include "imageproc.h"
#include "lumarex.h"

// Pipe roles reported to the class library: pipes 0 and 1 carry video data; later entries
// describe nothing.
static const USBCAMD_Pipe_Config_Descriptor PipeConfigTable[] = {
    {USBCAMD_VIDEO_STREAM, USBCAMD_DATA_PIPE},  // pipe 0: isochronous video data
    {USBCAMD_VIDEO_STREAM, USBCAMD_DATA_PIPE},  // pipe 1
    {0, 0},                                     // pipe 2
    {0, 0},                                     // pipe 3
};

#define LUMAREX_PIPE_TRANSFER_SIZE 32768

// Whether pipe i lies inside the interface record as its Length describes it.
static BOOLEAN InterfaceHasPipe(PUSBD_INTERFACE_INFORMATION Interface, ULONG i) {
  return i < Interface->NumberOfPipes &&
         (ULONG)FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) + (i + 1) * sizeof(USBD_PIPE_INFORMATION) <=
             Interface->Length;
}

// CamConfigure - the class library has selected the configuration. Tunes the interface record
// in place (transfer size of pipes 0 and 1, alternate setting 0), keeps a copy of it and names
// pipe 0 the data pipe and pipe 2 the sync pipe. On a device already initialised it first ends
// the worker and frees what the device holds. PASSIVE_LEVEL.
NTSTATUS NTAPI CamConfigure(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                            PUSBD_INTERFACE_INFORMATION Interface,
                            PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PLONG DataPipeIndex,
                            PLONG SyncPipeIndex) {
  PDEVICE_CONTEXT dc = (PDEVICE_CONTEXT)DeviceContext;

  UNREFERENCED_PARAMETER(ConfigurationDescriptor);

  // The class library may select a configuration again on a device it has already initialised.
  // The reset below would forget the worker, the context and the buffers under a running
  // worker, so they are ended and freed first, as uninitialisation does.
  if (dc->g_bWorkerStarted || dc->g_pIPContext != NULL || dc->g_pRawBuf != NULL || dc->g_pBmpBuf != NULL ||
      dc->g_pIPBuf != NULL) {
    CamUnInitialize(BusDeviceObject, dc);
  }
  LUMAREX_ResetDeviceContext(dc);

  // An older copy (a configuration without a removal in between) is released, not leaked.
  if (dc->g_pInterfaceInfo != NULL) {
    ExFreePool(dc->g_pInterfaceInfo);
    dc->g_pInterfaceInfo = NULL;
  }
  if (Interface == NULL) {
    return STATUS_SUCCESS;
  }

  dc->g_pInterfaceInfo =
      (PUSBD_INTERFACE_INFORMATION)ExAllocatePoolWithTag(NonPagedPool, Interface->Length, LUMAREX_POOL_TAG);
  *DataPipeIndex = 0;
  *SyncPipeIndex = 2;
  if (dc->g_pInterfaceInfo == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  // Only pipes the record really holds are touched.
  for (ULONG i = 0; i < 2; ++i) {
    if (InterfaceHasPipe(Interface, i)) {
      Interface->Pipes[i].MaximumTransferSize = LUMAREX_PIPE_TRANSFER_SIZE;
    }
  }
  Interface->AlternateSetting = 0;
  RtlCopyMemory(dc->g_pInterfaceInfo, Interface, Interface->Length);
  return STATUS_SUCCESS;
}

// CamConfigureEx - the USBCAMD2 form: CamConfigure, then one stream and the pipe roles.
// PASSIVE_LEVEL. Returns CamConfigure's status.
NTSTATUS NTAPI CamConfigureEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                              PUSBD_INTERFACE_INFORMATION Interface,
                              PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, ULONG PipeConfigListSize,
                              PUSBCAMD_Pipe_Config_Descriptor PipeConfig, PUSB_DEVICE_DESCRIPTOR DeviceDescriptor) {
  PDEVICE_CONTEXT dc = (PDEVICE_CONTEXT)DeviceContext;
  LONG dataPipe = 0;
  LONG syncPipe = 0;
  NTSTATUS status;

  UNREFERENCED_PARAMETER(DeviceDescriptor);

  status = CamConfigure(BusDeviceObject, DeviceContext, Interface, ConfigurationDescriptor, &dataPipe, &syncPipe);
  if (Interface != NULL) {
    dc->g_nNumberOfStreams = 1;
    // The table describes four pipes; descriptions of further pipes are left as they came.
    for (ULONG i = 0; i < PipeConfigListSize && i < RTL_NUMBER_OF(PipeConfigTable); ++i) {
      PipeConfig[i] = PipeConfigTable[i];
    }
  }
  return status;
}

// CamInitialize - give the command lock its starting state, then allocate and initialise the
// image-process context. PASSIVE_LEVEL, before any stream or property request reaches the
// device.
NTSTATUS NTAPI CamInitialize(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext) {
  PDEVICE_CONTEXT dc = (PDEVICE_CONTEXT)DeviceContext;
  NTSTATUS status;

  UNREFERENCED_PARAMETER(BusDeviceObject);

  LUMAREX_InitializeCommandLock(dc);
  dc->g_nVectorForms = LUMAREX_ProcessorForms();
  DbgPrint("ZR Camera Driver Version =  %s %s\n", __DATE__, __TIME__);
  status = LUMAREX_AllocateMemory(dc, TRUE, FALSE, FALSE, FALSE);
  if (status < 0) {
    DbgPrint("<ERROR> Allocate System Memory Error=0x%08x\n", (unsigned)status);
    return status;
  }
  DbgPrint("LUMAREX_Initialize = 0x%08x\n", (unsigned)(ULONG_PTR)dc->g_pIPContext);
  ZRImageProcess_Initialize(dc, dc->g_pIPContext);
  return STATUS_SUCCESS;
}

// CamUnInitialize - stop the decode worker and free everything the device holds. The class
// library may still be handing over raw frames: they are shut out first, and the worker is let
// finish the frame it holds, so that no callback copies into buffers being freed or waits for
// a worker that has ended. PASSIVE_LEVEL. Returns the status of the wait for the worker's
// end, or STATUS_SUCCESS.
NTSTATUS NTAPI CamUnInitialize(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext) {
  PDEVICE_CONTEXT dc = (PDEVICE_CONTEXT)DeviceContext;
  NTSTATUS status = STATUS_SUCCESS;

  UNREFERENCED_PARAMETER(BusDeviceObject);

  LUMAREX_ShutOutRawFrames(dc);
  LUMAREX_WaitForWorkerIdle(dc);
  InterlockedExchange(&dc->g_bCaptureRunning, 0);
  if (dc->g_bWorkerStarted) {
    KeSetEvent(&dc->g_StopWorkerEvent, 1, FALSE);
    status = KeWaitForSingleObject(&dc->g_WorkerExitedEvent, Executive, KernelMode, FALSE, NULL);
    KeClearEvent(&dc->g_WorkerExitedEvent);
    // The worker signals before it has left the driver's code; its thread object is signalled
    // once the thread has ended, so wait for that before the object (and the driver) may go.
    KeWaitForSingleObject(dc->g_pWorkerThread, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(dc->g_pWorkerThread);
    dc->g_pWorkerThread = NULL;
    dc->g_bWorkerStarted = 0;
  }
  if (dc->g_pInterfaceInfo != NULL) {
    ExFreePool(dc->g_pInterfaceInfo);
    dc->g_pInterfaceInfo = NULL;
  }
  LUMAREX_FreeMemory(dc, TRUE, TRUE, TRUE, TRUE);
  return status;
}

// CamSaveState - nothing to save before a power change: the settings live in the device
// context and the registry. Both state callbacks take the class library's two arguments: with
// stdcall a routine of the wrong arity would unbalance the caller's stack.
NTSTATUS NTAPI CamSaveState(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext) {
  UNREFERENCED_PARAMETER(BusDeviceObject);
  UNREFERENCED_PARAMETER(DeviceContext);
  return STATUS_SUCCESS;
}

// CamRestoreState - the device is powered again. A camera that lost power has forgotten its
// start command, so while capture runs it is started again at the negotiated size (under the
// command lock, with the settle time after it); otherwise the stream would stay dark.
// PASSIVE_LEVEL. Returns STATUS_SUCCESS, or the start command's failure.
NTSTATUS NTAPI CamRestoreState(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext) {
  PDEVICE_CONTEXT dc = (PDEVICE_CONTEXT)DeviceContext;
  NTSTATUS status = STATUS_SUCCESS;

  UNREFERENCED_PARAMETER(BusDeviceObject);
  // Capture runs only on an initialised device, whose command lock exists; capture stop clears
  // the flag under the lock, so it is looked at again once the lock is held.
  if (InterlockedCompareExchange(&dc->g_bCaptureRunning, 0, 0) == 0) {
    return STATUS_SUCCESS;
  }
  LUMAREX_AcquireCommandLock(dc);
  if (InterlockedCompareExchange(&dc->g_bCaptureRunning, 0, 0) != 0) {
    status = LUMAREX_SendStartCommand(dc, dc->g_nRawFrameSize);
    LUMAREX_SettleDelay();
  }
  LUMAREX_ReleaseCommandLock(dc);
  return status;
}
