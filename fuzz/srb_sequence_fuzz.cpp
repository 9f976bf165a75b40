// Fuzz target: stream-class requests in any order: stream open and close, state changes,
// format proposals and changes, data intersections with any range record, read requests with
// buffers of any size, output-format changes of the allocation, and removal (after which the
// requests still come, and fail).
//
// Input: byte 0 (bit 0 the camera's frames are sent only when a read waits), then operations of
// three bytes each: the operation (low 3 bits) with the stream (bit 3), and two argument bytes;
// format records are the capture format of a size, cut or extended to a length from the input
// and with bytes changed from it.
//
// Checked: every request returns; each data intersection completes exactly once and reports no
// more than its buffer holds (but for the size a zero-length buffer asks); every read queued
// comes back exactly once, reporting no more than its buffer holds; after the device is gone
// and the driver unloaded the pool, threads and handles balance.
#include <algorithm>
#include <cstring>

#include "driver_fuzz.h"
#include "lumarex.h"

const char *const kDriverFuzzName = "srb_sequence";

namespace {

constexpr unsigned kMaxOperations = 48;
constexpr unsigned kMaxReads = 12;

enum Operation : uint8_t { kOpen, kClose, kSetState, kSetFormat, kIntersect, kRead, kOutputFormat, kRemove };

// A format or range record: the capture format of the size, resized to the length the input
// asks (0: as it is; never shorter than a KSDATAFORMAT), up to three bytes changed, and
// FormatSize its length.
std::vector<uint8_t> Record(HostCameraDevice &device, FuzzReader &in, uint8_t a, uint8_t b) {
  std::vector<uint8_t> r = FuzzCaptureFormat(device, FuzzFrameSize(a & 3));
  if (r.empty()) r.assign(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER), 0);
  // The stream class passes on no record shorter than a KSDATAFORMAT (or KSDATARANGE).
  if (b != 0) r.resize(std::max<size_t>(b, sizeof(KSDATAFORMAT)));
  for (unsigned n = (a >> 2) & 3; n > 0 && !r.empty(); --n) {
    const uint8_t at = in.Byte();
    r[at % r.size()] = in.Byte();
  }
  // The stream class hands on only records whose FormatSize is their length.
  if (r.size() >= sizeof(ULONG)) {
    ULONG size = ULONG(r.size());
    std::memcpy(r.data(), &size, sizeof(size));
  }
  r.shrink_to_fit();
  return r;
}

ULONG ReadSize(uint8_t code, FuzzReader &in) {
  static const ULONG sizes[] = {0, 1, 80, 160 * 120 * 2, 160 * 120 * 3 - 1, 160 * 120 * 3, 320 * 240 * 3,
                                640 * 480 * 3};
  return code < 8 ? sizes[code] : (in.Dword() % (640 * 480 * 3 + 16));
}

}  // namespace

