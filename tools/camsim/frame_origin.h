// Where each frame the application receives came from: the class library's raw frame it was
// delivered with (HostReadInfo::rawIndex), the camera frame behind that raw frame (the frame
// log's HostRawFrameRecord::cameraFrame), and what the camera did to it (its frame notes:
// source picture, injected faults, button). Camera frames lost on the way (dropped by the
// driver or the class library, cut off by a pipe restart) are named on the next frame that
// arrives, so every injected fault shows up on some frame.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host_usbcamd.h"

struct FrameOrigin {
  bool timeValid = false;
  double seconds = 0;             // the stream header's presentation time
  uint64_t rawIndex = 0;          // the raw frame it was delivered with
  // The camera frame whose data the driver made this frame's image from: the raw frame
  // delivered with the previous read (the driver is one frame behind), or for MJPG the raw
  // frame delivered with this read. 0 when there is none.
  uint64_t cameraFrame = 0;
  std::string source;             // that camera frame's picture: a file name, or "scene"
  unsigned faults = 0;            // injected into that camera frame (bit 1 << HostFault)
  // Faulty camera frames that concern this frame: the one above, and those lost since the
  // previous frame ("14:short 15:usb-error (dropped)").
  std::string faultText;
};

// Faults as "short+corrupt"; "-" for none.
std::string FaultNames(unsigned faults);

class FrameOrigins {
 public:
  // sourcePaths: HostSimCamera::SourcePaths(); passThrough: the output is the raw frame's own
  // data (MJPG), not an image decoded from the frame before.
  FrameOrigins(std::vector<std::string> sourcePaths, bool passThrough);
  // What the camera and the class library recorded since the last call.
  void Add(const std::vector<HostCameraFrameNote> &notes, const std::vector<HostRawFrameRecord> &log);
  // The newest raw frame the log given to Add held: later calls need only the records after it.
  uint64_t SeenRaw() const { return seenRaw_; }
  // The next frame the application received, in order.
  FrameOrigin For(const HostFrame &frame);
  // Camera frames of each fault kind the camera injected (index HostFault).
  const unsigned *Injected() const { return injected_; }

 private:
  std::string Describe(uint64_t cameraFrame, unsigned faults, const char *what) const;
  std::vector<std::string> sources_;
  bool passThrough_;
  std::map<uint64_t, HostCameraFrameNote> notes_;     // by camera frame
  std::map<uint64_t, HostRawFrameRecord> records_;    // by raw index, not yet passed
  uint64_t lastRaw_ = 0;                              // raw index of the previous frame
  uint64_t seenRaw_ = 0;                              // newest raw index taken from the log
  uint64_t previousCamera_ = 0;                       // camera frame delivered with it
  unsigned injected_[unsigned(HostFault::Count)] = {};
};
