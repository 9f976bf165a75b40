// The class library's command path on the host: vendor requests on the default control pipe
// and bulk transfers, delivered synchronously to the simulated camera attached to the device
// context, with the length updates and status the driver sees from the real library.
#include <map>
#include <set>
#include <mutex>

#include "usbcamd_internal.h"

namespace {

struct Attachments {
  std::mutex lock;
  std::map<PVOID, HostSimCamera *> cameras;
  std::set<PVOID> pending;  // device contexts whose synchronous commands answer pending
};

Attachments &Attached() {
  static Attachments a;
  return a;
}

}  // namespace

HostSimCamera *usbcamd::CameraOf(PVOID deviceContext) {
  Attachments &a = Attached();
  std::lock_guard<std::mutex> guard(a.lock);
  auto it = a.cameras.find(deviceContext);
  return it == a.cameras.end() ? nullptr : it->second;
}

// A synchronous request blocks until the camera has answered, so it needs PASSIVE_LEVEL; with
// a completion routine the host still completes it before returning, and calls the routine.
NTSTATUS usbcamd::CompleteCommand(PVOID deviceContext, PCOMMAND_COMPLETE_FUNCTION complete, PVOID context, NTSTATUS status) {
  if (complete != NULL) {
    complete(deviceContext, context, status);
    return status;
  }
  Attachments &a = Attached();
  std::lock_guard<std::mutex> guard(a.lock);
  return a.pending.count(deviceContext) != 0 ? STATUS_PENDING : status;
}

void HostUsbcamd_AnswerPending(PVOID deviceContext, bool pending) {
  Attachments &a = Attached();
  std::lock_guard<std::mutex> guard(a.lock);
  if (pending) {
    a.pending.insert(deviceContext);
  } else {
    a.pending.erase(deviceContext);
  }
}


NTSTATUS NTAPI USBCAMD_ControlVendorCommand(PVOID DeviceContext, UCHAR Request, USHORT Value, USHORT Index,
                                            PVOID Buffer, PULONG BufferLength, BOOLEAN GetData,
                                            PCOMMAND_COMPLETE_FUNCTION CommandComplete, PVOID CommandContext) {
  if (CommandComplete == NULL) {
    HostIrql_Require(PASSIVE_LEVEL, "USBCAMD_ControlVendorCommand");
  }
  ULONG length = BufferLength != NULL ? *BufferLength : 0;
  // A control transfer's data stage is at most 0xFFFF bytes (wLength).
  if (length > 0xFFFF || (Buffer == NULL && length != 0)) {
    return STATUS_INVALID_PARAMETER;
  }
  HostSimCamera *camera = usbcamd::CameraOf(DeviceContext);
  if (camera == nullptr) {
    return STATUS_DEVICE_NOT_CONNECTED;
  }
  HostUsbRequest r;
  r.kind = HostUsbRequest::Control;
  r.request = Request;
  r.value = Value;
  r.index = Index;
  r.deviceToHost = GetData != FALSE;
  r.dataStage = BufferLength != NULL;
  r.length = length;
  if (!r.deviceToHost && length != 0) {
    const uint8_t *bytes = static_cast<const uint8_t *>(Buffer);
    r.data.assign(bytes, bytes + length);  // the whole data stage leaves the driver's buffer
  }
  camera->Serve(r);
  if (BufferLength != NULL) {
    // The library reports the bytes actually transferred: a short read gives fewer, a failed
    // request none.
    if (!NT_SUCCESS(r.status)) {
      *BufferLength = 0;
    } else if (r.deviceToHost) {
      if (!r.data.empty()) {
        memcpy(Buffer, r.data.data(), r.data.size());
      }
      *BufferLength = ULONG(r.data.size());
    }
  }
  return usbcamd::CompleteCommand(DeviceContext, CommandComplete, CommandContext, r.status);
}

void HostCamera_Attach(PVOID deviceContext, HostSimCamera *camera) {
  Attachments &a = Attached();
  std::lock_guard<std::mutex> guard(a.lock);
  a.cameras[deviceContext] = camera;
}

void HostCamera_Detach(PVOID deviceContext) {
  Attachments &a = Attached();
  std::lock_guard<std::mutex> guard(a.lock);
  a.cameras.erase(deviceContext);
  a.pending.erase(deviceContext);
}
