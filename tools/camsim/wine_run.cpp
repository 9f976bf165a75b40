#include "wine_run.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "../../tests/wine/slot_writer.h"
#include "host_image.h"
#include "host_kernel.h"
#include "host_registry.h"
#include "host_stack.h"
#include "lumarex.h"
#include "preflight.h"

namespace fs = std::filesystem;

namespace {

// The stage folder in the prefix: C:\camsim.
constexpr const char *kStageName = "camsim";

void Fail(SessionSummary *s, NTSTATUS status, const std::string &what) {
  if (NT_SUCCESS(s->status)) {
    s->status = status;
    s->failure = what;
  }
}

std::string Quote(const std::string &text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

bool WriteBytes(const fs::path &path, const void *data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char *>(data), std::streamsize(size));
  return bool(out);
}

std::string ReadBytes(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

uint32_t U32(const std::string &b, size_t at) {
  return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 | uint32_t(uint8_t(b[at + 2])) << 16 |
         uint32_t(uint8_t(b[at + 3])) << 24;
}
uint64_t U64(const std::string &b, size_t at) { return U32(b, at) | uint64_t(U32(b, at + 4)) << 32; }

// The driver's answers the run needs from the image itself, on the host: the format record its
// data intersection gives for the size (and the allocation format of the other outputs), and
// the raw frame length its bandwidth allocation asks for. The image is loaded, asked and
// unloaded again before Wine starts.
NTSTATUS AskImage(const SessionOptions &o, const std::string &driver, std::vector<uint8_t> *format,
                  std::vector<uint8_t> *allocation, ULONG *rawFrameLength, std::string *why) {
  static struct {
    uint8_t bytes[168];
  } driverObject;
  std::string error;
  std::unique_ptr<HostImage> image = HostImage::Load(driver, {}, &error);
  if (!image) {
    *why = "loading the driver image: " + error;
    return STATUS_INVALID_IMAGE_FORMAT;
  }
  HostStack_Reset();
  UNICODE_STRING registryPath;
  RtlInitUnicodeString(&registryPath, LUMAREX_WIDE("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Torvane"));
  NTSTATUS status = image->EntryPoint()(reinterpret_cast<PDRIVER_OBJECT>(&driverObject), &registryPath);
  bool ok = NT_SUCCESS(status);
  if (!ok) *why = "DriverEntry failed on the host: " + StatusText(status);
  if (ok) {
    HostSimCamera camera;
    HostCameraDevice device(camera);
    status = device.Arrive();
    ok = NT_SUCCESS(status);
    if (!ok) *why = "the device arrival failed on the host: " + StatusText(status);
    if (ok) ok = NegotiateFormat(device, o.width, o.height, o.format, format, allocation, why);
    std::unique_ptr<HostAppStream> stream;
    if (ok) {
      stream = device.OpenStream(0, *format, &status);
      ok = stream != nullptr;
      if (!ok) *why = "the driver refused to open the stream on the host: " + StatusText(status);
    }
    if (ok) {
      stream->SetAllocationFormat(*allocation);
      status = stream->SetState(KSSTATE_ACQUIRE);
      *rawFrameLength = stream->Stats().rawFrameLength;
      stream->SetState(KSSTATE_STOP);
      stream->Close();
    }
    device.Remove(false);
    HostRegistry_ForgetDevice(device.PhysicalDeviceObject());
  }
  HostUsbcamd_UnloadDriver();
  if (!HostThreads_WaitAllExited(5000)) {
    image.release();  // a thread still runs in it: never unmapped
  }
  return ok ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// The simulated camera's slots from its capture start, enough for the reads however many frames
// faults make the class library or the driver drop (the pump waits for a read at every finished
// frame, so slots not needed are never sent), with the camera's note of every frame.
std::vector<HostIsoSlot> RecordSlots(const SessionOptions &o, std::vector<HostCameraFrameNote> *notes,
                                     std::vector<std::string> *sources) {
  HostSimCamera camera;
  HostCameraStreamConfig config = o.camera;
  config.frameNotes = true;
  camera.ConfigureStream(config);
  *sources = camera.SourcePaths();
  HostUsbRequest start;
  start.kind = HostUsbRequest::Control;
  start.value = USHORT((o.width / 16) << 8 | 0x40);  // the capture-start command: 10, 20 or 40 for the size
  camera.Serve(start);
  // Frames without faults reach the application whatever the driver makes of faulty ones; as
  // many of them as reads and a few more, at least twice as many frames as reads, at most eight
  // times as many (a camera that spoils nearly every frame fails on the host too).
  std::vector<HostIsoSlot> slots;
  const uint64_t reads = o.frames;
  uint64_t clean = 0;
  while ((clean < reads + 8 || camera.FramesSent() <= 2 * reads + 8) && camera.FramesSent() <= 8 * reads + 64) {
    HostIsoSlot slot;
    camera.NextSlot(slot);
    slots.push_back(std::move(slot));
    for (const HostCameraFrameNote &n : camera.TakeFrameNotes()) {
      clean += n.faults == 0;
      notes->push_back(n);
    }
  }
  return slots;
}

// The Settings values of a camsim hive file, as "NAME VALUE" lines (REG_DWORD values).
bool HiveSettings(const std::string &file, std::string *lines, std::string *why) {
  static int key;  // the hive is held under a device of its own while it is read
  auto *device = reinterpret_cast<PDEVICE_OBJECT>(&key);
  if (!HostRegistry_LoadHive(device, file, why)) return false;
  for (const std::string &name : HostRegistry_ValueNames(device, "Settings")) {
    if (auto value = HostRegistry_GetDword(device, "Settings", name)) *lines += name + " " + std::to_string(*value) + "\n";
  }
  HostRegistry_ForgetDevice(device);
  return true;
}

// The settings the driver saved under Wine go into the hive file (an empty or new file becomes
// a hive holding them); *settings gets brightness, contrast, saturation and sharpness.
bool SaveSettings(const std::string &file, const std::string &lines, LONG *settings, std::string *why) {
  static int key;
  auto *device = reinterpret_cast<PDEVICE_OBJECT>(&key);
  if (!file.empty() && fs::exists(file) && fs::file_size(file) != 0 && !HostRegistry_LoadHive(device, file, why)) {
    return false;
  }
  static const char *const kNames[4] = {"Brightness", "Contrast", "Saturation", "Sharpness"};
  std::istringstream in(lines);
  std::string name;
  unsigned long value;
  while (in >> name >> value) {
    HostRegistry_SetDword(device, "Settings", name, uint32_t(value));
    for (int i = 0; i < 4; ++i) {
      if (name == kNames[i]) settings[i] = LONG(value);
    }
  }
  bool ok = file.empty() || HostRegistry_SaveHive(device, file);
  if (!ok) *why = "the settings file " + file + " cannot be written";
  HostRegistry_ForgetDevice(device);
  return ok;
}

HostRawFrameRecord Record(const std::string &b, size_t at) {
  HostRawFrameRecord r;
  r.index = U64(b, at);
  r.cameraFrame = U64(b, at + 8);
  const uint32_t fate = U32(b, at + 16);
  r.fate = fate <= HostRawFrameRecord::Abandoned ? HostRawFrameRecord::Fate(fate) : HostRawFrameRecord::Dropped;
  r.still = U32(b, at + 20) != 0;
  r.bytes = U32(b, at + 24);
  r.packets = U32(b, at + 28);
  return r;
}

void Count(HostStreamStats *s, const HostRawFrameRecord &r) {
  switch (r.fate) {
    case HostRawFrameRecord::Delivered:
      ++s->delivered;
      if (r.still) ++s->stills;
      break;
    case HostRawFrameRecord::Dropped: ++s->dropped; break;
    case HostRawFrameRecord::Overflow: ++s->overflow; break;
    case HostRawFrameRecord::NoBuffer: ++s->noBuffer; break;
    case HostRawFrameRecord::Abandoned: ++s->abandoned; break;
  }
  if (r.fate != HostRawFrameRecord::Abandoned) ++s->assembled;
}

}  // namespace

WinePrefixLock::~WinePrefixLock() {
  if (fd_ >= 0) close(fd_);
}

bool WinePrefixLock::Take(const std::string &prefix, std::string *why) {
  std::error_code ec;
  fs::create_directories(fs::path(prefix).parent_path(), ec);
  const std::string file = prefix + ".lock";
  fd_ = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    *why = "--kernel wine: cannot open " + file + ": " + strerror(errno);
    return false;
  }
  if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
  fprintf(stderr, "camsim: waiting for another Wine run in %s to end\n", prefix.c_str());
  if (flock(fd_, LOCK_EX) == 0) return true;
  *why = "--kernel wine: cannot lock " + file + ": " + strerror(errno);
  return false;
}

std::string WineVersion() {
  std::string text;
  if (FILE *pipe = popen("wine --version 2>/dev/null", "r")) {
    char line[128];
    if (fgets(line, sizeof(line), pipe) != nullptr) text = line;
    pclose(pipe);
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text.empty() ? "version unknown" : text;
}

std::string WineRefusal(const SessionOptions &o, bool realtime, bool cpu, bool imports) {
  if (realtime) return "--realtime and --fps cannot run under Wine (the run is paced by Wine's driver host)";
  if (cpu) return "--cpu cannot run under Wine (the driver sees the processor Wine runs on)";
  if (imports) return "--imports reports the host's binding of the image; under Wine, Wine's loader binds it";
  if (o.frames > 2000) return "--frames above 2,000 cannot run under Wine yet (the camera's slots are handed over at once)";
  return "";
}

bool PrepareWine(const WinePlaces &p, bool *unavailable, std::string *why) {
  *unavailable = false;
  for (const std::string &file : {p.standins + "/stream.sys", p.standins + "/Kelvane.sys",
                                  p.standins + "/torvane_wine.exe", p.inf, p.prefixScript}) {
    if (!fs::exists(file)) {
      *why = "--kernel wine needs " + file + " (build the target build: cmake --build build/target)";
      return false;
    }
  }
  // The script says in one line why Wine cannot run, with status 2, and shows the prefix's
  // making: its lines as camsim's, its status last.
  int code = 1;
  const std::string command = Quote(p.prefixScript) + " " + Quote(p.prefix) + " 2 2>&1 >/dev/null; echo \"status $?\"";
  if (FILE *pipe = popen(command.c_str(), "r")) {
    char line[512];
    while (fgets(line, sizeof(line), pipe) != nullptr) {
      if (sscanf(line, "status %d", &code) == 1) continue;
      fprintf(stderr, "camsim: %s%s", strncmp(line, "wine: ", 6) == 0 ? "--kernel wine: " : "",
              strncmp(line, "wine: ", 6) == 0 ? line + 6 : line);
    }
    pclose(pipe);
  }
  if (code == 2) {
    *unavailable = true;
    *why = "--kernel wine cannot run here (the line above says why)";
    return false;
  }
  if (code != 0) {
    *why = "--kernel wine: the Wine prefix " + p.prefix + " could not be made (see " + p.prefix + ".log)";
    return false;
  }
  return true;
}

SessionSummary RunWineSession(const SessionOptions &o, const WinePlaces &p,
                              const std::function<bool(const HostFrame &, const FrameOrigin &)> &onFrame) {
  SessionSummary summary;
  std::vector<uint8_t> format, allocation;
  std::string why;
  NTSTATUS asked = AskImage(o, p.driver, &format, &allocation, &summary.rawFrameLength, &why);
  if (!NT_SUCCESS(asked)) {
    Fail(&summary, asked, why);
    return summary;
  }
  std::string settingsIn;
  if (!o.settingsFile.empty() && fs::exists(o.settingsFile) && fs::file_size(o.settingsFile) != 0 &&
      !HiveSettings(o.settingsFile, &settingsIn, &why)) {
    Fail(&summary, STATUS_UNSUCCESSFUL, "the settings file " + o.settingsFile + " cannot be read: " + why);
    return summary;
  }
  std::vector<HostCameraFrameNote> notes;
  std::vector<std::string> sources;
  const std::vector<HostIsoSlot> slots = RecordSlots(o, &notes, &sources);

  // The stage folder C:\camsim of the prefix: the INF and the drivers as a driver package, the
  // camera input and the run's parameters.
  const fs::path stage = fs::path(p.prefix) / "drive_c" / kStageName;
  std::error_code ec;
  fs::remove_all(stage, ec);
  fs::create_directories(stage, ec);
  const ULONG bufferBytes = ULONG(o.width) * ULONG(o.height) * 3;  // what the driver reports for every format
  std::ostringstream run;
  run << "frames " << o.frames << "\nbuffer " << bufferBytes << "\nstill-every " << o.stillEvery << "\nbutton-every "
      << o.buttonEvery << "\n";
  const std::pair<const char *, std::optional<LONG>> controls[] = {
      {"brightness", o.brightness}, {"contrast", o.contrast}, {"saturation", o.saturation}, {"sharpness", o.sharpness}};
  for (const auto &[name, value] : controls) {
    if (value) run << name << " " << *value << "\n";
  }
  const std::string slotFile = TorvaneSlotFile(slots), runText = run.str();
  bool staged = !ec;
  for (const auto &[from, to] : {std::pair<std::string, std::string>{p.inf, "Torvane.inf"},
                                 {p.driver, "Torvane.sys"},
                                 {p.standins + "/stream.sys", "stream.sys"},
                                 {p.standins + "/Kelvane.sys", "Kelvane.sys"},
                                 {p.standins + "/torvane_wine.exe", "torvane_wine.exe"}}) {
    staged = staged && fs::copy_file(from, stage / to, fs::copy_options::overwrite_existing, ec);
  }
  staged = staged && WriteBytes(stage / "slots.bin", slotFile.data(), slotFile.size()) &&
           WriteBytes(stage / "format.bin", format.data(), format.size()) &&
           (allocation.empty() || WriteBytes(stage / "allocation.bin", allocation.data(), allocation.size())) &&
           WriteBytes(stage / "camsim.txt", runText.data(), runText.size()) &&
           (settingsIn.empty() || WriteBytes(stage / "settings_in.txt", settingsIn.data(), settingsIn.size()));
  if (!staged) {
    Fail(&summary, STATUS_UNSUCCESSFUL, "the files for Wine cannot be written into " + stage.string());
    return summary;
  }

  // One run of the Windows test program; the driver host process ends a few seconds after it,
  // and a run ended early can have left one holding the drivers.
  const std::string env = "WINEPREFIX=" + Quote(p.prefix) + " WINEARCH=win32 ";
  std::system((env + "wineserver -k >/dev/null 2>&1; " + env + "wineserver -w >/dev/null 2>&1").c_str());
  // In a session of its own, away from the terminal's Ctrl-C: an interrupted camsim asks the
  // program to end its reads (a file "stop" in the stage folder), and it stops the stream and
  // saves the settings as usual.
  const std::string command = "exec setsid env " + env + "WINEDEBUG=warn+debugstr wine 'C:\\" + kStageName + "\\torvane_wine.exe' 'C:\\" +
                              kStageName + "' --camsim 2>" + Quote((stage / "wine.log").string());
  auto start = std::chrono::steady_clock::now();
  auto lastProgress = start;
  std::string lines;

  // Every read, with the frame log since the read before, taken as the program writes it;
  // camera frames are followed to the application as on the host.
  FrameOrigins origins(sources, o.format == OutputFormat::Mjpg);
  std::ifstream framesIn;
  std::string pending;    // bytes of camsim_frames.bin not yet taken
  uint64_t consumed = 0;  // bytes of it read so far
  size_t nextNote = 0;
  uint64_t rawIndex = 0, lastCamera = 0;
  bool lastStill = false, ended = false;  // ended: no more frames are taken (a failure, or the caller's)
  ULONG lastBytes = 0;
  auto takeFrames = [&]() {
    if (!framesIn.is_open()) framesIn.open(stage / "camsim_frames.bin", std::ios::binary);
    if (!framesIn.is_open()) return;
    framesIn.clear();
    framesIn.seekg(0, std::ios::end);
    const uint64_t size = uint64_t(framesIn.tellg());
    if (size > consumed) {
      framesIn.seekg(std::streamoff(consumed));
      std::string more(size_t(size - consumed), '\0');
      framesIn.read(more.data(), std::streamsize(more.size()));
      more.resize(size_t(framesIn.gcount()));
      consumed += more.size();
      pending += more;
    }
    size_t at = 0;
    while (!ended && at + 36 <= pending.size()) {
      const uint32_t logBytes = U32(pending, at + 32);
      if (logBytes % 32 != 0) {
        Fail(&summary, STATUS_UNSUCCESSFUL, "camsim_frames.bin from Wine is not whole");
        ended = true;
        break;
      }
      if (at + 36 + logBytes + bufferBytes > pending.size()) break;  // the rest comes later
      HostFrame frame;
      frame.status = NTSTATUS(U32(pending, at));
      frame.dataUsed = U32(pending, at + 4);
      frame.timeValid = (U32(pending, at + 8) & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) != 0;
      frame.presentationTime = LONGLONG(U64(pending, at + 16));
      std::vector<HostRawFrameRecord> log;
      for (size_t r = 0; r < logBytes; r += 32) {
        log.push_back(Record(pending, at + 36 + r));
        Count(&summary.stream, log.back());
        lastCamera = std::max(lastCamera, log.back().cameraFrame);
        if (log.back().fate == HostRawFrameRecord::Delivered) {
          rawIndex = log.back().index;
          lastStill = log.back().still;
          lastBytes = log.back().bytes;
        }
      }
      const char *data = pending.data() + at + 36 + logBytes;
      frame.data.assign(data, data + bufferBytes);
      at += 36 + logBytes + bufferBytes;
      frame.sequence = summary.frames + 1;
      // The read was filled from the newest raw frame the class library delivered.
      if (NT_SUCCESS(frame.status)) {
        frame.info.rawIndex = rawIndex;
        frame.info.rawBytes = lastBytes;
        frame.info.still = lastStill;
      }
      std::vector<HostCameraFrameNote> begun;
      while (nextNote < notes.size() && notes[nextNote].sequence <= lastCamera) begun.push_back(notes[nextNote++]);
      origins.Add(begun, log);
      if (!NT_SUCCESS(frame.status)) {
        Fail(&summary, frame.status, "a read request failed under Wine: " + StatusText(frame.status));
        ended = true;
        break;
      }
      ++summary.frames;
      if (frame.info.still) ++summary.stills;
      if (!onFrame(frame, origins.For(frame))) ended = true;
    }
    pending.erase(0, at);
  };

  if (FILE *pipe = popen(command.c_str(), "r")) {
    char line[512];
    bool stopAsked = false;
    for (;;) {
      const bool got = fgets(line, sizeof(line), pipe) != nullptr;
      if (!got) {
        if (!(ferror(pipe) && errno == EINTR)) break;
        clearerr(pipe);  // a signal: asked to stop
      }
      if (!stopAsked && o.interrupt != nullptr && o.interrupt->load() != 0) summary.interruptedBy = o.interrupt->load();
      if (!stopAsked && (summary.interruptedBy != 0 || ended)) {
        stopAsked = true;
        WriteBytes(stage / "stop", "", 0);
      }
      if (!got) continue;
      lines += line;
      unsigned k = 0;
      if (strncmp(line, "stream state 3:", 15) == 0) start = lastProgress = std::chrono::steady_clock::now();  // RUN
      if (sscanf(line, "frame %u:", &k) != 1) {
        if (strncmp(line, "torvane_wine: FAILED", 20) == 0) fprintf(o.notices, "camsim: Wine: %s", line + 14);
        continue;
      }
      takeFrames();
      auto now = std::chrono::steady_clock::now();
      summary.seconds = std::chrono::duration<double>(now - start).count();  // from RUN to the last frame
      const bool progressLine = o.progress == SessionOptions::Progress::Line;
      const auto every = progressLine ? std::chrono::milliseconds(250) : std::chrono::milliseconds(5000);
      if (o.progress != SessionOptions::Progress::None && (now - lastProgress > every || k == 1 || k == o.frames)) {
        lastProgress = now;
        fprintf(stderr, progressLine ? "\rcamsim: %s (Wine) \033[K" : "camsim: %s (Wine)\n",
                ProgressText(k, o.frames, std::chrono::duration<double>(now - start).count()).c_str());
        fflush(stderr);
      }
    }
    const int status = pclose(pipe);
    if (o.progress == SessionOptions::Progress::Line) fprintf(stderr, "\n");
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      Fail(&summary, STATUS_UNSUCCESSFUL,
           "the Windows test program under Wine failed (its lines and Wine's log are in " + stage.string() + ")");
    }
  } else {
    Fail(&summary, STATUS_UNSUCCESSFUL, "wine could not be started");
  }
  takeFrames();
  WriteBytes(stage / "torvane_wine.out", lines.data(), lines.size());
  std::system(("timeout 60 env " + env + "wineserver -w >/dev/null 2>&1 || " + env + "wineserver -k").c_str());

  if (summary.frames < o.frames && NT_SUCCESS(summary.status) && summary.interruptedBy == 0 && !ended) {
    Fail(&summary, STATUS_UNSUCCESSFUL,
         "Wine's run gave " + std::to_string(summary.frames) + " of " + std::to_string(o.frames) +
             " frames (its lines and Wine's log are in " + stage.string() + ")");
  }
  // Triggers and presses after every Nth frame but the last, as on the host.
  if (o.stillEvery != 0) summary.triggersSent = (summary.frames - (summary.frames == o.frames)) / o.stillEvery;
  if (o.buttonEvery != 0) summary.pressesSent = (summary.frames - (summary.frames == o.frames)) / o.buttonEvery;
  // What the stop cut off.
  const std::string end = ReadBytes(stage / "camsim_log_end.bin");
  std::vector<HostRawFrameRecord> endLog;
  for (size_t r = 0; r + 32 <= end.size(); r += 32) {
    endLog.push_back(Record(end, r));
    Count(&summary.stream, endLog.back());
    lastCamera = std::max(lastCamera, endLog.back().cameraFrame);
  }
  summary.cameraFrames = lastCamera;
  std::vector<HostCameraFrameNote> begun;
  while (nextNote < notes.size() && notes[nextNote].sequence <= lastCamera) begun.push_back(notes[nextNote++]);
  origins.Add(begun, endLog);
  for (unsigned f = 0; f < unsigned(HostFault::Count); ++f) summary.faultsInjected[f] = origins.Injected()[f];
  summary.fps = summary.seconds > 0 ? summary.frames / summary.seconds : 0;

  // The settings the driver saved in its driver key come back into the settings file.
  const std::string settingsOut = ReadBytes(stage / "settings_out.txt");
  if (!SaveSettings(o.settingsFile, settingsOut, summary.settings, &why)) Fail(&summary, STATUS_UNSUCCESSFUL, why);
  return summary;
}
