// The driver's routines: the camera callbacks the class library calls and the driver's own
// helpers. Grouped by the stage of the device's life they belong to.
#pragma once

#include "device_context.h"

// Tag of every pool block the driver allocates: 'Wdm '.
#define LUMAREX_POOL_TAG 0x206D6457

// ---- Packet assembly (packet.cpp): called for every isochronous slot ----------------------
ULONG NTAPI CamProcessUSBPacketEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, PVOID CurrentFrameContext,
                                  PUSBD_ISO_PACKET_DESCRIPTOR SyncPacket, PVOID SyncBuffer,
                                  PUSBD_ISO_PACKET_DESCRIPTOR DataPacket, PVOID DataBuffer,
                                  PBOOLEAN FrameComplete, PULONG PacketFlag, PULONG ValidDataOffset);
ULONG NTAPI CamProcessUSBPacket(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, PVOID CurrentFrameContext,
                                PUSBD_ISO_PACKET_DESCRIPTOR SyncPacket, PVOID SyncBuffer,
                                PUSBD_ISO_PACKET_DESCRIPTOR DataPacket, PVOID DataBuffer,
                                PBOOLEAN FrameComplete, PBOOLEAN NextFrameIsStill);

// The still and drop marks of a frame context; the rest of its 32 bits is the frame's serial.
#define LUMAREX_FRAME_STILL 0x1u
#define LUMAREX_FRAME_DROPPED 0x2u
#define LUMAREX_FRAME_MARKS 0x3u
// A new frame begins: give its frame context the next serial. DISPATCH_LEVEL or below.
VOID LUMAREX_BeginFrame(PDEVICE_CONTEXT DeviceContext, PVOID FrameContext);
// A raw frame reached the raw-frame callback (Delivered: with data to hand over): settles the
// still of this frame or of an earlier frame the class library dropped. Any IRQL.
VOID LUMAREX_StillFrameArrived(PDEVICE_CONTEXT DeviceContext, PVOID FrameContext, BOOLEAN Delivered);
// Forget stills owed and in flight (bandwidth allocation). PASSIVE_LEVEL.
VOID LUMAREX_ClearStills(PDEVICE_CONTEXT DeviceContext);
// The isochronous pipe restart the camera asked for, on the worker at PASSIVE_LEVEL.
VOID LUMAREX_RestartIsoPipe(PDEVICE_CONTEXT DeviceContext);

// ---- Frame hand-off and decode worker (worker.cpp) --------------------------------------------
VOID NTAPI LUMAREX_DecodeWorker(PVOID StartContext);
VOID LUMAREX_DecodeFrame(PDEVICE_CONTEXT DeviceContext);
VOID LUMAREX_WaitForWorkerIdle(PDEVICE_CONTEXT DeviceContext);
// Keep raw frames away from the frame buffers and the worker from now until the next capture
// start, and return once no raw-frame callback is inside.
VOID LUMAREX_ShutOutRawFrames(PDEVICE_CONTEXT DeviceContext);
// Bytes of the image the output format delivers at this size (RGB24 3, YUY2 2, I420 1.5 bytes
// a pixel); 0 for MJPG, whose frames are the camera's own bytes.
ULONG LUMAREX_OutputImageSize(UCHAR Format, LONG Width, LONG Height);
// The forms of the picture adjustments and converters, slowest to fastest.
#define LUMAREX_FORMS_SCALAR 0
#define LUMAREX_FORMS_MMX 1
#define LUMAREX_FORMS_SSE2 2
// The forms the frame the device's worker is processing runs: those of the processor
// (g_nVectorForms), or the scalar forms when the worker could not save the floating-point
// state for this frame.
UCHAR LUMAREX_FrameForms(PDEVICE_CONTEXT DeviceContext);

// ---- Device memory (memory.cpp) -----------------------------------------------------------------
VOID LUMAREX_ResetDeviceContext(PDEVICE_CONTEXT DeviceContext);
NTSTATUS LUMAREX_AllocateMemory(PDEVICE_CONTEXT DeviceContext, BOOLEAN Context, BOOLEAN RawBuffer,
                                BOOLEAN BmpBuffer, BOOLEAN IPBuffer);
