// The stream class's notifications (stream.sys), as the driver relies on them: the requests it
// completes, and what waits for them. Requests the stream class issues carry its own copies of
// what they point to; a completed request's results are copied back to the caller and the
// stream class's SRB and copies are poisoned, as freed memory would be.
#include <cstdarg>
#include <cstring>
#include <map>
#include <mutex>

#include <condition_variable>
#include <functional>
#include <memory>
#include <unordered_set>

#include "host_kernel.h"
#include "host_stream.h"

namespace {

// One block the stream class allocated for a request (8-byte aligned, as the records need).
struct Block {
  std::vector<uint64_t> storage;
  explicit Block(size_t size) : storage((size + 7) / 8 + 1, 0) {}
  void *data() { return storage.data(); }
};

// A request issued with HostStream_Issue: the caller's request, the stream class's SRB and the
// blocks it points to.
struct Issued {
  PHW_STREAM_REQUEST_BLOCK caller;
  HW_STREAM_REQUEST_BLOCK srb{};
  std::unique_ptr<Block> format, descriptor, property, input, data, intersect, range, formatBuffer;
  size_t formatSize = 0, descriptorSize = 0, inputSize = 0, dataSize = 0, rangeSize = 0, formatBufferSize = 0;
  bool abandoned = false;  // the caller stopped waiting: nothing is copied back
};

struct State {
  std::mutex lock;
  std::vector<HostCompletion> completions;
  // Device requests completed and not yet waited for, and the handlers that take the stream
  // requests of a stream object instead of the log.
  std::condition_variable completed;
  std::unordered_set<PHW_STREAM_REQUEST_BLOCK> done;
  std::map<PHW_STREAM_REQUEST_BLOCK, std::shared_ptr<Issued>> issued;  // by the stream class's SRB
  std::map<PHW_STREAM_OBJECT, std::function<void(PHW_STREAM_REQUEST_BLOCK)>> streamHandlers;
};

// Never destroyed: pump threads may still complete requests while the process exits.
State &S() {
  static State *s = new State;
  return *s;
}

void PoisonBlock(const std::unique_ptr<Block> &block, size_t size) {
  if (block) HostStream_Poison(block->data(), size);
}

// The results of a completed request go back to its caller; then the request is gone.
void Retire(Issued &r) {
  PHW_STREAM_REQUEST_BLOCK srb = &r.srb;
  NTSTATUS status = srb->Status;
  if (!r.abandoned) {
    HW_STREAM_REQUEST_BLOCK &caller = *r.caller;
    caller.Status = status;
    caller.ActualBytesTransferred = srb->ActualBytesTransferred;
    switch (srb->Command) {
      case SRB_GET_STREAM_STATE:
        caller.CommandData.StreamState = srb->CommandData.StreamState;
        break;
      case SRB_GET_STREAM_INFO:
        if (r.descriptor) memcpy(caller.CommandData.StreamBuffer, r.descriptor->data(), r.descriptorSize);
        break;
      case SRB_GET_DATA_INTERSECTION:
        // The format produced: the bytes reported, as far as the caller's buffer reaches.
        if (r.formatBuffer && NT_SUCCESS(status)) {
          memcpy(caller.CommandData.IntersectInfo->DataFormatBuffer, r.formatBuffer->data(),
                 std::min<size_t>(srb->ActualBytesTransferred, r.formatBufferSize));
        }
        break;
      case SRB_GET_DEVICE_PROPERTY:
        // A get returns the bytes it reported, no more (a size query's count is no reply).
        if (r.data && NT_SUCCESS(status)) {
          memcpy(caller.CommandData.PropertyInfo->PropertyInfo, r.data->data(),
                 std::min<size_t>(srb->ActualBytesTransferred, r.dataSize));
        }
        break;
      default:
        break;
    }
  }
  // A stream object whose open failed is freed by the stream class.
  if (srb->Command == SRB_OPEN_STREAM && !NT_SUCCESS(status) && srb->StreamObject != nullptr) {
    HostStream_Poison(srb->StreamObject, sizeof(HW_STREAM_OBJECT));
  }
  PoisonBlock(r.format, r.formatSize);
  PoisonBlock(r.descriptor, r.descriptorSize);
  PoisonBlock(r.property, sizeof(STREAM_PROPERTY_DESCRIPTOR));
  PoisonBlock(r.input, r.inputSize);
  PoisonBlock(r.data, r.dataSize);
  PoisonBlock(r.intersect, sizeof(STREAM_DATA_INTERSECT_INFO));
  PoisonBlock(r.range, r.rangeSize);
  PoisonBlock(r.formatBuffer, r.formatBufferSize);
}

void Record(HostCompletion::Kind kind, PHW_STREAM_REQUEST_BLOCK srb, PVOID target) {
  {
    std::lock_guard<std::mutex> g(S().lock);
    auto it = S().issued.find(srb);
    PHW_STREAM_REQUEST_BLOCK logged = it != S().issued.end() ? it->second->caller : srb;
    S().completions.push_back({kind, logged, target, srb->Status, srb->ActualBytesTransferred});
    if (it != S().issued.end()) Retire(*it->second);
    HostStream_Poison(srb, sizeof(HW_STREAM_REQUEST_BLOCK));
    S().done.insert(srb);
  }
  S().completed.notify_all();
}

// A copy of `size` bytes at `from` in a new block (none when there is nothing to copy).
std::unique_ptr<Block> Copy(const void *from, size_t size) {
  if (from == nullptr || size == 0) return nullptr;
  auto block = std::make_unique<Block>(size);
  memcpy(block->data(), from, size);
  return block;
}

// The stream class's SRB and copies for the caller's request.
void Prepare(Issued &r, const HostRequestSizes &sizes) {
  HW_STREAM_REQUEST_BLOCK &srb = r.srb;
  srb = *r.caller;
  switch (srb.Command) {
    case SRB_OPEN_STREAM:
    case SRB_PROPOSE_DATA_FORMAT:
    case SRB_SET_DATA_FORMAT:
      if ((r.format = Copy(srb.CommandData.OpenFormat, sizes.format))) {
        r.formatSize = sizes.format;
        srb.CommandData.OpenFormat = static_cast<PKSDATAFORMAT>(r.format->data());
      }
      break;
    case SRB_GET_STREAM_INFO:
      if ((r.descriptor = Copy(srb.CommandData.StreamBuffer, sizes.descriptor))) {
        r.descriptorSize = sizes.descriptor;
        srb.CommandData.StreamBuffer = static_cast<PHW_STREAM_DESCRIPTOR>(r.descriptor->data());
      }
      break;
    case SRB_GET_DATA_INTERSECTION: {
      PSTREAM_DATA_INTERSECT_INFO caller = srb.CommandData.IntersectInfo;
      if (caller == nullptr) break;
      r.intersect = Copy(caller, sizeof(*caller));
      auto *info = static_cast<PSTREAM_DATA_INTERSECT_INFO>(r.intersect->data());
      if ((r.range = Copy(caller->DataRange, sizes.range))) {
        r.rangeSize = sizes.range;
        info->DataRange = static_cast<PKSDATARANGE>(r.range->data());
      }
      if ((r.formatBuffer = Copy(caller->DataFormatBuffer, caller->SizeOfDataFormatBuffer))) {
        r.formatBufferSize = caller->SizeOfDataFormatBuffer;
        info->DataFormatBuffer = r.formatBuffer->data();
      }
      srb.CommandData.IntersectInfo = info;
      break;
    }
    case SRB_GET_DEVICE_PROPERTY:
    case SRB_SET_DEVICE_PROPERTY: {
      PSTREAM_PROPERTY_DESCRIPTOR caller = srb.CommandData.PropertyInfo;
      if (caller == nullptr) break;
      r.property = Copy(caller, sizeof(*caller));
      auto *descriptor = static_cast<PSTREAM_PROPERTY_DESCRIPTOR>(r.property->data());
      if ((r.input = Copy(caller->Property, caller->PropertyInputSize))) {
        r.inputSize = caller->PropertyInputSize;
        descriptor->Property = static_cast<PKSPROPERTY>(r.input->data());
      }
      // The data buffer holds what the caller's held (a set's value, a get's record).
      if ((r.data = Copy(caller->PropertyInfo, caller->PropertyOutputSize))) {
        r.dataSize = caller->PropertyOutputSize;
        descriptor->PropertyInfo = r.data->data();
      }
      srb.CommandData.PropertyInfo = descriptor;
      break;
    }
    default:
      break;
  }
}

}  // namespace

