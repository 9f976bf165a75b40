// camsim --kernel wine: the driver image installed from its INF and streamed under Wine's kernel
// (a 32-bit prefix in the build folder) with the stand-in stream class and camera class library
// of the target build, driven by the Windows test program in its camsim mode. The camera's
// isochronous slots are made here by the simulated camera, as the host's class library would
// get them, and replayed under Wine through the driver's packet path; what the stand-in class
// library records of each raw frame comes back with every read, so frames.tsv describes the
// frames Wine's run produced.
#pragma once

#include <functional>
#include <string>

#include "session.h"

struct WinePlaces {
  std::string driver;        // the driver image (Torvane.sys)
  std::string standins;      // stream.sys, Kelvane.sys and torvane_wine.exe
  std::string inf;           // win/Torvane.inf
  std::string prefixScript;  // scripts/wine_prefix.sh
  std::string prefix;        // the Wine prefix, made on first use
};

// Why these options cannot run under Wine ("" when they can): checked before anything runs.
std::string WineRefusal(const SessionOptions &o, bool realtime, bool cpu, bool imports);

// One Wine run at a time in a prefix (camsim's and the Wine stage's): an exclusive lock on
// PREFIX.lock, held until the object goes; a run that finds it taken says so and waits.
class WinePrefixLock {
 public:
  WinePrefixLock() = default;
  ~WinePrefixLock();
  WinePrefixLock(const WinePrefixLock &) = delete;
  WinePrefixLock &operator=(const WinePrefixLock &) = delete;
  bool Take(const std::string &prefix, std::string *why);

 private:
  int fd_ = -1;
};

// "wine-8.0 (Debian 8.0~repack-4)", or "version unknown".
std::string WineVersion();

// The stand-ins and the INF are there, and Wine can run 32-bit programs: the prefix is made
// (with its progress on standard error) or found. False with the reason in *why; *unavailable
// when Wine or 32-bit programs are missing (the script said so in one line).
bool PrepareWine(const WinePlaces &places, bool *unavailable, std::string *why);

// The run under Wine; the same contract as RunSession.
SessionSummary RunWineSession(const SessionOptions &options, const WinePlaces &places,
                              const std::function<bool(const HostFrame &, const FrameOrigin &)> &onFrame);
