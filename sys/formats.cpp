// Stream formats and data ranges: the pins the driver describes to the stream class, the
// video data ranges of their format lists, the stream and device property-set tables, and the
// checks that turn an application's request into a concrete format.
#include "lumarex.h"

// Offset of the bitmap header inside a video data range and inside a video format; what lies
// in front of it is copied from the caller's range when a format is built.
#define RANGE_BMI_OFFSET FIELD_OFFSET(KS_DATARANGE_VIDEO, VideoInfoHeader.bmiHeader)
#define FORMAT_VIH_OFFSET FIELD_OFFSET(KS_DATAFORMAT_VIDEOINFOHEADER, VideoInfoHeader)
#define VIH_BMI_OFFSET FIELD_OFFSET(KS_VIDEOINFOHEADER, bmiHeader)

// LUMAREX_CompareRangeHeader - whether two ranges agree in FormatSize, MajorFormat, SubFormat
// and Specifier. Any IRQL. Returns TRUE when all four are equal.
BOOLEAN LUMAREX_CompareRangeHeader(PKSDATARANGE A, PKSDATARANGE B) {
  return A->FormatSize == B->FormatSize &&
         RtlCompareMemory(&A->MajorFormat, &B->MajorFormat, sizeof(GUID)) == sizeof(GUID) &&
         RtlCompareMemory(&A->SubFormat, &B->SubFormat, sizeof(GUID)) == sizeof(GUID) &&
         RtlCompareMemory(&A->Specifier, &B->Specifier, sizeof(GUID)) == sizeof(GUID);
}

// LUMAREX_VerifyFormat - whether a concrete video format matches a range of the pin's format
// list in its three GUIDs, width, height and image size. A format shorter than a video-info
// format matches nothing (its fields would lie past the caller's block). Any IRQL. Returns
// TRUE at the first matching range.
BOOLEAN LUMAREX_VerifyFormat(PKSDATAFORMAT Format, LONG StreamNumber) {
  PKS_DATAFORMAT_VIDEOINFOHEADER format = (PKS_DATAFORMAT_VIDEOINFOHEADER)Format;
  const HW_STREAM_INFORMATION *info;
  ULONG i;

  if (StreamNumber < 0 || StreamNumber >= (LONG)LUMAREX_STREAM_COUNT) {
    return FALSE;
  }
  if (Format == NULL || Format->FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
    return FALSE;
  }
  info = &LUMAREX_StreamInfo[StreamNumber];
  if (info->NumberOfFormatArrayEntries < 1) {
    return FALSE;
  }
  for (i = 0; i < info->NumberOfFormatArrayEntries; ++i) {
    PKS_DATARANGE_VIDEO range = (PKS_DATARANGE_VIDEO)info->StreamFormatsArray[i];
    const KS_BITMAPINFOHEADER *want = &format->VideoInfoHeader.bmiHeader;
    const KS_BITMAPINFOHEADER *have = &range->VideoInfoHeader.bmiHeader;
    if (RtlCompareMemory(&Format->MajorFormat, &range->DataRange.MajorFormat, sizeof(GUID)) == sizeof(GUID) &&
        RtlCompareMemory(&Format->SubFormat, &range->DataRange.SubFormat, sizeof(GUID)) == sizeof(GUID) &&
        RtlCompareMemory(&Format->Specifier, &range->DataRange.Specifier, sizeof(GUID)) == sizeof(GUID) &&
        want->biWidth == have->biWidth && want->biHeight == have->biHeight &&
        want->biSizeImage == have->biSizeImage) {
      return TRUE;
    }
  }
  return FALSE;
}

