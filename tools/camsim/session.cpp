// One camsim run through the whole platform: DriverEntry, device arrival, format negotiation,
// stream states, property requests, the read loop, stop, removal and driver unload.
#include "session.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

#include "host_image.h"
#include "host_kernel.h"
#include "host_stack.h"
#include "host_registry.h"
#include "host_stream.h"
#include "lumarex.h"
#include "preflight.h"

namespace {

// What the I/O manager would pass to DriverEntry; the driver only hands them to the class library.
struct DriverObjectStandIn {
  uint8_t bytes[168];
} g_driverObject;

void Fail(SessionSummary *s, NTSTATUS status, const std::string &what) {
  if (NT_SUCCESS(s->status)) {
    s->status = status;
    s->failure = what;
  }
}


ULONG FourCc(OutputFormat format) {
  switch (format) {
    case OutputFormat::Yuy2: return LUMAREX_FOURCC_YUY2;
    case OutputFormat::I420: return LUMAREX_FOURCC_I420;
    case OutputFormat::Mjpg: return LUMAREX_FOURCC_MJPG;
    case OutputFormat::Rgb24: break;
  }
  return KS_BI_RGB;
}

USHORT BitCount(OutputFormat format) {
  switch (format) {
    case OutputFormat::Yuy2: return 16;
    case OutputFormat::I420: return 12;
    default: return 24;
  }
}

}  // namespace

