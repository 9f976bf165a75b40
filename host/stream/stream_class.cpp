// The stream class's notifications (stream.sys), as the driver relies on them: the requests it
// completes, and what waits for them.
#include <cstdarg>
#include <cstring>
#include <map>
#include <mutex>

#include <condition_variable>
#include <functional>
#include <unordered_set>

#include "host_kernel.h"
#include "host_stream.h"

namespace {

struct State {
  std::mutex lock;
  std::vector<HostCompletion> completions;
  // Device requests completed and not yet waited for, and the handlers that take the stream
  // requests of a stream object instead of the log.
  std::condition_variable completed;
  std::unordered_set<PHW_STREAM_REQUEST_BLOCK> done;
  std::map<PHW_STREAM_OBJECT, std::function<void(PHW_STREAM_REQUEST_BLOCK)>> streamHandlers;
};

// Never destroyed: pump threads may still complete requests while the process exits.
State &S() {
  static State *s = new State;
  return *s;
}

void Record(HostCompletion::Kind kind, PHW_STREAM_REQUEST_BLOCK srb, PVOID target) {
  {
    std::lock_guard<std::mutex> g(S().lock);
    S().completions.push_back({kind, srb, target, srb->Status, srb->ActualBytesTransferred});
    S().done.insert(srb);
  }
  S().completed.notify_all();
}

}  // namespace

std::vector<HostCompletion> HostStream_Completions() {
  std::lock_guard<std::mutex> g(S().lock);
  return S().completions;
}
void HostStream_ClearCompletions() {
  std::lock_guard<std::mutex> g(S().lock);
  S().completions.clear();
}

VOID __cdecl StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE NotificationType,
                                           PVOID HwDeviceExtension, PHW_STREAM_REQUEST_BLOCK pSrb, PVOID, GUID *,
                                           ULONG) {
  if (NotificationType == DeviceRequestComplete && pSrb != nullptr) {
    Record(HostCompletion::Device, pSrb, HwDeviceExtension);
  }
}

VOID __cdecl StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE NotificationType,
                                           PHW_STREAM_OBJECT StreamObject, ...) {
  if (NotificationType != StreamRequestComplete) {
    return;
  }
  va_list args;
  va_start(args, StreamObject);
  PHW_STREAM_REQUEST_BLOCK srb = va_arg(args, PHW_STREAM_REQUEST_BLOCK);
  va_end(args);
  if (srb == nullptr) {
    return;
  }
  std::function<void(PHW_STREAM_REQUEST_BLOCK)> handler;
  {
    std::lock_guard<std::mutex> g(S().lock);
    auto it = S().streamHandlers.find(StreamObject);
    if (it != S().streamHandlers.end() && srb->Command == SRB_READ_DATA) {
      handler = it->second;
    }
  }
  if (handler) {
    handler(srb);
  } else {
    Record(HostCompletion::Stream, srb, StreamObject);
  }
}

bool HostStream_WaitCompleted(PHW_STREAM_REQUEST_BLOCK srb, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> g(S().lock);
  bool ok = S().completed.wait_for(g, timeout, [srb] { return S().done.count(srb) != 0; });
  S().done.erase(srb);
  return ok;
}

void HostStream_SetReadHandler(PHW_STREAM_OBJECT stream, std::function<void(PHW_STREAM_REQUEST_BLOCK)> handler) {
  std::lock_guard<std::mutex> g(S().lock);
  if (handler) {
    S().streamHandlers[stream] = std::move(handler);
  } else {
    S().streamHandlers.erase(stream);
  }
}

void HostStream_Reset() {
  {
    std::lock_guard<std::mutex> g(S().lock);
    S().done.clear();
    S().streamHandlers.clear();
    S().completions.clear();
  }
  HostUsbcamd_ResetEntryPoints();
  HostIrp_Reset();
}