// Whether the caller's video range equals a listed one in everything the intersection compares.
static BOOLEAN RangeMatches(PKS_DATARANGE_VIDEO Caller, PKS_DATARANGE_VIDEO Listed) {
  return LUMAREX_CompareRangeHeader(&Caller->DataRange, &Listed->DataRange) &&
         Caller->bFixedSizeSamples == Listed->bFixedSizeSamples &&
         Caller->bTemporalCompression == Listed->bTemporalCompression &&
         Caller->StreamDescriptionFlags == Listed->StreamDescriptionFlags &&
         Caller->MemoryAllocationFlags == Listed->MemoryAllocationFlags &&
         RtlCompareMemory(&Caller->ConfigCaps, &Listed->ConfigCaps, sizeof(KS_VIDEO_STREAM_CONFIG_CAPS)) ==
             sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) &&
         Caller->VideoInfoHeader.bmiHeader.biWidth == Listed->VideoInfoHeader.bmiHeader.biWidth &&
         Caller->VideoInfoHeader.bmiHeader.biHeight == Listed->VideoInfoHeader.bmiHeader.biHeight;
}

// LUMAREX_GetDataIntersection - build the concrete format for the caller's data range: the
// first listed range of the pin that matches it is found, the caller's frame interval is
// clamped to the range's longest, and the caller's range becomes a video-info format with the
// image size filled in. PASSIVE_LEVEL. Returns STATUS_SUCCESS (also when nothing matches,
// with no bytes), or STATUS_BUFFER_OVERFLOW / STATUS_BUFFER_TOO_SMALL /
// STATUS_INVALID_PARAMETER, which it also records in Srb->Status.
NTSTATUS LUMAREX_GetDataIntersection(PHW_STREAM_REQUEST_BLOCK Srb) {
  PSTREAM_DATA_INTERSECT_INFO intersect = Srb->CommandData.IntersectInfo;
  PKS_DATARANGE_VIDEO caller = (PKS_DATARANGE_VIDEO)intersect->DataRange;
  PKS_DATARANGE_VIDEO match = NULL;
  const HW_STREAM_INFORMATION *info;
  PKS_DATAFORMAT_VIDEOINFOHEADER out;
  ULONGLONG needed;
  ULONG biSize;
  ULONG i;
  NTSTATUS status;

  if (intersect->StreamNumber >= LUMAREX_STREAM_COUNT || caller == NULL) {
    return STATUS_SUCCESS;
  }
  // A range shorter than a video data range has none of the fields compared below.
  if (caller->DataRange.FormatSize < sizeof(KS_DATARANGE_VIDEO)) {
    return STATUS_SUCCESS;
  }
  info = &LUMAREX_StreamInfo[intersect->StreamNumber];
  for (i = 0; i < info->NumberOfFormatArrayEntries; ++i) {
    PKS_DATARANGE_VIDEO listed = (PKS_DATARANGE_VIDEO)info->StreamFormatsArray[i];
    if (RangeMatches(caller, listed)) {
      match = listed;
      break;
    }
  }
  if (match == NULL) {
    return STATUS_SUCCESS;
  }

  // The caller's bitmap header is copied whole: it must be at least a bitmap header (the image
  // size is computed from its fields) and lie inside the caller's range.
  biSize = caller->VideoInfoHeader.bmiHeader.biSize;
  if (biSize < sizeof(KS_BITMAPINFOHEADER) || (ULONGLONG)RANGE_BMI_OFFSET + biSize > caller->DataRange.FormatSize) {
    status = STATUS_INVALID_PARAMETER;
    Srb->Status = status;
    return status;
  }

  // Frame-rate clamp on the caller's range: slower than the range allows becomes the range's
  // slowest rate; faster passes unchanged.
  if (caller->VideoInfoHeader.AvgTimePerFrame > match->ConfigCaps.MaxFrameInterval) {
    caller->VideoInfoHeader.AvgTimePerFrame = match->ConfigCaps.MaxFrameInterval;
    caller->VideoInfoHeader.dwBitRate = (ULONG)match->ConfigCaps.MinBitsPerSecond;
  }

  needed = (ULONGLONG)FORMAT_VIH_OFFSET + VIH_BMI_OFFSET + biSize;
  if (intersect->SizeOfDataFormatBuffer == 0) {
    status = STATUS_BUFFER_OVERFLOW;
    Srb->Status = status;
    Srb->ActualBytesTransferred = (ULONG)needed;
    return status;
  }
  if (intersect->SizeOfDataFormatBuffer < needed) {
    status = STATUS_BUFFER_TOO_SMALL;
    Srb->Status = status;
    return status;
  }

  out = (PKS_DATAFORMAT_VIDEOINFOHEADER)intersect->DataFormatBuffer;
  RtlCopyMemory(&out->DataFormat, &caller->DataRange, sizeof(KSDATARANGE));
  out->DataFormat.FormatSize = (ULONG)needed;
  Srb->ActualBytesTransferred = (ULONG)needed;
  RtlCopyMemory(&out->VideoInfoHeader, &caller->VideoInfoHeader, VIH_BMI_OFFSET + biSize);

  {
    const KS_BITMAPINFOHEADER *bmi = &out->VideoInfoHeader.bmiHeader;
    // The width was matched against a listed range, so these products stay far inside 32 bits.
    LONGLONG rowBytes = (((LONGLONG)bmi->biWidth * bmi->biBitCount + 31) / 32) * 4;
    LONGLONG rows = bmi->biHeight < 0 ? -(LONGLONG)bmi->biHeight : (LONGLONG)bmi->biHeight;
    ULONG imageSize = (ULONG)(rowBytes * rows);
    out->DataFormat.SampleSize = imageSize;
    out->VideoInfoHeader.bmiHeader.biSizeImage = imageSize;
  }
  return STATUS_SUCCESS;
}