VOID LUMAREX_FreeMemory(PDEVICE_CONTEXT DeviceContext, BOOLEAN Context, BOOLEAN RawBuffer, BOOLEAN BmpBuffer,
                        BOOLEAN IPBuffer);

// ---- Picture adjustments and output conversion (picture*.cpp, yuv*.cpp) ------
// Output format codes of g_nOutputFormat.
#define LUMAREX_FORMAT_RGB24 1
#define LUMAREX_FORMAT_I420 2
#define LUMAREX_FORMAT_YUY2 3
#define LUMAREX_FORMAT_MJPG 10

VOID LUMAREX_ProcessImage(PDEVICE_CONTEXT DeviceContext);
BOOLEAN LUMAREX_HasMMX(VOID);
BOOLEAN LUMAREX_HasSSE2(VOID);
// The fastest forms the processor runs: SSE2, else MMX, else scalar.
UCHAR LUMAREX_ProcessorForms(VOID);
// The adjustments on a BGR image given as a table of row pointers (rows[0] = bottom row):
// sharpening, brightness and saturation, contrast. luma is a work image of width * height
// bytes, needed when settings->Sharpness is not 0. The vector form gives exactly the scalar
// form's results for settings in 0..100, the only ones it accepts (it returns FALSE and
// changes nothing for others).
VOID LUMAREX_AdjustImageScalar(PUCHAR *rows, LONG width, LONG height, const LUMAREX_FRAME_SETTINGS *settings,
                               PUCHAR luma);
// The look-up tables of the brightness, saturation and contrast steps. They are rebuilt for
// every frame and live in pool memory: the kernel stack has no room for them.
typedef struct _LUMAREX_PICTURE_TABLES {
  ULONG Saturation[256];
  UCHAR Brightness[256];
  UCHAR Contrast[256];
  // The fast scalar form's tables. Pixel is indexed by 256 + a channel before the adjustments
  // plus the sharpening's edge measure (clamped to -255..255): [0] the saturation term of the
  // sharpened and brightened value, [1] the green base (that value less its saturation term),
  // times 256, plus green's final value. ClampContrast is the clamp to 0..255 of index - 256
  // followed by the contrast table, which gives red and blue. Channel, made when saturation is
  // at 50 (the channels then do not mix), gives each channel's final value from
  // LUMAREX_CHANNEL_CENTRE + a channel + the edge measure unclamped: for settings in 0..100 the
  // measure lies in -3176..3175, so the table takes its clamp in.
  LONG Pixel[768][2];
  UCHAR ClampContrast[1024];
  UCHAR Channel[6656];
} LUMAREX_PICTURE_TABLES, *PLUMAREX_PICTURE_TABLES;
#define LUMAREX_CHANNEL_CENTRE 3200
// The scalar adjustments with the caller's tables; LUMAREX_AdjustImageScalar takes them from
// pool for the one call. Settings in 0..100 take the fast form below, others the definition.
VOID LUMAREX_AdjustImageScalarTables(PUCHAR *rows, LONG width, LONG height, const LUMAREX_FRAME_SETTINGS *settings,
                                     PUCHAR luma, PLUMAREX_PICTURE_TABLES tables);
// The definition of the adjustments, for any settings (picture.cpp).
VOID LUMAREX_AdjustImageDefinition(PUCHAR *rows, LONG width, LONG height, const LUMAREX_FRAME_SETTINGS *settings,
                                   PUCHAR luma, PLUMAREX_PICTURE_TABLES tables);
// The scalar form organised for speed (picture_scalar.cpp): one pass per row with combined
// tables, exactly the definition's bytes for settings in 0..100, the only ones it accepts (it
// returns FALSE and changes nothing for others), as the vector forms.
BOOLEAN LUMAREX_AdjustImageFast(PUCHAR *rows, LONG width, LONG height, const LUMAREX_FRAME_SETTINGS *settings,
                                PUCHAR luma, PLUMAREX_PICTURE_TABLES tables);
