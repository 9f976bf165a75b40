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
