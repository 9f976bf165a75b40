// The simulated camera's answers: programmed rules first, then the camera's own command state.
//
// The camera runs one operation at a time. out(6, op) opens it: 0x20 reads the parameter
// memory, 0x90 the 2-byte firmware version, 0xD6 writes the parameter memory, 0x30 is a plain
// command, 0xA0 closes the open one (idle), and any other byte selects a one-byte register.
// in(7, 0) reads the open operation's answer: 0x00 when it is accepted (and when idle), or the
// selected register's value. The bulk pipes carry the operation's data; with no operation open
// a bulk write goes to a scratch FIFO that a bulk read with no operation open gives back.
// out(0x10F0, 0) makes the next bulk read return the 16-byte status block. Capture start and
// stop, answered by a rule or not, switch the streaming side when they succeed.
#include <algorithm>
#include <array>
#include <thread>

#include "host_kernel.h"
#include "sim_media.h"

namespace {

constexpr USHORT kOperationOpen = 6;
constexpr USHORT kOperationAnswer = 7;
constexpr USHORT kReadyPoll = 0xA0;
constexpr USHORT kStop = 0x00A0;
constexpr USHORT kStatusRead = 0x10F0;
constexpr uint8_t kIdle = 0xA0;
constexpr uint8_t kReadMemory = 0x20;
constexpr uint8_t kReadVersion = 0x90;
constexpr uint8_t kCommand = 0x30;
constexpr uint8_t kWriteMemory = 0xD6;
constexpr size_t kMemoryBytes = 256;
constexpr size_t kScratchBytes = 4096;
constexpr uint8_t kVersion[2] = {1, 2};  // firmware 1.02: major, minor

// The size a capture-start value selects: high byte 10, 20 or 40, low byte 0x40.
bool StartSize(USHORT value, int *width, int *height) {
  if ((value & 0xFF) != 0x40) return false;
  switch (value >> 8) {
    case 10: *width = 160, *height = 120; return true;
    case 20: *width = 320, *height = 240; return true;
    case 40: *width = 640, *height = 480; return true;
    default: return false;
  }
}

}  // namespace

struct HostSimCamera::Device {
  uint8_t operation = kIdle;
  size_t memoryOffset = 0;                 // where the open memory operation reads or writes next
  std::array<uint8_t, kMemoryBytes> memory{};
  size_t memoryWritten = 0;                // bytes of memory the host has written
  std::array<uint8_t, 256> registers{};
  std::deque<uint8_t> scratch;
  bool statusPending = false;              // the next bulk read returns the status block
};

HostSimCamera::HostSimCamera() : stream_(new Stream), device_(new Device) {}

HostSimCamera::~HostSimCamera() = default;

void HostSimCamera::AnswerControl(bool deviceToHost, USHORT value, USHORT index, HostCameraAnswer answer) {
  std::lock_guard<std::mutex> guard(lock_);
  rules_.push_back(Rule{HostUsbRequest::Control, deviceToHost, value, index, std::move(answer)});
}

void HostSimCamera::LosePower() {
  std::lock_guard<std::mutex> guard(lock_);
  stream_->Stop();
  device_->operation = kIdle;
  device_->memoryOffset = 0;
  device_->statusPending = false;
}

void HostSimCamera::SetReadyAfterPolls(unsigned n) {
  if (n > 0) {
    AnswerControl(true, 0xA0, 0, HostCameraAnswer{STATUS_SUCCESS, {0x00}, n});
  }
  AnswerControl(true, 0xA0, 0, HostCameraAnswer{STATUS_SUCCESS, {0x04}, 0});
}

void HostSimCamera::AnswerBulkRead(HostCameraAnswer answer) {
  std::lock_guard<std::mutex> guard(lock_);
  rules_.push_back(Rule{HostUsbRequest::BulkIn, true, 0, 0, std::move(answer)});
}

void HostSimCamera::AnswerBulkWrite(HostCameraAnswer answer) {
  std::lock_guard<std::mutex> guard(lock_);
  rules_.push_back(Rule{HostUsbRequest::BulkOut, false, 0, 0, std::move(answer)});
}

void HostSimCamera::SetLatency(std::chrono::microseconds latency) {
  std::lock_guard<std::mutex> guard(lock_);
  latency_ = latency;
}

std::vector<HostUsbRequest> HostSimCamera::Requests() const {
  std::lock_guard<std::mutex> guard(lock_);
  return requests_;
}

void HostSimCamera::ClearRequests() {
  std::lock_guard<std::mutex> guard(lock_);
  requests_.clear();
}

