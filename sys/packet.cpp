// Isochronous packet classification. For every slot the class library shows the driver the
// slot's sync packet (whose first byte is the camera's status byte) and its data packet, and
// appends to the current raw frame the bytes the driver accepts.
//
// Status byte, tested in the order 7, 1, 0 (the first bit set decides):
//   0x80  frame boundary: this slot's data packet starts a new frame
//   0x02  the camera asks for the isochronous stream to be restarted; no frame data
//   0x01  no frame data in this slot
//   0x40  snapshot button state, looked at only when 0x80, 0x02 and 0x01 are clear
#include "lumarex.h"

#define STATUS_BYTE_FRAME_START 0x80
#define STATUS_BYTE_BUTTON 0x40
#define STATUS_BYTE_RESTART 0x02
#define STATUS_BYTE_NO_DATA 0x01

// Maximum packet size of interface pipe 0, the isochronous data pipe, or 0 when the
// configuration left no interface copy or one too short to hold pipe 0 (then no data packet
// can be accepted).
static ULONG DataPipeMaxPacketSize(PDEVICE_CONTEXT dc) {
  PUSBD_INTERFACE_INFORMATION info = dc->g_pInterfaceInfo;
  if (info == NULL || info->NumberOfPipes == 0 ||
      info->Length < (ULONG)FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) + sizeof(USBD_PIPE_INFORMATION)) {
    return 0;
  }
  return dc->g_pInterfaceInfo->Pipes[0].MaximumPacketSize;
}

// CamProcessUSBPacketEx - classify one isochronous slot.
// Runs at DISPATCH_LEVEL for every slot: no waiting, allocation or locking.
// Returns the number of bytes of DataBuffer, from offset 0, that belong to the current frame;
// *PacketFlag reports DropFrame for a frame that must be discarded and CurrentFrameIsStill for
// a still picture.
ULONG NTAPI CamProcessUSBPacketEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, PVOID CurrentFrameContext,
                                  PUSBD_ISO_PACKET_DESCRIPTOR SyncPacket, PVOID SyncBuffer,
                                  PUSBD_ISO_PACKET_DESCRIPTOR DataPacket, PVOID DataBuffer,
                                  PBOOLEAN FrameComplete, PULONG PacketFlag, PULONG ValidDataOffset) {
  PDEVICE_CONTEXT dc = (PDEVICE_CONTEXT)DeviceContext;
  ULONG accepted = 0;
  UCHAR status = 0;
  BOOLEAN statusUnknown;

  UNREFERENCED_PARAMETER(BusDeviceObject);
  UNREFERENCED_PARAMETER(CurrentFrameContext);
  UNREFERENCED_PARAMETER(DataBuffer);

  *ValidDataOffset = 0;
  *PacketFlag = 0;

  // A sync packet that failed reads as status 0. One that delivered no byte at all has no
  // status to read: it is also taken as 0, and its frame is dropped below, since whether the
  // slot began a frame is unknown.
  statusUnknown = SyncPacket == NULL || SyncBuffer == NULL || SyncPacket->Length == 0;
  if (!statusUnknown && !USBD_ERROR(SyncPacket->Status)) {
    status = *(PUCHAR)SyncBuffer;
  }

  if (status & STATUS_BYTE_FRAME_START) {
    *FrameComplete = TRUE;
  } else if (status & STATUS_BYTE_RESTART) {
    if (dc->g_UsbcamdInterface.Interface.Version != 0 && dc->g_UsbcamdInterface.USBCAMD_SetIsoPipeState != NULL) {
      dc->g_UsbcamdInterface.USBCAMD_SetIsoPipeState(DeviceContext, USBCAMD_STOP_STREAM);
      dc->g_UsbcamdInterface.USBCAMD_SetIsoPipeState(DeviceContext, USBCAMD_START_STREAM);
    }
    goto ErrorCheck;
  } else if (status & STATUS_BYTE_NO_DATA) {
    goto ErrorCheck;
  } else {
    // A still is taken once per press of the button (its rising edge), or once per
    // software request.
    UCHAR button = (status & STATUS_BYTE_BUTTON) ? 1 : 0;
    if ((button != dc->g_bLastButton && button == 1) || LUMAREX_READ_FLAG(&dc->g_bStillRequested)) {
      *PacketFlag = USBCAMD_PROCESSPACKETEX_CurrentFrameIsStill;
      LUMAREX_WRITE_FLAG(&dc->g_bStillRequested, 0);
    }
    dc->g_bLastButton = button;
  }

  // Only full-size data packets carry frame data; a short or empty one means data was lost,
  // and the whole frame goes.
  {
    ULONG maxPacket = DataPipeMaxPacketSize(dc);
    if (maxPacket != 0 && DataPacket->Length == maxPacket) {
      accepted = maxPacket;
    } else {
      *PacketFlag |= USBCAMD_PROCESSPACKETEX_DropFrame;
    }
  }

ErrorCheck:
  if (statusUnknown || (SyncPacket != NULL && USBD_ERROR(SyncPacket->Status)) || USBD_ERROR(DataPacket->Status)) {
    *PacketFlag |= USBCAMD_PROCESSPACKETEX_DropFrame;
  }
  return accepted;
}

// CamProcessUSBPacket - the version-1 form: the same classification, with the drop and still
// flags discarded and the next-frame-is-still flag always FALSE.
// Runs at DISPATCH_LEVEL. Returns the accepted byte count.
ULONG NTAPI CamProcessUSBPacket(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, PVOID CurrentFrameContext,
                                PUSBD_ISO_PACKET_DESCRIPTOR SyncPacket, PVOID SyncBuffer,
                                PUSBD_ISO_PACKET_DESCRIPTOR DataPacket, PVOID DataBuffer,
                                PBOOLEAN FrameComplete, PBOOLEAN NextFrameIsStill) {
  ULONG packetFlag = 0;
  ULONG validDataOffset = 0;

  *NextFrameIsStill = FALSE;
  return CamProcessUSBPacketEx(BusDeviceObject, DeviceContext, CurrentFrameContext, SyncPacket, SyncBuffer,
                               DataPacket, DataBuffer, FrameComplete, &packetFlag, &validDataOffset);
}
