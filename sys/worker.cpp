// Frame hand-off and the decode worker.
//
// The raw-frame callback does not decode. It copies the frame's JPEG data into g_pRawBuf,
// fills the application's buffer with the image the worker finished for the previous frame
// (or a blank frame while the decoder warms up), snapshots the picture settings and wakes the
// worker. The worker decodes g_pRawBuf into g_pBmpBuf and runs the picture processing. Two
// notification events pass the buffers back and forth: g_FrameReadyEvent gives them to the
// worker, g_BufferFreeEvent gives them back. The output therefore lags the camera by one frame.
#include "imageproc.h"
#include "lumarex.h"

#define RAW_FRAME_HEADER_SIZE 80

// g_bSkipBufferWait is written by the worker after every frame while the callback may be
// reading it: both sides go through interlocked operations.
static ULONG ReadSkipBufferWait(PDEVICE_CONTEXT dc) {
  return (ULONG)InterlockedCompareExchange((LONG volatile *)&dc->g_bSkipBufferWait, 0, 0);
}

// The vector forms (the library's inverse DCT and colour conversion, the picture adjustments
// and converters with MMX or SSE2) touch the MMX or XMM registers, which a 32-bit kernel thread
// may use only with the floating-point state saved. Which forms the processor runs is decided
// once, at CamInitialize (g_nVectorForms); each frame then runs them only when its worker's
// save succeeded (g_nFrameForms), else the scalar forms. A failed save keeps that one frame of
// that one device to the scalar forms and changes nothing another device's worker reads. All
// forms give identical results, so only speed changes.
UCHAR LUMAREX_FrameForms(PDEVICE_CONTEXT DeviceContext) { return DeviceContext->g_nFrameForms; }

// Chooses the forms of the frame the worker is about to decode. The device's image-process
// context is told whether it may use the vector registers (it chooses its own forms from the
// processor); it belongs to this worker alone.
static VOID ChooseFrameForms(PDEVICE_CONTEXT dc, BOOLEAN saved) {
  dc->g_nFrameForms = saved ? dc->g_nVectorForms : (UCHAR)LUMAREX_FORMS_SCALAR;
  if (dc->g_pIPContext != NULL) {
    ZRImageProcess_AllowVectorForms(dc->g_pIPContext, (BOOLEAN)(dc->g_nFrameForms != LUMAREX_FORMS_SCALAR));
  }
}

// LUMAREX_OutputImageSize - bytes of the image the output format delivers. Any IRQL.
ULONG LUMAREX_OutputImageSize(UCHAR Format, LONG Width, LONG Height) {
  ULONG pixels;
  if (Width <= 0 || Height <= 0) {
    return 0;
  }
  pixels = (ULONG)Width * (ULONG)Height;
  switch (Format) {
    case LUMAREX_FORMAT_RGB24:
      return pixels * 3;
    case LUMAREX_FORMAT_YUY2:
      return pixels * 2;
    case LUMAREX_FORMAT_I420:
      return pixels + pixels / 2;
    default:
      return 0;
  }
}

// Fill the first frameLength bytes of the application's buffer with a blank frame of the
// output format: RGB24 black, YUY2 luma 0 with chroma 128, I420 a black luma plane with chroma
// planes of 128.
static VOID FillBlankFrame(UCHAR format, PUCHAR out, ULONG frameLength, LONG width, LONG height) {
  switch (format) {
    case LUMAREX_FORMAT_RGB24:
      RtlZeroMemory(out, frameLength);
      break;
    case LUMAREX_FORMAT_YUY2:
      for (ULONG i = 0; i < frameLength; ++i) {
        out[i] = (i & 1) ? 0x80 : 0x00;
      }
      break;
    case LUMAREX_FORMAT_I420: {
      ULONG luma = (ULONG)width * (ULONG)height;
      ULONG chroma = luma / 2;
      if (luma > frameLength) {
        luma = frameLength;
      }
      if (chroma > frameLength - luma) {
        chroma = frameLength - luma;
      }
      RtlZeroMemory(out, luma);
      RtlFillMemory(out + luma, chroma, 0x80);
      break;
    }
    default:
      break;
  }
}

static BOOLEAN FramesShutOut(PDEVICE_CONTEXT dc) {
  return InterlockedCompareExchange(&dc->g_bFramesShutOut, 0, 0) != 0;
}