void DriverFuzzOne(const uint8_t *data, size_t size) {
  FuzzReader in(data, size);
  const uint8_t setup = in.Byte();
  FuzzDriverLife life;
  HostSimCamera camera;
  HostDeviceOptions options;
  options.waitForBuffers = (setup & 1) == 0;
  options.keepRawFrames = false;
  options.frameLogLimit = 4;
  std::unique_ptr<HostCameraDevice> device = life.Plug(camera, options);
  if (!device) FuzzFail("the camera's arrival failed");

  std::unique_ptr<HostAppStream> streams[2];
  std::vector<HostFrame> frames[2];
  unsigned reads[2] = {0, 0};
  // The data intersections, kept until the end so that each has an address of its own.
  std::vector<std::unique_ptr<HW_STREAM_REQUEST_BLOCK>> intersections;

  // Frames of a stream that is closed or replaced are collected first.
  auto collect = [&](unsigned n) {
    if (!streams[n]) return;
    HostFrame f;
    while (streams[n]->NextFrame(&f, std::chrono::milliseconds(0))) frames[n].push_back(std::move(f));
  };
  auto retire = [&](unsigned n) {
    if (!streams[n]) return;
    streams[n]->Close();
    collect(n);
    if (frames[n].size() != reads[n]) {
      FuzzFail("stream %u: %u reads queued, %zu came back", n, reads[n], frames[n].size());
    }
    for (const HostFrame &f : frames[n]) {
      if (f.dataUsed > f.data.size()) FuzzFail("a read reports %u bytes of %zu", unsigned(f.dataUsed), f.data.size());
    }
    frames[n].clear();
    reads[n] = 0;
    streams[n].reset();
  };

  for (unsigned k = 0; k < kMaxOperations && !in.Done(); ++k) {
    const uint8_t op = in.Byte();
    const uint8_t a = in.Byte(), b = in.Byte();
    const unsigned n = (op >> 3) & 1;
    HostAppStream *s = streams[n].get();
    switch (Operation(op & 7)) {
      case kOpen: {
        retire(n);
        NTSTATUS status;
        streams[n] = device->OpenStream(n, Record(*device, in, a, b), &status);
        break;
      }
      case kClose:
        retire(n);
        break;
      case kSetState:
        if (s) s->SetState(KSSTATE(a % 4));
        break;
      case kSetFormat:
        if (s) {
          std::vector<uint8_t> r = Record(*device, in, a, b);
          if (a & 0x10) s->ProposeFormat(r); else s->SetFormat(r);
        }
        break;
      case kIntersect: {
        std::vector<uint8_t> range = Record(*device, in, a, b);
        const ULONG out = (a & 0x10) ? 0 : ULONG(in.Byte()) * 2;
        std::unique_ptr<uint8_t[]> rangeBlock(new uint8_t[range.size() + 1]);
        if (!range.empty()) std::memcpy(rangeBlock.get(), range.data(), range.size());
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[out]);
        STREAM_DATA_INTERSECT_INFO info{ULONG((a >> 5) & 3), reinterpret_cast<PKSDATARANGE>(rangeBlock.get()),
                                        out != 0 ? buffer.get() : nullptr, out};
        auto srb = std::make_unique<HW_STREAM_REQUEST_BLOCK>();
        *srb = HW_STREAM_REQUEST_BLOCK{};
        srb->Command = SRB_GET_DATA_INTERSECTION;
        srb->CommandData.IntersectInfo = &info;
        const bool present = device->Present();  // else the request never reaches the driver
        const NTSTATUS status = device->SendDeviceRequest(*srb, HostRequestSizes{0, 0, range.size()});
        if (srb->ActualBytesTransferred > out && !(out == 0 && status == STATUS_BUFFER_OVERFLOW)) {
          FuzzFail("a data intersection reports %u bytes of a %u-byte buffer", unsigned(srb->ActualBytesTransferred),
                   unsigned(out));
        }
        srb->CommandData.IntersectInfo = nullptr;
        if (present) intersections.push_back(std::move(srb));
        break;
      }
      case kRead:
        if (s && s->Open() && reads[n] < kMaxReads) {
          s->QueueRead(ReadSize(a % 9, in));
          ++reads[n];
        }
        break;
      case kOutputFormat:
        if (s) s->SetAllocationFormat((a & 4) ? std::vector<uint8_t>{} : FuzzWithFormat(Record(*device, in, a & 3, 0), FuzzFormat(b & 3)));
        break;
      case kRemove:
        // The streams' handles are closed first, as an application's are when its device goes.
        device->Remove((a & 1) != 0);
        break;
    }
  }
  retire(0);
  retire(1);
  device->Remove();
  // Each data intersection completed exactly once.
  std::vector<HostCompletion> completions = HostStream_Completions();
  for (const auto &srb : intersections) {
    size_t count = 0;
    for (const HostCompletion &c : completions) count += c.srb == srb.get();
    if (count != 1) {
      FuzzFail("a data intersection was completed %zu times", count);
    }
  }
}

std::vector<std::vector<uint8_t>> DriverFuzzSeeds() {
  // Operations: (operation | stream << 3, a, b).
  const std::vector<std::vector<uint8_t>> lists = {
      // Open, run, read three frames, stop, close.
      {0, kOpen, 0, 0, kSetState, 3, 0, kRead, 5, 0, kRead, 5, 0, kRead, 5, 0, kSetState, 0, 0, kClose, 0, 0},
      // Intersections of each size, a size query, a short and a changed range.
      {0, kIntersect, 0, 0, 100, kIntersect, 1, 0, 120, kIntersect, 2, 0, 120, kIntersect, 0x10, 0, kIntersect, 0, 40, 60,
       kIntersect, 4, 0, 10, 0xFF, 120},
      // A YUY2 allocation, odd reads, run, format change while running, removal with the stream open.
      {1, kOpen, 1, 0, kOutputFormat, 1, 1, kRead, 1, 0, kRead, 2, 0, kSetState, 3, 0, kRead, 4, 0, kSetFormat, 2, 0,
       kRead, 6, 0, kRemove, 1, 0, kRead, 5, 0, kSetState, 0, 0},
      // Both streams, states out of order, MJPG, pause, close while running.
      {0, kOpen, 0, 0, kOpen | 8, 0, 0, kOutputFormat, 3, 3, kSetState, 2, 0, kRead, 7, 0, kSetState, 3, 0, kRead, 5, 0,
       kSetState | 8, 3, 0, kRead | 8, 5, 0, kSetState, 1, 0, kClose, 0, 0, kOpen, 2, 0, kSetState, 3, 0, kRead, 8, 0,
       0x10, 0, 0, 0},
  };
  return lists;
}
