// The stand-in class library's streams, as the host's class library runs them
// (host/usbcamd/stream_requests.cpp, iso_pump.cpp): open and close; the stream requests, which
// the driver's handlers see first; the stream states (STOP -> ACQUIRE allocates the bandwidth,
// PAUSE -> RUN starts capture and the isochronous pump, and back down); the read requests; and
// the pump, which shows the driver the camera's slots one by one (CamProcessUSBPacketEx),
// assembles raw frames with the host's rules (host/shared/stream_rules.cpp) and hands each
// finished one with the next read request to CamProcessRawVideoFrameEx.
//
// The camera's slots are those the test program handed over (a slot file, recorded on the host
// from the simulated camera): while the camera streams (from a capture-start command until a
// stop), each slot takes the next one; once they are all sent every slot is idle, as the host's
// camera does with scripted slots.
#include "class_library.h"
#include "../../tests/wine/slot_file.h"

namespace kelvane {
namespace {

void CompleteStream(PHW_STREAM_REQUEST_BLOCK srb, NTSTATUS status) {
  srb->Status = status;
  StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
}

Stream *StreamOf(PHW_STREAM_OBJECT object) {
  return object != nullptr ? static_cast<Stream *>(object->HwStreamExtension) : nullptr;
}

PUCHAR CopyFormat(const KSDATAFORMAT *format) {
  if (format == nullptr || format->FormatSize < sizeof(KSDATAFORMAT)) return nullptr;
  PUCHAR copy = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, format->FormatSize, kPoolTag));
  if (copy != nullptr) memcpy(copy, format, format->FormatSize);
  return copy;
}

ULONG ReadU32(const UCHAR *p) { return p[0] | (p[1] << 8) | (p[2] << 16) | ((ULONG)p[3] << 24); }

// ---- Reads ------------------------------------------------------------------------------------

void CompleteRead(PHW_STREAM_REQUEST_BLOCK srb, NTSTATUS status) {
  if (!NT_SUCCESS(status)) srb->CommandData.DataBufferArray->DataUsed = 0;
  srb->ActualBytesTransferred = NT_SUCCESS(status) ? sizeof(KSSTREAM_HEADER) : 0;
  CompleteStream(srb, status);
}

// Cancels every read still queued on the stream.
void CancelReads(Stream *s) {
  for (;;) {
    Lock(&s->lock);
    PHW_STREAM_REQUEST_BLOCK srb = nullptr;
    if (s->readCount != 0) {
      srb = s->reads[s->readHead];
      s->readHead = (s->readHead + 1) % kMaxReads;
      --s->readCount;
    }
    Unlock(&s->lock);
    if (srb == nullptr) return;
    CompleteRead(srb, STATUS_CANCELLED);
  }
}

// The next read request, waiting for one (the application's reads pace the stream); null when
// the stream stops first.
PHW_STREAM_REQUEST_BLOCK TakeRead(Stream *s) {
  for (;;) {
    Lock(&s->lock);
    PHW_STREAM_REQUEST_BLOCK srb = nullptr;
    if (s->pumpStop == 0 && s->readCount != 0) {
      srb = s->reads[s->readHead];
      s->readHead = (s->readHead + 1) % kMaxReads;
      --s->readCount;
    }
    LONG stop = s->pumpStop;
    Unlock(&s->lock);
    if (srb != nullptr || stop != 0) return srb;
    KeWaitForSingleObject(&s->readQueued, Executive, KernelMode, FALSE, nullptr);
  }
}

// ---- The camera's slots and the pump ---------------------------------------------------------

struct Slot {
  UCHAR syncByte;
  ULONG syncLength;
  USBD_STATUS syncStatus;
  USBD_STATUS dataStatus;
  ULONGLONG cameraFrame;
  ULONG dataLength;
  const UCHAR *data;
};

