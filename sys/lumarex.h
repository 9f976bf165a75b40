// The driver's routines: the camera callbacks the class library calls and the driver's own
// helpers. Grouped by the stage of the device's life they belong to.
#pragma once

#include "device_context.h"

// ---- Packet assembly (packet.cpp): called for every isochronous slot ----------------------
ULONG NTAPI CamProcessUSBPacketEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, PVOID CurrentFrameContext,
                                  PUSBD_ISO_PACKET_DESCRIPTOR SyncPacket, PVOID SyncBuffer,
                                  PUSBD_ISO_PACKET_DESCRIPTOR DataPacket, PVOID DataBuffer,
                                  PBOOLEAN FrameComplete, PULONG PacketFlag, PULONG ValidDataOffset);
ULONG NTAPI CamProcessUSBPacket(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, PVOID CurrentFrameContext,
                                PUSBD_ISO_PACKET_DESCRIPTOR SyncPacket, PVOID SyncBuffer,
                                PUSBD_ISO_PACKET_DESCRIPTOR DataPacket, PVOID DataBuffer,
                                PBOOLEAN FrameComplete, PBOOLEAN NextFrameIsStill);

// ---- Per-frame snapshot (module-wide: one set for the driver) --------------------------------
// Picture settings as the raw-frame callback last copied them from the device context; the
// worker's picture processing reads these, never the device context.
typedef struct _LUMAREX_FRAME_SETTINGS {
  LONG Brightness;
  LONG Contrast;
  LONG Sharpness;
  LONG Saturation;
  LONG WhiteBalance;
} LUMAREX_FRAME_SETTINGS, *PLUMAREX_FRAME_SETTINGS;

extern LUMAREX_FRAME_SETTINGS g_FrameSettings;

// ---- Picture adjustments and output conversion (picture.cpp, picture_sse2.cpp, yuv.cpp) ------
// Output format codes of g_nOutputFormat.
#define LUMAREX_FORMAT_RGB24 1
#define LUMAREX_FORMAT_I420 2
#define LUMAREX_FORMAT_YUY2 3
#define LUMAREX_FORMAT_MJPG 10

VOID LUMAREX_ProcessImage(PDEVICE_CONTEXT DeviceContext);
BOOLEAN LUMAREX_HasMMX(VOID);
BOOLEAN LUMAREX_HasSSE2(VOID);
// The adjustments on a BGR image given as a table of row pointers (rows[0] = bottom row):
// sharpening, brightness and saturation, contrast. luma is a work image of width * height
// bytes, needed when settings->Sharpness is not 0. The vector form gives exactly the scalar
// form's results for settings in 0..100, the only ones it accepts (it returns FALSE and
// changes nothing for others).
VOID LUMAREX_AdjustImageScalar(PUCHAR *rows, LONG width, LONG height, const LUMAREX_FRAME_SETTINGS *settings,
                               PUCHAR luma);
BOOLEAN LUMAREX_AdjustImageMMX(PUCHAR *rows, LONG width, LONG height, const LUMAREX_FRAME_SETTINGS *settings,
                               PUCHAR luma);
// BGR rows (bottom row first) to top-down YUY2 or planar I420 in out, then copied back over
// the image at rows[0]; rows is updated to describe the YUY2 rows.
VOID LUMAREX_RGB24ToYUY2(PUCHAR *rows, PUCHAR out, LONG width, LONG height);
VOID LUMAREX_RGB24ToI420(PUCHAR *rows, PUCHAR out, LONG width, LONG height);

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
NTSTATUS NTAPI CamSaveState(PVOID DeviceContext);
NTSTATUS NTAPI CamRestoreState(PVOID DeviceContext);
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

// ---- Entry and dispatch -----------------------------------------------------------------------
VOID NTAPI LUMAREX_ReceiveDevicePacket(PHW_STREAM_REQUEST_BLOCK Srb);