// LUMAREX_GetDevicePropertySets - the device's property-set table and its count. Any IRQL.
PKSPROPERTY_SET LUMAREX_GetDevicePropertySets(PULONG NumberOfSets) {
  *NumberOfSets = LUMAREX_DEVICE_PROPERTY_SET_COUNT;
  return (PKSPROPERTY_SET)DevicePropertySets;
}

// =================================================================================================
// Constant tables: GUIDs, data ranges, format lists, property sets, stream information
// =================================================================================================

const GUID LUMAREX_GuidTypeVideo = {STATIC_KSDATAFORMAT_TYPE_VIDEO};
const GUID LUMAREX_GuidSubtypeRGB24 = {STATIC_KSDATAFORMAT_SUBTYPE_RGB24};
const GUID LUMAREX_GuidSpecifierVideoInfo = {STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO};
const GUID LUMAREX_GuidPropsetCustom = {STATIC_PROPSETID_LUMAREX_CUSTOM};
const GUID LUMAREX_GuidPropsetVideoProcAmp = {STATIC_PROPSETID_VIDCAP_VIDEOPROCAMP};
const GUID LUMAREX_GuidPropsetVideoControl = {STATIC_PROPSETID_VIDCAP_VIDEOCONTROL};
static const GUID GuidPropsetConnection = {STATIC_KSPROPSETID_Connection};
static const GUID GuidPropsetDroppedFrames = {STATIC_PROPSETID_VIDCAP_DROPPEDFRAMES};
static const GUID GuidPinCapture = {STATIC_PINNAME_VIDEO_CAPTURE};
static const GUID GuidPinStill = {STATIC_PINNAME_VIDEO_STILL};

// The FOURCC subtypes: {FOURCC-0000-0010-8000-00AA00389B71}.
#define FOURCC_SUBTYPE(fcc) {fcc, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}}