// The last raw-frame callback to leave wakes a stop waiting for it. The flag is read after the
// count has dropped: a stop sets it before it reads the count, so either the stop sees this
// callback gone or this callback sees the stop.
static VOID LeaveRawFrameCallback(PDEVICE_CONTEXT dc) {
  if (InterlockedDecrement(&dc->g_nCallbacksInside) == 0 && FramesShutOut(dc)) {
    KeSetEvent(&dc->g_CallbackExitEvent, IO_NO_INCREMENT, FALSE);
  }
}

// CamProcessRawVideoFrame - one complete raw frame (80-byte header, then JPEG data) from the
// class library, and the application's buffer to fill.
// Called at PASSIVE_LEVEL: it blocks until the worker is done with the previous frame.
// *BytesReturned holds the raw byte count on entry and, on return, the bytes of the output
// frame (never more than FrameLength). Always returns STATUS_SUCCESS.
NTSTATUS NTAPI CamProcessRawVideoFrame(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, PVOID FrameContext,
                                       PVOID FrameBuffer, ULONG FrameLength, PVOID RawFrameBuffer,
                                       ULONG RawFrameLength, ULONG NumberOfPackets, PULONG BytesReturned) {
  PDEVICE_CONTEXT dc = (PDEVICE_CONTEXT)DeviceContext;
  PUCHAR raw = (PUCHAR)RawFrameBuffer;
  PUCHAR out = (PUCHAR)FrameBuffer;
  ULONG byteCount;
  ULONG imageSize;
  ULONG outBytes;
  BOOLEAN intact;
  BOOLEAN usable;
  BOOLEAN holdBuffers;
  BOOLEAN shutOut;

  UNREFERENCED_PARAMETER(BusDeviceObject);
  UNREFERENCED_PARAMETER(RawFrameLength);
  UNREFERENCED_PARAMETER(NumberOfPackets);

  // The frame reached the driver: a still it carries is settled, one an earlier frame carried
  // and that never came goes back to be placed again.
  LUMAREX_StillFrameArrived(dc, FrameContext, raw != NULL && *BytesReturned != 0);
  if (raw == NULL || *BytesReturned == 0) {
    return STATUS_SUCCESS;
  }
  // Counted in before the shut-out flag is read, so that a stop either sees this callback
  // inside and waits for it, or has set the flag before the callback reads it.
  InterlockedIncrement(&dc->g_nCallbacksInside);
  shutOut = FramesShutOut(dc);

  byteCount = *BytesReturned;
  dc->g_nRawByteCount = byteCount;
  dc->g_nSnapshotWidth = dc->g_nFrameWidth;
  dc->g_nSnapshotHeight = dc->g_nFrameHeight;
  imageSize = LUMAREX_OutputImageSize(dc->g_nOutputFormat, dc->g_nSnapshotWidth, dc->g_nSnapshotHeight);

  // A frame shorter than its header, or with more JPEG data than g_pRawBuf holds, is not
  // handed to the worker: it counts as bad and the application gets the previous image. Nor is
  // any frame while there is no worker or no image-process context to decode it with.
  // While frames are shut out the buffer fields belong to the stop or release under way and
  // are not even read.
  intact = !shutOut && byteCount >= RAW_FRAME_HEADER_SIZE && dc->g_pRawBuf != NULL &&
           byteCount - RAW_FRAME_HEADER_SIZE <= dc->g_nRawBufSize;
  usable = intact && dc->g_bWorkerStarted && dc->g_pIPContext != NULL;

  // Take the shared buffers back from the worker. Until the worker has finished a frame since
  // the start, nobody would signal the event: then neither wait nor copy. But once a frame has
  // been handed over, the worker will signal when it is done with it, so the next frame waits
  // for that too: without the wait, frames arriving while the worker's first frame is still
  // being decoded would neither be copied nor decoded, and the images the application gets
  // would no longer follow the camera's frames. g_nRawLength belongs to the buffers: it changes
  // only while the worker is not decoding with it.
  holdBuffers = !shutOut && dc->g_bWorkerStarted &&
                (ReadSkipBufferWait(dc) == 0 || InterlockedCompareExchange(&dc->g_bFrameInFlight, 0, 0) != 0);
  if (holdBuffers) {
    KeWaitForSingleObject(&dc->g_BufferFreeEvent, Executive, KernelMode, FALSE, NULL);
    KeClearEvent(&dc->g_BufferFreeEvent);
    // A stop that began while this callback waited owns the buffers from now on.
    if (FramesShutOut(dc)) {
      shutOut = TRUE;
      usable = FALSE;
    } else if (usable) {
      dc->g_nRawLength = byteCount - RAW_FRAME_HEADER_SIZE;
      RtlCopyMemory(dc->g_pRawBuf, raw + RAW_FRAME_HEADER_SIZE, dc->g_nRawLength);
    }
  } else if (usable && InterlockedCompareExchange(&dc->g_bFrameInFlight, 0, 0) == 0) {
    dc->g_nRawLength = byteCount - RAW_FRAME_HEADER_SIZE;
  }

  outBytes = 0;
  if (dc->g_nOutputFormat == LUMAREX_FORMAT_MJPG) {
    // While frames are shut out the worker may still be counting its last frame: the count of
    // blank frames owed is left alone then.
    if ((!shutOut && dc->g_nBadFrames != 0) || byteCount < RAW_FRAME_HEADER_SIZE) {
      RtlFillMemory(out, FrameLength, 0xFF);
      outBytes = FrameLength;
      if (!shutOut && dc->g_nBadFrames != 0) {
        dc->g_nBadFrames--;
      }
    } else {
      ULONG jpegLength = byteCount - RAW_FRAME_HEADER_SIZE;
      outBytes = jpegLength < FrameLength ? jpegLength : FrameLength;
      RtlCopyMemory(out, raw + RAW_FRAME_HEADER_SIZE, outBytes);
    }
  } else {
    outBytes = imageSize < FrameLength ? imageSize : FrameLength;
    // The image is shown only while this callback holds the buffers, and only once the worker
    // has completed one since the start: before that g_pBmpBuf holds no picture of this stream.
    if (holdBuffers && !shutOut && dc->g_nWarmupFrames > 6 && InterlockedCompareExchange(&dc->g_bImageReady, 0, 0) &&
        dc->g_pBmpBuf != NULL && outBytes <= dc->g_nBmpBufSize) {
      RtlCopyMemory(out, dc->g_pBmpBuf, outBytes);
    } else {
      FillBlankFrame(dc->g_nOutputFormat, out, outBytes, dc->g_nSnapshotWidth, dc->g_nSnapshotHeight);
    }
  }
  *BytesReturned = outBytes;

  if (usable) {
    // The settings' snapshot for this frame; a property set may store one meanwhile.
    dc->g_FrameSettings.Brightness = InterlockedCompareExchange(&dc->g_nBrightness, 0, 0);
    dc->g_FrameSettings.Contrast = InterlockedCompareExchange(&dc->g_nContrast, 0, 0);
    dc->g_FrameSettings.Sharpness = InterlockedCompareExchange(&dc->g_nSharpness, 0, 0);
    dc->g_FrameSettings.Saturation = InterlockedCompareExchange(&dc->g_nSaturation, 0, 0);
    dc->g_FrameSettings.WhiteBalance = InterlockedCompareExchange(&dc->g_nWhiteBalance, 0, 0);
    // From here until the worker signals g_BufferFreeEvent the buffers are the worker's.
    KeClearEvent(&dc->g_BufferFreeEvent);
    InterlockedExchange(&dc->g_bFrameInFlight, 1);
    KeSetEvent(&dc->g_FrameReadyEvent, 1, FALSE);
  } else {
    if (!shutOut) {
      dc->g_nBadFrames++;
    }
    if (holdBuffers) {
      KeSetEvent(&dc->g_BufferFreeEvent, 1, FALSE);  // give back what was taken, untouched
    }
  }
  LeaveRawFrameCallback(dc);
  return STATUS_SUCCESS;
}

