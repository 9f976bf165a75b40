// The class library's interface, as its interface query hands it to the driver: bulk transfers,
// the isochronous pipe state, the stream's video format, and device events on the interrupt pipe.
#include <cstring>

#include "usbcamd_internal.h"

namespace usbcamd {
namespace {

// Bulk pipe indexes as the driver names them: 0 reads from the camera, 1 writes to it.
constexpr USHORT kBulkRead = 0;
constexpr USHORT kBulkWrite = 1;

NTSTATUS NTAPI BulkReadWrite(PVOID DeviceContext, USHORT PipeIndex, PVOID Buffer, ULONG BufferLength,
                             PCOMMAND_COMPLETE_FUNCTION CommandComplete, PVOID CommandContext) {
  if (CommandComplete == NULL) {
    HostIrql_Require(PASSIVE_LEVEL, "USBCAMD_BulkReadWrite");
  }
  if ((PipeIndex != kBulkRead && PipeIndex != kBulkWrite) || (Buffer == NULL && BufferLength != 0)) {
    return STATUS_INVALID_PARAMETER;
  }
  HostSimCamera *camera = CameraOf(DeviceContext);
  if (camera == nullptr) {
    return STATUS_DEVICE_NOT_CONNECTED;
  }
  HostUsbRequest r;
  r.kind = PipeIndex == kBulkRead ? HostUsbRequest::BulkIn : HostUsbRequest::BulkOut;
  r.deviceToHost = PipeIndex == kBulkRead;
  r.pipe = PipeIndex;
  r.length = BufferLength;
  if (!r.deviceToHost) {
    const uint8_t *bytes = static_cast<const uint8_t *>(Buffer);
    r.data.assign(bytes, bytes + BufferLength);
  }
  camera->Serve(r);
  if (r.deviceToHost && NT_SUCCESS(r.status) && !r.data.empty()) {
    memcpy(Buffer, r.data.data(), r.data.size());
  }
  return CompleteCommand(DeviceContext, CommandComplete, CommandContext, r.status);
}

// Bulk transfers complete before USBCAMD_BulkReadWrite returns, so there is never one left to
// cancel; the call checks its arguments as the library does.
NTSTATUS NTAPI CancelBulkReadWrite(PVOID DeviceContext, ULONG PipeIndex) {
  if (PipeIndex != kBulkRead && PipeIndex != kBulkWrite) {
    return STATUS_INVALID_PARAMETER;
  }
  return CameraOf(DeviceContext) != nullptr ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED;
}

// Carries out a pipe state change now: the camera is told, and STOP halts the isochronous
// pipes (what was in flight is lost) while START runs them again (the camera begins a new
// frame). Called with the device's pipeLock held, at PASSIVE_LEVEL.
NTSTATUS ChangePipeState(Device &d, HostSimCamera *camera, bool stop) {
  HostUsbRequest r;
  r.kind = HostUsbRequest::IsoPipeState;
  r.value = (USHORT)(stop ? USBCAMD_STOP_STREAM : USBCAMD_START_STREAM);
  camera->Serve(r);
  if (!NT_SUCCESS(r.status)) {
    return r.status;
  }
  if (stop) {
    if (!d.isoStopped.exchange(true)) {
      ++d.isoRestarts;
    }
  } else if (d.isoStopped.exchange(false)) {
    camera->IsoPipeRestarted();
  }
  return STATUS_SUCCESS;
}

void RunPendingLocked(Device &d) {
  if (!d.pipeChangePending) {
    return;
  }
  d.pipeChangePending = false;
  if (d.camera != nullptr) {
    // A deferred change that fails is lost, as a failed work item is: the caller had its
    // STATUS_PENDING long ago and learns nothing more.
    ChangePipeState(d, d.camera, d.pipeChangeStops);
  }
}

// STOP halts the isochronous pipes, START runs them again. Changing the pipes means waiting for
// the transfers in flight, which the class library does only at PASSIVE_LEVEL: a request made
// at raised IRQL (the driver's packet routine runs at DISPATCH_LEVEL) is queued, answered
// STATUS_PENDING, and carried out later by a class-library thread at PASSIVE_LEVEL (the pump,
// between slots). A request at PASSIVE_LEVEL first lets a pending change take effect, then acts
// at once.
// A request for the state the pipe is already in, counting a change still pending, is refused
// with STATUS_INVALID_DEVICE_STATE: there is nothing to change (for STOP the pipe is stopped or
// a stop is queued; for START it runs, and a queued stop has not yet taken effect, so START has
// nothing to undo yet). With one change pending, every further request is therefore refused
// until it has been carried out.
NTSTATUS NTAPI SetIsoPipeState(PVOID DeviceContext, ULONG PipeStateFlags) {
  HostSimCamera *camera = CameraOf(DeviceContext);
  if (camera == nullptr) {
    return STATUS_DEVICE_NOT_CONNECTED;
  }
  if (PipeStateFlags != USBCAMD_STOP_STREAM && PipeStateFlags != USBCAMD_START_STREAM) {
    return STATUS_INVALID_PARAMETER;
  }
  Device *d = DeviceOfContext(DeviceContext);
  if (d == nullptr) {
    return STATUS_DEVICE_NOT_CONNECTED;
  }
  const bool stop = PipeStateFlags == USBCAMD_STOP_STREAM;
  const bool passive = KeGetCurrentIrql() == PASSIVE_LEVEL;
  std::lock_guard<std::mutex> guard(d->pipeLock);
  if (passive) {
    RunPendingLocked(*d);
  }
  if (d->pipeChangePending || d->isoStopped.load() == stop) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  if (!passive) {
    d->pipeChangePending = true;
    d->pipeChangeStops = stop;
    return STATUS_PENDING;
  }
  return ChangePipeState(*d, camera, stop);
}

// A new format for an open stream (SRB_SET_DATA_FORMAT): nonzero when the class library took it.
NTSTATUS NTAPI SetVideoFormat(PVOID DeviceContext, PHW_STREAM_REQUEST_BLOCK pSrb) {
  Device *d = DeviceOfContext(DeviceContext);
  if (d == nullptr || pSrb == nullptr) {
    return FALSE;
  }
  return SetVideoFormat(*d, pSrb);
}

// Waits for the camera's next device event on its interrupt pipe. With a completion routine the
// request is queued and the routine is called (at DISPATCH_LEVEL) when the event arrives, again
// for every later event when LoopBack is set; without one the call blocks until the event.
NTSTATUS NTAPI WaitOnDeviceEvent(PVOID DeviceContext, ULONG PipeIndex, PVOID Buffer, ULONG BufferLength,
                                 PCOMMAND_COMPLETE_FUNCTION EventComplete, PVOID EventContext, BOOLEAN LoopBack) {
  Device *d = DeviceOfContext(DeviceContext);
  if (d == nullptr || d->removed) {
    return STATUS_DEVICE_NOT_CONNECTED;
  }
  if (PipeIndex >= kPipeCount || d->Interface()->Pipes[PipeIndex].PipeType != UsbdPipeTypeInterrupt ||
      (Buffer == NULL && BufferLength != 0)) {
    return STATUS_INVALID_PARAMETER;
  }
  std::unique_lock<std::mutex> guard(d->eventLock);
  if (EventComplete != NULL) {
    d->eventWaits.push_back(EventWait{Buffer, BufferLength, EventComplete, EventContext, LoopBack != FALSE});
    return STATUS_PENDING;
  }
  HostIrql_Require(PASSIVE_LEVEL, "USBCAMD_WaitOnDeviceEvent");
  EventWait wait{Buffer, BufferLength, nullptr, nullptr, false};
  d->eventWaits.push_back(wait);
  unsigned generation = d->eventGeneration;
  d->eventChanged.wait(guard, [d, generation] { return d->eventGeneration != generation || d->removed; });
  return d->removed ? STATUS_CANCELLED : STATUS_SUCCESS;
}

}  // namespace

void RunPendingPipeChange(Device &d) {
  std::lock_guard<std::mutex> guard(d.pipeLock);
  RunPendingLocked(d);
}

void ResetPipeState(Device &d) {
  std::lock_guard<std::mutex> guard(d.pipeLock);
  d.pipeChangePending = false;
  d.isoStopped = false;
}

void CancelDeviceEvents(Device &d) {
  std::deque<EventWait> waits;
  {
    std::lock_guard<std::mutex> guard(d.eventLock);
    waits.swap(d.eventWaits);
    d.removed = true;
  }
  d.eventChanged.notify_all();
  for (const EventWait &w : waits) {
    if (w.complete != nullptr) {
      // Completion routines run at DISPATCH_LEVEL, cancelled ones too.
      HostIrql_RunAtDispatch([&] { w.complete(d.deviceContext, w.context, STATUS_CANCELLED); });
    }
  }
}

}  // namespace usbcamd

