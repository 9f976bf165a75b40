// Running programs for the camsim tests: camsim itself and the independent readers its files are
// checked with (ffprobe, ffmpeg).
#pragma once

#include <sys/wait.h>
#include <unistd.h>

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

inline std::string Quote(const std::string &s) { return "'" + s + "'"; }

// Runs a shell command: its exit status, with its standard output in *out.
inline int Run(const std::string &command, Bytes *out) {
  out->clear();
  std::FILE *p = popen(command.c_str(), "r");
  uint8_t buffer[65536];
  for (size_t n; p != nullptr && (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) out->insert(out->end(), buffer, buffer + n);
  int status = p != nullptr ? pclose(p) : -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

#define REQUIRE_FFMPEG()                                                              \
  if (access("/usr/bin/ffprobe", X_OK) != 0 || access("/usr/bin/ffmpeg", X_OK) != 0) \
  GTEST_SKIP() << "/usr/bin/ffprobe or /usr/bin/ffmpeg missing (install ffmpeg)"

// ffprobe's view of the first video stream: width, height, nb_read_frames, pix_fmt.
inline std::map<std::string, std::string> Probe(const std::string &path) {
  Bytes out;
  Run("/usr/bin/ffprobe -v error -count_frames -select_streams v:0 -show_entries "
      "stream=width,height,nb_read_frames,pix_fmt -of default=noprint_wrappers=1 " + Quote(path), &out);
  std::map<std::string, std::string> fields;
  std::istringstream lines(std::string(out.begin(), out.end()));
  for (std::string line; std::getline(lines, line);) {
    if (line.find('=') != std::string::npos) fields[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
  }
  return fields;
}

// Every frame of the file as ffmpeg decodes it into the pixel format, concatenated; empty when
// ffmpeg cannot read it.
inline Bytes Decode(const std::string &path, const std::string &pixFmt) {
  Bytes out;
  if (Run("/usr/bin/ffmpeg -nostdin -v error -i " + Quote(path) + " -f rawvideo -pix_fmt " + pixFmt + " -", &out) != 0) {
    out.clear();
  }
  return out;
}

}  // namespace camsim_test
