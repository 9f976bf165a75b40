// Fuzz target: isochronous slots from the input, streamed through the class library's packet
// assembly and the driver's packet callback into raw frames, then through the raw-frame
// callback, the decode worker and the picture processing into the application's buffers.
//
// Input: byte 0 picks the output format (bits 0-1: RGB24, YUY2, I420, MJPG), the frame size
// (bits 2-3) and the read buffers' size (bits 4-7: up to 9 the whole RGB24 image, above a part
// of it); byte 1 the data pipe's packet size (16 * (1 + byte % 64), at most 1023). Then slots,
// each a status byte, a flags byte (bit 0 the sync packet carries no byte, bit 1 the sync
// packet has a USB error, bit 2 the data packet has one, bit 3 the data packet is as long as the
// next byte says, bit 4 there is no data packet), a length byte, and the data packet's bytes.
//
// Checked: every completed read reports no more than its buffer holds and nothing past the
// reported length was written; an image format reports exactly its image size (cut to the
// buffer); the pool, threads and handles balance after the stream stops and the device goes.
#include <chrono>
#include <cstdio>
#include <thread>

#include "driver_fuzz.h"
#include "host_usbcamd.h"

const char *const kDriverFuzzName = "iso_stream";

namespace {

constexpr size_t kMaxSlots = 6000;
constexpr unsigned kMaxFrames = 48;

enum SlotFlags : uint8_t {
  kNoSyncByte = 1,
  kSyncError = 2,
  kDataError = 4,
  kSetLength = 8,
  kNoData = 16,
};

USHORT PacketSize(uint8_t code) { return USHORT(std::min(1023, 16 * (1 + code % 64))); }

}  // namespace

