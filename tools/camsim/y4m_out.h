// The stream as YUV4MPEG2 on a file or standard output, for watching it live (ffplay -) or
// keeping it: YUY2 as planar 4:2:2 (full range, as the driver makes it), I420 as 4:2:0, RGB24
// and MJPG converted for viewing to 4:4:4 (reduced-range BT.601).
#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "frame_writer.h"

// The reader of the stream closed its end (EPIPE): the normal end of a pipe, not a failure.
struct Y4mReaderGone : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class Y4mOut {
 public:
  // "-" is standard output. Throws std::runtime_error when the file cannot be made.
  Y4mOut(const std::string &target, OutputFormat format, int width, int height, unsigned fps = 30);
  ~Y4mOut();
  Y4mOut(const Y4mOut &) = delete;
  Y4mOut &operator=(const Y4mOut &) = delete;
  // One frame as the application received it; std::runtime_error when it cannot be written
  // (Y4mReaderGone when the reader has closed the pipe).
  void Write(const uint8_t *data, size_t length);
  void Close();

 private:
  std::string name_;
  OutputFormat format_;
  int width_, height_;
  std::FILE *f_ = nullptr;
  bool own_ = false;
  std::vector<uint8_t> planes_, rgb_;
};
