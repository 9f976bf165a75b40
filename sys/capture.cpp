// Capture start and stop. Start tells the camera to send frames of the negotiated size and, on
// a device's first start, brings up the decode worker; stop tells the camera to stop and saves
// the picture settings. Neither ends the worker: uninitialisation does.
#include "imageproc.h"
#include "lumarex.h"

// Access asked for the worker thread's handle and object.
#define WORKER_THREAD_ACCESS 0x001F03FF

// StartWorkerThread - create the device's decode worker (a system thread running
// LUMAREX_DecodeWorker on the device context) and keep a reference to its thread object in
// g_pWorkerThread; the handle is closed. Capture start runs in the application's process, so
// the handle is made a kernel handle: one in the application's handle table could be closed
// or replaced by the application, and would be invalid on the threads that later use the
// worker. When the reference cannot be had the worker is stopped again and has ended its
// loop before the handle is closed. PASSIVE_LEVEL. Returns the creation's failure status, or
// the status of taking the reference.
NTSTATUS StartWorkerThread(PDEVICE_CONTEXT DeviceContext) {
  OBJECT_ATTRIBUTES attributes;
  HANDLE thread = NULL;
  PVOID object = NULL;
  NTSTATUS status;

  InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
  status = PsCreateSystemThread(&thread, WORKER_THREAD_ACCESS, &attributes, NULL, NULL, LUMAREX_DecodeWorker,
                                DeviceContext);
  if (!NT_SUCCESS(status)) {
    goto Exit;
  }
  status = ObReferenceObjectByHandle(thread, WORKER_THREAD_ACCESS, *PsThreadType, KernelMode, &object, NULL);
  if (NT_SUCCESS(status)) {
    DeviceContext->g_pWorkerThread = (PKTHREAD)object;
  } else {
    // Without its thread object nobody could end the worker later (uninitialisation sees no
    // worker), and it would go on running driver code after the driver is gone: it is ended
    // now, while the handle still names it. A worker frees the frame buffers as it ends; the
    // stream's bandwidth still stands, so they are allocated again at the sizes they had, for
    // the next start.
    ULONG rawSize = DeviceContext->g_pRawBuf != NULL ? DeviceContext->g_nRawBufSize : 0;
    ULONG bmpSize = DeviceContext->g_pBmpBuf != NULL ? DeviceContext->g_nBmpBufSize : 0;
    ULONG ipSize = DeviceContext->g_pIPBuf != NULL ? DeviceContext->g_nIPBufSize : 0;
    KeSetEvent(&DeviceContext->g_StopWorkerEvent, 1, FALSE);
    KeWaitForSingleObject(&DeviceContext->g_WorkerExitedEvent, Executive, KernelMode, FALSE, NULL);
    KeClearEvent(&DeviceContext->g_WorkerExitedEvent);
    DeviceContext->g_nRawLength = rawSize;
    DeviceContext->g_nBmpBufSize = bmpSize;
    DeviceContext->g_nIPBufSize = ipSize;
    LUMAREX_AllocateMemory(DeviceContext, FALSE, rawSize != 0, bmpSize != 0, ipSize != 0);
  }
  ZwClose(thread);

Exit:
  return status;
}