using namespace usbcamd;

void HostUsbcamd_SignalDeviceEvent(PVOID extension, const std::vector<uint8_t> &bytes) {
  Device *d = DeviceOfExtension(extension);
  if (d == nullptr) return;
  std::deque<EventWait> waits;
  {
    std::lock_guard<std::mutex> guard(d->eventLock);
    waits.swap(d->eventWaits);
    for (const EventWait &w : waits) {
      if (w.buffer != nullptr) {
        memcpy(w.buffer, bytes.data(), std::min<size_t>(bytes.size(), w.length));
      }
    }
    ++d->eventGeneration;
  }
  d->eventChanged.notify_all();
  std::deque<EventWait> again;
  for (const EventWait &w : waits) {
    if (w.complete != nullptr) {
      HostIrql_RunAtDispatch([&] { w.complete(d->deviceContext, w.context, STATUS_SUCCESS); });
      if (w.loopBack) again.push_back(w);
    }
  }
  std::lock_guard<std::mutex> guard(d->eventLock);
  for (const EventWait &w : again) d->eventWaits.push_back(w);
}

size_t HostUsbcamd_EventWaits(PVOID extension) {
  Device *d = DeviceOfExtension(extension);
  if (d == nullptr) return 0;
  std::lock_guard<std::mutex> guard(d->eventLock);
  return d->eventWaits.size();
}

USBCAMD_INTERFACE HostUsbcamd_Interface() {
  USBCAMD_INTERFACE i;
  memset(&i, 0, sizeof(i));
  i.Interface.Size = sizeof(USBCAMD_INTERFACE);
  i.Interface.Version = USBCAMD_VERSION_200;
  i.USBCAMD_WaitOnDeviceEvent = WaitOnDeviceEvent;
  i.USBCAMD_BulkReadWrite = BulkReadWrite;
  i.USBCAMD_SetVideoFormat = SetVideoFormat;
  i.USBCAMD_SetIsoPipeState = SetIsoPipeState;
  i.USBCAMD_CancelBulkReadWrite = CancelBulkReadWrite;
  return i;
}