// The vector forms: with MMX (picture_mmx.cpp) and with SSE2 (picture_sse2.cpp); each runs only
// where the floating-point state is saved, on a processor with its instruction set.
BOOLEAN LUMAREX_AdjustImageMMX(PUCHAR *rows, LONG width, LONG height, const LUMAREX_FRAME_SETTINGS *settings,
                               PUCHAR luma);
BOOLEAN LUMAREX_AdjustImageSSE2(PUCHAR *rows, LONG width, LONG height, const LUMAREX_FRAME_SETTINGS *settings,
                                PUCHAR luma);
// BGR rows (bottom row first) to top-down YUY2 or planar I420 in out, then copied back over
// the image at rows[0]; rows is updated to describe the YUY2 rows.
VOID LUMAREX_RGB24ToYUY2(PUCHAR *rows, PUCHAR out, LONG width, LONG height);
VOID LUMAREX_RGB24ToI420(PUCHAR *rows, PUCHAR out, LONG width, LONG height);
// The YUY2 converters' last step: the rows in out copied to rows[0], rows pointed at them.
VOID LUMAREX_StoreYUY2Rows(PUCHAR *rows, const UCHAR *out, LONG width, LONG height);
// The same with MMX (yuv_mmx.cpp) and with SSE2 (yuv_sse2.cpp), giving the same bytes; only
// where the vector forms may run.
VOID LUMAREX_RGB24ToYUY2MMX(PUCHAR *rows, PUCHAR out, LONG width, LONG height);
VOID LUMAREX_RGB24ToI420MMX(PUCHAR *rows, PUCHAR out, LONG width, LONG height);
VOID LUMAREX_RGB24ToYUY2SSE2(PUCHAR *rows, PUCHAR out, LONG width, LONG height);
VOID LUMAREX_RGB24ToI420SSE2(PUCHAR *rows, PUCHAR out, LONG width, LONG height);

// ---- Callbacks of the two tables registered with the class library ---------------------------
// Defined as the device's start-up, bandwidth, capture and frame stages are built.
NTSTATUS NTAPI CamInitialize(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);
NTSTATUS NTAPI CamUnInitialize(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);
NTSTATUS NTAPI CamConfigure(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                            PUSBD_INTERFACE_INFORMATION Interface,
                            PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PLONG DataPipeIndex,
                            PLONG SyncPipeIndex);
NTSTATUS NTAPI CamConfigureEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                              PUSBD_INTERFACE_INFORMATION Interface,
                              PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, ULONG PipeConfigListSize,
                              PUSBCAMD_Pipe_Config_Descriptor PipeConfig, PUSB_DEVICE_DESCRIPTOR DeviceDescriptor);
NTSTATUS NTAPI CamSaveState(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);
NTSTATUS NTAPI CamRestoreState(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);
NTSTATUS NTAPI CamAllocateBandwidth(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, PULONG RawFrameLength,
                                    PVOID Format);
NTSTATUS NTAPI CamAllocateBandwidthEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                      PULONG RawFrameLength, PVOID Format, ULONG StreamNumber);
NTSTATUS NTAPI CamFreeBandwidth(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);
NTSTATUS NTAPI CamFreeBandwidthEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, ULONG StreamNumber);
NTSTATUS NTAPI CamStartCapture(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);
NTSTATUS NTAPI CamStartCaptureEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, ULONG StreamNumber);
NTSTATUS NTAPI CamStopCapture(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);
NTSTATUS NTAPI CamStopCaptureEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, ULONG StreamNumber);
VOID NTAPI CamNewVideoFrame(PVOID DeviceContext, PVOID FrameContext);
VOID NTAPI CamNewVideoFrameEx(PVOID DeviceContext, PVOID FrameContext, ULONG StreamNumber, PULONG FrameLength);
NTSTATUS NTAPI CamProcessRawVideoFrame(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, PVOID FrameContext,
                                       PVOID FrameBuffer, ULONG FrameLength, PVOID RawFrameBuffer,
                                       ULONG RawFrameLength, ULONG NumberOfPackets, PULONG BytesReturned);
