// Bandwidth and output-format selection: the class library's bandwidth callbacks fix the output
// format code, the decode and buffer sizes and the raw frame length for a stream's format, and
// allocate and release the three frame buffers.
#include "imageproc.h"
#include "lumarex.h"

// Raw frame length the still pin reports; it allocates nothing.
#define STILL_RAW_FRAME_LENGTH 76800

// The accepted heights, in the table at the bottom of this file.
extern const LONG LUMAREX_AcceptedHeights[];
extern const ULONG LUMAREX_AcceptedHeightCount;

// OutputFormatCode - the output format code for a biCompression value and the
// five-character name the log prints for it. Any IRQL. Returns 0 for an unknown compression.
static UCHAR OutputFormatCode(ULONG Compression, const char **Name) {
  switch (Compression) {
    case KS_BI_RGB:
      *Name = "RGB24";
      return LUMAREX_FORMAT_RGB24;
    case LUMAREX_FOURCC_I420:
      *Name = "I420 ";
      return LUMAREX_FORMAT_I420;
    case LUMAREX_FOURCC_YUY2:
      *Name = "YUV2 ";  // the name this log line has always printed
      return LUMAREX_FORMAT_YUY2;
    case LUMAREX_FOURCC_MJPG:
      *Name = "JPEG ";
      return LUMAREX_FORMAT_MJPG;
    default:
      *Name = "";
      return 0;
  }
}

// Whether the frame height is one the decoder's buffers are laid out for.
static BOOLEAN HeightAccepted(LONG Height) {
  ULONG i;
  for (i = 0; i < LUMAREX_AcceptedHeightCount; ++i) {
    if (LUMAREX_AcceptedHeights[i] == Height) {
      return TRUE;
    }
  }
  return FALSE;
}

// Frees one existing frame buffer that is smaller than the size the new format needs, so the
// allocation that follows gets a block of that size; a block that is large enough is kept with
// its own size. The worker is first let go of the buffers.
static VOID DropSmallBuffers(PDEVICE_CONTEXT dc, ULONG RawLength, ULONG BmpSize, ULONG IPSize) {
  BOOLEAN raw = dc->g_pRawBuf != NULL && dc->g_nRawBufSize < RawLength;
  BOOLEAN bmp = dc->g_pBmpBuf != NULL && dc->g_nBmpBufSize < BmpSize;
  BOOLEAN ip = dc->g_pIPBuf != NULL && dc->g_nIPBufSize < IPSize;
  if (raw || bmp || ip) {
    LUMAREX_WaitForWorkerIdle(dc);
    LUMAREX_FreeMemory(dc, FALSE, raw, bmp, ip);
  }
}

