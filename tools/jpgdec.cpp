// jpgdec: decodes camera JPEG frames with the driver's image-processing library.
//
//   jpgdec [--mode 0|1|2] [--raw OUT] [--bmp OUT.bmp] [--info] IN.jpg [IN2.jpg ...]
//
// The frames are decoded in order on one image-process context, as the driver does, so
// quantisation tables and the camera parameter block carry over from frame to frame.
//   --mode   output layout of jpg_decode: 0 BGR bottom-up (default), 1 YCbCr, 2 Y0 Cb Y1 Cr
//   --raw    writes exactly the bytes jpg_decode wrote to its output buffer
//   --bmp    writes a 24-bit BMP file (mode 0 only)
//   --info   prints width, height, sampling, restart interval and the camera parameter block
// With several inputs, each output is named after its input: --raw out/x.raw with a.jpg and
// b.jpg writes out/a.raw and out/b.raw. On failure the decoder's error code is printed and
// the exit status is 1.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "imageproc.h"
#include "ip_context.h"

namespace {

bool ReadFile(const std::string &path, std::vector<uint8_t> *out) {
  FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    return false;
  }
  out->clear();
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) {
    out->insert(out->end(), buf, buf + n);
  }
  bool ok = std::ferror(f) == 0;
  std::fclose(f);
  return ok;
}

bool WriteFile(const std::string &path, const uint8_t *data, size_t size) {
  FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    return false;
  }
  bool ok = std::fwrite(data, 1, size, f) == size;
  ok = std::fclose(f) == 0 && ok;
  return ok;
}

void PutLe(std::vector<uint8_t> *v, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    v->push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
}

// A BITMAPFILEHEADER + BITMAPINFOHEADER file of bottom-up BGR rows, each padded to 4 bytes.
std::vector<uint8_t> MakeBmp(const uint8_t *bgr_bottom_up, int width, int height) {
  const uint32_t row = static_cast<uint32_t>(width) * 3;
  const uint32_t stride = (row + 3) & ~3u;
  const uint32_t image = stride * static_cast<uint32_t>(height);
  std::vector<uint8_t> v;
  v.push_back('B');
  v.push_back('M');
  PutLe(&v, 14 + 40 + image, 4);  // file size
  PutLe(&v, 0, 4);                // reserved
  PutLe(&v, 14 + 40, 4);          // offset of the pixels
  PutLe(&v, 40, 4);               // info header size
  PutLe(&v, static_cast<uint32_t>(width), 4);
  PutLe(&v, static_cast<uint32_t>(height), 4);  // positive: bottom-up
  PutLe(&v, 1, 2);                // planes
  PutLe(&v, 24, 2);               // bits per pixel
  PutLe(&v, 0, 4);                // BI_RGB
  PutLe(&v, image, 4);
  PutLe(&v, 2835, 4);             // 72 dpi
  PutLe(&v, 2835, 4);
  PutLe(&v, 0, 4);
  PutLe(&v, 0, 4);
  for (int y = 0; y < height; ++y) {
    const uint8_t *src = bgr_bottom_up + static_cast<size_t>(y) * row;
    v.insert(v.end(), src, src + row);
    v.insert(v.end(), stride - row, 0);
  }
  return v;
}

