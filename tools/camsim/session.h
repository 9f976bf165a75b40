// One camsim run: plug in the simulated camera, negotiate a format as an application does, set
// the picture controls through property requests, stream, hand every frame the application
// receives to the caller, then stop, unplug and account for memory.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "frame_origin.h"
#include "frame_writer.h"
#include "host_usbcamd.h"

struct SessionOptions {
  int width = 320;
  int height = 240;
  OutputFormat format = OutputFormat::Rgb24;
  unsigned frames = 60;                 // application frames to receive
  unsigned buffers = 4;                 // read requests kept queued
  HostCameraStreamConfig camera;        // how the simulated camera makes its frames
  std::optional<LONG> brightness, contrast, saturation, sharpness;
  unsigned stillEvery = 0;              // a still trigger (property request) every N frames
  unsigned buttonEvery = 0;             // the camera's snapshot button pressed every N frames
  std::string settingsFile;             // the device's registry hive, loaded before and saved after
  enum class Progress { None, Line, Lines };
  Progress progress = Progress::None;   // on stderr: one line that updates, or a line every 5 s
  bool realtime = false;                // frames come no faster than fps per second
  unsigned fps = 30;                    // the pace of realtime
  const std::atomic<int> *interrupt = nullptr;  // a signal number once the user asked to stop
  std::FILE *notices = stderr;          // where what happens on the way is said at once
  std::string driverImage;              // the driver from this image file instead of the linked one
};

struct SessionSummary {
  NTSTATUS status = STATUS_SUCCESS;     // the first failure of the platform requests
  std::string failure;                  // what failed
  unsigned frames = 0;                  // application frames received
  unsigned stills = 0;                  // of them marked still
  uint32_t goodFrames = 0;              // the driver's count of decoded and processed frames
  uint32_t badFrames = 0;               // and of frames it could not use (warm-up included)
  HostStreamStats stream;               // the class library's counts
  uint64_t cameraFrames = 0;            // frames the camera began to send
  double seconds = 0;                   // from RUN to the last frame
  double fps = 0;
  size_t peakPoolBytes = 0;
  size_t poolBlocksLeft = 0;            // after unplugging and unloading
  std::string poolReport;               // what was left, when anything was
  LONG settings[4] = {0, 0, 0, 0};      // brightness, contrast, saturation, sharpness at the end
  int interruptedBy = 0;                // the signal that stopped the run early, or 0
  ULONG rawFrameLength = 0;             // the raw frame length the driver asked for
  std::string image;                    // with a driver image: where it ran and its import binding
  std::string stackUse;                 // with a driver image: the deepest stack use per entry point
  unsigned triggersSent = 0;            // still triggers sent through the video-control property
  unsigned pressesSent = 0;             // presses of the camera's snapshot button
  unsigned faultsInjected[unsigned(HostFault::Count)] = {};  // camera frames given each fault
};

// A platform status in words where it is a common one, always with its value.
std::string StatusText(NTSTATUS status);
// 1234567 as "1,234,567".
std::string Thousands(uint64_t v);

// The format record for the size and format: RGB24 is what the driver's data intersection
// picks for the capture pin's range of that size; the other formats are that record with the
// compression, bit count and image size changed.
bool NegotiateFormat(HostCameraDevice &device, int width, int height, OutputFormat format,
                     std::vector<uint8_t> *rgb24, std::vector<uint8_t> *allocation, std::string *why);

// Runs the session; onFrame sees every frame the application receives, in order, with where it
// came from, and returns false to end the run early (the stream is then stopped and the device
// removed as usual).
SessionSummary RunSession(const SessionOptions &options,
                          const std::function<bool(const HostFrame &, const FrameOrigin &)> &onFrame);
