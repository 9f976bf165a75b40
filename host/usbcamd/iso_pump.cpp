// The isochronous pump of a running video stream: slot by slot it shows the driver the camera's
// sync and data packets (CamProcessUSBPacketEx at DISPATCH_LEVEL), appends exactly the bytes the
// driver accepts to the raw frame, and at every frame boundary hands the finished raw frame with
// the application's next read request to CamProcessRawVideoFrameEx at PASSIVE_LEVEL, one frame
// at a time. Frames the driver marks DropFrame, empty frames and frames longer than the raw frame
// length the driver asked for are discarded, and so are frames the class library cannot hand
// over (no read waiting, HostDeviceOptions::dropEvery). Every frame's fate goes to the frame log
// with whether the driver marked it still. Each frame has its own frame context, handed to
// CamNewVideoFrameEx, to the packet routine for the frame's slots and to the raw-frame callback.
// Between slots the pump carries out a pipe state change the driver asked for at raised IRQL.
#include <algorithm>
#include <cstring>

#include "usbcamd_internal.h"

namespace usbcamd {
namespace {

// The frame being assembled (host/shared/stream_rules.cpp holds the assembly rules).
struct Assembly : TORVANE_ASSEMBLY {
  Assembly() : TORVANE_ASSEMBLY{} {}
};

void Log(Stream &s, HostRawFrameRecord record) {
  std::lock_guard<std::mutex> guard(s.lock);
  switch (record.fate) {
    case HostRawFrameRecord::Delivered:
      ++s.stats.delivered;
      if (record.still) ++s.stats.stills;
      break;
    case HostRawFrameRecord::Dropped: ++s.stats.dropped; break;
    case HostRawFrameRecord::Overflow: ++s.stats.overflow; break;
    case HostRawFrameRecord::NoBuffer: ++s.stats.noBuffer; break;
    case HostRawFrameRecord::Abandoned: ++s.stats.abandoned; break;
  }
  s.frameLog.push_back(std::move(record));
  while (s.frameLog.size() > s.device->options.frameLogLimit) {
    s.frameLog.pop_front();
  }
}

// The frame in flight, if any, is lost (the pipe stopped, lost power or the stream stopped).
void LogAbandoned(Stream &s, Assembly &a) {
  if (!a.inFrame) return;
  HostRawFrameRecord record;
  record.fate = HostRawFrameRecord::Abandoned;
  record.index = ++s.framesAssembled;
  record.bytes = a.bytes;
  record.packets = a.packets;
  record.still = a.still;
  record.cameraFrame = a.cameraFrame;
  Log(s, std::move(record));
  a.inFrame = false;
}

// The next read request, waiting for one when the application paces the stream. Null when the
// stream stops first, or when none is queued and the frame cannot wait.
PHW_STREAM_REQUEST_BLOCK TakeRead(Stream &s) {
  std::unique_lock<std::mutex> guard(s.lock);
  if (s.device->options.waitForBuffers) {
    s.changed.wait(guard, [&s] { return !s.reads.empty() || s.pumpStop.load(); });
  }
  if (s.reads.empty() || s.pumpStop) {
    return nullptr;
  }
  PHW_STREAM_REQUEST_BLOCK srb = s.reads.front();
  s.reads.pop_front();
  return srb;
}

void FinishFrame(Stream &s, Assembly &a) {
  Device &d = *s.device;
  HostRawFrameRecord record;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    ++s.stats.assembled;
  }
  record.index = ++s.framesAssembled;
  record.bytes = a.bytes;
  record.packets = a.packets;
  record.still = a.still;
  record.cameraFrame = a.cameraFrame;
  a.inFrame = false;
  switch (TorvaneShared_FrameFate(&a)) {
    case TORVANE_FRAME_OVERFLOW:
      record.fate = HostRawFrameRecord::Overflow;
      Log(s, std::move(record));
      return;
    case TORVANE_FRAME_DROPPED:
      record.fate = HostRawFrameRecord::Dropped;
      Log(s, std::move(record));
      return;
    default:
      break;
  }
  // The class library's own drops: as if no read request were waiting.
  PHW_STREAM_REQUEST_BLOCK srb = nullptr;
  if (d.options.dropEvery == 0 || record.index % d.options.dropEvery != 0) {
    srb = TakeRead(s);
  }
  if (srb == nullptr) {
    record.fate = s.pumpStop ? HostRawFrameRecord::Abandoned : HostRawFrameRecord::NoBuffer;
    Log(s, std::move(record));
    return;
  }
  PKSSTREAM_HEADER header = srb->CommandData.DataBufferArray;
  // The driver reads the raw byte count from here, unless the class library gives it only as
  // the actual length.
  ULONG bytesReturned = d.options.actualLengthOnly ? 0 : a.bytes;
  NTSTATUS status = HostStack_Call(HostStackEntry::RawFrame, [&] {
    return d.callbacks->CamProcessRawVideoFrameEx(d.physicalDevice, d.deviceContext, a.context, header->Data,
                                                  header->FrameExtent, s.rawBuffer, s.rawFrameLength, a.packets,
                                                  &bytesReturned, a.bytes, s.number);
  });
  TorvaneShared_FinishStreamHeader(header, bytesReturned, record.index);
  HostReadInfo info;
  info.rawIndex = record.index;
  info.rawBytes = a.bytes;
  info.still = a.still;
  record.fate = HostRawFrameRecord::Delivered;
  if (d.options.keepRawFrames) {
    record.raw.assign(s.rawBuffer, s.rawBuffer + a.bytes);
  }
  if (d.options.lateFrames != 0 || d.options.framesDuringUninitialize != 0) {
    s.lastRaw.assign(s.rawBuffer, s.rawBuffer + a.bytes);
    s.lastExtent = header->FrameExtent;
  }
  Log(s, std::move(record));
  CompleteRead(s, srb, status, info);
}

}  // namespace

