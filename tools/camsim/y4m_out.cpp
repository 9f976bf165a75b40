#include "y4m_out.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "frame_view.h"

Y4mOut::Y4mOut(const std::string &target, OutputFormat format, int width, int height, unsigned fps)
    : name_(target == "-" ? "standard output" : target), format_(format), width_(width), height_(height) {
  if (target == "-") {
    f_ = stdout;
  } else {
    f_ = std::fopen(target.c_str(), "wb");
    own_ = true;
    if (f_ == nullptr) throw std::runtime_error("cannot create " + target + ": " + std::strerror(errno));
  }
  const char *colour = format == OutputFormat::Yuy2   ? "C422 XCOLORRANGE=FULL"
                       : format == OutputFormat::I420 ? "C420jpeg"
                                                      : "C444";
  if (std::fprintf(f_, "YUV4MPEG2 W%d H%d F%u:1 Ip A1:1 %s\n", width, height, fps, colour) < 0) {
    throw std::runtime_error("cannot write " + name_);
  }
}

Y4mOut::~Y4mOut() {
  if (own_ && f_ != nullptr) std::fclose(f_);
}

void Y4mOut::Write(const uint8_t *data, size_t length) {
  const size_t w = size_t(width_), h = size_t(height_), n = w * h;
  const uint8_t *out = data;
  size_t bytes = 0;
  switch (format_) {
    case OutputFormat::I420:
      bytes = n * 3 / 2;
      if (length < bytes) throw std::runtime_error("short I420 frame");
      break;
    case OutputFormat::Yuy2:
      if (length < n * 2) throw std::runtime_error("short YUY2 frame");
      planes_.resize(n * 2);
      for (size_t i = 0; i < n / 2; ++i) {
        const uint8_t *p = data + 4 * i;
        planes_[2 * i] = p[0];
        planes_[n + i] = p[1];
        planes_[2 * i + 1] = p[2];
        planes_[n + n / 2 + i] = p[3];
      }
      out = planes_.data();
      bytes = n * 2;
      break;
    case OutputFormat::Rgb24:
    case OutputFormat::Mjpg:
      FrameToRgb(format_, width_, height_, data, length, &rgb_);
      planes_.resize(n * 3);
      for (size_t i = 0; i < n; ++i) {
        const int r = rgb_[3 * i], g = rgb_[3 * i + 1], b = rgb_[3 * i + 2];
        planes_[i] = uint8_t((16829 * r + 33039 * g + 6416 * b + (16 << 16) + 32768) >> 16);
        planes_[n + i] = uint8_t((-9714 * r - 19071 * g + 28784 * b + (128 << 16) + 32768) >> 16);
        planes_[2 * n + i] = uint8_t((28784 * r - 24103 * g - 4681 * b + (128 << 16) + 32768) >> 16);
      }
      out = planes_.data();
      bytes = n * 3;
      break;
  }
  errno = 0;
  if (std::fwrite("FRAME\n", 1, 6, f_) != 6 || std::fwrite(out, 1, bytes, f_) != bytes || std::fflush(f_) != 0) {
    if (errno == EPIPE) throw Y4mReaderGone("the reader of " + name_ + " closed it");
    throw std::runtime_error("cannot write the YUV4MPEG2 stream to " + name_ +
                             (errno == EPIPE ? ": its reader has gone" : std::string(": ") + std::strerror(errno)));
  }
}

void Y4mOut::Close() {
  if (own_ && f_ != nullptr) {
    std::FILE *f = f_;
    f_ = nullptr;
    if (std::fclose(f) != 0) throw std::runtime_error("cannot write " + name_);
  } else if (f_ != nullptr) {
    std::fflush(f_);
  }
}
