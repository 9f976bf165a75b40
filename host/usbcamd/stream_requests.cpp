// The class library's streams: open and close, the stream requests it routes through the
// driver's handlers first (control and data), the stream states with bandwidth allocation and
// capture start and stop, and the application's read requests.
#include <algorithm>
#include <cstring>

#include "usbcamd_internal.h"

namespace usbcamd {
namespace {

void CompleteStream(PHW_STREAM_REQUEST_BLOCK srb, NTSTATUS status) {
  srb->Status = status;
  StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
}

Stream *StreamOf(PHW_STREAM_OBJECT object) {
  return object != nullptr ? static_cast<Stream *>(object->HwStreamExtension) : nullptr;
}

std::vector<uint8_t> CopyFormat(const KSDATAFORMAT *format) {
  if (format == nullptr || format->FormatSize < sizeof(KSDATAFORMAT)) {
    return {};
  }
  const uint8_t *bytes = reinterpret_cast<const uint8_t *>(format);
  return std::vector<uint8_t>(bytes, bytes + format->FormatSize);
}

// Cancels every read still queued on the stream.
void CancelReads(Stream &s) {
  std::deque<PHW_STREAM_REQUEST_BLOCK> reads;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    reads.swap(s.reads);
  }
  for (PHW_STREAM_REQUEST_BLOCK srb : reads) {
    CompleteRead(s, srb, STATUS_CANCELLED, HostReadInfo{});
  }
}

void StopPump(Stream &s) {
  if (!s.pump.joinable()) return;
  s.pumpStop = true;
  s.changed.notify_all();
  s.pump.join();
  s.pumpStop = false;
}

// The late-frame thread: the last raw frame, again and again, into a scratch buffer of the
// size the application's buffers had, until told to end.
void DeliverLateFrames(Stream &s) {
  Device &d = *s.device;
  std::vector<uint8_t> raw = s.lastRaw;
  std::vector<uint8_t> out(s.lastExtent);
  while (!s.lateStop) {
    ULONG bytes = d.options.actualLengthOnly ? 0 : ULONG(raw.size());
    d.callbacks->CamProcessRawVideoFrameEx(d.physicalDevice, d.deviceContext, s.frameContext, out.data(),
                                           ULONG(out.size()), raw.data(), ULONG(raw.size()), 1, &bytes,
                                           ULONG(raw.size()), s.number);
    if (bytes > out.size()) {
      HostBugCheck(HOST_BUGCHECK_BYTES_PAST_BUFFER, "raw-frame callback reported %lu bytes for a %zu-byte frame",
                   (unsigned long)bytes, out.size());
    }
    {
      std::lock_guard<std::mutex> guard(s.lock);
      ++s.stats.late;
    }
    ++s.lateDelivered;
  }
}

// Waits until the late-frame thread has delivered `count` frames in all (at most 10 s: a
// callback that never returns shows up as a hung test instead).
void WaitForLateFrames(Stream &s, uint64_t count) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (s.late.joinable() && s.lateDelivered < count && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
}

void EndLateFrames(Stream &s) {
  if (!s.late.joinable()) return;
  s.lateStop = true;
  s.late.join();
  s.lateStop = false;
}

// The late-frame thread on the stream's last raw frame, begun with one frame delivered.
void BeginLateFrames(Stream &s) {
  if (!s.late.joinable()) {
    s.late = std::thread([&s] { DeliverLateFrames(s); });
    WaitForLateFrames(s, s.lateDelivered + 1);
  }
}

NTSTATUS AllocateBandwidth(Stream &s) {
  Device &d = *s.device;
  std::vector<uint8_t> &format = s.allocationFormat.empty() ? s.format : s.allocationFormat;
  ULONG rawLength = 0;
  NTSTATUS status = HostStack_Call(HostStackEntry::CameraCallback, [&] {
    return d.callbacks->CamAllocateBandwidthEx(d.physicalDevice, d.deviceContext, &rawLength,
                                               format.empty() ? nullptr : format.data(), s.number);
  });
  if (!NT_SUCCESS(status)) {
    return status;
  }
  s.bandwidth = true;
  if (rawLength != 0) {
    s.rawBuffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, rawLength, kPoolTag));
    if (s.rawBuffer == nullptr) {
      HostStack_Call(HostStackEntry::CameraCallback,
                     [&] { return d.callbacks->CamFreeBandwidthEx(d.physicalDevice, d.deviceContext, s.number); });
      s.bandwidth = false;
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  s.rawFrameLength = rawLength;
  return STATUS_SUCCESS;
}

void FreeBandwidth(Stream &s) {
  Device &d = *s.device;
  if (s.bandwidth) {
    uint64_t before = s.lateDelivered;
    HostStack_Call(HostStackEntry::CameraCallback,
                   [&] { return d.callbacks->CamFreeBandwidthEx(d.physicalDevice, d.deviceContext, s.number); });
    s.bandwidth = false;
    WaitForLateFrames(s, before + d.options.lateFrames);
  }
  EndLateFrames(s);
  if (s.rawBuffer != nullptr) {
    ExFreePool(s.rawBuffer);
    s.rawBuffer = nullptr;
  }
  s.rawFrameLength = 0;
}

NTSTATUS StartStreaming(Stream &s) {
  Device &d = *s.device;
  EndLateFrames(s);
  if (d.removed) {
    return STATUS_DEVICE_NOT_CONNECTED;
  }
  NTSTATUS status = HostStack_Call(HostStackEntry::CameraCallback, [&] {
    return d.callbacks->CamStartCaptureEx(d.physicalDevice, d.deviceContext, s.number);
  });
  if (!NT_SUCCESS(status)) {
    return status;
  }
  // Only the video stream has isochronous data; the still stream's frames come from it.
  if (s.number == 0) {
    ResetPipeState(d);
    s.pumpStop = false;
    s.pump = std::thread([&s] { RunPump(s); });
  }
  return STATUS_SUCCESS;
}

void StopStreaming(Stream &s) {
  Device &d = *s.device;
  StopPump(s);
  if (d.options.lateFrames != 0 && !s.lastRaw.empty() && !s.late.joinable()) {
    // The late frames begin before the stop does, so one may be inside the callback, waiting
    // for the worker, when the stop comes.
    BeginLateFrames(s);
  }
  uint64_t before = s.lateDelivered;
  HostStack_Call(HostStackEntry::CameraCallback,
                 [&] { return d.callbacks->CamStopCaptureEx(d.physicalDevice, d.deviceContext, s.number); });
  WaitForLateFrames(s, before + d.options.lateFrames);
}

// The driver's control handler sees the request first; the class library handles what it
// leaves.
VOID STREAMAPI ReceiveControl(PHW_STREAM_REQUEST_BLOCK srb) {
  Stream *s = StreamOf(srb->StreamObject);
  if (s == nullptr) {
    CompleteStream(srb, STATUS_INVALID_PARAMETER);
    return;
  }
  BOOLEAN completed = FALSE;
  if (s->driverControl != nullptr) {
    HostStack_Call(HostStackEntry::SrbDispatch,
                   [&] { return s->driverControl(srb, s->device->deviceContext, &completed); });
    if (completed) {
      return;
    }
  }
  switch (srb->Command) {
    case SRB_SET_STREAM_STATE:
      CompleteStream(srb, SetStreamState(*s, srb->CommandData.StreamState));
      break;
    case SRB_GET_STREAM_STATE: {
      std::lock_guard<std::mutex> guard(s->lock);
      srb->CommandData.StreamState = s->state;
      srb->ActualBytesTransferred = sizeof(KSSTATE);
    }
      CompleteStream(srb, STATUS_SUCCESS);
      break;
    default:
      CompleteStream(srb, STATUS_NOT_IMPLEMENTED);
      break;
  }
}

// Read requests wait in the stream's queue for frames; the driver's data handler sees them
// first.
VOID STREAMAPI ReceiveData(PHW_STREAM_REQUEST_BLOCK srb) {
  Stream *s = StreamOf(srb->StreamObject);
  if (s == nullptr) {
    CompleteStream(srb, STATUS_INVALID_PARAMETER);
    return;
  }
  BOOLEAN completed = FALSE;
  if (s->driverData != nullptr) {
    HostStack_Call(HostStackEntry::SrbDispatch,
                   [&] { return s->driverData(srb, s->device->deviceContext, &completed); });
    if (completed) {
      return;
    }
  }
  PKSSTREAM_HEADER header = srb->CommandData.DataBufferArray;
  if (srb->Command != SRB_READ_DATA || header == nullptr || srb->NumberOfBuffers != 1 || header->Data == nullptr) {
    CompleteStream(srb, srb->Command == SRB_READ_DATA ? STATUS_INVALID_PARAMETER : STATUS_NOT_IMPLEMENTED);
    return;
  }
  if (s->device->removed) {
    CompleteRead(*s, srb, STATUS_DEVICE_NOT_CONNECTED, HostReadInfo{});
    return;
  }
  std::lock_guard<std::mutex> guard(s->lock);
  s->reads.push_back(srb);
  s->changed.notify_all();
}

}  // namespace

