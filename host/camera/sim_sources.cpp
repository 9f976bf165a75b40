// Image files the simulated camera sends instead of its built-in scene: JPEG files go out as
// they are, PNG, 24/32-bit BMP and binary PPM files are decoded here and later scaled to the
// streaming size and encoded like the scene.
#include <png.h>

#include <algorithm>
#include <cctype>
#include <cmath>
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

SimImage DecodePng(const std::string &path, const std::vector<uint8_t> &bytes) {
  png_image png;
  memset(&png, 0, sizeof(png));
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&png, bytes.data(), bytes.size())) {
    Fail(path, std::string("not a readable PNG (") + png.message + ")");
  }
  png.format = PNG_FORMAT_RGB;
  SimImage image;
  image.width = int(png.width);
  image.height = int(png.height);
  image.rgb.resize(PNG_IMAGE_SIZE(png));
  if (!png_image_finish_read(&png, nullptr, image.rgb.data(), 0, nullptr)) {
    std::string why = png.message;
    png_image_free(&png);
    Fail(path, "PNG decoding failed (" + why + ")");
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

SimSource LoadFile(const std::string &path) {
  SimSource source;
  source.path = path;
  std::vector<uint8_t> bytes = ReadFile(path);
  static const uint8_t pngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xD8) {
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

std::vector<SimSource> SimSources_Load(const std::vector<std::string> &paths) {
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
      for (const std::string &file : files) sources.push_back(LoadFile(file));
    } else {
      sources.push_back(LoadFile(path));
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
