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

// ---- Stills ------------------------------------------------------------------------------------
// A software trigger or a button press must end on a frame the application gets. The packet
// routine places a pending still on a frame not known to be dropped and remembers that frame
// (g_nStillFrame); the still is placed again (g_nStillsOwed) when that frame turns out dropped:
// at once when the driver itself drops it, or in the raw-frame callback when a later frame
// arrives while the still frame never did (the class library dropped it). Frames reach the
// raw-frame callback in order, so a later serial settles every earlier frame. One still frame
// is in flight at a time; others wait their turn.

// The serial part of a frame context value.
static LONG FrameSerialPart(ULONG frame) { return (LONG)(frame & ~LUMAREX_FRAME_MARKS); }

// The still of the frame with this serial part goes back to be placed again, unless it was
// settled meanwhile.
static VOID ReArmStill(PDEVICE_CONTEXT dc, LONG serialPart) {
  if (serialPart != 0 && InterlockedCompareExchange(&dc->g_nStillFrame, 0, serialPart) == serialPart) {
    InterlockedIncrement(&dc->g_nStillsOwed);
  }
}

VOID LUMAREX_BeginFrame(PDEVICE_CONTEXT DeviceContext, PVOID FrameContext) {
  PDEVICE_CONTEXT dc = DeviceContext;
  ULONG serial;
  if (FrameContext == NULL) {
    return;
  }
  // Serials use the upper 30 bits and skip 0, which marks a context no frame began with.
  serial = (dc->g_nFrameSerial + 1) & (0xFFFFFFFFu >> 2);
  if (serial == 0) {
    serial = 1;
  }
  dc->g_nFrameSerial = serial;
  *(PULONG)FrameContext = serial << 2;
}

VOID LUMAREX_StillFrameArrived(PDEVICE_CONTEXT DeviceContext, PVOID FrameContext, BOOLEAN Delivered) {
  PDEVICE_CONTEXT dc = DeviceContext;
  ULONG frame;
  LONG still;
  LONG serialPart;
  if (FrameContext == NULL) {
    return;
  }
  still = InterlockedCompareExchange(&dc->g_nStillFrame, 0, 0);
  if (still == 0) {
    return;
  }
  frame = *(PULONG)FrameContext;
  serialPart = FrameSerialPart(frame);
  if (serialPart == 0) {
    return;
  }
  if (serialPart == still) {
    if (Delivered && (frame & LUMAREX_FRAME_DROPPED) == 0) {
      InterlockedCompareExchange(&dc->g_nStillFrame, 0, still);  // it reaches the application
    } else {
      ReArmStill(dc, still);
    }
  } else if ((LONG)((ULONG)serialPart - (ULONG)still) > 0) {
    ReArmStill(dc, still);  // a later frame: the still frame was dropped before it got here
  }
}

VOID LUMAREX_ClearStills(PDEVICE_CONTEXT DeviceContext) {
  InterlockedExchange(&DeviceContext->g_nStillsOwed, 0);
  InterlockedExchange(&DeviceContext->g_nStillFrame, 0);
}

// Places a pending still on the frame whose context this is, if one is pending and no other
// still frame is in flight. DISPATCH_LEVEL, on the class library's packet path (the only place
// that takes from g_nStillsOwed). Returns TRUE when the frame became a still.
static BOOLEAN TakeStill(PDEVICE_CONTEXT dc, PULONG context) {
  ULONG frame = *context;
  BOOLEAN requested = LUMAREX_READ_FLAG(&dc->g_bStillRequested) != 0;
  if (FrameSerialPart(frame) == 0 || (frame & LUMAREX_FRAME_MARKS) != 0) {
    return FALSE;  // no frame began with this context, or it is a still or dropped already
  }
  if (!requested && InterlockedCompareExchange(&dc->g_nStillsOwed, 0, 0) <= 0) {
    return FALSE;
  }
  if (InterlockedCompareExchange(&dc->g_nStillFrame, FrameSerialPart(frame), 0) != 0) {
    return FALSE;  // the last still frame's fate is not known yet
  }
  if (requested) {
    LUMAREX_WRITE_FLAG(&dc->g_bStillRequested, 0);
  } else {
    InterlockedDecrement(&dc->g_nStillsOwed);
  }
  *context = frame | LUMAREX_FRAME_STILL;
  return TRUE;
}