// CamAllocateBandwidth - fix the output format and sizes for the stream's format, report the
// raw frame length, restore the picture settings and allocate the frame buffers. PASSIVE_LEVEL.
// Returns STATUS_SUCCESS, STATUS_INVALID_PARAMETER for a format the driver cannot produce, or
// the or-ed allocation errors.
NTSTATUS NTAPI CamAllocateBandwidth(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, PULONG RawFrameLength,
                                    PVOID Format) {
  PDEVICE_CONTEXT dc = (PDEVICE_CONTEXT)DeviceContext;
  PKS_DATAFORMAT_VIDEOINFOHEADER format = (PKS_DATAFORMAT_VIDEOINFOHEADER)Format;
  const char *name;
  LONG width;
  LONG height;
  UCHAR code;
  ULONGLONG rawLength;
  ULONGLONG bufSize;
  ULONGLONG imageSize;
  NTSTATUS status;

  // The worker may still be finishing the last frame of an earlier stream, and a raw frame may
  // still arrive; neither may use a context being reset or buffers being replaced.
  LUMAREX_ShutOutRawFrames(dc);
  LUMAREX_WaitForWorkerIdle(dc);
  if (dc->g_pIPContext != NULL) {
    ZRImageProcess_Initialize(dc, dc->g_pIPContext);
  }
  *RawFrameLength = 0;
  if (format == NULL || format->DataFormat.FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
    DbgPrint("<ERROR> Bad Driver Output Format\n");
    return STATUS_INVALID_PARAMETER;
  }
  width = format->VideoInfoHeader.bmiHeader.biWidth;
  height = format->VideoInfoHeader.bmiHeader.biHeight;
  dc->g_nFrameWidth = width;
  dc->g_nFrameHeight = height;

  code = OutputFormatCode(format->VideoInfoHeader.bmiHeader.biCompression, &name);
  if (code == 0) {
    DbgPrint("<ERROR> Bad Driver Output Compression: 0x%08x\n",
             (unsigned)format->VideoInfoHeader.bmiHeader.biCompression);
    return STATUS_INVALID_PARAMETER;
  }
  dc->g_nOutputFormat = code;
  DbgPrint("<AllocateBandWidth>Driver Output Format=%d(%s)\n", (int)code, name);

  dc->g_nFrameRateIndex = 2;
  *RawFrameLength = (ULONG)width * (ULONG)height;
  dc->g_nRawFrameSize = (ULONG)width * (ULONG)height;
  LUMAREX_RestoreSettings(BusDeviceObject, dc);
  dc->g_bLastButton = 0;
  LUMAREX_WRITE_FLAG(&dc->g_bStillRequested, 0);
  LUMAREX_ClearStills(dc);

  // The buffer sizes below grow with the width; a width that is not positive, or so wide that
  // a bitmap no longer fits in 32 bits, has no buffers.
  imageSize = (ULONGLONG)(ULONG)width * (ULONG)(height > 0 ? height : 0) * 3;
  if (!HeightAccepted(height) || width <= 0 || imageSize > MAXULONG) {
    DbgPrint("<ERROR>Unsupport Driver Output Size(%d,%d)!\n", (int)width, (int)height);
    return STATUS_INVALID_PARAMETER;
  }

  rawLength = ((ULONGLONG)width + 20480) * 30;
  bufSize = ((ULONGLONG)width + 30816) * 30;
  // The formulas cover the offered sizes; taller frames need a whole bitmap.
  if (bufSize < imageSize) {
    bufSize = imageSize;
  }
  if (rawLength > MAXULONG || bufSize > MAXULONG) {
    DbgPrint("<ERROR>Unsupport Driver Output Size(%d,%d)!\n", (int)width, (int)height);
    return STATUS_INVALID_PARAMETER;
  }

  // Buffers kept from an earlier allocation keep their own sizes; those too small are replaced.
  DropSmallBuffers(dc, (ULONG)rawLength, (ULONG)bufSize, (ULONG)bufSize);
  dc->g_nRawLength = (ULONG)rawLength;
  if (dc->g_pBmpBuf == NULL) {
    dc->g_nBmpBufSize = (ULONG)bufSize;
  }
  if (dc->g_pIPBuf == NULL) {
    dc->g_nIPBufSize = (ULONG)bufSize;
  }
  dc->g_nDecodeWidth = width;
  dc->g_nDecodeHeight = height;

  status = LUMAREX_AllocateMemory(dc, FALSE, TRUE, TRUE, TRUE);
  if (status < 0) {
    DbgPrint("<ERROR> Allocate System Memory Error=0x%08x\n", (unsigned)status);
  }
  return status;
}

// CamAllocateBandwidthEx - the USBCAMD2 form: the capture pin allocates, the still pin only
// reports its raw frame length. PASSIVE_LEVEL. Returns CamAllocateBandwidth's status or
// STATUS_SUCCESS.
NTSTATUS NTAPI CamAllocateBandwidthEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                      PULONG RawFrameLength, PVOID Format, ULONG StreamNumber) {
  // The class library allocates only for a stream it opened.
  LUMAREX_CommitStreamOpen((PDEVICE_CONTEXT)DeviceContext, NULL, (LONG)StreamNumber);
  if (StreamNumber == 0) {
    return CamAllocateBandwidth(BusDeviceObject, DeviceContext, RawFrameLength, Format);
  }
  *RawFrameLength = STILL_RAW_FRAME_LENGTH;
  return STATUS_SUCCESS;
}

// CamFreeBandwidth - release the three frame buffers once the worker has let go of them; the
// image-process context stays. PASSIVE_LEVEL. Returns STATUS_SUCCESS.
NTSTATUS NTAPI CamFreeBandwidth(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext) {
  PDEVICE_CONTEXT dc = (PDEVICE_CONTEXT)DeviceContext;

  UNREFERENCED_PARAMETER(BusDeviceObject);

  LUMAREX_ShutOutRawFrames(dc);
  LUMAREX_WaitForWorkerIdle(dc);
  LUMAREX_FreeMemory(dc, FALSE, TRUE, TRUE, TRUE);
  return STATUS_SUCCESS;
}

// CamFreeBandwidthEx - the USBCAMD2 form: only the capture pin holds buffers. PASSIVE_LEVEL.
NTSTATUS NTAPI CamFreeBandwidthEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, ULONG StreamNumber) {
  if (StreamNumber == 0) {
    return CamFreeBandwidth(BusDeviceObject, DeviceContext);
  }
  return STATUS_SUCCESS;
}

// =================================================================================================
// Constant tables
// =================================================================================================

// Frame heights the bandwidth callback accepts.
const LONG LUMAREX_AcceptedHeights[] = {
    120,   // [0]
    144,   // [1]
    240,   // [2]
    288,   // [3]
    480,   // [4]
    600,   // [5]
    768,   // [6]
    960,   // [7]
    1024,  // [8]
};
const ULONG LUMAREX_AcceptedHeightCount = RTL_NUMBER_OF(LUMAREX_AcceptedHeights);
