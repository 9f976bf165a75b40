// One open stream as an application holds it: state changes, format requests, and the frame
// buffers it queues as read requests and gets back filled.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

#include "host_kernel.h"
#include "host_stream.h"
#include "host_usbcamd.h"

namespace {
constexpr std::chrono::seconds kRequestTimeout(60);

// The application crashes: what it was handed would make a real one read or write out of
// bounds. Stops the process with a message, as a bug check does.
[[noreturn]] __attribute__((format(printf, 1, 2))) void HostApplicationFault(const char *format, ...) {
  char message[512];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof(message), format, args);
  va_end(args);
  fprintf(stderr, "*** APPLICATION FAULT: %s\n", message);
  fflush(stderr);
  abort();
}
}  // namespace

// A read request with its stream header and the application's buffer.
struct HostAppStream::Read {
  HW_STREAM_REQUEST_BLOCK srb{};
  KSSTREAM_HEADER header{};
  std::vector<uint8_t> buffer;
};

// Reads handed to the driver and the frames that came back; shared with the completion handler,
// which the pump thread calls.
struct HostAppStream::Completions {
  std::mutex lock;
  std::condition_variable arrived;
  std::map<PHW_STREAM_REQUEST_BLOCK, std::unique_ptr<Read>> pending;
  std::deque<HostFrame> done;
  uint64_t sequence = 0;
};

HostAppStream::HostAppStream(HostCameraDevice &device, ULONG number)
    : device_(device), number_(number), completions_(std::make_shared<Completions>()) {
  object_ = std::make_unique<HW_STREAM_OBJECT>();
  memset(object_.get(), 0, sizeof(HW_STREAM_OBJECT));
  object_->SizeOfThisPacket = sizeof(HW_STREAM_OBJECT);
  object_->StreamNumber = number;
}

HostAppStream::~HostAppStream() {
  if (open_) {
    Close();
  }
}

std::unique_ptr<HostAppStream> HostCameraDevice::OpenStream(ULONG number, const std::vector<uint8_t> &format,
                                                            NTSTATUS *status) {
  std::unique_ptr<HostAppStream> stream(new HostAppStream(*this, number));
  stream->process_ = RequestProcess(SRB_OPEN_STREAM);
  stream->openFormat_ = format;
  stream->object_->HwDeviceExtension = extension_;
  HW_STREAM_REQUEST_BLOCK srb{};
  srb.Command = SRB_OPEN_STREAM;
  srb.StreamObject = stream->object_.get();
  srb.CommandData.OpenFormat = format.empty() ? nullptr : reinterpret_cast<PKSDATAFORMAT>(stream->openFormat_.data());
  std::weak_ptr<HostAppStream::Completions> completions = stream->completions_;
  PHW_STREAM_OBJECT object = stream->object_.get();
  HostStream_SetReadHandler(object, [completions, object](PHW_STREAM_REQUEST_BLOCK done) {
    std::shared_ptr<HostAppStream::Completions> c = completions.lock();
    if (!c) return;
    std::lock_guard<std::mutex> guard(c->lock);
    auto it = c->pending.find(done);
    if (it == c->pending.end()) return;
    HostFrame frame;
    frame.status = done->Status;
    frame.dataUsed = it->second->header.DataUsed;
    frame.timeValid = (it->second->header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) != 0;
    frame.presentationTime = it->second->header.PresentationTime.Time;
    // An application reads DataUsed bytes from the buffer it queued: more than the buffer is a
    // read past its end, which a real application would crash on.
    if (frame.dataUsed > it->second->buffer.size()) {
      HostApplicationFault("a read request came back with DataUsed %lu for its %zu-byte buffer",
                           (unsigned long)frame.dataUsed, it->second->buffer.size());
    }
    frame.data = std::move(it->second->buffer);
    HostUsbcamd_TakeReadInfo(object, done, &frame.info);
    frame.sequence = ++c->sequence;
    // The frame is the application's now; the request that brought it is gone.
    HostStream_Poison(&it->second->srb, sizeof(it->second->srb));
    HostStream_Poison(&it->second->header, sizeof(it->second->header));
    c->pending.erase(it);
    c->done.push_back(std::move(frame));
    c->arrived.notify_all();
  });
  *status = SendDeviceRequest(srb, HostRequestSizes{format.size(), 0, 0});
  if (!NT_SUCCESS(*status)) {
    HostStream_SetReadHandler(object, nullptr);
    return nullptr;
  }
  stream->open_ = true;
  open_.push_back(stream.get());
  return stream;
}