// ---- The isochronous restart ---------------------------------------------------------------------

// Attempts at starting the pipe again, and the pause between them (100 ns units, relative).
#define RESTART_ATTEMPTS 20
#define RESTART_RETRY_DELAY (-10 * 1000 * 10)  // 10 ms

// LUMAREX_RestartIsoPipe - carry out the restart the camera asked for: stop the isochronous
// pipe, then start it, through the class library's interface, so that the pipe ends running.
// The class library may answer a request with STATUS_PENDING (it carries the change out later)
// or refuse it with STATUS_INVALID_DEVICE_STATE when the pipe is already in that state or a
// change is still pending. A refused stop is fine (stopped already). A refused start means the
// pipe runs, unless a stop was still pending (ours answered pending, or one was queued when
// ours was refused): then the start is asked again, after a short pause, a bounded number of
// times. Capture stop cancels a restart not yet done.
// PASSIVE_LEVEL, on the decode worker.
VOID LUMAREX_RestartIsoPipe(PDEVICE_CONTEXT DeviceContext) {
  PDEVICE_CONTEXT dc = DeviceContext;
  NTSTATUS stop;
  NTSTATUS start;
  LARGE_INTEGER pause;
  ULONG attempt;

  KeClearEvent(&dc->g_RestartEvent);
  if (InterlockedExchange(&dc->g_bRestartRequested, 0) == 0) {
    return;  // none asked, or capture stop cancelled it
  }
  if (dc->g_UsbcamdInterface.Interface.Version == 0 || dc->g_UsbcamdInterface.USBCAMD_SetIsoPipeState == NULL) {
    return;
  }
  stop = dc->g_UsbcamdInterface.USBCAMD_SetIsoPipeState(dc, USBCAMD_STOP_STREAM);
  pause.QuadPart = RESTART_RETRY_DELAY;
  for (attempt = 0; attempt < RESTART_ATTEMPTS; ++attempt) {
    if (attempt != 0) {
      KeDelayExecutionThread(KernelMode, FALSE, &pause);
      if (InterlockedCompareExchange(&dc->g_bFramesShutOut, 0, 0) != 0) {
        break;  // capture is stopping: the stream's own start sets the pipe up again
      }
    }
    start = dc->g_UsbcamdInterface.USBCAMD_SetIsoPipeState(dc, USBCAMD_START_STREAM);
    if (NT_SUCCESS(start)) {
      break;  // running, or it will be once the class library carries the start out
    }
    if (start == STATUS_INVALID_DEVICE_STATE && stop == STATUS_SUCCESS) {
      break;  // our stop took effect, so the pipe runs again already
    }
    DbgPrint("<lumarex>USBCAMD_SetIsoPipeState start 0x%08x (stop 0x%08x), attempt %u\n", (unsigned)start,
             (unsigned)stop, (unsigned)attempt + 1);
  }
}