void HostStream_Poison(void *block, size_t size) { TorvaneShared_Poison(block, (ULONG)size); }

bool HostStream_FilterProperty(const HostPropertyTable &table, HW_STREAM_REQUEST_BLOCK &request) {
  return TorvaneShared_FilterProperty(table.sets, table.count, &request) != FALSE;
}

NTSTATUS HostStream_Issue(HW_STREAM_REQUEST_BLOCK &request, const HostRequestSizes &sizes,
                          const std::function<void(PHW_STREAM_REQUEST_BLOCK)> &deliver,
                          std::chrono::milliseconds timeout) {
  auto r = std::make_shared<Issued>();
  r->caller = &request;
  Prepare(*r, sizes);
  PHW_STREAM_REQUEST_BLOCK srb = &r->srb;
  {
    std::lock_guard<std::mutex> g(S().lock);
    S().issued[srb] = r;
  }
  deliver(srb);
  bool completed = HostStream_WaitCompleted(srb, timeout);
  std::lock_guard<std::mutex> g(S().lock);
  if (!completed) {
    // The minidriver still holds the request: its blocks stay, and a late completion is
    // poisoned without reaching the caller.
    r->abandoned = true;
    return STATUS_IO_TIMEOUT;
  }
  S().issued.erase(srb);
  return request.Status;
}

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
    // The application side takes the frame, then poisons the request.
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