// One video data range. Everything the ranges share is written here once; the arguments are
// the per-range values.
#define VIDEO_RANGE(subtype, sampleSize, fixedSize, streamFlags, inW, inH, minW, minH, maxW, maxH, granX, bitCount, \
                    compression, sizeImage, minInterval, maxInterval, minBps, maxBps, bitRate, avgTime, width,      \
                    height)                                                                                          \
  {                                                                                                                  \
    {{                                                                                                               \
        sizeof(KS_DATARANGE_VIDEO),               /* FormatSize */                                                  \
        0,                                        /* Flags */                                                       \
        (sampleSize),                             /* SampleSize */                                                  \
        0,                                        /* Reserved */                                                    \
        {STATIC_KSDATAFORMAT_TYPE_VIDEO},         /* MajorFormat */                                                 \
        subtype,                                  /* SubFormat */                                                   \
        {STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO} /* Specifier */                                                   \
    }},                                                                                                              \
    (fixedSize),                                  /* bFixedSizeSamples */                                           \
    1,                                            /* bTemporalCompression */                                        \
    (streamFlags),                                /* StreamDescriptionFlags */                                      \
    0,                                            /* MemoryAllocationFlags */                                       \
    {                                                                                                                \
        {STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO}, /* ConfigCaps.guid */                                            \
        0,                                         /* VideoStandard */                                              \
        {(inW), (inH)},                            /* InputSize */                                                  \
        {(minW), (minH)},                          /* MinCroppingSize */                                            \
        {(maxW), (maxH)},                          /* MaxCroppingSize */                                            \
        (granX),                                   /* CropGranularityX */                                           \
        1,                                         /* CropGranularityY */                                           \
        (granX),                                   /* CropAlignX */                                                 \
        1,                                         /* CropAlignY */                                                 \
        {(minW), (minH)},                          /* MinOutputSize */                                              \
        {(maxW), (maxH)},                          /* MaxOutputSize */                                              \
        (granX),                                   /* OutputGranularityX */                                         \
        1,                                         /* OutputGranularityY */                                         \
        0,                                         /* StretchTapsX */                                               \
        0,                                         /* StretchTapsY */                                               \
        0,                                         /* ShrinkTapsX */                                                \
        0,                                         /* ShrinkTapsY */                                                \
        (minInterval),                             /* MinFrameInterval, 100 ns */                                   \
        (maxInterval),                             /* MaxFrameInterval */                                           \
        (minBps),                                  /* MinBitsPerSecond */                                           \
        (maxBps)                                   /* MaxBitsPerSecond */                                           \
    },                                                                                                               \
    {                                                                                                                \
        {0, 0, 0, 0},   /* rcSource */                                                                              \
        {0, 0, 0, 0},   /* rcTarget */                                                                              \
        (bitRate),      /* dwBitRate */                                                                             \
        0,              /* dwBitErrorRate */                                                                        \
        (avgTime),      /* AvgTimePerFrame */                                                                       \
        {                                                                                                            \
            sizeof(KS_BITMAPINFOHEADER), /* biSize */                                                               \
            (width),                     /* biWidth */                                                              \
            (height),                    /* biHeight */                                                             \
            1,                           /* biPlanes */                                                             \
            (bitCount),                  /* biBitCount */                                                           \
            (compression),               /* biCompression */                                                        \
            (sizeImage),                 /* biSizeImage */                                                          \
            0,                           /* biXPelsPerMeter */                                                      \
            0,                           /* biYPelsPerMeter */                                                      \
            0,                           /* biClrUsed */                                                            \
            0                            /* biClrImportant */                                                       \
        }                                                                                                            \
    }                                                                                                                \
  }

#define SUBTYPE_RGB24 {STATIC_KSDATAFORMAT_SUBTYPE_RGB24}
#define SUBTYPE_MJPG FOURCC_SUBTYPE(LUMAREX_FOURCC_MJPG)
#define SUBTYPE_I420 FOURCC_SUBTYPE(LUMAREX_FOURCC_I420)
#define SUBTYPE_YUY2 FOURCC_SUBTYPE(LUMAREX_FOURCC_YUY2)
#define CAPTURE KS_VIDEOSTREAM_CAPTURE
#define STILL KS_VIDEOSTREAM_STILL

// Arguments: subtype, SampleSize, bFixedSizeSamples, StreamDescriptionFlags, InputSize,
// Min and Max cropping/output size, Crop/OutputGranularityX, biBitCount, biCompression,
// biSizeImage, Min/MaxFrameInterval, Min/MaxBitsPerSecond, dwBitRate, AvgTimePerFrame, size.
const KS_DATARANGE_VIDEO LUMAREX_RangeRGB24_320x240 = VIDEO_RANGE(
    SUBTYPE_RGB24, 76800, 1, CAPTURE, 320, 240, 320, 240, 320, 240, 1, 24, KS_BI_RGB, 230400, 333333, 333333,
    55296000, 55296000, 55296000, 333333, 320, 240);