// CamProcessRawVideoFrameEx - the USBCAMD2 form. The assembled length comes in
// ActualRawFrameLength; a class library need not preset *BytesReturned with it, so when
// *BytesReturned is 0 on entry the actual length is taken. Neither is trusted beyond the raw
// frame buffer's RawFrameLength bytes. The stream is not used.
NTSTATUS NTAPI CamProcessRawVideoFrameEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                         PVOID FrameContext, PVOID FrameBuffer, ULONG FrameLength,
                                         PVOID RawFrameBuffer, ULONG RawFrameLength, ULONG NumberOfPackets,
                                         PULONG BytesReturned, ULONG ActualRawFrameLength, ULONG StreamNumber) {
  UNREFERENCED_PARAMETER(StreamNumber);
  if (*BytesReturned == 0) {
    *BytesReturned = ActualRawFrameLength;
  }
  if (*BytesReturned > RawFrameLength) {
    *BytesReturned = RawFrameLength;
  }
  return CamProcessRawVideoFrame(BusDeviceObject, DeviceContext, FrameContext, FrameBuffer, FrameLength,
                                 RawFrameBuffer, RawFrameLength, NumberOfPackets, BytesReturned);
}

// CamNewVideoFrame(Ex) - a new frame begins: its frame context gets the frame's serial, with
// which the packet routine and the raw-frame callback follow a still to the application.
VOID NTAPI CamNewVideoFrame(PVOID DeviceContext, PVOID FrameContext) {
  LUMAREX_BeginFrame((PDEVICE_CONTEXT)DeviceContext, FrameContext);
}