void CompleteRead(Stream &s, PHW_STREAM_REQUEST_BLOCK srb, NTSTATUS status, const HostReadInfo &info) {
  if (!NT_SUCCESS(status)) {
    srb->CommandData.DataBufferArray->DataUsed = 0;
  }
  srb->ActualBytesTransferred = NT_SUCCESS(status) ? sizeof(KSSTREAM_HEADER) : 0;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    s.readInfo[srb] = info;
  }
  CompleteStream(srb, status);
}

NTSTATUS SetStreamState(Stream &s, KSSTATE target) {
  if (target < KSSTATE_STOP || target > KSSTATE_RUN) {
    return STATUS_INVALID_PARAMETER;
  }
  KSSTATE current;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    current = s.state;
  }
  NTSTATUS status = STATUS_SUCCESS;
  // One step at a time (host/shared/stream_rules.cpp says what each step does).
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
      std::lock_guard<std::mutex> guard(s.lock);
      s.state = current;
    }
  }
  return status;
}

bool UninitializeWhileStreaming(Device &d, const std::function<void()> &uninitialize) {
  Stream *s = d.streams[0];
  if (d.options.framesDuringUninitialize == 0 || s == nullptr || !s->pump.joinable() || s->lastRaw.empty()) {
    return false;
  }
  StopPump(*s);
  BeginLateFrames(*s);
  uninitialize();
  WaitForLateFrames(*s, s->lateDelivered + d.options.framesDuringUninitialize);
  EndLateFrames(*s);
  return true;
}

