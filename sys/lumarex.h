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