VOID NTAPI CamNewVideoFrameEx(PVOID DeviceContext, PVOID FrameContext, ULONG StreamNumber, PULONG FrameLength) {
  LUMAREX_BeginFrame((PDEVICE_CONTEXT)DeviceContext, FrameContext);
  UNREFERENCED_PARAMETER(StreamNumber);
  UNREFERENCED_PARAMETER(FrameLength);
}

// LUMAREX_DecodeFrame - decode g_pRawBuf and, once warmed up, make it the image in g_pBmpBuf
// and process it. Runs on the worker at PASSIVE_LEVEL, with the frame buffers in its hands.
VOID LUMAREX_DecodeFrame(PDEVICE_CONTEXT DeviceContext) {
  PDEVICE_CONTEXT dc = DeviceContext;
  LONG width = dc->g_nDecodeWidth;
  LONG height = dc->g_nDecodeHeight;
  ULONG info4[4] = {0, 0, 0, 0};
  ULONG info3[3] = {0, 0, 0};
  USHORT info24[24] = {0};
  KFLOATING_SAVE floatSave;
  BOOLEAN saved;
  LONG result = 1;
  PUCHAR target;
  ULONG targetSize;
  PUCHAR swapBuf;
  ULONG swapSize;

  saved = NT_SUCCESS(KeSaveFloatingPointState(&floatSave));
  ChooseFrameForms(dc, saved);

  if (dc->g_pRawBuf != NULL && dc->g_pBmpBuf != NULL && dc->g_pIPContext != NULL) {
    // The decoder may write no more than the negotiated image: a larger frame is refused
    // before anything is written; a smaller one is not the picture the application asked for
    // and counts as bad too.
    ULONG capacity = (ULONG)dc->g_nDecodeWidth * (ULONG)dc->g_nDecodeHeight * 3;
    // A decode that fails half-way has already written its first rows. It therefore goes into
    // the spare image buffer when that can hold the image, and only a frame that decoded whole
    // becomes the image (the two buffers change places), so a bad frame leaves the previous
    // image as it was.
    if (dc->g_pIPBuf != NULL && dc->g_nIPBufSize >= capacity) {
      target = dc->g_pIPBuf;
      targetSize = dc->g_nIPBufSize;
    } else {
      target = dc->g_pBmpBuf;
      targetSize = dc->g_nBmpBufSize;
    }
    if (capacity > targetSize) {
      capacity = targetSize;
    }
    result = jpg_decode(dc->g_pIPContext, 0, dc->g_pRawBuf, dc->g_nRawLength, target, capacity, &width, &height,
                        info4, info3, info24);
    if (result == 0 && (width != dc->g_nDecodeWidth || height != dc->g_nDecodeHeight)) {
      result = 1;
    }
    if (result == 0 && dc->g_nWarmupFrames >= 6 && target != dc->g_pBmpBuf) {
      swapBuf = dc->g_pBmpBuf;
      swapSize = dc->g_nBmpBufSize;
      dc->g_pBmpBuf = dc->g_pIPBuf;
      dc->g_nBmpBufSize = dc->g_nIPBufSize;
      dc->g_pIPBuf = swapBuf;
      dc->g_nIPBufSize = swapSize;
    }
  }

  if (result == 0 && dc->g_nWarmupFrames >= 6) {
    dc->g_nGoodFrames++;
    LUMAREX_ProcessImage(dc);
    InterlockedExchange(&dc->g_bImageReady, 1);
  } else {
    dc->g_nBadFrames++;
    DbgPrint("<vantor><####>jpg_decode() BAD= %d(%d:%d)\n", (int)result, (int)dc->g_nGoodFrames,
             (int)dc->g_nBadFrames);
  }

  // Past the saved region nothing may run the vector forms.
  ChooseFrameForms(dc, FALSE);
  if (saved) {
    KeRestoreFloatingPointState(&floatSave);
  }
}