NTSTATUS NTAPI CamProcessRawVideoFrameEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                         PVOID FrameContext, PVOID FrameBuffer, ULONG FrameLength,
                                         PVOID RawFrameBuffer, ULONG RawFrameLength, ULONG NumberOfPackets,
                                         PULONG BytesReturned, ULONG ActualRawFrameLength, ULONG StreamNumber);

// ---- Camera vendor commands (vendor.cpp) -------------------------------------------------------
// Every command the driver sends is vendor request 0x0C on the default control pipe; bulk data
// moves on pipe 0 (camera to host) and pipe 1 (host to camera). The routines below run
// synchronously at PASSIVE_LEVEL; those after the capture commands send one whole sequence,
// holding the device's command lock for it.
#define LUMAREX_VENDOR_REQUEST 0x0C
#define LUMAREX_BULK_PIPE_IN 0
#define LUMAREX_BULK_PIPE_OUT 1
// Ready polls (in(0xA0, 0) until bit 2 is set) before an operation gives up.
#define LUMAREX_READY_POLL_LIMIT 1000
// Bytes the status read (private get 0) and the word read (private get 2) take from the camera.
#define LUMAREX_STATUS_BLOCK_SIZE 16
#define LUMAREX_CAMERA_WORD_SIZE 2
// The operand of out(6, ...) that closes the open operation.
#define LUMAREX_OPERATION_CLOSE 0xA0

VOID LUMAREX_InitializeCommandLock(PDEVICE_CONTEXT DeviceContext);
VOID LUMAREX_AcquireCommandLock(PDEVICE_CONTEXT DeviceContext);
VOID LUMAREX_ReleaseCommandLock(PDEVICE_CONTEXT DeviceContext);
VOID LUMAREX_SettleDelay(VOID);
// Capture start and stop: single commands, sent with the lock held by the caller.
NTSTATUS LUMAREX_SendStartCommand(PDEVICE_CONTEXT DeviceContext, ULONG RawFrameSize);
NTSTATUS LUMAREX_SendStopCommand(PDEVICE_CONTEXT DeviceContext);
NTSTATUS LUMAREX_ReadStatusBlock(PDEVICE_CONTEXT DeviceContext, PVOID Buffer);
NTSTATUS LUMAREX_ReadOperationBlock(PDEVICE_CONTEXT DeviceContext, PVOID Buffer, ULONG Length);
NTSTATUS LUMAREX_ReadOperationWord(PDEVICE_CONTEXT DeviceContext, PVOID Buffer);
NTSTATUS LUMAREX_BulkRead(PDEVICE_CONTEXT DeviceContext, PVOID Buffer, ULONG Length);
NTSTATUS LUMAREX_BulkWrite(PDEVICE_CONTEXT DeviceContext, PVOID Buffer, ULONG Length);
NTSTATUS LUMAREX_RunReadyOperation(PDEVICE_CONTEXT DeviceContext, UCHAR Operation);
NTSTATUS LUMAREX_RunOperation(PDEVICE_CONTEXT DeviceContext, UCHAR Operation);
NTSTATUS LUMAREX_WriteOperationBlock(PDEVICE_CONTEXT DeviceContext, PVOID Buffer, ULONG Length, PULONG Written);
NTSTATUS LUMAREX_SendRawCommand(PDEVICE_CONTEXT DeviceContext, USHORT Value, USHORT Index, ULONG Length);

// ---- Persisted settings (settings.cpp) ---------------------------------------------------------
// The picture settings live as REG_DWORD values under the "Settings" subkey of the device's
// driver key. Valid settings are 0..100.
#define LUMAREX_SETTING_MIN 0
#define LUMAREX_SETTING_MAX 100
// What the settings saves return on success, and so capture stop and a VideoProcAmp set: a
// success code other than STATUS_SUCCESS, which callers of this driver have always seen.
#define LUMAREX_SAVE_SUCCESS ((NTSTATUS)1)