const KS_DATARANGE_VIDEO LUMAREX_RangeRGB24_640x480 = VIDEO_RANGE(
    SUBTYPE_RGB24, 307200, 1, CAPTURE, 640, 480, 640, 480, 640, 480, 1, 24, KS_BI_RGB, 921600, 333333, 333333,
    221184000, 221184000, 221184000, 333333, 640, 480);
const KS_DATARANGE_VIDEO LUMAREX_RangeRGB24_160x120 = VIDEO_RANGE(
    SUBTYPE_RGB24, 19200, 1, CAPTURE, 160, 120, 160, 120, 160, 120, 1, 24, KS_BI_RGB, 57600, 333333, 333333,
    13824000, 13824000, 13824000, 333333, 160, 120);
const KS_DATARANGE_VIDEO LUMAREX_RangeStill_320x240 = VIDEO_RANGE(
    SUBTYPE_RGB24, 76800, 1, STILL, 320, 240, 160, 120, 720, 480, 8, 24, KS_BI_RGB, 230400, 5000000, 5000000,
    7372800, 7372800, 7372800, 5000000, 320, 240);

// The ranges no pin lists; the bandwidth callback accepts their compressions.
const KS_DATARANGE_VIDEO LUMAREX_UnlistedRanges[] = {
    VIDEO_RANGE(SUBTYPE_MJPG, 38400, 0, CAPTURE, 160, 120, 160, 120, 160, 120, 1, 24, LUMAREX_FOURCC_MJPG, 19200,
                333333, 2000000, 153600, 921600, 921600, 333333, 160, 120),  // [0] MJPG 160x120
    // The MJPG 320x240 range gives an input size of 640x480.
    VIDEO_RANGE(SUBTYPE_MJPG, 153600, 0, CAPTURE, 640, 480, 320, 240, 320, 240, 1, 24, LUMAREX_FOURCC_MJPG, 76800,
                333333, 2000000, 614400, 3686400, 3686400, 333333, 320, 240),  // [1] MJPG 320x240
    VIDEO_RANGE(SUBTYPE_MJPG, 614400, 0, CAPTURE, 640, 480, 640, 480, 640, 480, 1, 24, LUMAREX_FOURCC_MJPG, 307200,
                333333, 2000000, 2457600, 14745600, 14745600, 333333, 640, 480),  // [2] MJPG 640x480
    VIDEO_RANGE(SUBTYPE_I420, 28800, 1, CAPTURE, 160, 120, 160, 120, 160, 120, 1, 12, LUMAREX_FOURCC_I420, 28800,
                333333, 2000000, 1152000, 6912000, 6912000, 333333, 160, 120),  // [3] I420 160x120
    VIDEO_RANGE(SUBTYPE_I420, 115200, 1, CAPTURE, 320, 240, 320, 240, 320, 240, 1, 12, LUMAREX_FOURCC_I420, 115200,
                333333, 2000000, 4608000, 27648000, 27648000, 333333, 320, 240),  // [4] I420 320x240
    VIDEO_RANGE(SUBTYPE_I420, 460800, 1, CAPTURE, 640, 480, 640, 480, 640, 480, 1, 12, LUMAREX_FOURCC_I420, 460800,
                333333, 2000000, 18432000, 110592000, 110592000, 333333, 640, 480),  // [5] I420 640x480
    VIDEO_RANGE(SUBTYPE_YUY2, 38400, 1, CAPTURE, 160, 120, 160, 120, 160, 120, 1, 16, LUMAREX_FOURCC_YUY2, 38400,
                333333, 2000000, 1536000, 9216000, 9216000, 333333, 160, 120),  // [6] YUY2 160x120
    VIDEO_RANGE(SUBTYPE_YUY2, 153600, 1, CAPTURE, 320, 240, 320, 240, 320, 240, 1, 16, LUMAREX_FOURCC_YUY2, 153600,
                333333, 2000000, 6144000, 36864000, 36864000, 333333, 320, 240),  // [7] YUY2 320x240
    VIDEO_RANGE(SUBTYPE_YUY2, 614400, 1, CAPTURE, 640, 480, 640, 480, 640, 480, 1, 16, LUMAREX_FOURCC_YUY2, 614400,
                333333, 2000000, 24576000, 147456000, 147456000, 333333, 640, 480),  // [8] YUY2 640x480
};
const ULONG LUMAREX_UnlistedRangeCount = RTL_NUMBER_OF(LUMAREX_UnlistedRanges);

