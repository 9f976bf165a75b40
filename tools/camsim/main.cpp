// camsim: plug the simulated camera into the driver, stream, and write what a capture
// application receives.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <map>

#include "host_image.h"
#include "session.h"

namespace {

const char *kDescription =
    "Streams the simulated camera's frames through the Torvane driver on the host platform, as a "
    "capture application does, and writes every frame the application receives into the output "
    "folder as frame_NNNNNN.<ext> (k counting from 1, the driver's blank warm-up frames included).\n\n"
    "Formats: the capture pin offers RGB24 only, and --format rgb24 is negotiated as an application "
    "does it (stream information, data intersection, stream open). For yuy2, i420 and mjpg the "
    "stream is opened with the pin's RGB24 format and the simulated class library allocates its "
    "bandwidth with the asked format directly, which the driver's format selection accepts, so "
    "that its other output stages run.\n\n"
    "Output: rgb24 -> frame_NNNNNN.bmp (bottom-up DIB; --png adds frame_NNNNNN.png); yuy2 and "
    "i420 -> raw frame_NNNNNN.yuy2 / .i420 plus stream.y4m (ffplay or mpv open it); mjpg -> "
    "frame_NNNNNN.jpg cut at the end-of-image marker (frames without JPEG data, such as the "
    "warm-up frames, as frame_NNNNNN.blank).";

bool ParseSize(const std::string &text, int *w, int *h) {
  if (text == "160x120") { *w = 160; *h = 120; return true; }
  if (text == "320x240") { *w = 320; *h = 240; return true; }
  if (text == "640x480") { *w = 640; *h = 480; return true; }
  return false;
}

// "short,usb-error=5": each fault by name, every Nth frame (7 when N is not given).
bool ParseFaults(const std::string &list, HostCameraStreamConfig *config, std::string *why) {
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    std::string item = list.substr(start, end - start);
    start = end + 1;
    if (item.empty()) continue;
    unsigned every = 7;
    size_t eq = item.find('=');
    if (eq != std::string::npos) {
      try {
        every = unsigned(std::stoul(item.substr(eq + 1)));
      } catch (...) {
        every = 0;
      }
      if (every == 0) {
        *why = "fault '" + item + "': N must be a positive number";
        return false;
      }
      item = item.substr(0, eq);
    }
    HostFault fault;
    if (item == "all") {
      for (unsigned f = 0; f < unsigned(HostFault::Count); ++f) config->faultEvery[f] = every;
    } else if (HostFault_FromName(item, &fault)) {
      config->faultEvery[unsigned(fault)] = every;
    } else {
      *why = "unknown fault '" + item + "' (short, usb-error, corrupt, truncate, size, all)";
      return false;
    }
  }
  return true;
}


}  // namespace