NTSTATUS LUMAREX_OpenSettingsKey(PDEVICE_CONTEXT DeviceContext, PHANDLE DriverKey, PHANDLE SettingsKey);
NTSTATUS LUMAREX_QuerySettingValue(HANDLE KeyHandle, PCWSTR ValueName, ULONG NameSize, PLONG Destination);
NTSTATUS LUMAREX_WriteSettingValue(HANDLE KeyHandle, PCWSTR ValueName, LONG Value);
BOOLEAN LUMAREX_LoadSettings(PDEVICE_CONTEXT DeviceContext);
NTSTATUS LUMAREX_RestoreSettings(PDEVICE_OBJECT BusDeviceObject, PDEVICE_CONTEXT DeviceContext);
NTSTATUS LUMAREX_SaveSettings(PDEVICE_OBJECT BusDeviceObject, PDEVICE_CONTEXT DeviceContext);
NTSTATUS LUMAREX_SaveSetting(PDEVICE_CONTEXT DeviceContext, ULONG Setting);
// The setting a VideoProcAmp property id names (0, 1, 3, 4, 7), or NULL.
PLONG LUMAREX_SettingField(PDEVICE_CONTEXT DeviceContext, ULONG PropertyId);
// Stores Value in the setting when it is in 0..100, then runs the single-setting save; returns
// the save's result (1, or the failure status of the key's open).
NTSTATUS LUMAREX_ApplySetting(PDEVICE_CONTEXT DeviceContext, ULONG PropertyId, LONG Value);

// ---- Capture start and stop (capture.cpp) ------------------------------------------------------
NTSTATUS NTAPI LUMAREX_StartVideoCapture(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);
NTSTATUS StartWorkerThread(PDEVICE_CONTEXT DeviceContext);

// ---- Video properties (properties.cpp) ---------------------------------------------------------
// Each handler serves one get or set request of its property set: it writes the reply into the
// request's property buffer, records the status in Srb->Status and the reply length in
// Srb->ActualBytesTransferred, and returns the status. Called at PASSIVE_LEVEL.
NTSTATUS LUMAREX_GetVideoProcAmpProperty(PDEVICE_CONTEXT DeviceContext, PHW_STREAM_REQUEST_BLOCK Srb);
NTSTATUS LUMAREX_SetVideoProcAmpProperty(PDEVICE_CONTEXT DeviceContext, PHW_STREAM_REQUEST_BLOCK Srb);
NTSTATUS LUMAREX_GetVideoControlProperty(PDEVICE_CONTEXT DeviceContext, PHW_STREAM_REQUEST_BLOCK Srb);
NTSTATUS LUMAREX_SetVideoControlProperty(PDEVICE_CONTEXT DeviceContext, PHW_STREAM_REQUEST_BLOCK Srb);
NTSTATUS LUMAREX_GetCustomProperty(PDEVICE_CONTEXT DeviceContext, PHW_STREAM_REQUEST_BLOCK Srb);
NTSTATUS LUMAREX_SetCustomProperty(PDEVICE_CONTEXT DeviceContext, PHW_STREAM_REQUEST_BLOCK Srb);

// ---- Stream formats and data ranges (formats.cpp) ---------------------------------------------
// Streams the driver describes: 0 the capture pin, 1 the still pin (defined, not reported).
#define LUMAREX_STREAM_COUNT 2
#define LUMAREX_DEVICE_PROPERTY_SET_COUNT 3
// FOURCCs as little-endian 32-bit values.
#define LUMAREX_FOURCC_MJPG 0x47504A4DUL
#define LUMAREX_FOURCC_I420 0x30323449UL
#define LUMAREX_FOURCC_YUY2 0x32595559UL