// Format lists: the counted ranges, then a NULL entry.
static PKSDATAFORMAT const CaptureFormats[] = {
    (PKSDATAFORMAT)&LUMAREX_RangeRGB24_320x240,  // [0] the default
    (PKSDATAFORMAT)&LUMAREX_RangeRGB24_640x480,  // [1]
    (PKSDATAFORMAT)&LUMAREX_RangeRGB24_160x120,  // [2]
    NULL,                                        // end of list
};
static PKSDATAFORMAT const StillFormats[] = {
    (PKSDATAFORMAT)&LUMAREX_RangeStill_320x240,  // [0]
    NULL,                                        // end of list
};

// ---- Stream property sets: answered by the class library, not the driver ---------------------
static const KSPROPERTY_ITEM ConnectionItems[] = {
    {
        KSPROPERTY_CONNECTION_ALLOCATORFRAMING,  // PropertyId
        {(PFNKSHANDLER)TRUE},                    // GetSupported
        sizeof(KSPROPERTY),                      // MinProperty
        24,                                      // MinData: an allocator-framing record
        {(PFNKSHANDLER)FALSE},                   // SetSupported
        NULL,                                    // Values
        0,                                       // RelationsCount
        NULL,                                    // Relations
        NULL,                                    // SupportHandler
        sizeof(ULONG)                            // SerializedSize
    },
};
static const KSPROPERTY_ITEM DroppedFramesItems[] = {
    {
        KSPROPERTY_DROPPEDFRAMES_CURRENT,  // PropertyId
        {(PFNKSHANDLER)TRUE},              // GetSupported
        48,                                // MinProperty: the dropped-frames record
        48,                                // MinData
        {(PFNKSHANDLER)FALSE},             // SetSupported
        NULL,                              // Values
        0,                                 // RelationsCount
        NULL,                              // Relations
        NULL,                              // SupportHandler
        0                                  // SerializedSize
    },
};
static const KSPROPERTY_SET StreamPropertySets[] = {
    {&GuidPropsetConnection, RTL_NUMBER_OF(ConnectionItems), ConnectionItems, 0, NULL},          // [0]
    {&GuidPropsetDroppedFrames, RTL_NUMBER_OF(DroppedFramesItems), DroppedFramesItems, 0, NULL},  // [1]
};

// ---- Device property sets ----------------------------------------------------------------------
// Every picture control steps by 10 from 0 to 100.
static const KSPROPERTY_STEPPING_LONG ProcAmpRange = {
    10,                                  // SteppingDelta
    0,                                   // Reserved
    {{LUMAREX_SETTING_MIN, LUMAREX_SETTING_MAX}}  // Bounds
};
// The defaults lie side by side; each control's default list starts at its own entry and, with
// four members declared, reports the three entries after it as well.
static const LONG ProcAmpDefaults[] = {
    50,  // [0] brightness
    20,  // [1] sharpness
    50,  // [2] saturation
    50,  // [3] contrast
    50,  // [4] white balance (not advertised)
    0,   // [5]
    0,   // [6]
};

#define PROCAMP_MEMBERS(first)                                                                             \
  {                                                                                                        \
    {KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0}, /* the stepped range */    \
        &ProcAmpRange},                                                                                    \
  {                                                                                                        \
    {KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 4, KSPROPERTY_MEMBER_FLAG_DEFAULT}, /* the default list */    \
        &ProcAmpDefaults[first]                                                                            \
  }