void StopAllStreams(Device &d) {
  for (Stream *s : d.streams) {
    if (s != nullptr) {
      SetStreamState(*s, KSSTATE_STOP);
      CancelReads(*s);
    }
  }
}

void OpenStream(Device &d, PHW_STREAM_REQUEST_BLOCK srb) {
  PHW_STREAM_OBJECT object = srb->StreamObject;
  ULONG number = object != nullptr ? object->StreamNumber : 2;
  if (number > 1 || d.streams[number] != nullptr || d.removed) {
    srb->Status = number > 1 ? STATUS_INVALID_PARAMETER : STATUS_DEVICE_BUSY;
    StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, srb, nullptr, nullptr, 0);
    return;
  }
  ULONG frameContextSize = HostUsbcamd_Registration().frameContextSize;
  if (frameContextSize == 0) frameContextSize = 1;
  PUCHAR frameContext = static_cast<PUCHAR>(
      ExAllocatePoolWithTag(NonPagedPool, frameContextSize * Stream::kFrameContexts, kPoolTag));
  if (frameContext == nullptr) {
    srb->Status = STATUS_INSUFFICIENT_RESOURCES;
    StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, srb, nullptr, nullptr, 0);
    return;
  }
  memset(frameContext, 0, frameContextSize * Stream::kFrameContexts);
  Stream *s = new Stream;
  s->device = &d;
  s->object = object;
  s->number = number;
  s->frameContextBlock = frameContext;
  s->frameContextSize = frameContextSize;
  s->frameContext = frameContext;
  s->format = CopyFormat(srb->CommandData.OpenFormat);
  // The driver put its own handlers in the stream object; they are called with the class
  // library's three arguments, and the class library's routines take their place.
  s->driverData = reinterpret_cast<PSTREAM_RECEIVE_PACKET>(object->ReceiveDataPacket);
  s->driverControl = reinterpret_cast<PSTREAM_RECEIVE_PACKET>(object->ReceiveControlPacket);
  object->ReceiveDataPacket = ReceiveData;
  object->ReceiveControlPacket = ReceiveControl;
  object->HwStreamExtension = s;
  d.streams[number] = s;
  srb->Status = STATUS_SUCCESS;
  StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, srb, nullptr, nullptr, 0);
}

