// Image files the simulated camera sends instead of its built-in scene: JPEG files go out as
// they are (or, when asked, are decoded like the others), PNG, 24/32-bit BMP and binary PPM files are decoded here and later scaled to the
// streaming size and encoded like the scene.
#include <png.h>
#include <jpeglib.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "sim_media.h"

namespace {

[[noreturn]] void Fail(const std::string &path, const std::string &why) {
  throw std::runtime_error("camera source " + path + ": " + why);
}

std::vector<uint8_t> ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    Fail(path, "cannot be opened");
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    Fail(path, "cannot be read");
  }
  return bytes;
}

// libpng and libjpeg report errors by longjmp: the jumps stay inside these functions, whose
// locals across the jump are plain values.
struct PngReadError {
  std::jmp_buf jump;
  char message[200];
};

void PngFail(png_structp png, png_const_charp msg) {
  auto *e = static_cast<PngReadError *>(png_get_error_ptr(png));
  snprintf(e->message, sizeof(e->message), "%s", msg != nullptr ? msg : "libpng error");
  std::longjmp(e->jump, 1);
}

void PngIgnore(png_structp, png_const_charp) {}

struct PngInput {
  const std::vector<uint8_t> *bytes;
  size_t at;
};

void PngRead(png_structp png, png_bytep out, png_size_t length) {
  auto *in = static_cast<PngInput *>(png_get_io_ptr(png));
  if (in->bytes->size() - in->at < length) {
    png_error(png, "file cut short");
  }
  memcpy(out, in->bytes->data() + in->at, length);
  in->at += length;
}