// The camera's next slot: idle (status 0x01, no data) while not streaming or once the slots are
// all sent.
void NextSlot(Device *d, Slot *slot) {
  slot->syncByte = 0x01;
  slot->syncLength = 1;
  slot->syncStatus = USBD_STATUS_SUCCESS;
  slot->dataStatus = USBD_STATUS_SUCCESS;
  slot->cameraFrame = 0;
  slot->dataLength = 0;
  slot->data = nullptr;
  Lock(&d->commandLock);
  BOOLEAN streaming = d->cameraStream.streaming;
  Unlock(&d->commandLock);
  if (!streaming || d->slots == nullptr || d->slotsSize - d->slotOffset < TORVANE_SLOT_RECORD_SIZE) return;
  const UCHAR *p = d->slots + d->slotOffset;
  ULONG length = ReadU32(p + 21);
  if (length > d->slotsSize - d->slotOffset - TORVANE_SLOT_RECORD_SIZE) return;
  slot->syncByte = p[0];
  slot->syncLength = ReadU32(p + 1);
  slot->syncStatus = ReadU32(p + 5);
  slot->dataStatus = ReadU32(p + 9);
  slot->cameraFrame = ReadU32(p + 13) | ((ULONGLONG)ReadU32(p + 17) << 32);
  slot->dataLength = length;
  slot->data = p + TORVANE_SLOT_RECORD_SIZE;
  d->slotOffset += TORVANE_SLOT_RECORD_SIZE + length;
  // A press holds the button down for the whole of the next frame that begins.
  if (slot->cameraFrame != 0 && slot->cameraFrame != d->slotFrame) {
    d->slotFrame = slot->cameraFrame;
    d->pressHeld = InterlockedExchange(&d->pressFrames, 0) > 0;
  }
  if (d->pressHeld && slot->cameraFrame != 0) slot->syncByte |= 0x40;
}

// What became of raw frame `index`, for the frame log (the oldest record goes when it is full).
void LogFrame(Stream *s, ULONGLONG index, const TORVANE_ASSEMBLY *a, ULONG fate) {
  TORVANE_RAW_FRAME r = {index, a->cameraFrame, fate, a->still ? 1u : 0u, a->bytes, a->packets};
  Lock(&s->lock);
  if (s->frameLogCount == TORVANE_RAW_FRAME_LOG) {
    memmove(&s->frameLog[0], &s->frameLog[1], sizeof(r) * (TORVANE_RAW_FRAME_LOG - 1));
    --s->frameLogCount;
  }
  s->frameLog[s->frameLogCount++] = r;
  Unlock(&s->lock);
}

void FinishFrame(Stream *s, TORVANE_ASSEMBLY *a) {
  Device *d = s->device;
  ULONGLONG index = ++s->framesAssembled;
  a->inFrame = FALSE;
  const ULONG fate = TorvaneShared_FrameFate(a);
  if (fate != TORVANE_FRAME_DELIVER) {
    LogFrame(s, index, a, fate == TORVANE_FRAME_OVERFLOW ? TORVANE_RAW_OVERFLOW : TORVANE_RAW_DROPPED);
    return;
  }
  PHW_STREAM_REQUEST_BLOCK srb = TakeRead(s);
  // Without a read the pump was told to stop: the frame is cut off.
  LogFrame(s, index, a, srb != nullptr ? TORVANE_RAW_DELIVERED : TORVANE_RAW_ABANDONED);
  if (srb == nullptr) return;
  PKSSTREAM_HEADER header = srb->CommandData.DataBufferArray;
  ULONG bytesReturned = a->bytes;  // the driver reads the raw byte count from here
  NTSTATUS status = d->callbacks->CamProcessRawVideoFrameEx(d->physicalDevice, ContextOf(d), a->context, header->Data,
                                                            header->FrameExtent, s->rawBuffer, s->rawFrameLength,
                                                            a->packets, &bytesReturned, a->bytes, s->number);
  TorvaneShared_FinishStreamHeader(header, bytesReturned, index);
  CompleteRead(srb, status);
}

