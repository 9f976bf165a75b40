// The simulated camera's answers: programmed rules first, then the behaviour of a healthy
// camera that has nothing to say.
#include <thread>

#include "host_camera.h"

void HostSimCamera::AnswerControl(bool deviceToHost, USHORT value, USHORT index, HostCameraAnswer answer) {
  std::lock_guard<std::mutex> guard(lock_);
  rules_.push_back(Rule{HostUsbRequest::Control, deviceToHost, value, index, std::move(answer)});
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
      request.status = STATUS_SUCCESS;
      if (reads) {
        request.data.assign(request.length, 0);
        // A camera with nothing to do is always ready for the next operation.
        if (request.kind == HostUsbRequest::Control && request.value == 0xA0 && request.index == 0 &&
            request.length > 0) {
          request.data[0] = 0x04;
        }
      }
    }
    if (reads && !NT_SUCCESS(request.status)) {
      request.data.clear();
    }
    requests_.push_back(request);
  }
  if (latency.count() > 0) {
    std::this_thread::sleep_for(latency);
  }
}