// CamProcessUSBPacketEx - classify one isochronous slot.
// Runs at DISPATCH_LEVEL for every slot: no waiting, allocation or locking.
// Returns the number of bytes of DataBuffer, from offset 0, that belong to the current frame;
// *PacketFlag reports DropFrame for a frame that must be discarded and CurrentFrameIsStill for
// a still picture.
// CurrentFrameContext is the frame context of the frame the class library is assembling: on a
// frame-boundary slot still the previous frame's (the slot's data begins the next frame, whose
// context CamNewVideoFrameEx initialises after this call), so boundary slots leave it alone.
ULONG NTAPI CamProcessUSBPacketEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, PVOID CurrentFrameContext,
                                  PUSBD_ISO_PACKET_DESCRIPTOR SyncPacket, PVOID SyncBuffer,
                                  PUSBD_ISO_PACKET_DESCRIPTOR DataPacket, PVOID DataBuffer,
                                  PBOOLEAN FrameComplete, PULONG PacketFlag, PULONG ValidDataOffset) {
  PDEVICE_CONTEXT dc = (PDEVICE_CONTEXT)DeviceContext;
  PULONG context = (PULONG)CurrentFrameContext;
  ULONG accepted = 0;
  ULONG flags = 0;
  UCHAR status = 0;
  BOOLEAN statusUnknown;
  BOOLEAN boundary = FALSE;
  BOOLEAN dataSlot = FALSE;

  UNREFERENCED_PARAMETER(BusDeviceObject);
  UNREFERENCED_PARAMETER(DataBuffer);

  *ValidDataOffset = 0;
  *PacketFlag = 0;

  // A sync packet that failed, or one that delivered no byte at all, has no status to read: it
  // is taken as 0 and its frame is dropped below, since whether the slot began a frame is
  // unknown; nor is the button or a still looked at on such a slot.
  statusUnknown = SyncPacket == NULL || SyncBuffer == NULL || SyncPacket->Length == 0 || USBD_ERROR(SyncPacket->Status);
  if (!statusUnknown) {
    status = *(PUCHAR)SyncBuffer;
  }

  if (status & STATUS_BYTE_FRAME_START) {
    *FrameComplete = TRUE;
    boundary = TRUE;
    dataSlot = TRUE;
  } else if (status & STATUS_BYTE_RESTART) {
    // The pipe cannot be changed from here (DISPATCH_LEVEL): the worker restarts it. The frame
    // in flight is cut by the restart, so it is dropped.
    if (dc->g_UsbcamdInterface.Interface.Version != 0 && dc->g_UsbcamdInterface.USBCAMD_SetIsoPipeState != NULL &&
        dc->g_bWorkerStarted) {
      InterlockedExchange(&dc->g_bRestartRequested, 1);
      KeSetEvent(&dc->g_RestartEvent, IO_NO_INCREMENT, FALSE);
      flags |= USBCAMD_PROCESSPACKETEX_DropFrame;
    }
  } else if (status & STATUS_BYTE_NO_DATA) {
    // no frame data
  } else {
    dataSlot = TRUE;
  }

  // Only full-size data packets carry frame data; a short or empty one means data was lost,
  // and the whole frame goes.
  if (dataSlot) {
    ULONG maxPacket = DataPipeMaxPacketSize(dc);
    if (maxPacket != 0 && DataPacket->Length == maxPacket) {
      accepted = maxPacket;
    } else {
      flags |= USBCAMD_PROCESSPACKETEX_DropFrame;
    }
  }
  if (statusUnknown || USBD_ERROR(DataPacket->Status)) {
    flags |= USBCAMD_PROCESSPACKETEX_DropFrame;
  }

  // A frame the driver drops gives its still back at once.
  if (context != NULL && !boundary && (flags & USBCAMD_PROCESSPACKETEX_DropFrame) &&
      (*context & LUMAREX_FRAME_DROPPED) == 0) {
    ULONG frame = *context;
    *context = frame | LUMAREX_FRAME_DROPPED;
    if (frame & LUMAREX_FRAME_STILL) {
      ReArmStill(dc, FrameSerialPart(frame));
    }
  }

  if (dataSlot && !boundary && !statusUnknown) {
    // A still is taken once per press of the button (its rising edge), or once per software
    // request.
    UCHAR button = (status & STATUS_BYTE_BUTTON) ? 1 : 0;
    BOOLEAN press = button != dc->g_bLastButton && button == 1;
    dc->g_bLastButton = button;
    if (context == NULL) {
      // No frame context to follow the frame with: the still goes on this frame, come what may.
      if (press || LUMAREX_READ_FLAG(&dc->g_bStillRequested)) {
        flags |= USBCAMD_PROCESSPACKETEX_CurrentFrameIsStill;
        LUMAREX_WRITE_FLAG(&dc->g_bStillRequested, 0);
      }
    } else {
      if (press) {
        InterlockedIncrement(&dc->g_nStillsOwed);
      }
      if (TakeStill(dc, context)) {
        flags |= USBCAMD_PROCESSPACKETEX_CurrentFrameIsStill;
      }
    }
  }

  *PacketFlag = flags;
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
