// camsim: plug the simulated camera into the driver, stream, and write what a capture
// application receives.
#include <CLI/CLI.hpp>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>

#include "device_listing.h"
#include "host_registry.h"
#include "host_image.h"
#include "host_kernel.h"
#include "output_guard.h"
#include "preflight.h"
#include "session.h"
#include "run_output.h"
#include "run_report.h"
#include "sources.h"
#include "wine_run.h"

namespace {

// Exit statuses, one small set.
constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char *kDescription =
    "Streams the simulated camera's frames through the Torvane driver on the host platform, as a "
    "capture application does, and writes every frame the application receives into the output "
    "folder as frame_NNNNNN.<ext> (k counting from 1, the driver's blank warm-up frames included), "
    "with frames.tsv listing each frame's file, bytes, time, camera frame, source picture, faults and "
    "kind (picture, blank, still, repeat, damaged); stills also as still_NNNNNN.<ext>.\n\n"
    "Formats: the capture pin offers RGB24 only, and --format rgb24 is negotiated as an application "
    "does it (stream information, data intersection, stream open). For yuy2, i420 and mjpg the "
    "stream is opened with the pin's RGB24 format and the simulated class library allocates its "
    "bandwidth with the asked format directly, which the driver's format selection accepts, so "
    "that its other output stages run.\n\n"
    "Output: rgb24 -> frame_NNNNNN.bmp (bottom-up DIB); yuy2 and i420 -> raw frame_NNNNNN.yuy2 / "
    ".i420 plus stream.y4m (ffplay or mpv open it); mjpg -> frame_NNNNNN.jpg cut at the end-of-image "
    "marker, all of them in stream.mjpeg (frames without JPEG data, such as the warm-up frames, as "
    "frame_NNNNNN.blank). --png "
    "adds a PNG of every frame in every format.";

const char *kExitCodes =
    "Exit status: 0 the run is done; 1 the run failed (a request failed, a frame could not be "
    "written, memory was left allocated); 2 the command line is wrong or names a file or folder "
    "that cannot be used, or the --out folder is in use (nothing ran, nothing touched); 130 interrupted by Ctrl-C (SIGINT), 143 by SIGTERM (the "
    "stream is stopped and the settings saved first; a second Ctrl-C ends at once). A reader that closes the "
    "pipe of --y4m - ends the run the same way, with 0.";

std::atomic<int> g_interrupt{0};

void OnSignal(int signal) {
  if (g_interrupt.load() != 0) {
    _exit(128 + g_interrupt.load());  // asked twice: end now
  }
  g_interrupt.store(signal);
}

// A whole number from lo to hi, with the range written as people write it.
CLI::Validator Between(long lo, long hi) {
  return CLI::Validator(
      [lo, hi](std::string &text) -> std::string {
        long v = 0;
        size_t used = 0;
        try {
          v = std::stol(text, &used);
        } catch (...) {
          used = 0;
        }
        if (used == 0 || used != text.size() || v < lo || v > hi) {
          return "must be a whole number from " + Thousands(uint64_t(lo)) + " to " + Thousands(uint64_t(hi)) +
                 ", not " + text;
        }
        return std::string();
      },
      std::to_string(lo) + ".." + std::to_string(hi));
}

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
      unsigned long n = 0;
      if (!ParseWholeNumber(item.substr(eq + 1), 1, 1000000, &n)) {
        *why = "fault '" + item + "': N must be a whole number from 1 to 1,000,000";
        return false;
      }
      every = unsigned(n);
      item = item.substr(0, eq);
    }
    HostFault fault;
    if (item == "all") {
      // Each kind on frames of its own (as far as the period allows): on one frame together
      // the short packet would drop the frame and hide the others.
      for (unsigned f = 0; f < unsigned(HostFault::Count); ++f) {
        config->faultEvery[f] = every;
        config->faultOffset[f] = f;
      }
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
  app.footer(kExitCodes);
  std::string size = "320x240", format = "rgb24", faults, outDir = "out", y4m, contactSheet;
  std::vector<std::string> sources;
  SessionOptions o;
  o.frames = 60;
  LONG brightness = -1, contrast = -1, saturation = -1, sharpness = -1;
  bool png = false, quiet = false, exactSources = false, discard = false, keepOther = false;

  app.add_option("--size", size, "frame size: 160x120, 320x240 or 640x480")->capture_default_str();
  app.add_option("--format", format, "output format: rgb24, yuy2, i420 or mjpg")->capture_default_str();
  app.add_option("--frames", o.frames, "application frames to receive, 1 to 1,000,000")
      ->capture_default_str()
      ->check(Between(1, 1000000));
  app.add_option("--source", sources,
                 "image files or folders the camera sends instead of its built-in moving scene, used in order, "
                 "then again: a JPEG the driver decodes at the stream's size goes out byte for byte, any other "
                 "JPEG and PNG, BMP and PPM images are scaled and encoded as the camera's own pictures; other "
                 "files in a folder are skipped")
      ->expected(1, -1);
  app.add_flag("--exact-sources", exactSources, "refuse a JPEG source the driver cannot decode instead of re-encoding it");
  app.add_option("--brightness", brightness, "VideoProcAmp brightness, 0 to 100")->check(Between(0, 100));
  app.add_option("--contrast", contrast, "VideoProcAmp contrast, 0 to 100")->check(Between(0, 100));
  app.add_option("--saturation", saturation, "VideoProcAmp saturation, 0 to 100")->check(Between(0, 100));
  app.add_option("--sharpness", sharpness, "VideoProcAmp sharpness, 0 to 100")->check(Between(0, 100));
  app.add_option("--still-every", o.stillEvery, "trigger a still through the video-control property every N frames")
      ->check(Between(0, 1000000));
  app.add_option("--button-every", o.buttonEvery, "press the camera's snapshot button every N frames")
      ->check(Between(0, 1000000));
  app.add_option("--faults", faults,
                 "faults the camera injects, comma-separated, each every Nth frame with =N (default 7): short, "
                 "usb-error, corrupt, truncate, size, all");
  app.add_option("--settings", o.settingsFile,
                 "file keeping the device's registry hive across runs (the picture settings persist in it); a "
                 "file that is not a whole hive is refused and left as it is");
  app.add_option("--out", outDir,
                 "output folder; the files the earlier camsim run there listed in its .camsim-files are removed "
                 "first; files by the names camsim writes are refused unless --overwrite, any other files unless "
                 "--keep-other-files; a .camsim.lock keeps a second camsim out while it runs")
      ->capture_default_str();
  app.add_flag("--keep-other-files", keepOther, "write into an --out folder that holds files camsim did not write (they are left alone)");
  app.add_flag("--png", png, "also write every frame as PNG (YUY2 and I420 converted, MJPG decoded)");
  app.add_flag("--discard", discard, "write no frames: stream for measuring (frames per second then covers the "
                                     "camera, the class library and the driver only)");
  app.add_option("--y4m", y4m, "also write the stream as YUV4MPEG2 to FILE, or to standard output with - (then "
                               "every message goes to standard error): camsim --y4m - | ffplay -");
  app.add_flag("--realtime", o.realtime, "the camera sends at the stream's 30 frames per second, not as fast as it can");
  app.add_option("--contact-sheet", contactSheet, "write one PNG with every frame as a small numbered tile");
  app.add_option("--quality", o.camera.quality, "the camera's JPEG quality, 1 to 100")
      ->capture_default_str()
      ->check(Between(1, 100));
  app.add_option("--sampling", o.camera.sampling, "the camera's chroma sampling: 444, 422, 420 or 440")
      ->capture_default_str()
      ->check(CLI::IsMember({444, 422, 420, 440}));
  app.add_option("--restart-interval", o.camera.restartInterval, "the camera's restart interval in MCUs (0: none)")
      ->check(Between(0, 65535));
  app.add_flag("--quiet", quiet, "no progress line");
  app.add_option("--driver", o.driverImage,
                 "run the driver from this image (build/target/Torvane.sys) instead of the linked one; "
                 "32-bit host build only");
  std::string kernel = "host";
  app.add_option("--kernel", kernel,
                 "the NT kernel the driver runs on: host (this project's) or wine (the image installed from its INF "
                 "and streamed under Wine's kernel in a 32-bit prefix in the build folder; 32-bit host build only)")
      ->capture_default_str()
      ->check(CLI::IsMember({"host", "wine"}));
  bool imports = false;
  app.add_flag("--imports", imports, "with --driver: print how the image's imports were bound");
  // Files camsim did not write are never replaced unless asked: -y as in ffmpeg, -n the default.
  bool overwrite = false, neverOverwrite = false;
  unsigned fps = 0;
  auto *yes = app.add_flag("-y,--overwrite", overwrite,
                           "replace existing files named by --contact-sheet and --y4m, and files in --out with "
                           "names camsim writes that its earlier run there did not leave (default: refuse them)");
  app.add_flag("-n", neverOverwrite, "never replace an existing file (the default)")->excludes(yes);
  app.add_option("--fps", fps, "pace the run at N frames per second, 1 to 30 (implies --realtime; also the "
                               "frame rate in the YUV4MPEG2 headers)")
      ->check(Between(1, 30));
  std::string cpu;
  app.add_option("--cpu", cpu, "the processor the driver sees: sse2, mmx (no SSE or SSE2) or scalar (no MMX either)")
      ->check(CLI::IsMember({"sse2", "mmx", "scalar"}));
  app.set_version_flag("--version", VersionLine(), "print camsim's version and build date");
  // Asking the driver what it offers, without streaming.
  ListingOptions listing;
  bool listAll = false;
  app.add_flag("--list-formats", listing.formats,
               "list the pins and every data range the driver reports (format, size, frame interval, bit rate), "
               "then exit");
  app.add_flag("--list-controls", listing.controls,
               "list every device property set and item the driver advertises with its access, range, step, "
               "default and current value, then exit");
  app.add_flag("--all", listAll, "with nothing else: --list-formats and --list-controls");
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success &e) {  // --help, --version
    return app.exit(e) == 0 ? kExitDone : kExitUsage;
  } catch (const CLI::ParseError &e) {
    app.exit(e);
    return kExitUsage;
  }

  // The processor is chosen before the driver first runs CPUID (at its loading) and before any
  // thread exists.
  if (!cpu.empty()) {
    HostCpuForm form = HostCpuForm::Native;
    std::string cpuWhy;
    if (!HostCpu_ParseForm(cpu.c_str(), &form) || !HostCpu_Present(form, &cpuWhy)) {
      fprintf(stderr, "camsim: --cpu %s\n", cpuWhy.c_str());
      return kExitUsage;
    }
  }

  if (listAll) listing.formats = listing.controls = true;
  const bool wine = kernel == "wine";
  if (wine && !HostImage_Supported()) {
    fprintf(stderr, "camsim: --kernel wine runs only in the 32-bit host build (build/host32/tools/camsim)\n");
    return kExitUsage;
  }
  if (wine && (listing.formats || listing.controls)) {
    fprintf(stderr, "camsim: the listings ask the linked driver on the host; --kernel wine is for runs\n");
    return kExitUsage;
  }
  if (listing.formats || listing.controls) {
    if (!o.driverImage.empty()) {
      fprintf(stderr, "camsim: the listings ask the linked driver; --driver is for runs\n");
      return kExitUsage;
    }
    listing.settingsFile = o.settingsFile;
    std::string failure;
    if (!ListDevice(listing, stdout, &failure)) {
      fprintf(stderr, "camsim: failed: %s\n", failure.c_str());
      return kExitFailed;
    }
    return kExitDone;
  }

  // With the stream on standard output, every message goes to standard error.
  const bool y4mStdout = y4m == "-";
  std::FILE *msg = y4mStdout ? stderr : stdout;
  auto usage = [](const std::string &text) {
    fprintf(stderr, "camsim: %s\n", text.c_str());
    return kExitUsage;
  };

  if (!ParseSize(size, &o.width, &o.height)) return usage("--size must be 160x120, 320x240 or 640x480, not " + size);
  if (!OutputFormatFromName(format, &o.format)) return usage("--format must be rgb24, yuy2, i420 or mjpg, not " + format);
  if (!o.driverImage.empty() && !HostImage_Supported()) {
    return usage("--driver: driver images run only in the 32-bit host build (build/host32/tools/camsim)");
  }
  std::string why;
  if (!ParseFaults(faults, &o.camera, &why)) return usage("--faults: " + why);
  if (brightness >= 0) o.brightness = brightness;
  if (contrast >= 0) o.contrast = contrast;
  if (saturation >= 0) o.saturation = saturation;
  if (sharpness >= 0) o.sharpness = sharpness;

  if (y4mStdout && isatty(STDOUT_FILENO)) {
    return usage("--y4m - writes video to standard output: send it to a player (camsim --y4m - | ffplay -) or a file");
  }
  if (discard && !contactSheet.empty()) return usage("--contact-sheet needs the frames; it cannot go with --discard");
  if (discard && png) return usage("--png needs the frames; it cannot go with --discard");
  if (imports && o.driverImage.empty() && !wine) return usage("--imports reports a driver image's imports; give --driver with it");
  // Under Wine the driver is always an image: --driver, else the one this build was configured
  // with. The stand-ins are the target build's, beside it.
  WinePlaces places;
  if (wine) {
    why = WineRefusal(o, o.realtime || fps != 0, !cpu.empty(), imports);
    if (!why.empty()) return usage(why);
#ifdef TORVANE_CAMSIM_DRIVER_IMAGE
    places.driver = o.driverImage.empty() ? TORVANE_CAMSIM_DRIVER_IMAGE : o.driverImage;
#else
    places.driver = o.driverImage;
    if (places.driver.empty()) return usage("--kernel wine: give --driver (this build was configured without TORVANE_DRIVER_IMAGE)");
#endif
    o.driverImage.clear();  // the host does not run it
    places.standins = (std::filesystem::path(places.driver).parent_path() / "standins").string();
#ifdef TORVANE_CAMSIM_SOURCE_DIR
    places.inf = TORVANE_CAMSIM_SOURCE_DIR "/win/Torvane.inf";
    places.prefixScript = TORVANE_CAMSIM_SOURCE_DIR "/scripts/wine_prefix.sh";
#endif
#ifdef TORVANE_CAMSIM_WINE_PREFIX
    places.prefix = TORVANE_CAMSIM_WINE_PREFIX;
#endif
    if (!CheckDriverImage(places.driver, &why)) return usage("--driver: " + why);
  }
  if (fps != 0) {
    o.realtime = true;
    o.fps = fps;
  }
  // Everything that can be checked is checked before anything is removed, written or run.
  SourcePlan plan;
  if (!PlanSources(sources, o.width, o.height, exactSources, &plan, &why)) return usage(why);
  o.camera.sources = plan.files;
  o.camera.decodeJpegSources = plan.reencode;
  const std::string out = discard ? std::string() : outDir;
  const long holder = out.empty() ? -1 : FolderLockHolder(out);
  if (holder >= 0) {
    return usage("--out " + out + " is in use by another camsim (process " +
                 (holder > 0 ? std::to_string(holder) : std::string("unknown")) + "): wait for it to end, or name another folder");
  }
  std::error_code ec;
  for (const std::string &target : {contactSheet, y4m}) {
    for (const std::string &input : [&] { auto v = plan.files; v.push_back(o.settingsFile); return v; }()) {
      if (!target.empty() && target != "-" && !input.empty() && std::filesystem::equivalent(target, input, ec)) {
        return usage((target == contactSheet ? "--contact-sheet " : "--y4m ") + target + " is also an input (" +
                     input + "); name another file");
      }
    }
  }
  if (!contactSheet.empty() && contactSheet == y4m) return usage("--contact-sheet and --y4m name the same file " + y4m);
  if (!CheckSettingsFile(o.settingsFile, &why) || !CheckDriverImage(o.driverImage, &why) ||
      !(out.empty() || CheckOutputFolder(out, "--out", &why)) ||
      !CheckOutputFile(contactSheet, "--contact-sheet", overwrite, out, &why) ||
      !CheckOutputFile(y4m, "--y4m", overwrite, out, &why)) {
    return usage(why);
  }
  if (!out.empty()) {
    const std::string refusal = SurveyRefusal(out, SurveyFolder(out, {contactSheet, y4m}), overwrite, keepOther);
    if (!refusal.empty()) return usage(refusal);
  }
  why = CheckCameraSources(o.camera);
  if (!why.empty()) return usage(why);
  for (const std::string &line : plan.notices) fprintf(stderr, "camsim: %s\n", line.c_str());
  // Wine and 32-bit programs are there, and the prefix is made (once) before the folder is touched.
  WinePrefixLock prefixLock;
  if (wine) {
    bool unavailable = false;
    if (!prefixLock.Take(places.prefix, &why)) return usage(why);
    if (!PrepareWine(places, &unavailable, &why)) {
      if (!unavailable) fprintf(stderr, "camsim: %s\n", why.c_str());
      return kExitUsage;
    }
  }
  // The folder is camsim's from here to the end of the run.
  OutputGuard guard;
  if (!out.empty()) {
    size_t removed = 0;
    if (!guard.Claim(out, {contactSheet, y4m}, overwrite, keepOther, &removed, &why)) return usage(why);
    if (removed != 0) fprintf(stderr, "camsim: removed %zu files of an earlier run from %s\n", removed, out.c_str());
  }

  o.progress = quiet ? SessionOptions::Progress::None
                     : isatty(STDERR_FILENO) ? SessionOptions::Progress::Line : SessionOptions::Progress::Lines;
  o.interrupt = &g_interrupt;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a reader of the stream that goes away is seen as EPIPE on write

  SessionSummary summary;
  size_t files = 0;
  FrameTally tally;
  std::string writeError, readerGone;
  try {
    RunOutputOptions r;
    r.format = o.format;
    r.width = o.width;
    r.height = o.height;
    r.dir = discard ? std::string() : outDir;
    r.png = png;
    r.y4m = y4m;
    r.contactSheet = contactSheet;
    r.fps = o.fps;
    RunOutput output(r);
    auto take = [&](const HostFrame &frame, const FrameOrigin &origin) {
      try {
        output.Take(frame, origin);
        return true;
      } catch (const Y4mReaderGone &e) {
        readerGone = e.what();  // the end of a pipe: the run stops as an interrupted one does
        return false;
      } catch (const std::exception &e) {
        writeError = e.what();
        return false;
      }
    };
    summary = wine ? RunWineSession(o, places, take) : RunSession(o, take);
    tally = output.Tally();
    files = output.FileCount();
    output.Finish();
  } catch (const std::exception &e) {
    if (writeError.empty()) writeError = e.what();
  }
  std::string sealError;
  if (!guard.Seal(&sealError) && writeError.empty()) writeError = sealError;
  if (summary.frames == 0 && summary.cameraFrames == 0 && (!writeError.empty() || !NT_SUCCESS(summary.status))) {
    // Nothing ran: the reason alone, not a summary of zeros. A file that could not be made or a
    // source that could not be read is the command line's; a request that failed is the run's.
    const std::string &reason = writeError.empty() ? summary.failure : writeError;
    fprintf(stderr, "camsim: failed before streaming: %s\n", reason.c_str());
    return writeError.empty() && summary.status != STATUS_INVALID_IMAGE_FORMAT ? kExitFailed : kExitUsage;
  }

  const HostStreamStats &s = summary.stream;
  const std::string sizeText = std::to_string(o.width) + "x" + std::to_string(o.height);
  fprintf(msg, "camsim: %s %s, %u of %u frames%s\n", sizeText.c_str(), OutputFormatName(o.format), summary.frames,
          o.frames,
          discard ? " (discarded, not written)"
                  : (" into " + outDir + " (" + std::to_string(files) + " files, frames.tsv lists them)").c_str());
  PrintFrameAccount(msg, summary, tally, !discard, o.format == OutputFormat::Mjpg, !wine);
  fprintf(msg, "  camera: %llu frames begun; class library: %llu assembled, %llu handed to the driver\n",
          (unsigned long long)summary.cameraFrames, (unsigned long long)s.assembled, (unsigned long long)s.delivered);
  fprintf(msg, "  dropped by the class library: %llu (%llu damaged on the way (short packet or USB error), %llu "
               "larger than the driver's raw frame buffer of %s bytes, %llu with no read request waiting); "
               "%llu pipe restarts\n",
          (unsigned long long)(s.dropped + s.overflow + s.noBuffer), (unsigned long long)s.dropped,
          (unsigned long long)s.overflow, Thousands(summary.rawFrameLength).c_str(), (unsigned long long)s.noBuffer,
          (unsigned long long)s.restarts);
  fprintf(msg, "  cut off at stop: %llu frame(s) the camera was sending (not an error); stills the class library "
               "marked: %llu\n",
          (unsigned long long)s.abandoned, (unsigned long long)s.stills);
  fprintf(msg, "  settings at stop: brightness %d, contrast %d, saturation %d, sharpness %d%s\n",
          (int)summary.settings[0], (int)summary.settings[1], (int)summary.settings[2], (int)summary.settings[3],
          o.settingsFile.empty() ? "" : (", kept in " + o.settingsFile).c_str());
  fprintf(msg, "  %.1f frames per second (%.2f s streaming%s)\n", summary.fps, summary.seconds,
          ((discard ? ", frames not written" : "") +
           (o.realtime ? ", paced at " + std::to_string(o.fps) + " per second" : std::string())).c_str());
  if (wine) {
    fprintf(msg, "  kernel: Wine (%s), prefix %s; driver %s installed from its INF\n", WineVersion().c_str(),
            places.prefix.c_str(), places.driver.c_str());
  } else {
    fprintf(msg, "  pool: peak %zu bytes, %zu blocks left allocated after unload\n", summary.peakPoolBytes,
            summary.poolBlocksLeft);
  }
  if (!summary.image.empty()) {
    size_t firstLine = summary.image.find('\n') + 1;
    fprintf(msg, "  driver image: %s", imports ? summary.image.c_str() : summary.image.substr(0, firstLine).c_str());
    fprintf(msg, "  deepest stack use per entry point:\n%s", summary.stackUse.c_str());
  }
  if (!contactSheet.empty() && writeError.empty()) fprintf(msg, "  contact sheet: %s\n", contactSheet.c_str());
  if (summary.poolBlocksLeft != 0) fprintf(msg, "%s", summary.poolReport.c_str());

  if (summary.interruptedBy != 0) {
    fprintf(stderr, "camsim: interrupted by %s after %u frames; the stream was stopped and the settings saved\n",
            summary.interruptedBy == SIGINT ? "Ctrl-C (SIGINT)" : "SIGTERM", summary.frames);
  }
  if (!readerGone.empty()) {
    fprintf(stderr, "camsim: %s after %u frames; the stream was stopped and the settings saved\n", readerGone.c_str(),
            summary.frames);
  }
  int rc = kExitDone;
  if (!writeError.empty()) {
    fprintf(stderr, "camsim: failed: %s\n", writeError.c_str());
    rc = kExitFailed;
  }
  if (!NT_SUCCESS(summary.status)) {
    fprintf(stderr, "camsim: failed: %s\n", summary.failure.c_str());
    rc = kExitFailed;
  }
  if (summary.poolBlocksLeft != 0) {
    fprintf(stderr, "camsim: failed: %zu pool blocks were left allocated\n", summary.poolBlocksLeft);
    rc = kExitFailed;
  }
  if (rc == kExitDone && summary.interruptedBy != 0) rc = 128 + summary.interruptedBy;
  return rc;
}