std::string Thousands(uint64_t v) {
  std::string digits = std::to_string(v), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string StatusText(NTSTATUS status) {
  static const struct {
    NTSTATUS status;
    const char *text;
  } kKnown[] = {
      {STATUS_UNSUCCESSFUL, "unsuccessful"},
      {STATUS_INSUFFICIENT_RESOURCES, "out of memory"},
      {STATUS_CANCELLED, "cancelled"},
      {STATUS_IO_TIMEOUT, "timed out"},
      {STATUS_DEVICE_NOT_CONNECTED, "the device is not connected"},
      {STATUS_NOT_IMPLEMENTED, "not supported by the driver"},
      {STATUS_NOT_SUPPORTED, "not supported by the driver"},
      {STATUS_INVALID_PARAMETER, "invalid parameter"},
      {STATUS_NO_MATCH, "no matching format"},
      {STATUS_BUFFER_TOO_SMALL, "buffer too small"},
  };
  char hex[16];
  snprintf(hex, sizeof(hex), "0x%08X", unsigned(status));
  for (const auto &k : kKnown) {
    if (k.status == status) return std::string(k.text) + " (status " + hex + ")";
  }
  return std::string("status ") + hex;
}

bool NegotiateFormat(HostCameraDevice &device, int width, int height, OutputFormat format,
                     std::vector<uint8_t> *rgb24, std::vector<uint8_t> *allocation, std::string *why) {
  HW_STREAM_HEADER header{};
  std::vector<HW_STREAM_INFORMATION> streams;
  NTSTATUS status = device.GetStreamInfo(&header, &streams);
  if (!NT_SUCCESS(status) || streams.empty()) {
    *why = "stream information";
    return false;
  }
  // The capture pin's ranges, in the driver's order: the first of the asked size wins.
  const HW_STREAM_INFORMATION &capture = streams[0];
  for (ULONG i = 0; i < capture.NumberOfFormatArrayEntries; ++i) {
    const KSDATARANGE *range = capture.StreamFormatsArray[i];
    if (range->FormatSize < sizeof(KS_DATARANGE_VIDEO)) continue;
    const auto *video = reinterpret_cast<const KS_DATARANGE_VIDEO *>(range);
    if (video->VideoInfoHeader.bmiHeader.biWidth != width || video->VideoInfoHeader.bmiHeader.biHeight != height) {
      continue;
    }
    std::vector<uint8_t> picked;
    status = device.DataIntersection(0, range, &picked);
    if (!NT_SUCCESS(status) || picked.size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
      *why = "data intersection";
      return false;
    }
    *rgb24 = picked;
    *allocation = picked;
    auto *f = reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER *>(allocation->data());
    f->VideoInfoHeader.bmiHeader.biCompression = FourCc(format);
    f->VideoInfoHeader.bmiHeader.biBitCount = BitCount(format);
    f->VideoInfoHeader.bmiHeader.biSizeImage = ULONG(FrameBytes(format == OutputFormat::Mjpg ? OutputFormat::Rgb24 : format, width, height));
    if (format == OutputFormat::Rgb24) {
      allocation->clear();  // the stream's own format
    }
    return true;
  }
  *why = "no range of the capture pin has the size " + std::to_string(width) + "x" + std::to_string(height);
  return false;
}

SessionSummary RunSession(const SessionOptions &o,
                          const std::function<bool(const HostFrame &, const FrameOrigin &)> &onFrame) {
  SessionSummary summary;
  HostPool_ResetPeak();
  // The camera reads its sources first: one that cannot be read stops the run before the
  // driver is loaded. It notes what it does to each frame, so that every frame the application
  // gets can be traced back to its camera frame.
  HostSimCamera camera;
  HostCameraStreamConfig cameraConfig = o.camera;
  cameraConfig.frameNotes = true;
  camera.ConfigureStream(cameraConfig);
  FrameOrigins origins(camera.SourcePaths(), o.format == OutputFormat::Mjpg);

  UNICODE_STRING registryPath;
  RtlInitUnicodeString(&registryPath, LUMAREX_WIDE("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Torvane"));
  // The driver: linked into camsim, or loaded from an image file.
  std::unique_ptr<HostImage> image;
  HostDriverEntryRoutine entry = DriverEntry;
  if (!o.driverImage.empty()) {
    std::string error;
    image = HostImage::Load(o.driverImage, {}, &error);
    if (!image) {
      Fail(&summary, STATUS_INVALID_IMAGE_FORMAT, "loading the driver image: " + error);
      return summary;
    }
    char where[128];
    snprintf(where, sizeof(where), "%s at 0x%08lx (preferred base 0x%08lx%s), %zu imports bound:\n",
             image->Name().c_str(), (unsigned long)image->Base(), (unsigned long)image->PreferredBase(),
             image->Relocated() ? ", relocated" : "", image->Imports().size());
    summary.image = where + image->BindingReport();
    HostStack_Reset();
    entry = image->EntryPoint();
  }
  NTSTATUS status = entry(reinterpret_cast<PDRIVER_OBJECT>(&g_driverObject), &registryPath);
  if (!NT_SUCCESS(status)) {
    Fail(&summary, status, "DriverEntry failed: " + StatusText(status));
    return summary;
  }

  {
    HostDeviceOptions deviceOptions;
    deviceOptions.keepRawFrames = false;  // camsim looks at the application's frames only
    HostCameraDevice device(camera, deviceOptions);
    status = device.Arrive();
    if (!NT_SUCCESS(status)) {
      Fail(&summary, status, "the device arrival failed: " + StatusText(status));
      return summary;
    }
    std::string why;
    bool hiveLoaded = true;
    // An empty settings file is a new one: nothing to load, the hive is saved into it at the end.
    if (!o.settingsFile.empty() && std::filesystem::exists(o.settingsFile) && std::filesystem::file_size(o.settingsFile) != 0 &&
        !HostRegistry_LoadHive(device.PhysicalDeviceObject(), o.settingsFile, &why)) {
      // Checked before the run; a file changed since is left as it is.
      hiveLoaded = false;
      Fail(&summary, STATUS_UNSUCCESSFUL, "the settings file " + o.settingsFile + " cannot be read: " + why);
    }

    std::vector<uint8_t> format, allocation;
    std::unique_ptr<HostAppStream> stream;
    if (!NegotiateFormat(device, o.width, o.height, o.format, &format, &allocation, &why)) {
      Fail(&summary, STATUS_NO_MATCH, why);
    } else {
      stream = device.OpenStream(0, format, &status);
      if (!stream) Fail(&summary, status, "the driver refused to open the stream: " + StatusText(status));
    }

    if (stream) {
      stream->SetAllocationFormat(allocation);
      // Bandwidth first (it restores the persisted settings), then the property requests, then run.
      status = stream->SetState(KSSTATE_ACQUIRE);
      if (!NT_SUCCESS(status)) Fail(&summary, status, "the bandwidth allocation (KSSTATE_ACQUIRE) failed: " + StatusText(status));
      const std::pair<ULONG, std::optional<LONG>> controls[] = {
          {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, o.brightness},
          {KSPROPERTY_VIDEOPROCAMP_CONTRAST, o.contrast},
          {KSPROPERTY_VIDEOPROCAMP_SATURATION, o.saturation},
          {KSPROPERTY_VIDEOPROCAMP_SHARPNESS, o.sharpness},
      };
      for (const auto &[id, value] : controls) {
        // A successful set completes with the driver's success code 1.
        if (value && NT_SUCCESS(status) && !NT_SUCCESS(status = device.SetVideoProcAmp(id, *value))) {
          Fail(&summary, status, "setting a VideoProcAmp property failed: " + StatusText(status));
        }
      }
      if (NT_SUCCESS(summary.status)) {
        status = stream->SetState(KSSTATE_PAUSE);
        if (NT_SUCCESS(status)) status = stream->SetState(KSSTATE_RUN);
        if (!NT_SUCCESS(status)) Fail(&summary, status, "the capture start (KSSTATE_RUN) failed: " + StatusText(status));
      }

      ULONG frameBytes = ULONG(o.width) * ULONG(o.height) * 3;  // what the driver reports for every format
      unsigned issued = 0;  // read requests handed to the driver so far
      if (NT_SUCCESS(summary.status)) {
        for (; issued < std::max(1u, o.buffers) && issued < o.frames; ++issued) stream->QueueRead(frameBytes);
      }
      auto start = std::chrono::steady_clock::now();
      auto lastProgress = start;
      auto lastFrame = start;
      uint64_t overflowsSeen = 0;      // frames too large for the raw frame buffer, said so far
      uint64_t overflowsAtFrame = 0;   // the count when the last frame arrived
      uint64_t lastOverflowSaid = 0;   // the raw frame index of the last one said
      unsigned overflowLines = 0;
      // Says at once which frames the class library dropped as too large (the first three).
      auto sayOverflows = [&](const HostStreamStats &st) {
        if (st.overflow == overflowsSeen) return;
        overflowsSeen = st.overflow;
        if (overflowLines >= 3) return;
        std::vector<HostSentFrame> sent = camera.SentFrames();
        for (const HostRawFrameRecord &r : stream->FrameLog()) {
          if (r.fate != HostRawFrameRecord::Overflow || r.index <= lastOverflowSaid || overflowLines >= 3) continue;
          lastOverflowSaid = r.index;
          std::string bytes = "more than " + Thousands(st.rawFrameLength) + " bytes";
          for (const HostSentFrame &f : sent) {
            if (f.sequence == r.index && f.raw.size() > st.rawFrameLength) bytes = Thousands(f.raw.size()) + " bytes";
          }
          fprintf(o.notices,
                  "camsim: camera frame %llu is %s, more than the driver's raw frame buffer holds at %dx%d "
                  "(%s bytes): the class library dropped it; a lower --quality (now %d) makes smaller frames%s\n",
                  (unsigned long long)r.index, bytes.c_str(), o.width, o.height, Thousands(st.rawFrameLength).c_str(),
                  o.camera.quality, ++overflowLines == 3 ? " (further ones are counted in the summary)" : "");
        }
      };
      while (NT_SUCCESS(summary.status) && summary.frames < o.frames) {
        if (o.interrupt != nullptr && o.interrupt->load() != 0) {
          summary.interruptedBy = o.interrupt->load();
          break;
        }
        HostFrame frame;
        if (!stream->NextFrame(&frame, std::chrono::milliseconds(100))) {
          // No frame yet: say at once what the class library dropped, and why nothing comes.
          HostStreamStats st = stream->Stats();
          sayOverflows(st);
          if (st.overflow - overflowsAtFrame >= 5) {
            Fail(&summary, STATUS_BUFFER_OVERFLOW,
                 "5 camera frames in a row were too large for the driver's raw frame buffer at " +
                     std::to_string(o.width) + "x" + std::to_string(o.height) + " (" + Thousands(st.rawFrameLength) +
                     " bytes) and none reached the application: use a lower --quality (now " +
                     std::to_string(o.camera.quality) + ")");
            break;
          }
          if (std::chrono::steady_clock::now() - lastFrame > std::chrono::seconds(30)) {
            Fail(&summary, STATUS_IO_TIMEOUT,
                 "no frame reached the application for 30 seconds (the camera began " +
                     std::to_string(camera.FramesSent()) + " frames, the class library assembled " +
                     std::to_string(st.assembled) + " and handed " + std::to_string(st.delivered) +
                     " to the driver)");
            break;
          }
          continue;
        }
        lastFrame = std::chrono::steady_clock::now();
        {
          HostStreamStats st = stream->Stats();
          sayOverflows(st);
          overflowsAtFrame = st.overflow;
        }
        if (!NT_SUCCESS(frame.status)) {
          Fail(&summary, frame.status, "a read request failed: " + StatusText(frame.status));
          break;
        }
        ++summary.frames;
        if (frame.info.still) ++summary.stills;
        origins.Add(camera.TakeFrameNotes(), stream->FrameLog(origins.SeenRaw()));
        if (!onFrame(frame, origins.For(frame))) {
          break;  // the caller could not take the frame and said why; the run stops as usual
        }
        if (issued < o.frames) {
          stream->QueueRead(frameBytes);
          ++issued;
        }
        // Triggers and presses only while a frame can still carry them.
        const bool more = summary.frames < o.frames;
        if (more && o.stillEvery != 0 && summary.frames % o.stillEvery == 0 && NT_SUCCESS(device.TriggerStill())) {
          ++summary.triggersSent;
        }
        // A press held down while the camera sends one whole frame, so that the driver sees it
        // on that frame's data slots whatever the timing.
        if (more && o.buttonEvery != 0 && summary.frames % o.buttonEvery == 0) {
          camera.PressButton(1);
          ++summary.pressesSent;
        }
        if (o.realtime) {
          std::this_thread::sleep_until(start + std::chrono::microseconds(int64_t(summary.frames) * 1000000 / std::max(1u, o.fps)));
        }
        auto now = std::chrono::steady_clock::now();
        const bool line = o.progress == SessionOptions::Progress::Line;
        const auto every = line ? std::chrono::milliseconds(250) : std::chrono::milliseconds(5000);
        if (o.progress != SessionOptions::Progress::None &&
            (now - lastProgress > every || summary.frames == 1 || summary.frames == o.frames)) {
          lastProgress = now;
          double secs = std::chrono::duration<double>(now - start).count();
          fprintf(stderr, line ? "\rcamsim: %s \033[K" : "camsim: %s\n", ProgressText(summary.frames, o.frames, secs).c_str());
          fflush(stderr);
        }
      }
      summary.rawFrameLength = stream->Stats().rawFrameLength;
      summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      summary.fps = summary.seconds > 0 ? summary.frames / summary.seconds : 0;
      if (o.progress == SessionOptions::Progress::Line) fprintf(stderr, "\n");
      camera.SetButton(false);

      // Stop as an application does: RUN -> PAUSE stops capture (the settings are saved), STOP
      // frees the bandwidth; reads still queued come back cancelled.
      status = stream->SetState(KSSTATE_STOP);
      if (!NT_SUCCESS(status)) Fail(&summary, status, "the stream stop failed: " + StatusText(status));
      summary.stream = stream->Stats();
      auto *dc = static_cast<PDEVICE_CONTEXT>(device.DeviceContext());
      summary.goodFrames = dc->g_nGoodFrames;
      summary.badFrames = dc->g_nBadFrames;
      summary.settings[0] = dc->g_nBrightness;
      summary.settings[1] = dc->g_nContrast;
      summary.settings[2] = dc->g_nSaturation;
      summary.settings[3] = dc->g_nSharpness;
      stream->Close();
    }
    if (!o.settingsFile.empty() && hiveLoaded &&
        !HostRegistry_SaveHive(device.PhysicalDeviceObject(), o.settingsFile)) {
      Fail(&summary, STATUS_UNSUCCESSFUL, "the settings file " + o.settingsFile + " cannot be written");
    }
    status = device.Remove(false);
    if (!NT_SUCCESS(status)) Fail(&summary, status, "the device removal failed: " + StatusText(status));
    HostRegistry_ForgetDevice(device.PhysicalDeviceObject());
  }
  HostUsbcamd_UnloadDriver();
  if (image) {
    // The image goes only once no thread runs in it.
    if (!HostThreads_WaitAllExited(5000)) {
      Fail(&summary, STATUS_UNSUCCESSFUL, "a system thread still runs in the driver image");
      image.release();
    }
    for (int e = 0; e < int(HostStackEntry::Count); ++e) {
      HostStackUse use = HostStack_Use(HostStackEntry(e));
      char line[128];
      snprintf(line, sizeof(line), "    %-34s %6zu bytes (%llu calls)\n", HostStackEntry_Name(HostStackEntry(e)),
               use.deepest, (unsigned long long)use.calls);
      summary.stackUse += line;
    }
    image.reset();
  }
  summary.cameraFrames = camera.FramesSent();
  origins.Add(camera.TakeFrameNotes(), {});
  for (unsigned f = 0; f < unsigned(HostFault::Count); ++f) summary.faultsInjected[f] = origins.Injected()[f];
  summary.peakPoolBytes = HostPool_PeakByteCount();
  summary.poolBlocksLeft = HostPool_LiveBlockCount();
  if (summary.poolBlocksLeft != 0) summary.poolReport = HostPool_Report();
  return summary;
}
