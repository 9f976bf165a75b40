// The soak: long runs of the whole stack on two cameras at once, each camera on a thread of
// its own, checked as they go. Not part of the test command (it runs for a long time):
//
//   soak [--cycles N] [--frames N] [--cameras N]
//
// 1. N start/stop cycles (default 10,000, shared among the cameras), each opening the stream
//    with the next frame size and output format, running it until two frames came back,
//    stopping and closing it.
// 2. N frames (default 1,000,000, shared among the cameras) streamed at 160x120 with every camera
//    fault on (every 7th to 11th frame): after the warm-up each frame must be the image the
//    worker last finished, as the library decodes and processes the raw frames independently,
//    or else the previous frame's image again.
//
// It reports frames per second, the pool's peak, what the pool holds once the cameras are gone
// and the driver unloaded (it must be nothing), and every frame that was neither image; it
// exits non-zero when anything is left or any frame was wrong.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host_camera.h"
#include "host_kernel.h"
#include "host_registry.h"
#include "host_stream.h"
#include "host_usbcamd.h"
#include "lumarex.h"
#include "support/expected_image.h"

namespace {

struct DriverObjectStandIn {
  uint8_t bytes[168];
} g_driverObject;

struct Totals {
  std::atomic<uint64_t> cycles{0}, cycleFailures{0};
  std::atomic<uint64_t> frames{0}, checked{0}, unknown{0}, wrong{0};
  std::mutex lock;  // for the messages
};

struct Size {
  int width, height;
};
const Size kSizes[3] = {{160, 120}, {320, 240}, {640, 480}};

std::vector<uint8_t> CaptureFormat(HostCameraDevice &device, Size size) {
  HW_STREAM_HEADER header{};
  std::vector<HW_STREAM_INFORMATION> streams;
  if (!NT_SUCCESS(device.GetStreamInfo(&header, &streams)) || streams.empty()) return {};
  for (ULONG i = 0; i < streams[0].NumberOfFormatArrayEntries; ++i) {
    const auto *range = reinterpret_cast<const KS_DATARANGE_VIDEO *>(streams[0].StreamFormatsArray[i]);
    if (range->VideoInfoHeader.bmiHeader.biWidth == size.width && range->VideoInfoHeader.bmiHeader.biHeight == size.height) {
      std::vector<uint8_t> format;
      if (NT_SUCCESS(device.DataIntersection(0, &range->DataRange, &format))) return format;
    }
  }
  return {};
}

std::vector<uint8_t> WithFourCc(std::vector<uint8_t> format, ULONG fourCc, USHORT bits) {
  auto *f = reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER *>(format.data());
  f->VideoInfoHeader.bmiHeader.biCompression = fourCc;
  f->VideoInfoHeader.bmiHeader.biBitCount = bits;
  return format;
}

void Cycles(HostCameraDevice &device, unsigned first, unsigned count, Totals &totals) {
  static const struct {
    ULONG fourCc;
    USHORT bits;
  } outputs[4] = {{0, 24}, {LUMAREX_FOURCC_YUY2, 16}, {LUMAREX_FOURCC_I420, 12}, {LUMAREX_FOURCC_MJPG, 24}};
  for (unsigned c = first; c < first + count; ++c) {
    const Size size = kSizes[c % 3];
    const auto output = outputs[(c / 3) % 4];
    NTSTATUS status;
    std::vector<uint8_t> format = CaptureFormat(device, size);
    std::unique_ptr<HostAppStream> stream = device.OpenStream(0, format, &status);
    bool ok = stream != nullptr;
    if (ok) {
      if (output.fourCc != 0) stream->SetAllocationFormat(WithFourCc(format, output.fourCc, output.bits));
      ok = NT_SUCCESS(stream->SetState(KSSTATE_RUN));
      const ULONG bytes = ULONG(size.width) * size.height * 3;
      for (int k = 0; ok && k < 2; ++k) {
        stream->QueueRead(bytes);
        HostFrame frame;
        ok = stream->NextFrame(&frame, std::chrono::seconds(20)) && frame.status == STATUS_SUCCESS;
      }
      ok = NT_SUCCESS(stream->SetState(KSSTATE_STOP)) && ok;
      stream->Close();
    }
    ++totals.cycles;
    if (!ok) {
      ++totals.cycleFailures;
      std::lock_guard<std::mutex> guard(totals.lock);
      std::fprintf(stderr, "cycle %u (%dx%d, output %u) failed\n", c, size.width, size.height, unsigned((c / 3) % 4));
    }
  }
}

void Frames(HostCameraDevice &device, unsigned camera, uint64_t count, Totals &totals) {
  const Size size = kSizes[0];
  const ULONG bytes = ULONG(size.width) * size.height * 3;
  NTSTATUS status;
  std::unique_ptr<HostAppStream> stream = device.OpenStream(0, CaptureFormat(device, size), &status);
  if (!stream || !NT_SUCCESS(stream->SetState(KSSTATE_RUN))) {
    std::fprintf(stderr, "camera %u: the stream did not start\n", camera);
    ++totals.wrong;
    return;
  }
  const LUMAREX_FRAME_SETTINGS settings{50, 50, 20, 50, 50};  // the defaults a new device loads
  std::vector<uint8_t> previousRaw;  // the raw frame the previous read was filled from
  bool previousKnown = false;
  std::vector<uint8_t> previousImage;
  std::vector<uint8_t> current(bytes, 0);  // the worker's last finished image (blank at first); empty: unknown
  for (int i = 0; i < 3; ++i) stream->QueueRead(bytes);
  for (uint64_t k = 1; k <= count; ++k) {
    HostFrame frame;
    if (!stream->NextFrame(&frame, std::chrono::seconds(20))) {
      std::fprintf(stderr, "camera %u: frame %llu never came\n", camera, (unsigned long long)k);
      ++totals.wrong;
      break;
    }
    stream->QueueRead(bytes);
    ++totals.frames;
    std::vector<uint8_t> image(frame.data.begin(), frame.data.begin() + std::min<size_t>(frame.dataUsed, bytes));
    // The worker decoded the previous read's raw frame while this one travelled; from the
    // sixth raw frame on, one that decodes replaces the image it keeps.
    if (k - 1 >= 6) {
      std::vector<UCHAR> decoded;
      if (!previousKnown) {
        current.clear();
      } else if (LibraryDecode(previousRaw, size.width, size.height, &decoded)) {
        current = ProcessDecoded(std::move(decoded), size.width, size.height, settings, LUMAREX_FORMAT_RGB24);
        current.resize(bytes);
      }
    }
    bool good;
    if (k <= 7) {
      good = image.size() == bytes && std::all_of(image.begin(), image.end(), [](uint8_t b) { return b == 0; });
      ++totals.checked;
    } else if (current.empty()) {
      good = true;
      ++totals.unknown;
    } else {
      good = image == current || image == previousImage;
      ++totals.checked;
    }
    if (!good) {
      ++totals.wrong;
      std::lock_guard<std::mutex> guard(totals.lock);
      std::fprintf(stderr, "camera %u: frame %llu (raw frame %llu) is neither the expected image nor the previous one\n",
                   camera, (unsigned long long)k, (unsigned long long)frame.info.rawIndex);
    }
    previousImage = std::move(image);
    // The raw frame this read was filled from, from the class library's log.
    previousKnown = false;
    for (const HostRawFrameRecord &r : stream->FrameLog()) {
      if (r.index == frame.info.rawIndex && r.fate == HostRawFrameRecord::Delivered) {
        previousRaw = r.raw;
        previousKnown = true;
      }
    }
  }
  stream->SetState(KSSTATE_STOP);
  stream->Close();
}

uint64_t Option(int argc, char **argv, const char *name, uint64_t fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) return std::strtoull(argv[i + 1], nullptr, 10);
  }
  return fallback;
}

}  // namespace

