// Running the independent readers the camsim tests check files with (ffprobe, ffmpeg) and the
// camsim program itself.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace camsim_test {

using Bytes = std::vector<uint8_t>;

inline Bytes ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs a shell command and returns its exit status; its standard output lands in *out.
inline int Run(const std::string &command, Bytes *out) {
  out->clear();
  std::FILE *p = popen(command.c_str(), "r");
  if (p == nullptr) {
    return -1;
  }
  uint8_t buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) {
    out->insert(out->end(), buffer, buffer + n);
  }
  int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string Quote(const std::string &s) { return "'" + s + "'"; }

inline bool HaveFfmpeg() { return access("/usr/bin/ffprobe", X_OK) == 0 && access("/usr/bin/ffmpeg", X_OK) == 0; }

#define REQUIRE_FFMPEG()                                                               \
  do {                                                                                 \
    if (!HaveFfmpeg()) {                                                               \
      GTEST_SKIP() << "/usr/bin/ffprobe or /usr/bin/ffmpeg missing (install ffmpeg)"; \
    }                                                                                  \
  } while (0)

// ffprobe's view of the first video stream: key=value lines into a map.
inline std::map<std::string, std::string> Probe(const std::string &path) {
  Bytes out;
  int rc = Run("/usr/bin/ffprobe -v error -count_frames -select_streams v:0 -show_entries "
               "stream=width,height,nb_read_frames,pix_fmt -of default=noprint_wrappers=1 " +
                   Quote(path),
               &out);
  std::map<std::string, std::string> fields;
  if (rc != 0) {
    return fields;
  }
  std::istringstream lines(std::string(out.begin(), out.end()));
  std::string line;
  while (std::getline(lines, line)) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) {
      fields[line.substr(0, eq)] = line.substr(eq + 1);
    }
  }
  return fields;
}


}  // namespace camsim_test