void CloseStream(Device &d, PHW_STREAM_REQUEST_BLOCK srb) {
  Stream *s = StreamOf(srb->StreamObject);
  if (s == nullptr || s->device != &d) {
    srb->Status = STATUS_INVALID_PARAMETER;
  } else {
    SetStreamState(*s, KSSTATE_STOP);
    CancelReads(*s);
    d.streams[s->number] = nullptr;
    srb->StreamObject->HwStreamExtension = nullptr;
    ExFreePool(s->frameContextBlock);
    delete s;
    srb->Status = STATUS_SUCCESS;
  }
  StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, srb, nullptr, nullptr, 0);
}

BOOLEAN SetVideoFormat(Device &d, PHW_STREAM_REQUEST_BLOCK srb) {
  Stream *s = StreamOf(srb->StreamObject);
  std::vector<uint8_t> format = CopyFormat(srb->CommandData.OpenFormat);
  if (s == nullptr || s->device != &d || format.empty()) {
    return FALSE;
  }
  KSSTATE state;
  {
    std::lock_guard<std::mutex> guard(s->lock);
    state = s->state;
  }
  // A running stream keeps its format; an allocated one is allocated again for the new one.
  if (state == KSSTATE_RUN) {
    return FALSE;
  }
  s->format = format;
  if (s->bandwidth) {
    FreeBandwidth(*s);
    if (!NT_SUCCESS(AllocateBandwidth(*s))) {
      return FALSE;
    }
  }
  return TRUE;
}

}  // namespace usbcamd

using namespace usbcamd;

const char *HostRawFrameFate_Name(HostRawFrameRecord::Fate fate) {
  switch (fate) {
    case HostRawFrameRecord::Delivered: return "delivered";
    case HostRawFrameRecord::Dropped: return "dropped";
    case HostRawFrameRecord::Overflow: return "overflow";
    case HostRawFrameRecord::NoBuffer: return "no-buffer";
    case HostRawFrameRecord::Abandoned: return "abandoned";
  }
  return "?";
}

HostStreamStats HostUsbcamd_StreamStats(PHW_STREAM_OBJECT object) {
  Stream *s = StreamOf(object);
  if (s == nullptr) return {};
  std::lock_guard<std::mutex> guard(s->lock);
  HostStreamStats stats = s->stats;
  stats.slots = s->slots;
  stats.rawFrameLength = s->rawFrameLength;
  return stats;
}

std::vector<HostRawFrameRecord> HostUsbcamd_FrameLog(PHW_STREAM_OBJECT object, uint64_t after) {
  Stream *s = StreamOf(object);
  if (s == nullptr) return {};
  std::lock_guard<std::mutex> guard(s->lock);
  // Records are logged in raw-frame order: only the newest are copied for a caller that has
  // seen the rest.
  auto first = std::find_if(s->frameLog.begin(), s->frameLog.end(),
                            [after](const HostRawFrameRecord &r) { return r.index > after; });
  return std::vector<HostRawFrameRecord>(first, s->frameLog.end());
}

void HostUsbcamd_SetAllocationFormat(PHW_STREAM_OBJECT object, const std::vector<uint8_t> &format) {
  Stream *s = StreamOf(object);
  if (s != nullptr) {
    s->allocationFormat = format;
  }
}

bool HostUsbcamd_TakeReadInfo(PHW_STREAM_OBJECT object, PHW_STREAM_REQUEST_BLOCK srb, HostReadInfo *info) {
  Stream *s = StreamOf(object);
  if (s == nullptr) return false;
  std::lock_guard<std::mutex> guard(s->lock);
  auto it = s->readInfo.find(srb);
  if (it == s->readInfo.end()) return false;
  *info = it->second;
  s->readInfo.erase(it);
  return true;
}
