#include "sources.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "imageproc.h"
#include "ip_context.h"
#include "preflight.h"

namespace {

namespace fs = std::filesystem;

enum class Kind { Jpeg, Png, Bmp, Ppm, Other };

Kind KindOf(const std::vector<unsigned char> &b) {
  static const unsigned char kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (b.size() >= 2 && b[0] == 0xFF && b[1] == 0xD8) return Kind::Jpeg;
  if (b.size() >= 8 && memcmp(b.data(), kPng, 8) == 0) return Kind::Png;
  if (b.size() >= 2 && b[0] == 'B' && b[1] == 'M') return Kind::Bmp;
  if (b.size() >= 2 && b[0] == 'P' && b[1] == '6') return Kind::Ppm;
  return Kind::Other;
}

bool ReadAll(const std::string &path, std::vector<unsigned char> *bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// What the JPEG's headers say, up to the first scan.
struct JpegHeader {
  int sof = -1;  // the frame marker's low byte (0xC0 baseline, 0xC2 progressive, ...)
  int width = 0, height = 0, components = 0, precision = 0;
  bool huffmanTables = false;
};

JpegHeader ReadHeader(const std::vector<unsigned char> &j) {
  JpegHeader h;
  size_t at = 2;
  while (at + 4 <= j.size() && j[at] == 0xFF) {
    const int marker = j[at + 1];
    if (marker == 0xFF) {
      ++at;
      continue;
    }
    const size_t length = (size_t(j[at + 2]) << 8) | j[at + 3];
    if (marker == 0xC4) h.huffmanTables = true;
    const bool sof = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (sof && at + 10 <= j.size()) {
      h.sof = marker;
      h.precision = j[at + 4];
      h.height = (j[at + 5] << 8) | j[at + 6];
      h.width = (j[at + 7] << 8) | j[at + 8];
      h.components = j[at + 9];
    }
    if (marker == 0xDA || length < 2) break;
    at += 2 + length;
  }
  return h;
}

}  // namespace

std::string DriverRefusesJpeg(const std::vector<unsigned char> &jpeg, int width, int height) {
  const JpegHeader h = ReadHeader(jpeg);
  const std::string stream = std::to_string(width) + "x" + std::to_string(height);
  if (h.sof >= 0 && (h.width != width || h.height != height)) {
    return "it is " + std::to_string(h.width) + "x" + std::to_string(h.height) + ", the stream " + stream;
  }
  // The driver's own decode, on a context of its own, into a bitmap of the stream's size.
  std::unique_ptr<uint8_t[]> context(new uint8_t[ZRImageProcess_GetContextSize()]);
  ZRImageProcess_Initialize(nullptr, context.get());
  std::vector<uint8_t> bitmap(size_t(width) * size_t(height) * 3);
  ImageProc_Long w = 0, h2 = 0;
  ImageProc_ULong info4[4], info3[3];
  uint16_t info24[24];
  const int32_t result = jpg_decode(context.get(), 0, jpeg.data(), uint32_t(jpeg.size()), bitmap.data(),
                                    uint32_t(bitmap.size()), &w, &h2, info4, info3, info24);
  if (result == 0 && w == width && h2 == height) {
    return std::string();
  }
  if (h.sof == 0xC2 || h.sof == 0xC6 || h.sof == 0xCA || h.sof == 0xCE) return "it is a progressive JPEG";
  if (h.sof >= 0 && h.sof != 0xC0 && h.sof != 0xC1) return "it is not a baseline JPEG";
  if (h.components == 1) return "it is a greyscale JPEG";
  if (h.components != 3 && h.sof >= 0) return "it has " + std::to_string(h.components) + " colour components";
  const int32_t code = jpg_get_error(ip_context_decoder(context.get()));
  if (code == JPG_ERR_SAMPLING) return "its chroma sampling is not one the driver decodes";
  if (code == JPG_ERR_ENTROPY && h.huffmanTables) {
    return "it carries Huffman tables of its own (the driver decodes with the standard tables)";
  }
  if (result == 0) return "it decodes as " + std::to_string(w) + "x" + std::to_string(h2) + ", the stream " + stream;
  return "the driver's decoder fails on it (error " + std::to_string(code) + ")";
}

bool PlanSources(const std::vector<std::string> &paths, int width, int height, bool exact, SourcePlan *plan,
                 std::string *error) {
  *plan = SourcePlan();
  for (const std::string &path : paths) {
    std::error_code ec;
    std::vector<std::string> files;
    const bool folder = fs::is_directory(path, ec);
    if (folder) {
      for (const auto &entry : fs::directory_iterator(path, ec)) {
        if (entry.is_regular_file()) files.push_back(entry.path().string());
      }
      std::sort(files.begin(), files.end());
    } else if (fs::exists(path, ec)) {
      files.push_back(path);
    } else {
      *error = "--source " + path + ": no such file or folder";
      return false;
    }
    size_t images = 0;
    for (const std::string &file : files) {
      std::vector<unsigned char> bytes;
      if (!ReadAll(file, &bytes)) {
        *error = "--source " + file + ": cannot be read";
        return false;
      }
      const Kind kind = KindOf(bytes);
      if (kind == Kind::Other) {
        if (!folder) {
          *error = "--source " + file + ": not a JPEG, PNG, BMP or binary PPM image";
          return false;
        }
        plan->notices.push_back("skipping " + file + ": not a JPEG, PNG, BMP or binary PPM image");
        continue;
      }
      ++images;
      plan->files.push_back(file);
      if (kind != Kind::Jpeg) continue;
      // Decoded whole first: a damaged file is refused with libjpeg's reason, not one guessed
      // from where the driver's decoder gave up.
      const std::string damage = JpegDamage(bytes);
      if (!damage.empty()) {
        *error = "--source " + file + ": not a readable JPEG (libjpeg: " + damage + ")";
        return false;
      }
      const std::string why = DriverRefusesJpeg(bytes, width, height);
      if (why.empty()) continue;
      if (exact) {
        *error = "--source " + file + ": the driver cannot decode it (" + why + "), and --exact-sources is given";
        return false;
      }
      plan->reencode.push_back(file);
      plan->notices.push_back(file + ": the driver cannot decode it (" + why +
                              "): the camera sends it decoded, scaled and encoded as its own pictures");
    }
    if (folder && images == 0) {
      *error = "--source " + path + ": the folder holds no JPEG, PNG, BMP or PPM images";
      return false;
    }
  }
  return true;
}