NTSTATUS HostAppStream::SendControl(HW_STREAM_REQUEST_BLOCK &srb, const HostRequestSizes &sizes) {
  if (!open_) {
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  srb.SizeOfThisPacket = sizeof(HW_STREAM_REQUEST_BLOCK);
  srb.StreamObject = object_.get();
  srb.HwDeviceExtension = object_->HwDeviceExtension;
  srb.Status = STATUS_PENDING;
  HostIrql_Require(PASSIVE_LEVEL, "a stream control request");
  HostProcessScope scope(process_);
  return HostStream_Issue(srb, sizes, [this](PHW_STREAM_REQUEST_BLOCK request) { object_->ReceiveControlPacket(request); },
                          kRequestTimeout);
}

NTSTATUS HostAppStream::SetState(KSSTATE state) {
  HW_STREAM_REQUEST_BLOCK srb{};
  srb.Command = SRB_SET_STREAM_STATE;
  srb.CommandData.StreamState = state;
  return SendControl(srb);
}

KSSTATE HostAppStream::GetState() {
  HW_STREAM_REQUEST_BLOCK srb{};
  srb.Command = SRB_GET_STREAM_STATE;
  return NT_SUCCESS(SendControl(srb)) ? srb.CommandData.StreamState : KSSTATE_STOP;
}

// A format request carries the stream class's own copy of the format record.
NTSTATUS HostAppStream::SendFormat(SRB_COMMAND command, const std::vector<uint8_t> &format) {
  std::vector<uint8_t> copy = format;
  HW_STREAM_REQUEST_BLOCK srb{};
  srb.Command = command;
  srb.CommandData.OpenFormat = reinterpret_cast<PKSDATAFORMAT>(copy.data());
  return SendControl(srb, HostRequestSizes{copy.size(), 0, 0});
}

NTSTATUS HostAppStream::ProposeFormat(const std::vector<uint8_t> &format) {
  return SendFormat(SRB_PROPOSE_DATA_FORMAT, format);
}

NTSTATUS HostAppStream::SetFormat(const std::vector<uint8_t> &format) { return SendFormat(SRB_SET_DATA_FORMAT, format); }

void HostAppStream::SetAllocationFormat(const std::vector<uint8_t> &format) {
  HostUsbcamd_SetAllocationFormat(object_.get(), format);
}

void HostAppStream::QueueRead(ULONG bytes) {
  if (!open_) return;
  auto read = std::make_unique<Read>();
  // An application's buffer holds whatever it held before: a pattern, so that bytes the driver
  // did not write can be told from bytes it did.
  read->buffer.assign(bytes, kUnwrittenByte);
  read->header.Size = sizeof(KSSTREAM_HEADER);
  read->header.FrameExtent = bytes;
  read->header.Data = read->buffer.data();
  read->srb.SizeOfThisPacket = sizeof(HW_STREAM_REQUEST_BLOCK);
  read->srb.Command = SRB_READ_DATA;
  read->srb.StreamObject = object_.get();
  read->srb.HwDeviceExtension = object_->HwDeviceExtension;
  read->srb.NumberOfBuffers = 1;
  read->srb.CommandData.DataBufferArray = &read->header;
  read->srb.Status = STATUS_PENDING;
  PHW_STREAM_REQUEST_BLOCK srb = &read->srb;
  {
    std::lock_guard<std::mutex> guard(completions_->lock);
    completions_->pending[srb] = std::move(read);
  }
  HostProcessScope scope(process_);
  object_->ReceiveDataPacket(srb);
}

bool HostAppStream::NextFrame(HostFrame *frame, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(completions_->lock);
  if (!completions_->arrived.wait_for(guard, timeout, [this] { return !completions_->done.empty(); })) {
    return false;
  }
  *frame = std::move(completions_->done.front());
  completions_->done.pop_front();
  return true;
}

size_t HostAppStream::PendingReads() {
  std::lock_guard<std::mutex> guard(completions_->lock);
  return completions_->pending.size();
}

HostStreamStats HostAppStream::Stats() const { return HostUsbcamd_StreamStats(object_.get()); }

std::vector<HostRawFrameRecord> HostAppStream::FrameLog(uint64_t after) const {
  return HostUsbcamd_FrameLog(object_.get(), after);
}

NTSTATUS HostAppStream::Close() {
  if (!open_) {
    return STATUS_SUCCESS;
  }
  HW_STREAM_REQUEST_BLOCK srb{};
  srb.Command = SRB_CLOSE_STREAM;
  srb.StreamObject = object_.get();
  HostProcessScope scope(process_);  // the application that opened the stream closes it
  NTSTATUS status = device_.SendDeviceRequest(srb);
  HostStream_SetReadHandler(object_.get(), nullptr);
  open_ = false;
  auto &open = device_.open_;
  open.erase(std::remove(open.begin(), open.end(), this), open.end());
  return status;
}
