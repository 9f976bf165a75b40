// The device's pool blocks: the image-process context and the three frame buffers, allocated
// and freed by flag, and the reset of the device context's bookkeeping at configuration.
#include "imageproc.h"
#include "lumarex.h"

// STATUS_NO_MEMORY with one marker bit for the block that could not be had.
#define LUMAREX_NO_MEMORY_CONTEXT ((NTSTATUS)0xC0002017L)
#define LUMAREX_NO_MEMORY_RAW ((NTSTATUS)0xC0000217L)
#define LUMAREX_NO_MEMORY_BMP ((NTSTATUS)0xC0000417L)
#define LUMAREX_NO_MEMORY_IPBUF ((NTSTATUS)0xC0001017L)

// LUMAREX_ResetDeviceContext - clear the buffer, counter and worker fields at configuration.
// Nothing is freed; of the events only the raw-frame callbacks' exit event is initialised
// (capture start initialises the worker's). Any IRQL.
VOID LUMAREX_ResetDeviceContext(PDEVICE_CONTEXT DeviceContext) {
  PDEVICE_CONTEXT dc = DeviceContext;
  dc->g_pIPContext = NULL;
  dc->g_nIPContextSize = 0;
  dc->g_nWarmupFrames = 0;
  dc->g_nDecodeWidth = 0;
  dc->g_nDecodeHeight = 0;
  dc->g_pRawBuf = NULL;
  dc->g_pBmpBuf = NULL;
  dc->g_pIPBuf = NULL;
  dc->g_nRawLength = 0;
  dc->g_nRawBufSize = 0;
  dc->g_nBmpBufSize = 0;
  dc->g_nIPBufSize = 0;
  dc->g_nGoodFrames = 0;
  dc->g_nBadFrames = 0;
  dc->g_bWorkerStarted = 0;
  dc->g_pWorkerThread = NULL;
  dc->g_bFrameInFlight = 0;
  dc->g_bImageReady = 0;
  dc->g_bFramesShutOut = 0;
  dc->g_nCallbacksInside = 0;
  dc->g_bSkipBufferWait = 1;
  // Nothing waits on it at configuration: the class library delivers no raw frame before it.
  KeInitializeEvent(&dc->g_CallbackExitEvent, NotificationEvent, FALSE);
  dc->g_WorkerWaitObjects[0] = &dc->g_StopWorkerEvent;
  dc->g_WorkerWaitObjects[1] = &dc->g_FrameReadyEvent;
  dc->g_WorkerWaitObjects[2] = &dc->g_RestartEvent;
  dc->g_bRestartRequested = 0;
  dc->g_nStillsOwed = 0;
  dc->g_nStillFrame = 0;
}

// LUMAREX_AllocateMemory - allocate the requested blocks whose pointers are NULL, in the order
// context, raw, bitmap, image-process buffer; an existing block is kept. A failure does not
// stop the others. PASSIVE_LEVEL. Returns 0 or the or-ed STATUS_NO_MEMORY values.
NTSTATUS LUMAREX_AllocateMemory(PDEVICE_CONTEXT DeviceContext, BOOLEAN Context, BOOLEAN RawBuffer,
                                BOOLEAN BmpBuffer, BOOLEAN IPBuffer) {
  PDEVICE_CONTEXT dc = DeviceContext;
  NTSTATUS status = 0;

  if (Context && dc->g_pIPContext == NULL) {
    dc->g_nIPContextSize = ZRImageProcess_GetContextSize();
    DbgPrint("ImageProcess Context Size = %d(0x%08x)\n", (int)dc->g_nIPContextSize,
             (unsigned)dc->g_nIPContextSize);
    dc->g_pIPContext = ExAllocatePoolWithTag(NonPagedPool, dc->g_nIPContextSize, LUMAREX_POOL_TAG);
    if (dc->g_pIPContext == NULL) {
      status = LUMAREX_NO_MEMORY_CONTEXT;
      DbgPrint("<ERROR> Allocate Memory for ImageProcess Context (size=%d)\n", (int)dc->g_nIPContextSize);
    }
  }
  if (RawBuffer && dc->g_pRawBuf == NULL) {
    dc->g_pRawBuf = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, dc->g_nRawLength, LUMAREX_POOL_TAG);
    if (dc->g_pRawBuf == NULL) {
      status |= LUMAREX_NO_MEMORY_RAW;
      DbgPrint("<ERROR> Allocate Memory for Raw Buffer (size=%d)\n", (int)dc->g_nRawLength);
    } else {
      dc->g_nRawBufSize = dc->g_nRawLength;
      RtlZeroMemory(dc->g_pRawBuf, dc->g_nRawBufSize);
    }
  }
  if (BmpBuffer && dc->g_pBmpBuf == NULL) {
    dc->g_pBmpBuf = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, dc->g_nBmpBufSize, LUMAREX_POOL_TAG);
    if (dc->g_pBmpBuf == NULL) {
      status |= LUMAREX_NO_MEMORY_BMP;
      DbgPrint("<ERROR> Allocate Memory for Bmp Buffer (size=%d)\n", (int)dc->g_nBmpBufSize);
    } else {
      RtlZeroMemory(dc->g_pBmpBuf, dc->g_nBmpBufSize);  // pool holds what its last owner left
    }
    DbgPrint("DeviceContext->g_pBmpBuf = 0x%08x\n", (unsigned)(ULONG_PTR)dc->g_pBmpBuf);
  }
  if (IPBuffer && dc->g_pIPBuf == NULL) {
    dc->g_pIPBuf = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, dc->g_nIPBufSize, LUMAREX_POOL_TAG);
    if (dc->g_pIPBuf == NULL) {
      status |= LUMAREX_NO_MEMORY_IPBUF;
      DbgPrint("<ERROR> Allocate Memory for ImageProcess Buffer (size=%d)\n", (int)dc->g_nIPBufSize);
    } else {
      RtlZeroMemory(dc->g_pIPBuf, dc->g_nIPBufSize);
    }
  }
  return status;
}

// LUMAREX_FreeMemory - free the requested blocks that exist and clear their pointers and sizes
// (the context's size stays). PASSIVE_LEVEL.
VOID LUMAREX_FreeMemory(PDEVICE_CONTEXT DeviceContext, BOOLEAN Context, BOOLEAN RawBuffer, BOOLEAN BmpBuffer,
                        BOOLEAN IPBuffer) {
  PDEVICE_CONTEXT dc = DeviceContext;

  if (Context && dc->g_pIPContext != NULL) {
    ExFreePool(dc->g_pIPContext);
    dc->g_pIPContext = NULL;
    DbgPrint("DeviceContext->g_pIPContext = 0x%08x\n", 0u);
  }
  if (RawBuffer && dc->g_pRawBuf != NULL) {
    ExFreePool(dc->g_pRawBuf);
    dc->g_pRawBuf = NULL;
    dc->g_nRawLength = 0;
    dc->g_nRawBufSize = 0;
  }
  if (BmpBuffer && dc->g_pBmpBuf != NULL) {
    ExFreePool(dc->g_pBmpBuf);
    dc->g_pBmpBuf = NULL;
    dc->g_nBmpBufSize = 0;
    DbgPrint("DeviceContext->g_pBmpBuf = 0x%08x\n", 0u);
  }
  if (IPBuffer && dc->g_pIPBuf != NULL) {
    ExFreePool(dc->g_pIPBuf);
    dc->g_pIPBuf = NULL;
    dc->g_nIPBufSize = 0;
  }
}