VOID NTAPI RunPump(PVOID context) {
  Stream *s = static_cast<Stream *>(context);
  Device *d = s->device;
  PUSBD_INTERFACE_INFORMATION i = d->Interface();
  ULONG maxPacket = i->Pipes[d->dataPipe].MaximumPacketSize;
  ULONG syncMax = i->Pipes[d->syncPipe].MaximumPacketSize;
  if (syncMax == 0) syncMax = 1;
  PUCHAR syncBuffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, syncMax + maxPacket, kPoolTag));
  PUCHAR dataBuffer = syncBuffer + syncMax;
  TORVANE_ASSEMBLY a;
  memset(&a, 0, sizeof(a));
  LONG restartsSeen = d->isoRestarts;
  // A stop of the pipe or a power cut: whatever was in flight is lost.
  auto noteRestart = [&]() {
    LONG restarts = d->isoRestarts;
    if (restarts == restartsSeen) return false;
    restartsSeen = restarts;
    if (a.inFrame) {
      LogFrame(s, ++s->framesAssembled, &a, TORVANE_RAW_ABANDONED);
      a.inFrame = FALSE;
    }
    return true;
  };
  LARGE_INTEGER idle;
  idle.QuadPart = -1000;  // 100 us
  while (syncBuffer != nullptr && s->pumpStop == 0) {
    noteRestart();
    if (d->isoStopped) {
      // The driver stopped the pipe and has not started it again: no slots arrive.
      KeDelayExecutionThread(KernelMode, FALSE, &idle);
      continue;
    }
    Slot slot;
    NextSlot(d, &slot);
    // A sync packet that carried no byte leaves a zero where its status byte would be.
    USBD_ISO_PACKET_DESCRIPTOR sync = {0, slot.syncLength < syncMax ? slot.syncLength : syncMax, slot.syncStatus};
    syncBuffer[0] = sync.Length != 0 ? slot.syncByte : 0;
    ULONG dataLength = slot.dataLength < maxPacket ? slot.dataLength : maxPacket;
    USBD_ISO_PACKET_DESCRIPTOR data = {0, dataLength, slot.dataStatus};
    if (dataLength != 0) memcpy(dataBuffer, slot.data, dataLength);

    BOOLEAN frameComplete = FALSE;
    ULONG flags = 0, offset = 0;
    ULONG accepted = d->callbacks->CamProcessUSBPacketEx(d->physicalDevice, ContextOf(d), s->frameContext, &sync,
                                                         syncBuffer, &data, dataBuffer, &frameComplete, &flags,
                                                         &offset);
    if (noteRestart()) continue;  // the pipe was stopped during this slot: the slot is lost with the frame
    if (frameComplete) {
      if (a.inFrame) FinishFrame(s, &a);
      memset(&a, 0, sizeof(a));
      a.inFrame = TRUE;
      // The next frame buffer's context; the driver initialises it.
      s->nextFrameContext = (s->nextFrameContext + 1) % kFrameContexts;
      s->frameContext = s->frameContextBlock + s->nextFrameContext * s->frameContextSize;
      a.context = s->frameContext;
      ULONG frameLength = s->rawFrameLength;
      d->callbacks->CamNewVideoFrameEx(ContextOf(d), s->frameContext, s->number, &frameLength);
    }
    if (!a.inFrame) continue;  // slots before the first frame boundary belong to no frame
    TorvaneShared_AssembleSlot(&a, flags, accepted, offset, dataBuffer, dataLength, slot.cameraFrame, s->rawBuffer,
                               s->rawFrameLength);
  }
  // The frame the camera was sending when the stream stopped is cut off.
  if (a.inFrame) LogFrame(s, ++s->framesAssembled, &a, TORVANE_RAW_ABANDONED);
  if (syncBuffer != nullptr) ExFreePool(syncBuffer);
  KeSetEvent(&s->pumpEnded, IO_NO_INCREMENT, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

void StopPump(Stream *s) {
  if (!s->pumpRunning) return;
  InterlockedExchange(&s->pumpStop, 1);
  KeSetEvent(&s->readQueued, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(&s->pumpEnded, Executive, KernelMode, FALSE, nullptr);
  s->pumpRunning = FALSE;
  InterlockedExchange(&s->pumpStop, 0);
}

// ---- Stream states -----------------------------------------------------------------------------

NTSTATUS AllocateBandwidth(Stream *s) {
  Device *d = s->device;
  ULONG rawLength = 0;
  PUCHAR format = s->allocationFormat != nullptr ? s->allocationFormat : s->format;
  NTSTATUS status = d->callbacks->CamAllocateBandwidthEx(d->physicalDevice, ContextOf(d), &rawLength, format,
                                                         s->number);
  if (!NT_SUCCESS(status)) return status;
  s->bandwidth = TRUE;
  if (rawLength != 0) {
    s->rawBuffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, rawLength, kPoolTag));
    if (s->rawBuffer == nullptr) {
      d->callbacks->CamFreeBandwidthEx(d->physicalDevice, ContextOf(d), s->number);
      s->bandwidth = FALSE;
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  s->rawFrameLength = rawLength;
  return STATUS_SUCCESS;
}

void FreeBandwidth(Stream *s) {
  Device *d = s->device;
  if (s->bandwidth) {
    d->callbacks->CamFreeBandwidthEx(d->physicalDevice, ContextOf(d), s->number);
    s->bandwidth = FALSE;
  }
  if (s->rawBuffer != nullptr) {
    ExFreePool(s->rawBuffer);
    s->rawBuffer = nullptr;
  }
  s->rawFrameLength = 0;
}

NTSTATUS StartStreaming(Stream *s) {
  Device *d = s->device;
  if (d->removed) return STATUS_DEVICE_NOT_CONNECTED;
  NTSTATUS status = d->callbacks->CamStartCaptureEx(d->physicalDevice, ContextOf(d), s->number);
  if (!NT_SUCCESS(status)) return status;
  // Only the video stream has isochronous data; the still stream's frames come from it.
  if (s->number == 0) {
    InterlockedExchange(&d->isoStopped, 0);
    InterlockedExchange(&s->pumpStop, 0);
    KeClearEvent(&s->pumpEnded);
    HANDLE thread;
    if (!NT_SUCCESS(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, RunPump, s))) {
      d->callbacks->CamStopCaptureEx(d->physicalDevice, ContextOf(d), s->number);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    ZwClose(thread);
    s->pumpRunning = TRUE;
  }
  return STATUS_SUCCESS;
}

void StopStreaming(Stream *s) {
  Device *d = s->device;
  StopPump(s);
  d->callbacks->CamStopCaptureEx(d->physicalDevice, ContextOf(d), s->number);
}

NTSTATUS SetStreamState(Stream *s, KSSTATE target) {
  if (target < KSSTATE_STOP || target > KSSTATE_RUN) return STATUS_INVALID_PARAMETER;
  KSSTATE current = s->state;
  NTSTATUS status = STATUS_SUCCESS;
  while (current != target && NT_SUCCESS(status)) {
    ULONG step;
    KSSTATE next = TorvaneShared_NextState(current, target, &step);
    switch (step) {
      case TORVANE_STEP_ALLOCATE: status = AllocateBandwidth(s); break;
      case TORVANE_STEP_START: status = StartStreaming(s); break;
      case TORVANE_STEP_STOP: StopStreaming(s); break;
      case TORVANE_STEP_FREE:
        FreeBandwidth(s);
        CancelReads(s);
        break;
      default: break;
    }
    if (NT_SUCCESS(status)) {
      current = next;
      Lock(&s->lock);
      s->state = current;
      Unlock(&s->lock);
    }
  }
  return status;
}

// ---- Stream requests ---------------------------------------------------------------------------

// The driver's control handler sees the request first; the class library handles what it leaves.
VOID STREAMAPI ReceiveControl(PHW_STREAM_REQUEST_BLOCK srb) {
  Stream *s = StreamOf(srb->StreamObject);
  if (s == nullptr) {
    CompleteStream(srb, STATUS_INVALID_PARAMETER);
    return;
  }
  BOOLEAN completed = FALSE;
  if (s->driverControl != nullptr) {
    s->driverControl(srb, ContextOf(s->device), &completed);
    if (completed) return;
  }
  switch (srb->Command) {
    case SRB_SET_STREAM_STATE:
      CompleteStream(srb, SetStreamState(s, srb->CommandData.StreamState));
      break;
    case SRB_GET_STREAM_STATE:
      srb->CommandData.StreamState = s->state;
      srb->ActualBytesTransferred = sizeof(KSSTATE);
      CompleteStream(srb, STATUS_SUCCESS);
      break;
    default:
      CompleteStream(srb, STATUS_NOT_IMPLEMENTED);
      break;
  }
}

// Read requests wait in the stream's queue for frames; the driver's data handler sees them first.
VOID STREAMAPI ReceiveData(PHW_STREAM_REQUEST_BLOCK srb) {
  Stream *s = StreamOf(srb->StreamObject);
  if (s == nullptr) {
    CompleteStream(srb, STATUS_INVALID_PARAMETER);
    return;
  }
  BOOLEAN completed = FALSE;
  if (s->driverData != nullptr) {
    s->driverData(srb, ContextOf(s->device), &completed);
    if (completed) return;
  }
  PKSSTREAM_HEADER header = srb->CommandData.DataBufferArray;
  if (srb->Command != SRB_READ_DATA || header == nullptr || srb->NumberOfBuffers != 1 || header->Data == nullptr) {
    CompleteStream(srb, srb->Command == SRB_READ_DATA ? STATUS_INVALID_PARAMETER : STATUS_NOT_IMPLEMENTED);
    return;
  }
  if (s->device->removed) {
    CompleteRead(srb, STATUS_DEVICE_NOT_CONNECTED);
    return;
  }
  Lock(&s->lock);
  bool queued = s->readCount < kMaxReads;
  if (queued) {
    s->reads[(s->readHead + s->readCount) % kMaxReads] = srb;
    ++s->readCount;
  }
  Unlock(&s->lock);
  if (!queued) {
    CompleteRead(srb, STATUS_INSUFFICIENT_RESOURCES);
    return;
  }
  KeSetEvent(&s->readQueued, IO_NO_INCREMENT, FALSE);
}

}  // namespace

void StopAllStreams(Device *d) {
  for (Stream *s : d->streams) {
    if (s != nullptr) {
      SetStreamState(s, KSSTATE_STOP);
      CancelReads(s);
    }
  }
}

void OpenStream(Device *d, PHW_STREAM_REQUEST_BLOCK srb) {
  PHW_STREAM_OBJECT object = srb->StreamObject;
  ULONG number = object != nullptr ? object->StreamNumber : 2;
  if (number > 1 || d->streams[number] != nullptr || d->removed) {
    CompleteDevice(srb, number > 1 ? STATUS_INVALID_PARAMETER : STATUS_DEVICE_BUSY);
    return;
  }
  ULONG frameContextSize = g_registration.frameContextSize != 0 ? g_registration.frameContextSize : 1;
  Stream *s = static_cast<Stream *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Stream), kPoolTag));
  PUCHAR frameContext =
      static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, frameContextSize * kFrameContexts, kPoolTag));
  if (s == nullptr || frameContext == nullptr) {
    if (s != nullptr) ExFreePool(s);
    if (frameContext != nullptr) ExFreePool(frameContext);
    CompleteDevice(srb, STATUS_INSUFFICIENT_RESOURCES);
    return;
  }
  memset(s, 0, sizeof(*s));
  memset(frameContext, 0, frameContextSize * kFrameContexts);
  s->device = d;
  s->object = object;
  s->number = number;
  s->frameContextBlock = frameContext;
  s->frameContextSize = frameContextSize;
  s->frameContext = frameContext;
  s->format = CopyFormat(srb->CommandData.OpenFormat);
  s->state = KSSTATE_STOP;
  KeInitializeEvent(&s->lock, SynchronizationEvent, TRUE);
  KeInitializeEvent(&s->readQueued, SynchronizationEvent, FALSE);
  KeInitializeEvent(&s->pumpEnded, NotificationEvent, FALSE);
  // The driver put its own handlers in the stream object; they are called with the class
  // library's three arguments, and the class library's routines take their place.
  s->driverData = reinterpret_cast<PSTREAM_RECEIVE_PACKET>(reinterpret_cast<void *>(object->ReceiveDataPacket));
  s->driverControl = reinterpret_cast<PSTREAM_RECEIVE_PACKET>(reinterpret_cast<void *>(object->ReceiveControlPacket));
  object->ReceiveDataPacket = ReceiveData;
  object->ReceiveControlPacket = ReceiveControl;
  object->HwStreamExtension = s;
  d->streams[number] = s;
  CompleteDevice(srb, STATUS_SUCCESS);
}

