// The whole stack in one process: the driver registered through DriverEntry, a simulated camera
// plugged in through the stream class and the camera class library, streams run and read as an
// application does. Each test ends with the device gone and the pool empty.
#pragma once

#include <gtest/gtest.h>

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

constexpr ULONG kFourCcYuy2 = LUMAREX_FOURCC_YUY2;
constexpr ULONG kFourCcI420 = LUMAREX_FOURCC_I420;
constexpr ULONG kFourCcMjpg = LUMAREX_FOURCC_MJPG;

// What an application received from one stream, with the raw frames the class library handed
// to the driver (by raw frame index).
struct Capture {
  std::vector<HostFrame> frames;
  std::map<uint64_t, std::vector<uint8_t>> raws;
  HostStreamStats stats;
  LUMAREX_FRAME_SETTINGS settings{};  // the device's settings while it ran
};

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Plugs the camera in (arrival through the driver's receive routine).
  void Plug(HostDeviceOptions options = {});
  void Unplug(bool surprise = false);

  // The capture pin's RGB24 format of this size, as the data intersection picks it (on the
  // given device, or the test's own).
  std::vector<uint8_t> Rgb24Format(int width, int height) { return Rgb24Format(*device_, width, height); }
  static std::vector<uint8_t> Rgb24Format(HostCameraDevice &device, int width, int height);
  // The same record with another compression (for the allocation of the other output formats).
  static std::vector<uint8_t> WithCompression(std::vector<uint8_t> format, ULONG compression, USHORT bitCount);

  // Stream 0 opened with the RGB24 format of this size, in RUN, with `reads` read requests
  // queued; null (and a failure) when any step fails.
  std::unique_ptr<HostAppStream> Running(int width, int height, unsigned reads);

  // Opens stream 0 with the RGB24 format (allocating with `allocation` when not empty), takes
  // it to RUN, reads `frames` frames with `buffers` reads queued, and stops it (STOP). Calls
  // `each` after every frame (frame number from 1).
  Capture Stream(int width, int height, unsigned frames, const std::vector<uint8_t> &allocation = {},
                 unsigned buffers = 3, const std::function<void(unsigned)> &each = {});
  // Stream's three steps, for a test that runs several streams at once: open stream 0 of the
  // device (in STOP), read `frames` frames from a stream in RUN, and stop and close it, filling
  // in the rest of the capture.
  static std::unique_ptr<HostAppStream> OpenCapture(HostCameraDevice &device, int width, int height,
                                                    const std::vector<uint8_t> &allocation);
  static Capture ReadFrames(HostAppStream &stream, int width, int height, const std::vector<uint8_t> &allocation,
                            unsigned frames, unsigned buffers = 3, const std::function<void(unsigned)> &each = {});
  static void FinishCapture(HostCameraDevice &device, std::unique_ptr<HostAppStream> stream, Capture *capture);

  PDEVICE_CONTEXT Context() const { return static_cast<PDEVICE_CONTEXT>(device_->DeviceContext()); }

  // For each frame k of the capture, the image the application must have got, computed from the
  // raw frames with the library's own decode and processing: blank during the seven warm-up
  // frames, then the processed image of the previous raw frame; where that raw frame cannot be
  // decoded at the negotiated size, the image before it. Empty where it cannot be known.
  static std::vector<std::vector<UCHAR>> ExpectedFrames(const Capture &capture, LONG width, LONG height, UCHAR format);
  static std::vector<UCHAR> BlankFrame(LONG width, LONG height, UCHAR format);

  // A stream or a driver thread that never finishes ends the test with a message.
  std::unique_ptr<TestWatchdog> watchdog_;
  HostSimCamera camera_;
  std::unique_ptr<HostCameraDevice> device_;
  size_t handlesAtStart_ = 0;
  size_t applicationHandlesAtStart_ = 0;
};

}  // namespace e2e
