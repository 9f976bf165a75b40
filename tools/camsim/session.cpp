// One camsim run through the whole platform: DriverEntry, device arrival, format negotiation,
// stream states, property requests, the read loop, stop, removal and driver unload.
#include "session.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "host_image.h"
#include "host_kernel.h"
#include "host_stack.h"
#include "host_registry.h"
#include "host_stream.h"
#include "lumarex.h"

namespace {

// What the I/O manager would pass to DriverEntry; the driver only hands them to the class library.
struct DriverObjectStandIn {
  uint8_t bytes[168];
} g_driverObject;

void Fail(SessionSummary *s, NTSTATUS status, const std::string &what) {
  if (NT_SUCCESS(s->status)) {
    s->status = status;
    char text[32];
    snprintf(text, sizeof(text), " (0x%08x)", unsigned(status));
    s->failure = what + text;
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

SessionSummary RunSession(const SessionOptions &o, const std::function<void(const HostFrame &)> &onFrame) {
  SessionSummary summary;
  HostPool_ResetPeak();

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
    Fail(&summary, status, "DriverEntry");
    return summary;
  }

  HostSimCamera camera;
  camera.ConfigureStream(o.camera);
  {
    HostDeviceOptions deviceOptions;
    deviceOptions.keepRawFrames = false;  // camsim looks at the application's frames only
    HostCameraDevice device(camera, deviceOptions);
    status = device.Arrive();
    if (!NT_SUCCESS(status)) {
      Fail(&summary, status, "device arrival");
      return summary;
    }
    if (!o.settingsFile.empty() && std::filesystem::exists(o.settingsFile) &&
        !HostRegistry_LoadHive(device.PhysicalDeviceObject(), o.settingsFile)) {
      Fail(&summary, STATUS_UNSUCCESSFUL, "reading the settings file " + o.settingsFile);
    }

    std::vector<uint8_t> format, allocation;
    std::string why;
    std::unique_ptr<HostAppStream> stream;
    if (!NegotiateFormat(device, o.width, o.height, o.format, &format, &allocation, &why)) {
      Fail(&summary, STATUS_NO_MATCH, why);
    } else {
      stream = device.OpenStream(0, format, &status);
      if (!stream) Fail(&summary, status, "stream open");
    }

    if (stream) {
      stream->SetAllocationFormat(allocation);
      // Bandwidth first (it restores the persisted settings), then the property requests, then run.
      status = stream->SetState(KSSTATE_ACQUIRE);
      if (!NT_SUCCESS(status)) Fail(&summary, status, "bandwidth allocation (KSSTATE_ACQUIRE)");
      const std::pair<ULONG, std::optional<LONG>> controls[] = {
          {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, o.brightness},
          {KSPROPERTY_VIDEOPROCAMP_CONTRAST, o.contrast},
          {KSPROPERTY_VIDEOPROCAMP_SATURATION, o.saturation},
          {KSPROPERTY_VIDEOPROCAMP_SHARPNESS, o.sharpness},
      };
      for (const auto &[id, value] : controls) {
        // A successful set completes with the driver's success code 1.
        if (value && NT_SUCCESS(status) && !NT_SUCCESS(status = device.SetVideoProcAmp(id, *value))) {
          Fail(&summary, status, "VideoProcAmp set");
        }
      }
      if (NT_SUCCESS(summary.status)) {
        status = stream->SetState(KSSTATE_PAUSE);
        if (NT_SUCCESS(status)) status = stream->SetState(KSSTATE_RUN);
        if (!NT_SUCCESS(status)) Fail(&summary, status, "capture start (KSSTATE_RUN)");
      }

      ULONG frameBytes = ULONG(o.width) * ULONG(o.height) * 3;  // what the driver reports for every format
      unsigned issued = 0;  // read requests handed to the driver so far
      if (NT_SUCCESS(summary.status)) {
        for (; issued < std::max(1u, o.buffers) && issued < o.frames; ++issued) stream->QueueRead(frameBytes);
      }
      auto start = std::chrono::steady_clock::now();
      auto lastProgress = start;
      while (NT_SUCCESS(summary.status) && summary.frames < o.frames) {
        HostFrame frame;
        if (!stream->NextFrame(&frame, std::chrono::seconds(30))) {
          Fail(&summary, STATUS_IO_TIMEOUT, "waiting for a frame");
          break;
        }
        if (!NT_SUCCESS(frame.status)) {
          Fail(&summary, frame.status, "read request");
          break;
        }
        ++summary.frames;
        if (frame.info.still) ++summary.stills;
        onFrame(frame);
        if (issued < o.frames) {
          stream->QueueRead(frameBytes);
          ++issued;
        }
        if (o.stillEvery != 0 && summary.frames % o.stillEvery == 0) device.TriggerStill();
        if (o.buttonEvery != 0) camera.SetButton(summary.frames % o.buttonEvery == 0);
        auto now = std::chrono::steady_clock::now();
        if (o.progress && (now - lastProgress > std::chrono::milliseconds(250) || summary.frames == o.frames)) {
          lastProgress = now;
          double s = std::chrono::duration<double>(now - start).count();
          fprintf(stderr, "\rcamsim: frame %u/%u  %.1f fps", summary.frames, o.frames, s > 0 ? summary.frames / s : 0.0);
          fflush(stderr);
        }
      }
      summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      summary.fps = summary.seconds > 0 ? summary.frames / summary.seconds : 0;
      if (o.progress) fprintf(stderr, "\n");
      camera.SetButton(false);

      // Stop as an application does: RUN -> PAUSE stops capture (the settings are saved), STOP
      // frees the bandwidth; reads still queued come back cancelled.
      status = stream->SetState(KSSTATE_STOP);
      if (!NT_SUCCESS(status)) Fail(&summary, status, "stream stop");
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
    if (!o.settingsFile.empty() && !HostRegistry_SaveHive(device.PhysicalDeviceObject(), o.settingsFile)) {
      Fail(&summary, STATUS_UNSUCCESSFUL, "writing the settings file " + o.settingsFile);
    }
    status = device.Remove(false);
    if (!NT_SUCCESS(status)) Fail(&summary, status, "device removal");
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
  summary.peakPoolBytes = HostPool_PeakByteCount();
  summary.poolBlocksLeft = HostPool_LiveBlockCount();
  if (summary.poolBlocksLeft != 0) summary.poolReport = HostPool_Report();
  return summary;
}
