#include "frame_origin.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

std::string FaultNames(unsigned faults) {
  std::string text;
  for (unsigned f = 0; f < unsigned(HostFault::Count); ++f) {
    if (faults & (1u << f)) text += (text.empty() ? "" : "+") + std::string(HostFault_Name(HostFault(f)));
  }
  return text.empty() ? "-" : text;
}

FrameOrigins::FrameOrigins(std::vector<std::string> sourcePaths, bool passThrough)
    : sources_(std::move(sourcePaths)), passThrough_(passThrough) {}

void FrameOrigins::Add(const std::vector<HostCameraFrameNote> &notes, const std::vector<HostRawFrameRecord> &log) {
  for (const HostCameraFrameNote &n : notes) {
    notes_[n.sequence] = n;
    for (unsigned f = 0; f < unsigned(HostFault::Count); ++f) injected_[f] += (n.faults >> f) & 1u;
  }
  for (const HostRawFrameRecord &r : log) {
    seenRaw_ = std::max(seenRaw_, r.index);
    if (r.index > lastRaw_ && records_.count(r.index) == 0) {
      HostRawFrameRecord copy = r;
      copy.raw.clear();
      records_.emplace(r.index, std::move(copy));
    }
  }
}

std::string FrameOrigins::Describe(uint64_t cameraFrame, unsigned faults, const char *what) const {
  return std::to_string(cameraFrame) + ":" + FaultNames(faults) + (what != nullptr ? std::string(" (") + what + ")" : "");
}

FrameOrigin FrameOrigins::For(const HostFrame &frame) {
  FrameOrigin o;
  o.timeValid = frame.timeValid;
  o.seconds = double(frame.presentationTime) / 1e7;
  o.rawIndex = frame.info.rawIndex;
  auto faultsOf = [this](uint64_t camera) {
    auto n = notes_.find(camera);
    return n != notes_.end() ? n->second.faults : 0u;
  };
  // Camera frames lost between the previous read's raw frame and this one's.
  std::string lost;
  for (auto it = records_.begin(); it != records_.end() && it->first < o.rawIndex;) {
    const HostRawFrameRecord &r = it->second;
    const unsigned faults = faultsOf(r.cameraFrame);
    if (r.fate != HostRawFrameRecord::Delivered && faults != 0) {
      lost += (lost.empty() ? "" : " ") + Describe(r.cameraFrame, faults, HostRawFrameFate_Name(r.fate));
    }
    it = records_.erase(it);
  }
  uint64_t delivered = 0;
  auto rec = records_.find(o.rawIndex);
  if (rec != records_.end()) {
    delivered = rec->second.cameraFrame;
    records_.erase(rec);
  }
  o.cameraFrame = passThrough_ ? delivered : previousCamera_;
  previousCamera_ = delivered;
  lastRaw_ = o.rawIndex;
  if (o.cameraFrame != 0) {
    auto n = notes_.find(o.cameraFrame);
    if (n != notes_.end()) {
      o.faults = n->second.faults;
      const int s = n->second.source;
      o.source = s >= 0 && size_t(s) < sources_.size() ? std::filesystem::path(sources_[size_t(s)]).filename().string()
                                                        : "scene";
    }
  }
  o.faultText = o.faults != 0 ? Describe(o.cameraFrame, o.faults, nullptr) : "";
  if (!lost.empty()) o.faultText += (o.faultText.empty() ? "" : " ") + lost;
  if (o.faultText.empty()) o.faultText = "-";
  // Notes older than the frames still to come are no longer needed.
  const uint64_t keepFrom = std::min(o.cameraFrame, delivered);
  while (!notes_.empty() && notes_.begin()->first + 1 < keepFrom) notes_.erase(notes_.begin());
  return o;
}