void RunPump(Stream &s) {
  Device &d = *s.device;
  PUSBD_INTERFACE_INFORMATION i = d.Interface();
  ULONG maxPacket = i->Pipes[d.dataPipe].MaximumPacketSize;
  ULONG syncMax = std::max<ULONG>(1, i->Pipes[d.syncPipe].MaximumPacketSize);
  std::vector<uint8_t> syncBuffer(syncMax), dataBuffer(maxPacket);
  Assembly a;
  unsigned restartsSeen = d.isoRestarts;
  HostIsoSlot slot;  // reused, so that its packet buffer is not allocated for every slot

  // A stop of the pipe (by the driver, at once or carried out late) or a power cut: whatever
  // was in flight is lost. True when the pipe was stopped since the last look.
  unsigned powerCutsSeen = d.powerCuts;
  auto noteRestart = [&]() {
    const bool restarted = d.isoRestarts != restartsSeen, powerCut = d.powerCuts != powerCutsSeen;
    if (!restarted && !powerCut) return false;
    restartsSeen = d.isoRestarts;
    powerCutsSeen = d.powerCuts;
    if (restarted) {
      std::lock_guard<std::mutex> guard(s.lock);
      ++s.stats.restarts;
    }
    LogAbandoned(s, a);
    return true;
  };

  while (!s.pumpStop) {
    RunPendingPipeChange(d);
    noteRestart();
    if (d.isoStopped) {
      // The driver stopped the pipe and has not started it again: no slots arrive.
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      continue;
    }
    d.camera->NextSlot(slot);

    // A sync packet that carried no byte leaves a zero where its status byte would be; the data
    // buffer holds the packet's bytes (only its Length counts).
    USBD_ISO_PACKET_DESCRIPTOR sync{0, std::min<ULONG>(slot.syncLength, syncMax), slot.syncStatus};
    syncBuffer[0] = sync.Length != 0 ? slot.syncByte : 0;
    ULONG dataLength = ULONG(std::min<size_t>(slot.data.size(), maxPacket));
    USBD_ISO_PACKET_DESCRIPTOR data{0, dataLength, slot.dataStatus};
    if (dataLength != 0) memcpy(dataBuffer.data(), slot.data.data(), dataLength);

    BOOLEAN frameComplete = FALSE;
    ULONG flags = 0;
    ULONG offset = 0;
    ULONG accepted = 0;
    HostIrql_RunAtDispatch([&] {
      accepted = HostStack_Call(HostStackEntry::Packet, [&] {
        return d.callbacks->CamProcessUSBPacketEx(d.physicalDevice, d.deviceContext, s.frameContext, &sync,
                                                  syncBuffer.data(), &data, dataBuffer.data(), &frameComplete, &flags,
                                                  &offset);
      });
    });
    ++s.slots;

    if (noteRestart()) {
      continue;  // the pipe was stopped during this slot: the slot is lost with the frame
    }

    if (frameComplete) {
      if (a.inFrame) {
        FinishFrame(s, a);
      }
      a = Assembly{};
      a.inFrame = TRUE;
      // The next frame buffer's context; the driver initialises it.
      s.nextFrameContext = (s.nextFrameContext + 1) % Stream::kFrameContexts;
      s.frameContext = s.frameContextBlock + size_t(s.nextFrameContext) * s.frameContextSize;
      a.context = s.frameContext;
      ULONG frameLength = s.rawFrameLength;
      HostStack_Call(HostStackEntry::CameraCallback, [&] {
        return d.callbacks->CamNewVideoFrameEx(d.deviceContext, s.frameContext, s.number, &frameLength);
      });
    }
    if (!a.inFrame) {
      continue;  // slots before the first frame boundary belong to no frame
    }
    TorvaneShared_AssembleSlot(&a, flags, accepted, offset, dataBuffer.data(), dataLength, slot.cameraFrame,
                               s.rawBuffer, s.rawFrameLength);
  }
  LogAbandoned(s, a);
}

}  // namespace usbcamd
