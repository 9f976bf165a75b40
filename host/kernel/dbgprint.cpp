// DbgPrint on the host: printf formatting into a captured log that tests read line by line.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "host_kernel.h"

namespace {

struct DbgLog {
  std::mutex lock;
  std::vector<std::string> lines;
  std::string pending;
};

// Never destroyed: system threads may still print while the process exits.
DbgLog &Log() {
  static DbgLog *log = new DbgLog;
  return *log;
}

bool EchoRequested() {
  static const bool echo = [] {
    const char *v = getenv("TORVANE_DBGPRINT");
    return v != nullptr && v[0] != '\0' && strcmp(v, "0") != 0;
  }();
  return echo;
}

}  // namespace

ULONG __cdecl DbgPrint(PCSTR Format, ...) {
  // The kernel's debug print formats at most 512 characters per call.
  char text[512];
  va_list args;
  va_start(args, Format);
  vsnprintf(text, sizeof(text), Format, args);
  va_end(args);

  DbgLog &log = Log();
  std::lock_guard<std::mutex> guard(log.lock);
  if (EchoRequested()) {
    fputs(text, stderr);
  }
  for (const char *p = text; *p != '\0'; ++p) {
    if (*p == '\n') {
      log.lines.push_back(std::move(log.pending));
      log.pending.clear();
    } else {
      log.pending.push_back(*p);
    }
  }
  return STATUS_SUCCESS;
}

std::vector<std::string> HostDbg_Lines() {
  DbgLog &log = Log();
  std::lock_guard<std::mutex> guard(log.lock);
  return log.lines;
}

std::string HostDbg_PendingText() {
  DbgLog &log = Log();
  std::lock_guard<std::mutex> guard(log.lock);
  return log.pending;
}

size_t HostDbg_Count(std::string_view substring) {
  DbgLog &log = Log();
  std::lock_guard<std::mutex> guard(log.lock);
  size_t n = 0;
  for (const std::string &line : log.lines) {
    if (line.find(substring) != std::string::npos) {
      ++n;
    }
  }
  return n;
}

void HostDbg_Clear() {
  DbgLog &log = Log();
  std::lock_guard<std::mutex> guard(log.lock);
  log.lines.clear();
  log.pending.clear();
}