void CloseStream(Device *d, PHW_STREAM_REQUEST_BLOCK srb) {
  Stream *s = StreamOf(srb->StreamObject);
  if (s == nullptr || s->device != d) {
    CompleteDevice(srb, STATUS_INVALID_PARAMETER);
    return;
  }
  SetStreamState(s, KSSTATE_STOP);
  CancelReads(s);
  d->streams[s->number] = nullptr;
  srb->StreamObject->HwStreamExtension = nullptr;
  ExFreePool(s->frameContextBlock);
  if (s->format != nullptr) ExFreePool(s->format);
  if (s->allocationFormat != nullptr) ExFreePool(s->allocationFormat);
  ExFreePool(s);
  CompleteDevice(srb, STATUS_SUCCESS);
}

BOOLEAN SetVideoFormat(Device *d, PHW_STREAM_REQUEST_BLOCK srb) {
  Stream *s = StreamOf(srb->StreamObject);
  if (s == nullptr || s->device != d) return FALSE;
  PUCHAR format = CopyFormat(srb->CommandData.OpenFormat);
  if (format == nullptr) return FALSE;
  // A running stream keeps its format; an allocated one is allocated again for the new one.
  if (s->state == KSSTATE_RUN) {
    ExFreePool(format);
    return FALSE;
  }
  if (s->format != nullptr) ExFreePool(s->format);
  s->format = format;
  if (s->bandwidth) {
    FreeBandwidth(s);
    if (!NT_SUCCESS(AllocateBandwidth(s))) return FALSE;
  }
  return TRUE;
}

