// Fuzz target: the camera's answers (short, long, failing, never ready) to every command
// sequence the driver sends in a device's life: the configuration at arrival, the capture start
// and stop around a stream, every item of the private command set, and removal.
//
// Input: byte 0 (bits 0-3 the polls before the camera says ready, 15 never; bits 4-5 the frame
// size; bit 6 surprise removal), the camera's answers (FuzzProgramCamera), then a byte whose
// bits pick which private items run (bit k: ids 2k and 2k + 1, get and set).
//
// Checked: every request returns, none reports more bytes than its buffer holds, and the pool,
// threads and handles balance once the device is gone.
#include <cstring>

#include "driver_fuzz.h"
#include "lumarex.h"

const char *const kDriverFuzzName = "camera_answers";

namespace {

constexpr ULONG kPrivateItems = 13;
constexpr ULONG kPrivateBuffer = 32;

void PrivateRequest(HostCameraDevice &device, bool set, ULONG id) {
  std::vector<uint8_t> input(sizeof(KSPROPERTY), 0);
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kPrivateBuffer]);
  // A raw command (set 10) with value 0x10F0, index 0 and a 4-byte data stage; other sets send
  // the buffer as it is.
  std::memset(buffer.get(), 0, kPrivateBuffer);
  buffer[2] = 0xF0, buffer[3] = 0x10, buffer[6] = 4;
  ULONG bytes = 0;
  device.Property(set, LUMAREX_GuidPropsetCustom, id, input, buffer.get(), kPrivateBuffer, &bytes);
  if (bytes > kPrivateBuffer) FuzzFail("private %s %u reports %u bytes", set ? "set" : "get", unsigned(id), unsigned(bytes));
}

}  // namespace

void DriverFuzzOne(const uint8_t *data, size_t size) {
  FuzzReader in(data, size);
  const uint8_t setup = in.Byte();
  FuzzDriverLife life;
  HostSimCamera camera;
  FuzzProgramCamera(in, setup & 15, camera);
  const uint8_t items = in.Byte();

  std::unique_ptr<HostCameraDevice> device = life.Plug(camera);
  if (!device) return;  // the arrival failed, and the device went again
  NTSTATUS status;
  std::unique_ptr<HostAppStream> stream =
      device->OpenStream(0, FuzzCaptureFormat(*device, FuzzFrameSize((setup >> 4) & 3)), &status);
  if (stream) {
    if (NT_SUCCESS(stream->SetState(KSSTATE_RUN))) {
      for (ULONG id = 0; id < kPrivateItems; ++id) {
        if (items & (1u << (id / 2))) PrivateRequest(*device, false, id);
      }
    }
    stream->SetState(KSSTATE_STOP);
  }
  for (ULONG id = 0; id < kPrivateItems; ++id) {
    if (items & (1u << (id / 2))) {
      PrivateRequest(*device, false, id);
      PrivateRequest(*device, true, id);
    }
  }
  if (stream) stream->Close();
  stream.reset();
  device->Remove((setup & 0x40) != 0);
}

std::vector<std::vector<uint8_t>> DriverFuzzSeeds() {
  const uint8_t ok = 0, unsuccessful = 1, timeout = 2;
  const uint8_t controlIn = 0, controlOut = 1, bulkRead = 2, bulkWrite = 3;
  struct Seed {
    uint8_t setup;
    std::vector<FuzzCameraAnswer> answers;
    uint8_t items;
  } seeds[] = {
      {0x00, {}, 0x7F},                                                    // a camera answering itself
      {0x0F, {}, 0x7F},                                                    // never ready
      {0x10, {{controlOut, 0x1440, 0, unsuccessful, 0, {}}}, 0x01},       // the capture start fails
      {0x00, {{controlOut, 0x00A0, 0, timeout, 1, {}}}, 0x00},             // the capture stop fails once
      {0x00, {{bulkRead, 0, 0, ok, 0, {1, 2, 3}}, {controlIn, 7, 0, ok, 0, {}}}, 0x7F},  // short answers
      {0x43, {{bulkRead, 0, 0, ok, 0, std::vector<uint8_t>(64, 0xEE)}, {bulkWrite, 0, 0, unsuccessful, 2, {}}}, 0x7F},
      {0x00, {{controlIn, 0xA0, 0, ok, 0, {0x04, 0x04, 0x04}}, {controlOut, 6, 0xD6, unsuccessful, 0, {}}}, 0x7F},
  };
  std::vector<std::vector<uint8_t>> out;
  for (const Seed &s : seeds) {
    FuzzWriter w;
    w.Byte(s.setup);
    FuzzWriteCamera(w, s.answers);
    w.Byte(s.items);
    out.push_back(w.Take());
  }
  return out;
}