void DriverFuzzOne(const uint8_t *data, size_t size) {
  FuzzReader in(data, size);
  const uint8_t setup = in.Byte();
  const FuzzFormat format = FuzzFormat(setup & 3);
  const FuzzSize frame = FuzzFrameSize((setup >> 2) & 3);
  const unsigned bufferCode = setup >> 4;
  const USHORT mps = PacketSize(in.Byte());

  std::vector<HostIsoSlot> slots;
  unsigned boundaries = 0;
  while (!in.Done() && slots.size() < kMaxSlots) {
    HostIsoSlot slot;
    slot.syncByte = in.Byte();
    const uint8_t flags = in.Byte();
    const uint8_t length = in.Byte();
    if (slot.syncByte & 0x80) {
      if (boundaries == kMaxFrames) break;
      ++boundaries;
    }
    slot.syncLength = (flags & kNoSyncByte) ? 0 : 1;
    slot.syncStatus = (flags & kSyncError) ? USBD_STATUS_CRC : USBD_STATUS_SUCCESS;
    slot.dataStatus = (flags & kDataError) ? USBD_STATUS_BTSTUFF : USBD_STATUS_SUCCESS;
    size_t bytes = (flags & kNoData) ? 0 : (flags & kSetLength) ? std::min<size_t>(length, mps) : mps;
    slot.data = in.Bytes(bytes);
    slots.push_back(std::move(slot));
  }
  // A last frame boundary, so that the last frame is handed over too.
  HostIsoSlot last;
  last.syncByte = 0x80;
  slots.push_back(last);
  ++boundaries;

  FuzzDriverLife life;
  HostSimCamera camera;
  HostCameraStreamConfig config;
  config.maxPacketSize = mps;
  camera.ConfigureStream(config);
  camera.ScriptSlots(std::move(slots));
  HostDeviceOptions options;
  options.keepRawFrames = false;
  options.frameLogLimit = 4;
  std::unique_ptr<HostCameraDevice> device = life.Plug(camera, options);
  if (!device) FuzzFail("the camera's arrival failed");
  std::vector<uint8_t> open = FuzzCaptureFormat(*device, frame);
  if (open.empty()) FuzzFail("no capture format of %dx%d", frame.width, frame.height);
  NTSTATUS status;
  std::unique_ptr<HostAppStream> stream = device->OpenStream(0, open, &status);
  if (!stream) FuzzFail("stream open failed with 0x%08X", unsigned(status));
  if (format != FuzzFormat::Rgb24) stream->SetAllocationFormat(FuzzWithFormat(open, format));

  const ULONG whole = ULONG(frame.width) * ULONG(frame.height) * 3;
  const ULONG readBytes = bufferCode <= 9 ? whole : ULONG(uint64_t(whole) * (bufferCode - 9) / 7);
  for (unsigned i = 0; i <= boundaries; ++i) stream->QueueRead(readBytes);
  status = stream->SetState(KSSTATE_RUN);
  if (!NT_SUCCESS(status)) FuzzFail("RUN failed with 0x%08X", unsigned(status));
  while (camera.ScriptedSlotsLeft() != 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
  status = stream->SetState(KSSTATE_STOP);
  if (!NT_SUCCESS(status)) FuzzFail("STOP failed with 0x%08X", unsigned(status));

  const size_t image = FuzzImageBytes(format, frame);
  HostFrame got;
  unsigned delivered = 0;
  while (stream->NextFrame(&got, std::chrono::milliseconds(0))) {
    if (got.status != STATUS_SUCCESS || got.info.rawIndex == 0) continue;
    ++delivered;
    if (got.dataUsed > got.data.size()) {
      FuzzFail("frame %u reports %u bytes in a buffer of %zu", delivered, unsigned(got.dataUsed), got.data.size());
    }
    for (size_t i = got.dataUsed; i < got.data.size(); ++i) {
      if (got.data[i] != HostAppStream::kUnwrittenByte) {
        FuzzFail("frame %u reports %u bytes but byte %zu was written", delivered, unsigned(got.dataUsed), i);
      }
    }
    if (format != FuzzFormat::Mjpg && got.dataUsed != std::min<size_t>(image, got.data.size())) {
      FuzzFail("frame %u reports %u bytes, not the image's %zu", delivered, unsigned(got.dataUsed),
               std::min<size_t>(image, got.data.size()));
    }
  }
  if (FuzzVerbose()) {
    HostStreamStats stats = stream->Stats();
    std::fprintf(stderr, "%s: %u slots, %u frames delivered, %llu dropped, %llu overflowed, %llu restarts\n",
                 kDriverFuzzName, unsigned(stats.slots), delivered, (unsigned long long)stats.dropped,
                 (unsigned long long)stats.overflow, (unsigned long long)stats.restarts);
  }
  stream->Close();
  stream.reset();
  device->Remove();
}

std::vector<std::vector<uint8_t>> DriverFuzzSeeds() {
  // The camera's own slots: frames of the built-in scene, some with faults, for each format.
  struct Seed {
    uint8_t setup;
    USHORT startValue;  // the capture-start command that selects the camera's size
    unsigned frames;
    unsigned faultEvery;  // every fault on every Nth frame (0: none)
  } seeds[] = {
      {0x00, 0x0A40, 9, 0},  // RGB24 160x120: past the warm-up
      {0x01, 0x0A40, 9, 3},  // YUY2 with faults
      {0x02, 0x0A40, 9, 0},  // I420
      {0x03, 0x0A40, 4, 2},  // MJPG with faults
      {0x04, 0x1440, 3, 0},  // RGB24 320x240
      {0xC0, 0x0A40, 8, 0},  // RGB24 into buffers of a third of the image
  };
  std::vector<std::vector<uint8_t>> out;
  const uint8_t mpsCode = 15;  // 256-byte packets
  for (const Seed &s : seeds) {
    HostSimCamera camera;
    HostCameraStreamConfig config;
    config.maxPacketSize = PacketSize(mpsCode);
    config.idleSlots = 1;
    for (unsigned f = 0; f < unsigned(HostFault::Count); ++f) config.faultEvery[f] = s.faultEvery;
    camera.ConfigureStream(config);
    HostUsbRequest start;
    start.kind = HostUsbRequest::Control;
    start.value = s.startValue;
    camera.Serve(start);
    FuzzWriter w;
    w.Byte(s.setup).Byte(mpsCode);
    unsigned begun = 0;
    HostIsoSlot slot;
    for (;;) {
      camera.NextSlot(slot);
      if ((slot.syncByte & 0x80) && ++begun > s.frames) break;
      uint8_t flags = 0;
      if (slot.syncLength == 0) flags |= kNoSyncByte;
      if (slot.syncStatus != USBD_STATUS_SUCCESS) flags |= kSyncError;
      if (slot.dataStatus != USBD_STATUS_SUCCESS) flags |= kDataError;
      if (slot.data.empty()) flags |= kNoData;
      else if (slot.data.size() != config.maxPacketSize) flags |= kSetLength;
      w.Byte(slot.syncByte).Byte(flags).Byte(uint8_t(slot.data.size())).Bytes(slot.data);
    }
    out.push_back(w.Take());
  }
  return out;
}