NTSTATUS SetIsoPipeState(Device *d, ULONG flags) {
  const LONG stop = flags == USBCAMD_STOP_STREAM;
  if (d->isoStopped == stop) return STATUS_INVALID_DEVICE_STATE;
  if (stop) {
    InterlockedExchange(&d->isoStopped, 1);
    InterlockedIncrement(&d->isoRestarts);
  } else {
    InterlockedExchange(&d->isoStopped, 0);
  }
  return STATUS_SUCCESS;
}

NTSTATUS TakeSlots(Device *d, const UCHAR *file, ULONG size) {
  if (file == nullptr || size < TORVANE_SLOT_MAGIC_SIZE || memcmp(file, TORVANE_SLOT_MAGIC, TORVANE_SLOT_MAGIC_SIZE) != 0) {
    return STATUS_INVALID_PARAMETER;
  }
  if (d->cameraStream.streaming) return STATUS_DEVICE_BUSY;
  PUCHAR copy = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, size, kPoolTag));
  if (copy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  memcpy(copy, file, size);
  if (d->slots != nullptr) ExFreePool(d->slots);
  d->slots = copy;
  d->slotsSize = size;
  d->slotOffset = TORVANE_SLOT_MAGIC_SIZE;
  d->slotFrame = 0;
  d->pressHeld = FALSE;
  InterlockedExchange(&d->pressFrames, 0);
  return STATUS_SUCCESS;
}

