// The simulated camera's answers: programmed rules first, then the camera's own command state.
//
// The camera's own command state is host/shared/camera_commands.cpp (the Wine stand-in class
// library answers with the same code). Capture start and stop, answered by a rule or not, switch
// the streaming side when they succeed.
#include <algorithm>
#include <array>
#include <thread>

#include "host_kernel.h"
#include "sim_media.h"

struct HostSimCamera::Device {
  TORVANE_CAMERA_COMMANDS commands;
  Device() { TorvaneShared_CameraReset(&commands); }
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
  TorvaneShared_CameraLosePower(&device_->commands);
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
      LONG width, height;
      if (TorvaneShared_CameraStartSize(request.value, &width, &height)) {
        stream_->Start(width, height);
      } else if (request.value == TORVANE_CAMERA_STOP) {
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
  request.status = STATUS_SUCCESS;
  if (request.kind == HostUsbRequest::IsoPipeState) {
    // The host stopped or restarted the pipe: whatever frame was in flight is lost.
    stream_->Abandon();
    return;
  }
  const Stream &s = *stream_;
  TORVANE_CAMERA_STREAM_VIEW view{s.streaming, s.button, s.width, s.height, s.framesSent};
  ULONG kind = request.kind == HostUsbRequest::Control  ? TORVANE_CAMERA_CONTROL
               : request.kind == HostUsbRequest::BulkIn ? TORVANE_CAMERA_BULK_IN
                                                        : TORVANE_CAMERA_BULK_OUT;
  // A read's answer fills the whole length asked for; a write hands over its bytes.
  if (request.deviceToHost) request.data.assign(request.length, 0);
  TorvaneShared_CameraServe(&device_->commands, &view, kind, request.deviceToHost, request.value, request.index,
                            request.data.data(), ULONG(request.data.size()));
}
