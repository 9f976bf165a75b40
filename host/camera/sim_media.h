// The simulated camera's picture side, shared by its parts: the built-in scene, the image
// sources read from files, the JPEG encoder and the streaming state the isochronous slots are
// cut from. Host code only; the driver never sees these.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "host_camera.h"

// An 8-bit RGB picture, rows top-down, pixels R, G, B.
struct SimImage {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
};

// ---- sim_scene.cpp ----
// The built-in moving test scene for frame number frame (counting from 1): soft-edged colour
// bars over a grey ramp, a shaded disc and a bright bar that move with the frame number, and
// a row of blocks carrying the frame number's low 16 bits (bit 15 first, light = 1) in luma.
SimImage SimScene_Render(int width, int height, uint64_t frame);
// Geometry of the frame-number blocks, so that a reader can find them: block b (0..15) covers
// columns [x0 + b * size, x0 + (b + 1) * size) and rows [y0, y0 + size).
void SimScene_NumberBlocks(int width, int height, int *x0, int *y0, int *size);

// ---- sim_sources.cpp ----
// One frame source: a JPEG file kept byte for byte, or a decoded picture.
struct SimSource {
  std::string path;
  bool isJpeg = false;
  std::vector<uint8_t> jpeg;  // the file, when isJpeg
  SimImage image;             // the decoded picture, otherwise
};
// Reads the files and directories given (a directory stands for its files, sorted by name);
// JPEG files named in decodeJpegs are decoded into pictures instead of being kept as they are.
// Throws std::runtime_error naming the file that cannot be read or decoded.
std::vector<SimSource> SimSources_Load(const std::vector<std::string> &paths,
                                       const std::vector<std::string> &decodeJpegs = {});
// Bilinear scaling to width x height.
SimImage SimImage_Scale(const SimImage &image, int width, int height);
// Size from a JPEG's frame header; false when it has none.
bool SimJpeg_Size(const std::vector<uint8_t> &jpeg, int *width, int *height);

// ---- sim_encoder.cpp ----
// The camera parameter block the frame carries in its APP0 or APP10 segment: 76 bytes,
// little-endian, four words, three words and 24 halves.
constexpr size_t kSimParamBlockBytes = 76;
struct SimParamBlock {
  uint32_t a[4] = {};   // frame number, exposure (us), analogue gain (x256), digital gain (x256)
  uint32_t b[3] = {};   // width, height, quality | sampling code << 8
  uint16_t c[24] = {};  // white balance R, G, B (x256), 4 x 4 zone mean luma, sensor temperature
};
std::vector<uint8_t> SimParamBlock_Bytes(const SimParamBlock &block);
// Baseline JPEG of image with the standard Huffman tables, 3 components YCbCr, luma sampling
// from sampling (444, 422, 420, 440), the quality and restart interval given, and the
// parameter block in an APP0 segment (or APP10 after two tag bytes) right after SOI.
std::vector<uint8_t> SimEncoder_Encode(const SimImage &image, int sampling, int quality, unsigned restartInterval,
                                       bool app10, const SimParamBlock &block);

// ---- sim_stream.cpp ----
// The raw frame header in front of the JPEG data.
constexpr size_t kSimFrameHeaderBytes = 80;
constexpr uint32_t kSimFrameMagic = 0x46435654;  // "TVCF" in the first four bytes

// The camera's streaming state, guarded by the camera's lock.
struct HostSimCamera::Stream {
  HostCameraStreamConfig config;
  std::vector<SimSource> sources;
  bool streaming = false;
  int width = 320, height = 240;  // the size the camera was started with
  bool button = false;
  unsigned pressFrames = 0;       // frames still to be sent with the button pressed
  bool pressHeld = false;         // the frame in flight is sent with the button pressed
  bool restartPending = false;
  uint64_t sequence = 0;          // of the last frame begun
  uint64_t framesSent = 0;
  std::deque<HostSentFrame> log;
  std::vector<HostCameraFrameNote> notes;  // not yet taken (config.frameNotes)
  bool currentLogged = false;     // log.back() is the frame in flight
  uint32_t prng = 1;

  // The frame in flight, cut into packets.
  std::vector<uint8_t> padded;    // raw frame padded to whole packets
  size_t packets = 0;             // packets to send (fewer than padded holds when truncated)
  size_t nextPacket = 0;
  bool inFrame = false;
  size_t shortPacket = SIZE_MAX;  // packet sent one byte short
  size_t errorPacket = SIZE_MAX;  // packet sent with a USB error status
  USBD_STATUS errorStatus = USBD_STATUS_CRC;
  bool errorOnSync = false;       // the error status goes on the sync packet too
  unsigned idleLeft = 0;          // idle slots before the next frame
  bool scripted = false;          // only the scripted slots go out (HostSimCamera::ScriptSlots)
  std::deque<HostIsoSlot> script;

  void Start(int w, int h);
  void Stop();
  void Abandon();  // the frame in flight is lost; the next one follows the idle slots
  void Next(HostIsoSlot &slot);

 private:
  uint32_t Random();
  unsigned Below(unsigned n) { return n == 0 ? 0 : Random() % n; }
  void BeginFrame();
};
