// What the driver's fuzz targets share: each target is one entry (DriverFuzzOne) that runs the
// whole driver on the host platform from a byte string, and the seed inputs it starts from
// (DriverFuzzSeeds). The libFuzzer program (driver_fuzz_entry.cpp) and the replay program
// (driver_fuzz_replay.cpp) link one target each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host_camera.h"
#include "host_kernel.h"
#include "host_registry.h"
#include "host_stream.h"
#include "host_usbcamd.h"

// ---- Implemented by each target ----
// Runs one input; aborts (through FuzzFail) when the driver breaks a rule the target checks.
void DriverFuzzOne(const uint8_t *data, size_t size);
// Seed inputs for the fuzzer and the replay test.
std::vector<std::vector<uint8_t>> DriverFuzzSeeds();
// The target's name ("iso_stream"), for messages and seed file names.
extern const char *const kDriverFuzzName;

// ---- The shared harness ----
// Reports a broken rule and aborts, so that the fuzzer keeps the input.
[[noreturn]] void FuzzFail(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Whether the environment asks for a line about each input (TORVANE_FUZZ_VERBOSE set).
bool FuzzVerbose();

// Reads an input front to back; past its end every read gives 0.
class FuzzReader {
 public:
  FuzzReader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t Word() { return uint16_t(Byte() | Byte() << 8); }
  uint32_t Dword() { return uint32_t(Word()) | uint32_t(Word()) << 16; }
  // n bytes (zeros past the end).
  std::vector<uint8_t> Bytes(size_t n);
  bool Done() const { return at_ >= size_; }
  size_t Left() const { return at_ < size_ ? size_ - at_ : 0; }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t at_ = 0;
};

// Writes inputs in the targets' formats (for seeds).
class FuzzWriter {
 public:
  FuzzWriter &Byte(uint8_t b) { out_.push_back(b); return *this; }
  FuzzWriter &Word(uint16_t w) { return Byte(uint8_t(w)).Byte(uint8_t(w >> 8)); }
  FuzzWriter &Dword(uint32_t d) { return Word(uint16_t(d)).Word(uint16_t(d >> 16)); }
  FuzzWriter &Bytes(const std::vector<uint8_t> &b) { out_.insert(out_.end(), b.begin(), b.end()); return *this; }
  std::vector<uint8_t> Take() { return std::move(out_); }

 private:
  std::vector<uint8_t> out_;
};

// One run of the driver from DriverEntry to unload, around one input: delays scaled to nothing
// and the debug log cleared. Its end unloads the driver and checks that no system thread runs,
// no handle is open and the pool holds what it held before; any of those fails the input.
class FuzzDriverLife {
 public:
  FuzzDriverLife();
  ~FuzzDriverLife();
  FuzzDriverLife(const FuzzDriverLife &) = delete;
  FuzzDriverLife &operator=(const FuzzDriverLife &) = delete;

  // Plugs a camera in; null when the arrival failed (the device is removed again).
  std::unique_ptr<HostCameraDevice> Plug(HostSimCamera &camera, HostDeviceOptions options = {});

 private:
  size_t liveBlocks_;
  size_t handles_;
};

// Programs the camera's answers from the input: the polls before the ready poll says ready
// (`readyCode` 0 to 14; 15 never), then a count byte (0-7) and that many answers, each a kind
// byte (control in, control out, bulk read, bulk write), value word, index byte, status byte
// (success, unsuccessful, time-out, not connected), times byte (0 every one from now on, 1-3),
// length byte (0-64) and the answer's bytes. Unprogrammed requests the camera answers itself.
void FuzzProgramCamera(FuzzReader &in, unsigned readyCode, HostSimCamera &camera);
// Writes a program of FuzzProgramCamera's form (for seeds): one answer of each entry.
struct FuzzCameraAnswer {
  uint8_t kind;
  USHORT value;
  uint8_t index, status, times;
  std::vector<uint8_t> data;
};
void FuzzWriteCamera(FuzzWriter &w, const std::vector<FuzzCameraAnswer> &answers);

// The output formats of the bandwidth allocation and the offered frame sizes.
enum class FuzzFormat : uint8_t { Rgb24, Yuy2, I420, Mjpg };
struct FuzzSize {
  int width, height;
};
FuzzSize FuzzFrameSize(unsigned index);  // 0: 160x120, 1: 320x240, 2: 640x480 (index modulo 3)
// The stream-0 format the data intersection picks for a range of this size (empty if none).
std::vector<uint8_t> FuzzCaptureFormat(HostCameraDevice &device, FuzzSize size);
// The same format record with the output format's compression and bit count.
std::vector<uint8_t> FuzzWithFormat(std::vector<uint8_t> format, FuzzFormat output);
// Bytes of one output image of the format (MJPG: 0, it has no fixed size).
size_t FuzzImageBytes(FuzzFormat format, FuzzSize size);