// Any PNG as 8-bit RGB: palettes and grey expanded, 16-bit samples scaled to 8 bits as they are
// (a 16-bit file holds the same encoded values at finer steps, not linear light), alpha dropped.
bool ReadPng(const std::vector<uint8_t> &bytes, SimImage *image, PngReadError *error) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, error, PngFail, PngIgnore);
  if (png == nullptr) {
    snprintf(error->message, sizeof(error->message), "out of memory");
    return false;
  }
  png_infop info = png_create_info_struct(png);
  PngInput input{&bytes, 0};
  std::vector<png_bytep> rows;  // made before the jump point, so that a jump never skips its end
  if (info == nullptr || setjmp(error->jump) != 0) {
    png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr);
    return false;
  }
  png_set_read_fn(png, &input, PngRead);
  png_read_info(png, info);
  png_uint_32 width = png_get_image_width(png, info), height = png_get_image_height(png, info);
  if (width == 0 || height == 0 || width > 8192 || height > 8192) {
    png_error(png, "unsupported picture size");
  }
  png_set_scale_16(png);
  png_set_expand(png);
  png_set_gray_to_rgb(png);
  png_set_strip_alpha(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  if (png_get_rowbytes(png, info) != size_t(width) * 3) {
    png_error(png, "unexpected row layout");
  }
  image->width = int(width);
  image->height = int(height);
  image->rgb.assign(size_t(width) * height * 3, 0);
  rows.resize(height);
  for (png_uint_32 y = 0; y < height; ++y) rows[y] = image->rgb.data() + size_t(y) * width * 3;
  png_read_image(png, rows.data());
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

SimImage DecodePng(const std::string &path, const std::vector<uint8_t> &bytes) {
  SimImage image;
  PngReadError error{};
  if (!ReadPng(bytes, &image, &error)) {
    Fail(path, std::string("not a readable PNG (") + error.message + ")");
  }
  return image;
}

struct JpegReadError {
  jpeg_error_mgr base;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void JpegFail(j_common_ptr c) {
  auto *e = reinterpret_cast<JpegReadError *>(c->err);
  c->err->format_message(c, e->message);
  std::longjmp(e->jump, 1);
}

bool ReadJpeg(const std::vector<uint8_t> &bytes, SimImage *image, JpegReadError *error) {
  jpeg_decompress_struct cinfo;
  cinfo.err = jpeg_std_error(&error->base);
  error->base.error_exit = JpegFail;
  error->base.output_message = [](j_common_ptr) {};
  jpeg_create_decompress(&cinfo);
  if (setjmp(error->jump) != 0) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_mem_src(&cinfo, bytes.data(), static_cast<unsigned long>(bytes.size()));
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  if (cinfo.output_components != 3 || cinfo.output_width > 8192 || cinfo.output_height > 8192) {
    jpeg_destroy_decompress(&cinfo);
    snprintf(error->message, sizeof(error->message), "unsupported colour layout or size");
    return false;
  }
  image->width = int(cinfo.output_width);
  image->height = int(cinfo.output_height);
  image->rgb.assign(size_t(image->width) * image->height * 3, 0);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = image->rgb.data() + size_t(cinfo.output_scanline) * image->width * 3;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

SimImage DecodeJpeg(const std::string &path, const std::vector<uint8_t> &bytes) {
  SimImage image;
  JpegReadError error{};
  if (!ReadJpeg(bytes, &image, &error)) {
    Fail(path, std::string("not a readable JPEG (") + error.message + ")");
  }
  return image;
}

uint32_t Le(const std::vector<uint8_t> &b, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | b[at + i];
  return v;
}

SimImage DecodeBmp(const std::string &path, const std::vector<uint8_t> &b) {
  if (b.size() < 54) {
    Fail(path, "BMP file too short");
  }
  uint32_t offset = Le(b, 10, 4);
  uint32_t infoSize = Le(b, 14, 4);
  int32_t width = int32_t(Le(b, 18, 4));
  int32_t height = int32_t(Le(b, 22, 4));
  uint32_t bits = Le(b, 28, 2);
  uint32_t compression = Le(b, 30, 4);
  bool topDown = height < 0;
  if (topDown) height = -height;
  if (infoSize < 40 || width <= 0 || height <= 0 || width > 8192 || height > 8192) {
    Fail(path, "unsupported BMP header");
  }
  if ((bits != 24 && bits != 32) || (compression != 0 && !(compression == 3 && bits == 32))) {
    Fail(path, "only uncompressed 24- and 32-bit BMP files are supported");
  }
  size_t pixel = bits / 8;
  size_t stride = (size_t(width) * pixel + 3) & ~size_t(3);
  if (offset > b.size() || b.size() - offset < stride * size_t(height - 1) + size_t(width) * pixel) {
    Fail(path, "BMP pixel data truncated");
  }
  SimImage image;
  image.width = width;
  image.height = height;
  image.rgb.resize(size_t(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    const uint8_t *row = &b[offset + stride * size_t(topDown ? y : height - 1 - y)];
    uint8_t *out = &image.rgb[size_t(y) * width * 3];
    for (int x = 0; x < width; ++x) {
      out[3 * x + 0] = row[pixel * x + 2];
      out[3 * x + 1] = row[pixel * x + 1];
      out[3 * x + 2] = row[pixel * x + 0];
    }
  }
  return image;
}

SimImage DecodePpm(const std::string &path, const std::vector<uint8_t> &b) {
  size_t at = 2;
  auto number = [&]() -> long {
    // Whitespace and comments separate the header fields.
    for (;;) {
      while (at < b.size() && isspace(b[at])) ++at;
      if (at < b.size() && b[at] == '#') {
        while (at < b.size() && b[at] != '\n') ++at;
        continue;
      }
      break;
    }
    long v = 0;
    size_t start = at;
    while (at < b.size() && isdigit(b[at]) && v < 100000) v = v * 10 + (b[at++] - '0');
    if (at == start) Fail(path, "malformed PPM header");
    return v;
  };
  long width = number(), height = number(), maxval = number();
  ++at;  // the single whitespace byte before the pixels
  if (width <= 0 || height <= 0 || width > 8192 || height > 8192 || maxval <= 0 || maxval > 255) {
    Fail(path, "unsupported PPM (8-bit P6 only)");
  }
  size_t need = size_t(width) * height * 3;
  if (at > b.size() || b.size() - at < need) {
    Fail(path, "PPM pixel data truncated");
  }
  SimImage image;
  image.width = int(width);
  image.height = int(height);
  image.rgb.assign(b.begin() + at, b.begin() + at + need);
  if (maxval != 255) {
    for (uint8_t &v : image.rgb) v = uint8_t(std::min<long>(255, (v * 255 + maxval / 2) / maxval));
  }
  return image;
}

SimSource LoadFile(const std::string &path, bool decodeJpeg) {
  SimSource source;
  source.path = path;
  std::vector<uint8_t> bytes = ReadFile(path);
  static const uint8_t pngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xD8 && decodeJpeg) {
    source.image = DecodeJpeg(path, bytes);
  } else if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xD8) {
    source.isJpeg = true;
    source.jpeg = std::move(bytes);
  } else if (bytes.size() >= 8 && memcmp(bytes.data(), pngSignature, 8) == 0) {
    source.image = DecodePng(path, bytes);
  } else if (bytes.size() >= 2 && bytes[0] == 'B' && bytes[1] == 'M') {
    source.image = DecodeBmp(path, bytes);
  } else if (bytes.size() >= 2 && bytes[0] == 'P' && bytes[1] == '6') {
    source.image = DecodePpm(path, bytes);
  } else {
    Fail(path, "not a JPEG, PNG, BMP or binary PPM file");
  }
  return source;
}

}  // namespace

std::vector<SimSource> SimSources_Load(const std::vector<std::string> &paths,
                                       const std::vector<std::string> &decodeJpegs) {
  auto decode = [&decodeJpegs](const std::string &file) {
    return std::find(decodeJpegs.begin(), decodeJpegs.end(), file) != decodeJpegs.end();
  };
  namespace fs = std::filesystem;
  std::vector<SimSource> sources;
  for (const std::string &path : paths) {
    std::error_code error;
    if (fs::is_directory(path, error)) {
      std::vector<std::string> files;
      for (const fs::directory_entry &entry : fs::directory_iterator(path, error)) {
        if (entry.is_regular_file()) files.push_back(entry.path().string());
      }
      if (error) {
        Fail(path, "directory cannot be listed");
      }
      std::sort(files.begin(), files.end());
      if (files.empty()) {
        Fail(path, "directory holds no files");
      }
      for (const std::string &file : files) sources.push_back(LoadFile(file, decode(file)));
    } else {
      sources.push_back(LoadFile(path, decode(path)));
    }
  }
  return sources;
}

SimImage SimImage_Scale(const SimImage &image, int width, int height) {
  if (image.width == width && image.height == height) {
    return image;
  }
  SimImage out;
  out.width = width;
  out.height = height;
  out.rgb.resize(size_t(width) * height * 3);
  if (image.width <= 0 || image.height <= 0) {
    return out;
  }
  // Pixel centres map to pixel centres; samples outside the picture clamp to its edge.
  for (int y = 0; y < height; ++y) {
    double sy = (y + 0.5) * image.height / height - 0.5;
    int y0 = std::max(0, std::min(image.height - 1, int(std::floor(sy))));
    int y1 = std::min(image.height - 1, y0 + 1);
    double fy = std::min(1.0, std::max(0.0, sy - y0));
    for (int x = 0; x < width; ++x) {
      double sx = (x + 0.5) * image.width / width - 0.5;
      int x0 = std::max(0, std::min(image.width - 1, int(std::floor(sx))));
      int x1 = std::min(image.width - 1, x0 + 1);
      double fx = std::min(1.0, std::max(0.0, sx - x0));
      for (int k = 0; k < 3; ++k) {
        auto at = [&](int px, int py) { return double(image.rgb[(size_t(py) * image.width + px) * 3 + k]); };
        double top = at(x0, y0) * (1 - fx) + at(x1, y0) * fx;
        double bottom = at(x0, y1) * (1 - fx) + at(x1, y1) * fx;
        out.rgb[(size_t(y) * width + x) * 3 + k] = uint8_t(top * (1 - fy) + bottom * fy + 0.5);
      }
    }
  }
  return out;
}

bool SimJpeg_Size(const std::vector<uint8_t> &jpeg, int *width, int *height) {
  size_t at = 2;
  while (at + 4 <= jpeg.size()) {
    if (jpeg[at] != 0xFF) {
      return false;
    }
    uint8_t marker = jpeg[at + 1];
    if (marker == 0xFF) {
      ++at;
      continue;
    }
    size_t length = (size_t(jpeg[at + 2]) << 8) | jpeg[at + 3];
    bool sof = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (sof && at + 9 <= jpeg.size()) {
      *height = (jpeg[at + 5] << 8) | jpeg[at + 6];
      *width = (jpeg[at + 7] << 8) | jpeg[at + 8];
      return true;
    }
    if (marker == 0xDA || length < 2) {
      return false;
    }
    at += 2 + length;
  }
  return false;
}