void HostSimCamera::Serve(HostUsbRequest &request) {
  std::chrono::microseconds latency;
  request.criticalRegions = HostThread_CriticalRegions();  // the sender's thread, which calls this
  {
    std::lock_guard<std::mutex> guard(lock_);
    latency = latency_;
    const HostCameraAnswer *answer = nullptr;
    for (Rule &rule : rules_) {
      bool match = rule.kind == request.kind &&
                   (rule.kind != HostUsbRequest::Control ||
                    (rule.deviceToHost == request.deviceToHost && rule.value == request.value &&
                     rule.index == request.index));
      if (match && (rule.answer.times == 0 || rule.used < rule.answer.times)) {
        ++rule.used;
        answer = &rule.answer;
        break;
      }
    }
    bool reads = request.deviceToHost && request.kind != HostUsbRequest::IsoPipeState;
    if (answer != nullptr) {
      request.status = answer->status;
      if (reads && NT_SUCCESS(answer->status)) {
        request.data.assign(answer->data.begin(),
                            answer->data.begin() + std::min<size_t>(answer->data.size(), request.length));
      }
    } else {
      ServeDefault(request);
    }
    if (reads && !NT_SUCCESS(request.status)) {
      request.data.clear();
    }
    // Capture start and stop switch the streaming side whoever answered them.
    if (request.kind == HostUsbRequest::Control && !request.deviceToHost && NT_SUCCESS(request.status)) {
      int width, height;
      if (StartSize(request.value, &width, &height)) {
        stream_->Start(width, height);
      } else if (request.value == kStop) {
        stream_->Stop();
      }
    }
    requests_.push_back(request);
  }
  if (latency.count() > 0) {
    std::this_thread::sleep_for(latency);
  }
}

void HostSimCamera::ServeDefault(HostUsbRequest &request) {
  Device &d = *device_;
  request.status = STATUS_SUCCESS;
  switch (request.kind) {
    case HostUsbRequest::Control:
      if (request.deviceToHost) {
        request.data.assign(request.length, 0);
        if (request.length == 0) {
          break;
        }
        if (request.value == kReadyPoll && request.index == 0) {
          request.data[0] = 0x04;  // ready
        } else if (request.value == kOperationAnswer && request.index == 0) {
          switch (d.operation) {
            case kIdle: case kReadMemory: case kReadVersion: case kCommand: case kWriteMemory:
              request.data[0] = 0x00;
              break;
            default:
              request.data[0] = d.registers[d.operation];
              break;
          }
        }
      } else if (request.value == kOperationOpen) {
        d.operation = uint8_t(request.index);
        d.memoryOffset = 0;
      } else if (request.value == kStatusRead && request.index == 0) {
        d.statusPending = true;
      }
      // Anything else (start, stop, the block-read end 0xC0, raw commands) is accepted; the
      // request log keeps it.
      break;

    case HostUsbRequest::BulkIn: {
      request.data.assign(request.length, 0);
      if (d.statusPending) {
        d.statusPending = false;
        const Stream &s = *stream_;
        uint8_t block[16] = {};
        block[0] = uint8_t((s.streaming ? 1 : 0) | (s.button ? 2 : 0) | 4);
        block[1] = uint8_t(s.streaming ? s.width / 16 : 0);  // the start command's size code
        block[2] = d.operation;
        uint32_t frames = uint32_t(s.framesSent);
        for (int i = 0; i < 4; ++i) block[4 + i] = uint8_t(frames >> (8 * i));
        block[8] = kVersion[0];
        block[9] = kVersion[1];
        block[10] = uint8_t(s.width), block[11] = uint8_t(s.width >> 8);
        block[12] = uint8_t(s.height), block[13] = uint8_t(s.height >> 8);
        block[14] = uint8_t(d.memoryWritten), block[15] = uint8_t(d.memoryWritten >> 8);
        std::copy(block, block + std::min<size_t>(16, request.length), request.data.begin());
      } else if (d.operation == kReadMemory) {
        size_t n = std::min<size_t>(request.length, kMemoryBytes - d.memoryOffset);
        std::copy(d.memory.begin() + d.memoryOffset, d.memory.begin() + d.memoryOffset + n, request.data.begin());
        d.memoryOffset += n;
      } else if (d.operation == kReadVersion) {
        std::copy(kVersion, kVersion + std::min<size_t>(2, request.length), request.data.begin());
      } else if (d.operation == kIdle) {
        for (size_t i = 0; i < request.length && !d.scratch.empty(); ++i) {
          request.data[i] = d.scratch.front();
          d.scratch.pop_front();
        }
      }
      break;
    }

    case HostUsbRequest::BulkOut:
      if (d.operation == kWriteMemory) {
        size_t n = std::min(request.data.size(), kMemoryBytes - d.memoryOffset);
        std::copy(request.data.begin(), request.data.begin() + n, d.memory.begin() + d.memoryOffset);
        d.memoryOffset += n;
        d.memoryWritten = std::max(d.memoryWritten, d.memoryOffset);
      } else if (d.operation == kIdle) {
        d.scratch.insert(d.scratch.end(), request.data.begin(), request.data.end());
        while (d.scratch.size() > kScratchBytes) d.scratch.pop_front();
      }
      break;

    case HostUsbRequest::IsoPipeState:
      // The host stopped or restarted the pipe: whatever frame was in flight is lost.
      stream_->Abandon();
      break;
  }
}