static const KSPROPERTY_MEMBERSLIST BrightnessMembers[] = {PROCAMP_MEMBERS(0)};
static const KSPROPERTY_MEMBERSLIST SharpnessMembers[] = {PROCAMP_MEMBERS(1)};
static const KSPROPERTY_MEMBERSLIST SaturationMembers[] = {PROCAMP_MEMBERS(2)};
static const KSPROPERTY_MEMBERSLIST ContrastMembers[] = {PROCAMP_MEMBERS(3)};

#define PROCAMP_VALUES(members) \
  {{{{{STATIC_KSPROPTYPESETID_General}, VT_I4, 0}}}, RTL_NUMBER_OF(members), members}

static const KSPROPERTY_VALUES BrightnessValues = PROCAMP_VALUES(BrightnessMembers);
static const KSPROPERTY_VALUES SharpnessValues = PROCAMP_VALUES(SharpnessMembers);
static const KSPROPERTY_VALUES SaturationValues = PROCAMP_VALUES(SaturationMembers);
static const KSPROPERTY_VALUES ContrastValues = PROCAMP_VALUES(ContrastMembers);

// A get-and-set item of the VideoProcAmp set: the request and the reply are a VideoProcAmp record.
#define PROCAMP_ITEM(id, values)                                                                            \
  {(id), {(PFNKSHANDLER)TRUE}, sizeof(KSPROPERTY_VIDEOPROCAMP_S), sizeof(KSPROPERTY_VIDEOPROCAMP_S),        \
   {(PFNKSHANDLER)TRUE}, &(values), 0, NULL, NULL, sizeof(ULONG)}

static const KSPROPERTY_ITEM VideoProcAmpItems[] = {
    PROCAMP_ITEM(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, BrightnessValues),  // [0]
    PROCAMP_ITEM(KSPROPERTY_VIDEOPROCAMP_SHARPNESS, SharpnessValues),    // [1]
    PROCAMP_ITEM(KSPROPERTY_VIDEOPROCAMP_SATURATION, SaturationValues),  // [2]
    PROCAMP_ITEM(KSPROPERTY_VIDEOPROCAMP_CONTRAST, ContrastValues),      // [3]
};

// An item of the private set: 32-byte request and data, no value list.
#define CUSTOM_ITEM(id, settable) \
  {(id), {(PFNKSHANDLER)TRUE}, 32, 32, {(PFNKSHANDLER)(settable)}, NULL, 0, NULL, NULL, 0}

static const KSPROPERTY_ITEM CustomItems[] = {
    CUSTOM_ITEM(0, FALSE),  // [0]  status block or pending still
    CUSTOM_ITEM(1, FALSE),  // [1]  operation block read
    CUSTOM_ITEM(2, FALSE),  // [2]  operation word read
    CUSTOM_ITEM(3, FALSE),  // [3]  bulk read
    CUSTOM_ITEM(5, FALSE),  // [4]  bulk read
    CUSTOM_ITEM(4, TRUE),   // [5]  ready operation
    CUSTOM_ITEM(6, TRUE),   // [6]  close operation
    CUSTOM_ITEM(7, TRUE),   // [7]  operation 0x30
    CUSTOM_ITEM(8, TRUE),   // [8]  close operation
    CUSTOM_ITEM(9, TRUE),   // [9]  operation block write
    CUSTOM_ITEM(11, TRUE),  // [10] bulk read
    CUSTOM_ITEM(12, TRUE),  // [11] bulk write
    CUSTOM_ITEM(10, TRUE),  // [12] raw command
};

// The video-control items, each one direction only. MinProperty is the request record's public
// size (the stream class refuses a shorter one before the driver sees it); MinData is the size
// of the reply or value record. FRAME_RATES declares no MinData: its reply is a list whose size
// the driver reports itself when asked with a zero-length buffer (STATUS_BUFFER_OVERFLOW, 16).
// ACTUAL_FRAME_RATE's size query the stream class answers from MinData, with the same 56.
#define VIDEOCONTROL_ITEM(id, minProperty, minData, gettable, settable)                                \
  {(id), {(PFNKSHANDLER)(gettable)}, (minProperty), (minData), {(PFNKSHANDLER)(settable)}, NULL, 0, NULL, NULL, 0}