// LUMAREX_ShutOutRawFrames - from now until the next capture start, raw frames neither touch
// the frame buffers nor reach the worker (the application gets blank frames); returns once no
// raw-frame callback is inside any more. Capture stop and the bandwidth callbacks call it
// before they change or free what the callback uses. PASSIVE_LEVEL.
VOID LUMAREX_ShutOutRawFrames(PDEVICE_CONTEXT DeviceContext) {
  PDEVICE_CONTEXT dc = DeviceContext;
  InterlockedExchange(&dc->g_bFramesShutOut, 1);
  // A callback inside may be waiting for the worker to finish its frame; it then sees the flag
  // and gives the buffers back untouched. The event may still be set by an earlier leave, so
  // the count is read again after every wake.
  while (InterlockedCompareExchange(&dc->g_nCallbacksInside, 0, 0) != 0) {
    KeWaitForSingleObject(&dc->g_CallbackExitEvent, Executive, KernelMode, FALSE, NULL);
    KeClearEvent(&dc->g_CallbackExitEvent);
  }
}

// LUMAREX_WaitForWorkerIdle - return once the worker holds none of the frame buffers, so they
// can be released. Called at PASSIVE_LEVEL with raw frames shut out.
VOID LUMAREX_WaitForWorkerIdle(PDEVICE_CONTEXT DeviceContext) {
  PDEVICE_CONTEXT dc = DeviceContext;
  if (dc->g_bWorkerStarted && InterlockedCompareExchange(&dc->g_bFrameInFlight, 0, 0) != 0) {
    KeWaitForSingleObject(&dc->g_BufferFreeEvent, Executive, KernelMode, FALSE, NULL);
  }
}

// LUMAREX_DecodeWorker - the worker thread of one device, from the first capture start until
// the device is uninitialised. StartContext is the device context.
VOID NTAPI LUMAREX_DecodeWorker(PVOID StartContext) {
  PDEVICE_CONTEXT dc = (PDEVICE_CONTEXT)StartContext;

  for (;;) {
    // Stop is entry 0, so it wins when several events are signalled; entry 2 asks for an
    // isochronous restart (a frame that is ready too comes first, being entry 1).
    NTSTATUS status = KeWaitForMultipleObjects(LUMAREX_WORKER_WAIT_OBJECTS, dc->g_WorkerWaitObjects, WaitAny,
                                               Executive, KernelMode, FALSE, NULL, NULL);
    if (status == STATUS_WAIT_0) {
      break;
    }
    if (status == STATUS_WAIT_0 + 2) {
      LUMAREX_RestartIsoPipe(dc);
      continue;
    }
    KeClearEvent(&dc->g_FrameReadyEvent);

    // The first frames after a start warm the decoder up: each of the first six is decoded and
    // the library reset after it; only from the sixth on is a frame processed and counted good.
    UCHAR warmup = dc->g_nWarmupFrames;
    if (warmup < 6) {
      dc->g_nWarmupFrames = (UCHAR)(warmup + 1);
      LUMAREX_DecodeFrame(dc);
      if (dc->g_pIPContext != NULL) {
        ZRImageProcess_Initialize(dc, dc->g_pIPContext);
      }
    } else {
      if (warmup == 6) {
        dc->g_nWarmupFrames = 7;
      }
      LUMAREX_DecodeFrame(dc);
    }

    InterlockedExchange((LONG volatile *)&dc->g_bSkipBufferWait, 0);
    InterlockedExchange(&dc->g_bFrameInFlight, 0);
    KeSetEvent(&dc->g_BufferFreeEvent, 1, FALSE);
  }

  KeClearEvent(&dc->g_StopWorkerEvent);
  LUMAREX_FreeMemory(dc, FALSE, TRUE, TRUE, TRUE);
  KeSetEvent(&dc->g_WorkerExitedEvent, 1, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}