int main(int argc, char **argv) {
  CLI::App app{kDescription, "camsim"};
  std::string size = "320x240", format = "rgb24", faults, outDir = "out";
  std::vector<std::string> sources;
  SessionOptions o;
  o.frames = 60;
  LONG brightness = -1, contrast = -1, saturation = -1, sharpness = -1;
  bool png = false, quiet = false;

  app.add_option("--size", size, "frame size: 160x120, 320x240 or 640x480")->capture_default_str();
  app.add_option("--format", format, "output format: rgb24, yuy2, i420 or mjpg")->capture_default_str();
  app.add_option("--frames", o.frames, "application frames to receive")->capture_default_str()->check(CLI::PositiveNumber);
  app.add_option("--source", sources,
                 "image files or folders the camera sends instead of its built-in moving scene: JPEG files go out "
                 "byte for byte, other images (PNG, BMP, PPM) are encoded first; used in order, then again")
      ->expected(1, -1);
  app.add_option("--brightness", brightness, "VideoProcAmp brightness, 0..100")->check(CLI::Range(0, 100));
  app.add_option("--contrast", contrast, "VideoProcAmp contrast, 0..100")->check(CLI::Range(0, 100));
  app.add_option("--saturation", saturation, "VideoProcAmp saturation, 0..100")->check(CLI::Range(0, 100));
  app.add_option("--sharpness", sharpness, "VideoProcAmp sharpness, 0..100")->check(CLI::Range(0, 100));
  app.add_option("--still-every", o.stillEvery, "trigger a still through the video-control property every N frames");
  app.add_option("--button-every", o.buttonEvery, "press the camera's snapshot button every N frames");
  app.add_option("--faults", faults,
                 "faults the camera injects, comma-separated, each every Nth frame with =N (default 7): short, "
                 "usb-error, corrupt, truncate, size, all");
  app.add_option("--settings", o.settingsFile,
                 "file keeping the device's registry hive across runs (the picture settings persist in it)");
  app.add_option("--out", outDir, "output folder")->capture_default_str();
  app.add_flag("--png", png, "also write RGB24 frames as PNG");
  app.add_option("--quality", o.camera.quality, "the camera's JPEG quality")->capture_default_str()->check(CLI::Range(1, 100));
  app.add_option("--sampling", o.camera.sampling, "the camera's chroma sampling: 444, 422, 420 or 440")
      ->capture_default_str()
      ->check(CLI::IsMember({444, 422, 420, 440}));
  app.add_option("--restart-interval", o.camera.restartInterval, "the camera's restart interval in MCUs (0: none)");
  app.add_flag("--quiet", quiet, "no progress line");
  app.add_option("--driver", o.driverImage,
                 "run the driver from this image (build/target/Torvane.sys) instead of the linked one; "
                 "32-bit host build only");
  bool imports = false;
  app.add_flag("--imports", imports, "with --driver: print how the image's imports were bound");
  CLI11_PARSE(app, argc, argv);

  if (!ParseSize(size, &o.width, &o.height)) {
    fprintf(stderr, "camsim: --size must be 160x120, 320x240 or 640x480\n");
    return 2;
  }
  if (!OutputFormatFromName(format, &o.format)) {
    fprintf(stderr, "camsim: --format must be rgb24, yuy2, i420 or mjpg\n");
    return 2;
  }
  if (!o.driverImage.empty() && !HostImage_Supported()) {
    fprintf(stderr, "camsim: --driver: driver images run only in the 32-bit host build (build/host32/tools/camsim)\n");
    return 2;
  }
  std::string why;
  if (!ParseFaults(faults, &o.camera, &why)) {
    fprintf(stderr, "camsim: --faults: %s\n", why.c_str());
    return 2;
  }
  if (brightness >= 0) o.brightness = brightness;
  if (contrast >= 0) o.contrast = contrast;
  if (saturation >= 0) o.saturation = saturation;
  if (sharpness >= 0) o.sharpness = sharpness;
  o.camera.sources = sources;
  o.progress = !quiet;

  SessionSummary summary;
  size_t files = 0;
  try {
    FrameWriterOptions w;
    w.dir = outDir;
    w.format = o.format;
    w.width = o.width;
    w.height = o.height;
    w.png = png;
    FrameWriter writer(w);
    summary = RunSession(o, [&writer](const HostFrame &frame) {
      writer.Write(unsigned(frame.sequence), frame.data.data(), frame.data.size());
    });
    writer.Finish();
    files = writer.Files().size();
  } catch (const std::exception &e) {
    fprintf(stderr, "camsim: %s\n", e.what());
    return 1;
  }

  const HostStreamStats &s = summary.stream;
  printf("camsim: %dx%d %s, %u frames into %s (%zu files)\n", o.width, o.height, OutputFormatName(o.format),
         summary.frames, outDir.c_str(), files);
  printf("  frames delivered to the application: %u (stills %u)\n", summary.frames, summary.stills);
  printf("  driver: good %u, bad %u (warm-up and failed decodes)\n", summary.goodFrames, summary.badFrames);
  printf("  camera: %llu frames sent; class library: %llu assembled, %llu handed to the driver, %llu dropped "
         "(%llu marked by the driver, %llu too long, %llu without a buffer, %llu cut off), %llu pipe restarts\n",
         (unsigned long long)summary.cameraFrames, (unsigned long long)s.assembled, (unsigned long long)s.delivered,
         (unsigned long long)(s.dropped + s.overflow + s.noBuffer + s.abandoned), (unsigned long long)s.dropped,
         (unsigned long long)s.overflow, (unsigned long long)s.noBuffer, (unsigned long long)s.abandoned,
         (unsigned long long)s.restarts);
  printf("  settings at stop: brightness %d, contrast %d, saturation %d, sharpness %d\n", (int)summary.settings[0],
         (int)summary.settings[1], (int)summary.settings[2], (int)summary.settings[3]);
  printf("  %.1f frames per second (%.2f s streaming)\n", summary.fps, summary.seconds);
  printf("  pool: peak %zu bytes, %zu blocks left allocated after unload\n", summary.peakPoolBytes,
         summary.poolBlocksLeft);
  if (summary.poolBlocksLeft != 0) {
    printf("%s", summary.poolReport.c_str());
  }
  if (!summary.image.empty()) {
    size_t firstLine = summary.image.find('\n') + 1;
    printf("  driver image: %s", imports ? summary.image.c_str() : summary.image.substr(0, firstLine).c_str());
    printf("  deepest stack use per entry point:\n%s", summary.stackUse.c_str());
  }
  if (!NT_SUCCESS(summary.status)) {
    fprintf(stderr, "camsim: failed: %s\n", summary.failure.c_str());
    return 1;
  }
  return summary.poolBlocksLeft == 0 ? 0 : 1;
}
