// The per-camera record. The class library allocates one per device, zero-filled, at the
// size DriverEntry reports, and passes it to every camera callback.
#pragma once

#include "platform.h"

// Rows the YUY2 and I420 converters can address through g_pRowTable; no offered format is
// taller.
#define LUMAREX_MAX_ROWS 480

// Events the decode worker waits on (g_WorkerWaitObjects).
#define LUMAREX_WORKER_WAIT_OBJECTS 3

// Picture settings as the raw-frame callback copied them from the device context when it
// handed a frame to the worker; the worker's picture processing reads these, never the live
// settings, which property requests may change meanwhile.
typedef struct _LUMAREX_FRAME_SETTINGS {
  LONG Brightness;
  LONG Contrast;
  LONG Sharpness;
  LONG Saturation;
  LONG WhiteBalance;
} LUMAREX_FRAME_SETTINGS, *PLUMAREX_FRAME_SETTINGS;

struct DeviceContext {
  PUSBD_INTERFACE_INFORMATION g_pInterfaceInfo;  // driver's copy, pipe 0 = isochronous data
  LONG g_nStreamWidth;
  ULONG g_nFrameRateIndex;
  LONG g_nBrightness;
  LONG g_nContrast;
  LONG g_nSaturation;
  LONG g_nSharpness;
  LONG g_nWhiteBalance;
  LONG g_nCompressionQuality;
  ULONG g_nNumberOfStreams;
  UCHAR g_bLastButton;      // snapshot button bit of the last status byte tested
  UCHAR g_bStillRequested;  // software still trigger, consumed by the packet callback
  UCHAR g_bStreamOpened;
  USBCAMD_INTERFACE g_UsbcamdInterface;  // Interface.Version 0: not obtained
  PDEVICE_OBJECT g_pClassDeviceObject;
  PDEVICE_OBJECT g_pPhysicalDeviceObject;
  LONG g_nFrameWidth;
  LONG g_nFrameHeight;
  PVOID g_pIPContext;
  ULONG g_nIPContextSize;
  UCHAR g_nWarmupFrames;
  LONG g_nDecodeWidth;
  LONG g_nDecodeHeight;
  PUCHAR g_pRawBuf;
  PUCHAR g_pBmpBuf;
  PUCHAR g_pIPBuf;
  ULONG g_nRawLength;
  ULONG g_nBmpBufSize;
  ULONG g_nIPBufSize;
  PUCHAR g_pRowTable[LUMAREX_MAX_ROWS];
  UCHAR g_nOutputFormat;  // 1 RGB24, 2 I420, 3 YUY2, 10 MJPG
  ULONG g_nGoodFrames;
  ULONG g_nBadFrames;
  ULONG g_bSkipBufferWait;
  ULONG g_bWorkerStarted;
  KEVENT g_FrameReadyEvent;
  KEVENT g_BufferFreeEvent;
  KEVENT g_StopWorkerEvent;
  KEVENT g_WorkerExitedEvent;
  PKTHREAD g_pWorkerThread;
  // g_StopWorkerEvent, g_FrameReadyEvent, g_RestartEvent, in this order (stop wins)
  PVOID g_WorkerWaitObjects[LUMAREX_WORKER_WAIT_OBJECTS];
  // Capacity of g_pRawBuf, kept apart from g_nRawLength (which holds the current frame's
  // length once frames flow), so no frame is copied past the buffer's end.
  ULONG g_nRawBufSize;
  // 1 from the moment a frame is handed to the worker until the worker is done with the frame
  // buffers; releasing the buffers waits while it is set.
  LONG volatile g_bFrameInFlight;
  // Serialises the camera's command sequences: a sequence of vendor commands and bulk
  // transfers must reach the camera's controller whole, or two property requests would
  // interleave their commands on the control pipe. A synchronization event used as a lock,
  // initialised by CamInitialize and held inside a critical region.
  KEVENT g_CommandLock;
  // Per-camera stream state: each camera's start command, frame sizes and settings snapshot
  // are its own, however many cameras stream at once.
  ULONG g_nRawFrameSize;    // width * height of the negotiated format
  ULONG g_nRawByteCount;    // byte count of the last raw frame
  LONG g_nSnapshotWidth;    // frame size taken with the settings
  LONG g_nSnapshotHeight;
  LUMAREX_FRAME_SETTINGS g_FrameSettings;
  // 1 once the worker has completed an image since the last capture start; until then the
  // application gets the blank frame of its format, never what g_pBmpBuf happens to hold.
  LONG volatile g_bImageReady;
  // 1 from the moment capture stop, bandwidth allocation or release begins until the next
  // capture start: raw frames that arrive meanwhile neither touch the frame buffers nor reach
  // the worker. g_nCallbacksInside counts raw-frame callbacks in progress; the last one to
  // leave signals g_CallbackExitEvent, which the stop waits on.
  LONG volatile g_bFramesShutOut;
  LONG volatile g_nCallbacksInside;
  KEVENT g_CallbackExitEvent;
  // The forms of the picture adjustments and converters (LUMAREX_FORMS_SCALAR, _MMX, _SSE2).
  // g_nVectorForms: the fastest the processor runs, decided once at CamInitialize.
  // g_nFrameForms: those the frame the worker is decoding runs, the scalar forms when its
  // floating-point state could not be saved; written and read only by this device's worker, so
  // a failed save on one device never changes what another device's worker runs.
  UCHAR g_nVectorForms;
  UCHAR g_nFrameForms;

