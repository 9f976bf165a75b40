// The whole stack in one process: driver, stream class, class library and simulated camera, streams
// read as an application does. Each test ends with the pool, threads and handles back.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "host_camera.h"
#include "host_kernel.h"
#include "host_registry.h"
#include "host_stream.h"
#include "host_usbcamd.h"
#include "lumarex.h"
#include "support/driver_under_test.h"
#include "support/expected_image.h"
#include "support/watchdog.h"

namespace e2e {

// What an application received, the raw frames the driver got (by index), the device's settings.
struct Capture {
  std::vector<HostFrame> frames;
  std::map<uint64_t, std::vector<uint8_t>> raws;
  std::vector<HostRawFrameRecord> log;  // the class library's frame log, each frame's fate
  HostStreamStats stats;
  LUMAREX_FRAME_SETTINGS settings{};
};

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  void Plug(HostDeviceOptions options = {});  // arrival through the driver's receive routine
  void Unplug(bool surprise = false);

  // The capture pin's RGB24 format of this size, as the data intersection picks it.
  static std::vector<uint8_t> Rgb24Format(HostCameraDevice &device, int width, int height);
  std::vector<uint8_t> Rgb24Format(int width, int height) { return Rgb24Format(*device_, width, height); }
  // The bandwidth allocation's format: none for RGB24, else the RGB24 record with its compression.
  static std::vector<uint8_t> Allocation(HostCameraDevice &device, int width, int height, UCHAR format);
  std::vector<uint8_t> Allocation(int width, int height, UCHAR format) { return Allocation(*device_, width, height, format); }

  // Opens stream 0 (allocating with `allocation`), runs it, reads `frames` frames with `buffers`
  // reads queued and stops it; `each` is called after every frame k, before its buffer goes back.
  Capture Stream(int width, int height, unsigned frames, const std::vector<uint8_t> &allocation = {},
                 unsigned buffers = 3, const std::function<void(unsigned)> &each = {});
  // Stream's steps, for tests that run several streams at once.
  static std::unique_ptr<HostAppStream> OpenCapture(HostCameraDevice &device, int width, int height,
                                                    const std::vector<uint8_t> &allocation);
  static Capture ReadFrames(HostAppStream &stream, int width, int height, const std::vector<uint8_t> &allocation,
                            unsigned frames, unsigned buffers = 3, const std::function<void(unsigned)> &each = {});
  static void FinishCapture(HostCameraDevice &device, std::unique_ptr<HostAppStream> stream, Capture *capture);

  PDEVICE_CONTEXT Context() const { return static_cast<PDEVICE_CONTEXT>(device_->DeviceContext()); }
  static std::vector<UCHAR> BlankFrame(LONG width, LONG height, UCHAR format);
  // Checks frames `from` on against the library's own decode and processing of the raw frames:
  // blank for the seven warm-up frames, then the previous raw frame's image (or, where that does
  // not decode at the size, the one before). A frame whose raw frame fell out of the log fails when
  // `allKnown`, else is skipped. Returns how many were compared.
  static unsigned ExpectImages(const Capture &capture, LONG width, LONG height, UCHAR format, size_t from = 1,
                               bool allKnown = true);

  std::unique_ptr<TestWatchdog> watchdog_;
  HostSimCamera camera_;
  std::unique_ptr<HostCameraDevice> device_;
  size_t handlesAtStart_ = 0;
  size_t applicationHandlesAtStart_ = 0;
};

}  // namespace e2e