NTSTATUS FrameLog(Device *d, const UCHAR *input, ULONG size, PUCHAR out, ULONG outSize, ULONG *written) {
  *written = 0;
  ULONG in[2];  // TORVANE_STREAM_IN: the stream, the newest index the caller has seen
  if (input == nullptr || size < sizeof(in)) return STATUS_INVALID_PARAMETER;
  memcpy(in, input, sizeof(in));
  if (in[0] > 1 || d->streams[in[0]] == nullptr) return STATUS_INVALID_PARAMETER;
  Stream *s = d->streams[in[0]];
  Lock(&s->lock);
  for (ULONG i = 0; i < s->frameLogCount && outSize - *written >= sizeof(TORVANE_RAW_FRAME); ++i) {
    if (s->frameLog[i].index <= in[1]) continue;
    memcpy(out + *written, &s->frameLog[i], sizeof(TORVANE_RAW_FRAME));
    *written += sizeof(TORVANE_RAW_FRAME);
  }
  Unlock(&s->lock);
  return STATUS_SUCCESS;
}

NTSTATUS SetAllocationFormat(Device *d, const UCHAR *input, ULONG size) {
  ULONG number;
  if (input == nullptr || size < sizeof(number)) return STATUS_INVALID_PARAMETER;
  memcpy(&number, input, sizeof(number));
  if (number > 1 || d->streams[number] == nullptr) return STATUS_INVALID_PARAMETER;
  Stream *s = d->streams[number];
  PUCHAR format = nullptr;
  if (size > sizeof(ULONG) * 2) {
    const KSDATAFORMAT *given = reinterpret_cast<const KSDATAFORMAT *>(input + sizeof(ULONG) * 2);
    if (size - sizeof(ULONG) * 2 < sizeof(KSDATAFORMAT) || given->FormatSize > size - sizeof(ULONG) * 2) {
      return STATUS_INVALID_PARAMETER;
    }
    format = CopyFormat(given);
    if (format == nullptr) return STATUS_INVALID_PARAMETER;
  }
  if (s->allocationFormat != nullptr) ExFreePool(s->allocationFormat);
  s->allocationFormat = format;
  return STATUS_SUCCESS;
}

}  // namespace kelvane