int main(int argc, char **argv) {
  const uint64_t cycles = Option(argc, argv, "--cycles", 10000);
  const uint64_t frames = Option(argc, argv, "--frames", 1000000);
  const unsigned cameras = unsigned(std::max<uint64_t>(1, Option(argc, argv, "--cameras", 2)));

  HostTime_SetDelayScale(0, 1);
  HostPool_ResetPeak();
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, LUMAREX_WIDE("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Torvane"));
  if (!NT_SUCCESS(DriverEntry(reinterpret_cast<PDRIVER_OBJECT>(&g_driverObject), &path))) {
    std::fprintf(stderr, "DriverEntry failed\n");
    return 1;
  }
  std::vector<std::unique_ptr<HostSimCamera>> sims;
  std::vector<std::unique_ptr<HostCameraDevice>> devices;
  HostDeviceOptions options;
  options.frameLogLimit = 8;
  for (unsigned c = 0; c < cameras; ++c) {
    sims.push_back(std::make_unique<HostSimCamera>());
    devices.push_back(std::make_unique<HostCameraDevice>(*sims.back(), options));
    if (!NT_SUCCESS(devices.back()->Arrive())) {
      std::fprintf(stderr, "camera %u: arrival failed\n", c);
      return 1;
    }
  }
  Totals totals;

  auto started = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (unsigned c = 0; c < cameras; ++c) {
    const unsigned share = unsigned(cycles / cameras + (c < cycles % cameras ? 1 : 0));
    threads.emplace_back([&, c, share] { Cycles(*devices[c], c * unsigned(cycles / cameras + 1), share, totals); });
  }
  for (std::thread &t : threads) t.join();
  threads.clear();
  const double cycleSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("start/stop cycles: %llu in %.1f s (%.1f a second), %llu failed\n",
              (unsigned long long)totals.cycles.load(), cycleSeconds, double(totals.cycles) / cycleSeconds,
              (unsigned long long)totals.cycleFailures.load());
  std::fflush(stdout);

  for (unsigned c = 0; c < cameras; ++c) {
    HostCameraStreamConfig config;
    for (unsigned f = 0; f < unsigned(HostFault::Count); ++f) config.faultEvery[f] = 7 + f;
    config.seed = 1 + c;
    sims[c]->ConfigureStream(config);
  }
  started = std::chrono::steady_clock::now();
  for (unsigned c = 0; c < cameras; ++c) {
    const uint64_t share = frames / cameras + (c < frames % cameras ? 1 : 0);
    threads.emplace_back([&, c, share] { Frames(*devices[c], c, share, totals); });
  }
  for (std::thread &t : threads) t.join();
  const double frameSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("frames: %llu in %.1f s on %u cameras (%.1f frames a second); %llu checked, %llu unknown "
              "(raw frame not kept), %llu neither the expected image nor the previous one\n",
              (unsigned long long)totals.frames.load(), frameSeconds, cameras, double(totals.frames) / frameSeconds,
              (unsigned long long)totals.checked.load(), (unsigned long long)totals.unknown.load(),
              (unsigned long long)totals.wrong.load());

  for (auto &device : devices) device->Remove();
  devices.clear();
  HostUsbcamd_UnloadDriver();
  HostThreads_WaitAllExited(5000);
  const size_t left = HostPool_LiveByteCount();
  std::printf("pool: peak %zu bytes, %zu bytes in %zu blocks left at the end\n", HostPool_PeakByteCount(), left,
              HostPool_LiveBlockCount());
  if (left != 0) std::printf("%s", HostPool_Report().c_str());
  return left == 0 && totals.wrong == 0 && totals.cycleFailures == 0 ? 0 : 1;
}