static const KSPROPERTY_ITEM VideoControlItems[] = {
    VIDEOCONTROL_ITEM(KSPROPERTY_VIDEOCONTROL_CAPS, sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S),
                      sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S), TRUE, FALSE),  // [0]
    VIDEOCONTROL_ITEM(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S),
                      sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S), TRUE, FALSE),  // [1]
    VIDEOCONTROL_ITEM(KSPROPERTY_VIDEOCONTROL_FRAME_RATES, sizeof(KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S), 0, TRUE,
                      FALSE),  // [2]
    VIDEOCONTROL_ITEM(KSPROPERTY_VIDEOCONTROL_MODE, sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S),
                      sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S), FALSE, TRUE),  // [3]
};

const KSPROPERTY_SET DevicePropertySets[] = {
    {&LUMAREX_GuidPropsetCustom, RTL_NUMBER_OF(CustomItems), CustomItems, 0, NULL},                    // [0]
    {&LUMAREX_GuidPropsetVideoProcAmp, RTL_NUMBER_OF(VideoProcAmpItems), VideoProcAmpItems, 0, NULL},  // [1]
    {&LUMAREX_GuidPropsetVideoControl, RTL_NUMBER_OF(VideoControlItems), VideoControlItems, 0, NULL},  // [2]
};
static_assert(RTL_NUMBER_OF(DevicePropertySets) == LUMAREX_DEVICE_PROPERTY_SET_COUNT, "device property sets");

// The standard medium; with a count of 0 it has no effect.
static const KSPIN_MEDIUM StandardMedium = {{{{STATIC_KSMEDIUMSETID_Standard}, 0, 0}}};

// ---- Stream information: stream 0 the capture pin, stream 1 the still pin ---------------------
const HW_STREAM_INFORMATION LUMAREX_StreamInfo[] = {
    {
        1,                                           // NumberOfPossibleInstances
        KSPIN_DATAFLOW_OUT,                          // DataFlow
        TRUE,                                        // DataAccessible
        RTL_NUMBER_OF(CaptureFormats) - 1,           // NumberOfFormatArrayEntries (without the NULL)
        (PKSDATAFORMAT *)CaptureFormats,             // StreamFormatsArray
        {NULL, NULL, NULL, NULL},                    // ClassReserved
        RTL_NUMBER_OF(StreamPropertySets),           // NumStreamPropArrayEntries
        (PKSPROPERTY_SET)StreamPropertySets,         // StreamPropertiesArray
        0,                                           // NumStreamEventArrayEntries
        NULL,                                        // StreamEventsArray
        (GUID *)&GuidPinCapture,                     // Category
        (GUID *)&GuidPinCapture,                     // Name
        0,                                           // MediumsCount
        &StandardMedium,                             // Mediums
        FALSE,                                       // BridgeStream
        {0, 0}                                       // Reserved
    },
    {
        1,                                           // NumberOfPossibleInstances
        KSPIN_DATAFLOW_OUT,                          // DataFlow
        TRUE,                                        // DataAccessible
        RTL_NUMBER_OF(StillFormats) - 1,             // NumberOfFormatArrayEntries (without the NULL)
        (PKSDATAFORMAT *)StillFormats,               // StreamFormatsArray
        {NULL, NULL, NULL, NULL},                    // ClassReserved
        RTL_NUMBER_OF(StreamPropertySets),           // NumStreamPropArrayEntries
        (PKSPROPERTY_SET)StreamPropertySets,         // StreamPropertiesArray
        0,                                           // NumStreamEventArrayEntries
        NULL,                                        // StreamEventsArray
        (GUID *)&GuidPinStill,                       // Category
        (GUID *)&GuidPinStill,                       // Name
        0,                                           // MediumsCount
        &StandardMedium,                             // Mediums
        FALSE,                                       // BridgeStream
        {0, 0}                                       // Reserved
    },
};
static_assert(RTL_NUMBER_OF(LUMAREX_StreamInfo) == LUMAREX_STREAM_COUNT, "stream information");