std::string BaseName(const std::string &path) {
  size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  size_t dot = name.find_last_of('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// The output path for one input: OUT itself for a single input, else OUT's folder, the
// input's base name and OUT's extension.
std::string OutputPath(const std::string &out, const std::string &input, bool several) {
  if (!several) {
    return out;
  }
  size_t slash = out.find_last_of('/');
  std::string dir = slash == std::string::npos ? "" : out.substr(0, slash + 1);
  std::string file = slash == std::string::npos ? out : out.substr(slash + 1);
  size_t dot = file.find_last_of('.');
  std::string ext = dot == std::string::npos ? "" : file.substr(dot);
  return dir + BaseName(input) + ext;
}

int Usage() {
  std::fprintf(stderr,
               "usage: jpgdec [--mode 0|1|2] [--raw OUT] [--bmp OUT.bmp] [--info] IN.jpg [IN2.jpg ...]\n");
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  uint32_t mode = 0;
  std::string raw_out;
  std::string bmp_out;
  bool info = false;
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--mode" && i + 1 < argc) {
      std::string m = argv[++i];
      if (m != "0" && m != "1" && m != "2") {
        return Usage();
      }
      mode = static_cast<uint32_t>(m[0] - '0');
    } else if (a == "--raw" && i + 1 < argc) {
      raw_out = argv[++i];
    } else if (a == "--bmp" && i + 1 < argc) {
      bmp_out = argv[++i];
    } else if (a == "--info") {
      info = true;
    } else if (!a.empty() && a[0] == '-') {
      return Usage();
    } else {
      inputs.push_back(a);
    }
  }
  if (inputs.empty()) {
    return Usage();
  }
  if (!bmp_out.empty() && mode != 0) {
    std::fprintf(stderr, "jpgdec: --bmp needs --mode 0\n");
    return 2;
  }

  std::vector<uint8_t> context(ZRImageProcess_GetContextSize());
  ZRImageProcess_Initialize(nullptr, context.data());
  JpgDecoder *d = ip_context_decoder(context.data());

  // Room for the largest frame the decoder accepts.
  std::vector<uint8_t> bitmap(static_cast<size_t>(JPG_MAX_WIDTH) * JPG_MAX_HEIGHT * 3);
  const bool several = inputs.size() > 1;
  int status = 0;
  for (const std::string &in : inputs) {
    std::vector<uint8_t> data;
    if (!ReadFile(in, &data)) {
      std::fprintf(stderr, "jpgdec: cannot read %s\n", in.c_str());
      status = 1;
      continue;
    }
    ImageProc_Long width = 0;
    ImageProc_Long height = 0;
    ImageProc_ULong info4[4] = {};
    ImageProc_ULong info3[3] = {};
    uint16_t info24[24] = {};
    int32_t result = jpg_decode(context.data(), mode, data.data(), static_cast<uint32_t>(data.size()),
                                bitmap.data(), static_cast<uint32_t>(bitmap.size()), &width, &height,
                                info4, info3, info24);
    if (result != 0) {
      std::fprintf(stderr, "jpgdec: %s: decode failed, error %d\n", in.c_str(),
                   static_cast<int>(d->last_error));
      status = 1;
      continue;
    }
    if (info) {
      std::printf("%s: width %d height %d sampling %dx%d,%dx%d,%dx%d restart %d\n", in.c_str(),
                  static_cast<int>(width), static_cast<int>(height), d->comp_h_samp[0], d->comp_v_samp[0],
                  d->comp_h_samp[1], d->comp_v_samp[1], d->comp_h_samp[2], d->comp_v_samp[2],
                  d->restart_interval);
      std::printf("  params a:");
      for (ImageProc_ULong v : info4) std::printf(" %lu", static_cast<unsigned long>(v));
      std::printf("\n  params b:");
      for (ImageProc_ULong v : info3) std::printf(" %lu", static_cast<unsigned long>(v));
      std::printf("\n  params c:");
      for (uint16_t v : info24) std::printf(" %u", static_cast<unsigned>(v));
      std::printf("\n");
    }
    const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * (mode == 2 ? 2 : 3);
    if (!raw_out.empty()) {
      std::string path = OutputPath(raw_out, in, several);
      if (!WriteFile(path, bitmap.data(), bytes)) {
        std::fprintf(stderr, "jpgdec: cannot write %s\n", path.c_str());
        status = 1;
      }
    }
    if (!bmp_out.empty()) {
      std::string path = OutputPath(bmp_out, in, several);
      std::vector<uint8_t> bmp = MakeBmp(bitmap.data(), static_cast<int>(width), static_cast<int>(height));
      if (!WriteFile(path, bmp.data(), bmp.size())) {
        std::fprintf(stderr, "jpgdec: cannot write %s\n", path.c_str());
        status = 1;
      }
    }
  }
  return status;
}