// One-byte flags one thread sets and another reads and clears (the still request: property
// requests set it, the packet routine consumes it). A byte load or store is indivisible on x86;
// these make the compiler treat it so.
#define LUMAREX_READ_FLAG(p) __atomic_load_n((p), __ATOMIC_RELAXED)
#define LUMAREX_WRITE_FLAG(p, v) __atomic_store_n((p), (UCHAR)(v), __ATOMIC_RELAXED)
// The driver's private property set {86CED40F-9209-4F1C-B91E-AAD151212734}.
#define STATIC_PROPSETID_LUMAREX_CUSTOM 0x86CED40F, 0x9209, 0x4F1C, 0xB9, 0x1E, 0xAA, 0xD1, 0x51, 0x21, 0x27, 0x34

extern const HW_STREAM_INFORMATION LUMAREX_StreamInfo[];
extern const KSPROPERTY_SET DevicePropertySets[];
extern const KS_DATARANGE_VIDEO LUMAREX_RangeRGB24_320x240;
extern const KS_DATARANGE_VIDEO LUMAREX_RangeRGB24_640x480;
extern const KS_DATARANGE_VIDEO LUMAREX_RangeRGB24_160x120;
extern const KS_DATARANGE_VIDEO LUMAREX_RangeStill_320x240;
extern const KS_DATARANGE_VIDEO LUMAREX_UnlistedRanges[];  // MJPG, I420, YUY2 at 160x120, 320x240, 640x480
extern const ULONG LUMAREX_UnlistedRangeCount;
extern const GUID LUMAREX_GuidTypeVideo;
extern const GUID LUMAREX_GuidSubtypeRGB24;
extern const GUID LUMAREX_GuidSpecifierVideoInfo;
extern const GUID LUMAREX_GuidPropsetCustom;
extern const GUID LUMAREX_GuidPropsetVideoProcAmp;
extern const GUID LUMAREX_GuidPropsetVideoControl;

BOOLEAN LUMAREX_CompareRangeHeader(PKSDATARANGE A, PKSDATARANGE B);
BOOLEAN LUMAREX_VerifyFormat(PKSDATAFORMAT Format, LONG StreamNumber);
NTSTATUS LUMAREX_GetDataIntersection(PHW_STREAM_REQUEST_BLOCK Srb);
PKSPROPERTY_SET LUMAREX_GetDevicePropertySets(PULONG NumberOfSets);

// ---- Entry and dispatch (lumarex.cpp) --------------------------------------------------------
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
extern const USBCAMD_DEVICE_DATA LUMAREX_DeviceData;
extern const USBCAMD_DEVICE_DATA2 LUMAREX_DeviceData2;
extern const GUID LUMAREX_GuidUsbcamdInterface;

VOID NTAPI LUMAREX_ReceiveDevicePacket(PHW_STREAM_REQUEST_BLOCK Srb);
// The per-stream handlers installed at stream open (the class library's stream receive type).
VOID NTAPI LUMAREX_ReceiveStreamDataPacket(PVOID Srb, PVOID DeviceContext, PBOOLEAN Completed);
VOID NTAPI LUMAREX_ReceiveStreamCtrlPacket(PVOID Srb, PVOID DeviceContext, PBOOLEAN Completed);
VOID LUMAREX_CommitStreamOpen(PDEVICE_CONTEXT DeviceContext, PVOID Stream, LONG StreamNumber);
BOOLEAN LUMAREX_InitializeNewInterface(PHW_STREAM_REQUEST_BLOCK Srb);
NTSTATUS LUMAREX_InitializationComplete(PHW_STREAM_REQUEST_BLOCK Srb);
NTSTATUS LUMAREX_QueryUsbcamdInterface(PDEVICE_OBJECT DeviceObject, PUSBCAMD_INTERFACE Interface);
NTSTATUS LUMAREX_PropertyRequest(BOOLEAN IsSet, PDEVICE_CONTEXT DeviceContext, PHW_STREAM_REQUEST_BLOCK Srb);