  // ---- Capture across power changes ----
  // 1 from a successful capture start until capture stop. A camera that loses power (D3)
  // forgets its start command; CamRestoreState sends it again while this is set.
  LONG volatile g_bCaptureRunning;

  // ---- Isochronous restart and still accounting ----
  // The camera's request to restart the isochronous pipe: the packet routine, which runs at
  // DISPATCH_LEVEL and must not wait, sets g_bRestartRequested and g_RestartEvent; the worker
  // carries the restart out at PASSIVE_LEVEL. Capture stop clears the request. The event is
  // initialised with the worker's other events.
  LONG volatile g_bRestartRequested;
  KEVENT g_RestartEvent;
  // A still must end on a frame the application gets. Each frame's 4-byte frame context holds
  // the frame's serial (from g_nFrameSerial, never 0) and whether it carries a still or is known
  // to be dropped (LUMAREX_FRAME_*). g_nStillsOwed counts button presses and stills taken back
  // from dropped frames, still to be placed; g_nStillFrame is the frame context (serial part) of
  // the frame carrying a still whose fate is not known yet, 0 when none.
  ULONG g_nFrameSerial;
  LONG volatile g_nStillsOwed;
  LONG volatile g_nStillFrame;

  // ---- Stream open ----
  // A stream open handed on to the class library and not yet known to have succeeded: the
  // request is gone once handed on, so its stream object, number and width are kept here, and
  // g_bStreamOpened and g_nStreamWidth take them only when the class library next calls the
  // driver for that stream (a stream request, or bandwidth allocation for that stream number),
  // which it does only for a stream it opened. NULL: no open pending.
  PVOID g_pOpeningStream;
  LONG g_nOpeningStreamNumber;
  LONG g_nOpeningWidth;
};

typedef struct DeviceContext *PDEVICE_CONTEXT;

#if defined(__i386__)
// The record as the 32-bit driver lays it out.
static_assert(sizeof(USBCAMD_INTERFACE) == 36, "USBCAMD_INTERFACE is 36 bytes on x86");
static_assert(offsetof(DeviceContext, g_UsbcamdInterface) == 44, "device context layout");
static_assert(offsetof(DeviceContext, g_pRowTable) == 140, "device context layout");
static_assert(offsetof(DeviceContext, g_FrameReadyEvent) == 2080, "device context layout");
static_assert(offsetof(DeviceContext, g_WorkerWaitObjects) == 2148, "device context layout");
static_assert(offsetof(DeviceContext, g_CommandLock) == 2168, "device context layout");
static_assert(offsetof(DeviceContext, g_nRawFrameSize) == 2184, "device context layout");
static_assert(offsetof(DeviceContext, g_bRestartRequested) == 2256, "device context layout");
static_assert(sizeof(DeviceContext) == 2300, "device context layout");
#endif