// LUMAREX_StartVideoCapture - CamStartCapture: start the camera at the negotiated size; on the
// device's first start also reset the image-process context, initialise the worker's events
// and create the worker. Every start restarts the warm-up count.
// PASSIVE_LEVEL, on the class library's thread. Returns the start command's status when the
// worker already existed, else the worker creation's status.
NTSTATUS NTAPI LUMAREX_StartVideoCapture(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext) {
  PDEVICE_CONTEXT dc = (PDEVICE_CONTEXT)DeviceContext;
  NTSTATUS status;

  UNREFERENCED_PARAMETER(BusDeviceObject);
  DbgPrint("<lumarex>enter LUMAREX_StartVideoCapture 0x%x\n", (unsigned)dc->g_nRawFrameSize);
  // Without an image-process context (its allocation failed at initialisation) no frame could
  // be decoded: the start is refused before the camera is told anything.
  if (dc->g_pIPContext == NULL) {
    DbgPrint("<ERROR> StartVideoCapture without an ImageProcess Context\n");
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // The camera takes no command during the 150 ms after a start, so the lock covers both.
  LUMAREX_AcquireCommandLock(dc);
  status = LUMAREX_SendStartCommand(dc, dc->g_nRawFrameSize);
  LUMAREX_SettleDelay();
  LUMAREX_ReleaseCommandLock(dc);

  if (dc->g_bWorkerStarted == 0) {
    ZRImageProcess_Initialize(dc, dc->g_pIPContext);
    KeInitializeEvent(&dc->g_BufferFreeEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&dc->g_FrameReadyEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&dc->g_StopWorkerEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&dc->g_WorkerExitedEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&dc->g_RestartEvent, NotificationEvent, FALSE);
    status = StartWorkerThread(dc);
    if (!NT_SUCCESS(status)) {
      // The flag stays 0, so the next start tries again.
      DbgPrint("<vantor>StartWorkerThread Error");
      goto Exit;
    }
    dc->g_bWorkerStarted = 1;
  }
  dc->g_nWarmupFrames = 0;
  InterlockedExchange(&dc->g_bImageReady, 0);
  // Raw frames may reach the buffers and the worker again.
  InterlockedExchange(&dc->g_bFramesShutOut, 0);

Exit:
  if (NT_SUCCESS(status)) {
    InterlockedExchange(&dc->g_bCaptureRunning, 1);
  }
  return status;
}

// CamStartCapture - the version-1 callback: LUMAREX_StartVideoCapture. PASSIVE_LEVEL.
NTSTATUS NTAPI CamStartCapture(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext) {
  return LUMAREX_StartVideoCapture(BusDeviceObject, DeviceContext);
}

// CamStartCaptureEx - the USBCAMD2 callback: stream 0 (video) starts capture; the still
// stream needs nothing. PASSIVE_LEVEL. Returns the start's status, or STATUS_SUCCESS.
NTSTATUS NTAPI CamStartCaptureEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, ULONG StreamNumber) {
  if (StreamNumber != 0) {
    return STATUS_SUCCESS;
  }
  return CamStartCapture(BusDeviceObject, DeviceContext);
}

// CamStopCapture - stop the camera, make the next raw frame skip the wait for the worker
// (which may be holding no frame at all), and save the picture settings. The settings are
// saved whatever the camera answered: a camera unplugged while streaming fails the stop, and
// the settings of that capture would otherwise be lost. PASSIVE_LEVEL, on the class library's
// thread. Returns a failed stop command's status, else the save's result
// (LUMAREX_SAVE_SUCCESS when it worked).
NTSTATUS NTAPI CamStopCapture(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext) {
  PDEVICE_CONTEXT dc = (PDEVICE_CONTEXT)DeviceContext;
  NTSTATUS status;
  NTSTATUS saved;

  // An isochronous restart the worker has not begun is cancelled: the stream is stopping.
  InterlockedExchange(&dc->g_bRestartRequested, 0);
  // A raw frame the class library still delivers must not start another decode, nor undo the
  // reset below.
  LUMAREX_ShutOutRawFrames(dc);
  LUMAREX_AcquireCommandLock(dc);
  // From here a power change no longer restarts the camera.
  InterlockedExchange(&dc->g_bCaptureRunning, 0);
  status = LUMAREX_SendStopCommand(dc);
  // The worker may still be finishing the last frame; it counts the warm-up and clears the
  // skip flag when it ends one, so those are reset only once it has let go of the buffers
  // (otherwise its late writes could undo the reset for the next start).
  LUMAREX_WaitForWorkerIdle(dc);
  dc->g_nWarmupFrames = 0;
  InterlockedExchange(&dc->g_bImageReady, 0);
  InterlockedExchange((LONG volatile *)&dc->g_bSkipBufferWait, 1);
  LUMAREX_SettleDelay();
  LUMAREX_ReleaseCommandLock(dc);
  saved = LUMAREX_SaveSettings(BusDeviceObject, dc);
  return status != STATUS_SUCCESS ? status : saved;
}

// CamStopCaptureEx - the USBCAMD2 callback: stream 0 stops capture; the still stream needs
// nothing. PASSIVE_LEVEL. Returns the stop's status, or STATUS_SUCCESS.
NTSTATUS NTAPI CamStopCaptureEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, ULONG StreamNumber) {
  if (StreamNumber != 0) {
    return STATUS_SUCCESS;
  }
  return CamStopCapture(BusDeviceObject, DeviceContext);
}
