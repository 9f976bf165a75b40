#include "frame_view.h"

#include <jpeglib.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>

namespace {

uint8_t Clamp(int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }

// YCbCr to RGB in 16.16 fixed point. Full range: Y as it is; reduced range: Y from 16..235
// and chroma from 16..240 stretched to 0..255.
void YuvToRgb(int y, int cb, int cr, bool fullRange, uint8_t *out) {
  int u = cb - 128, v = cr - 128;
  int yy;
  int kr, kgu, kgv, kb;
  if (fullRange) {
    yy = y << 16;
    kr = 91881, kgu = 22554, kgv = 46802, kb = 116130;  // 1.402, 0.344136, 0.714136, 1.772
  } else {
    yy = (y - 16) * 76284;                              // 1.164383
    kr = 104595, kgu = 25624, kgv = 53280, kb = 132202;  // 1.596027, 0.391762, 0.812968, 2.017232
  }
  out[0] = Clamp((yy + kr * v + 32768) >> 16);
  out[1] = Clamp((yy - kgu * u - kgv * v + 32768) >> 16);
  out[2] = Clamp((yy + kb * u + 32768) >> 16);
}

struct JpegError {
  jpeg_error_mgr base;
  std::jmp_buf jump;
};

// Decodes a JPEG of exactly width x height into top-down RGB; false on any error.
bool DecodeJpeg(const uint8_t *data, size_t length, int width, int height, uint8_t *rgb) {
  jpeg_decompress_struct cinfo;
  JpegError error;
  cinfo.err = jpeg_std_error(&error.base);
  error.base.error_exit = [](j_common_ptr c) { std::longjmp(reinterpret_cast<JpegError *>(c->err)->jump, 1); };
  error.base.output_message = [](j_common_ptr) {};
  jpeg_create_decompress(&cinfo);
  if (setjmp(error.jump) != 0) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(length));
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  if (int(cinfo.output_width) != width || int(cinfo.output_height) != height || cinfo.output_components != 3) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = rgb + size_t(cinfo.output_scanline) * size_t(width) * 3;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

}  // namespace

bool FrameToRgb(OutputFormat format, int width, int height, const uint8_t *data, size_t length,
                std::vector<uint8_t> *rgb) {
  const size_t w = size_t(width), h = size_t(height);
  rgb->assign(w * h * 3, 0);
  if (format != OutputFormat::Mjpg && length < FrameBytes(format, width, height)) {
    return false;
  }
  uint8_t *out = rgb->data();
  switch (format) {
    case OutputFormat::Rgb24:
      for (size_t y = 0; y < h; ++y) {
        const uint8_t *src = data + (h - 1 - y) * w * 3;
        uint8_t *dst = out + y * w * 3;
        for (size_t x = 0; x < w; ++x) {
          dst[3 * x] = src[3 * x + 2];
          dst[3 * x + 1] = src[3 * x + 1];
          dst[3 * x + 2] = src[3 * x];
        }
      }
      return true;
    case OutputFormat::Yuy2:
      for (size_t i = 0; i < w * h / 2; ++i) {
        const uint8_t *p = data + 4 * i;
        YuvToRgb(p[0], p[1], p[3], true, out + 6 * i);
        YuvToRgb(p[2], p[1], p[3], true, out + 6 * i + 3);
      }
      return true;
    case OutputFormat::I420: {
      const uint8_t *yp = data, *up = data + w * h, *vp = up + (w / 2) * (h / 2);
      for (size_t y = 0; y < h; ++y) {
        for (size_t x = 0; x < w; ++x) {
          size_t c = (y / 2) * (w / 2) + x / 2;
          YuvToRgb(yp[y * w + x], up[c], vp[c], false, out + (y * w + x) * 3);
        }
      }
      return true;
    }
    case OutputFormat::Mjpg: {
      size_t jpeg = ScanJpegLength(data, length);
      if (jpeg == 0 || !DecodeJpeg(data, jpeg, width, height, out)) {
        std::fill(rgb->begin(), rgb->end(), 0);
        return false;
      }
      return true;
    }
  }
  return false;
}

bool FrameIsBlank(OutputFormat format, int width, int height, const uint8_t *data, size_t length) {
  const size_t luma = size_t(width) * size_t(height);
  switch (format) {
    case OutputFormat::Rgb24:
      return length >= luma * 3 && std::all_of(data, data + luma * 3, [](uint8_t b) { return b == 0; });
    case OutputFormat::Yuy2:
      if (length < luma * 2) return false;
      for (size_t i = 0; i < luma * 2; ++i) {
        if (data[i] != ((i & 1) ? 0x80 : 0x00)) return false;
      }
      return true;
    case OutputFormat::I420:
      return length >= luma * 3 / 2 && std::all_of(data, data + luma, [](uint8_t b) { return b == 0; }) &&
             std::all_of(data + luma, data + luma * 3 / 2, [](uint8_t b) { return b == 0x80; });
    case OutputFormat::Mjpg:
      return ScanJpegLength(data, length) == 0;
  }
  return false;
}
