// The simulated camera's JPEG encoder: libjpeg's compressor set up the way the camera codes its
// frames (baseline, the standard Huffman tables, YCbCr with the chosen luma sampling), with
// the camera parameter block in an application segment right after SOI. The driver's decoder
// reads that block from APP0 directly after the length field and from APP10 after two more
// bytes; libjpeg's own JFIF APP0 is left out so that the only APP0 is the camera's.
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include <jpeglib.h>

#include "sim_media.h"

namespace {

struct ErrorManager {
  jpeg_error_mgr base;
  jmp_buf escape;
  char message[JMSG_LENGTH_MAX];
};

void OnError(j_common_ptr cinfo) {
  ErrorManager *errors = reinterpret_cast<ErrorManager *>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, errors->message);
  longjmp(errors->escape, 1);
}

void Put32(std::vector<uint8_t> &out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

// The compressor proper. Only trivially destructible objects live between setjmp and the
// calls that may longjmp back, so the jump skips no destructor.
bool Compress(const SimImage &image, int hY, int vY, int quality, unsigned restartInterval, const uint8_t *marker,
              unsigned markerCode, unsigned markerLength, unsigned char **buffer, unsigned long *size,
              char *message) {
  jpeg_compress_struct cinfo;
  ErrorManager errors;
  cinfo.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = OnError;
  if (setjmp(errors.escape)) {
    std::snprintf(message, JMSG_LENGTH_MAX, "%s", errors.message);
    jpeg_destroy_compress(&cinfo);
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, buffer, size);
  cinfo.image_width = JDIMENSION(image.width);
  cinfo.image_height = JDIMENSION(image.height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_colorspace(&cinfo, JCS_YCbCr);
  jpeg_set_quality(&cinfo, quality, TRUE);  // baseline: quantisers kept within 8 bits
  cinfo.optimize_coding = FALSE;             // the standard tables the camera's decoder knows
  cinfo.write_JFIF_header = FALSE;
  cinfo.write_Adobe_marker = FALSE;
  cinfo.restart_interval = restartInterval;
  cinfo.comp_info[0].h_samp_factor = hY;
  cinfo.comp_info[0].v_samp_factor = vY;
  for (int c = 1; c < 3; ++c) {
    cinfo.comp_info[c].h_samp_factor = 1;
    cinfo.comp_info[c].v_samp_factor = 1;
  }
  jpeg_start_compress(&cinfo, TRUE);
  jpeg_write_marker(&cinfo, int(markerCode), marker, markerLength);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(&image.rgb[size_t(cinfo.next_scanline) * image.width * 3]);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

}  // namespace

std::vector<uint8_t> SimParamBlock_Bytes(const SimParamBlock &block) {
  std::vector<uint8_t> out;
  out.reserve(kSimParamBlockBytes);
  for (uint32_t v : block.a) Put32(out, v);
  for (uint32_t v : block.b) Put32(out, v);
  for (uint16_t v : block.c) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
  }
  return out;
}

std::vector<uint8_t> SimEncoder_Encode(const SimImage &image, int sampling, int quality, unsigned restartInterval,
                                       bool app10, const SimParamBlock &block) {
  int hY, vY;
  switch (sampling) {
    case 444: hY = 1; vY = 1; break;
    case 422: hY = 2; vY = 1; break;
    case 420: hY = 2; vY = 2; break;
    case 440: hY = 1; vY = 2; break;
    default: throw std::runtime_error("camera encoder: unknown sampling " + std::to_string(sampling));
  }
  if (image.width <= 0 || image.height <= 0 || image.rgb.size() != size_t(image.width) * image.height * 3) {
    throw std::runtime_error("camera encoder: empty or inconsistent picture");
  }
  std::vector<uint8_t> segment;
  if (app10) {
    segment = {'T', 'V'};  // the two bytes the decoder passes over before the block
  }
  std::vector<uint8_t> bytes = SimParamBlock_Bytes(block);
  segment.insert(segment.end(), bytes.begin(), bytes.end());
  unsigned char *buffer = nullptr;
  unsigned long size = 0;
  char message[JMSG_LENGTH_MAX] = "";
  bool ok = Compress(image, hY, vY, quality, restartInterval, segment.data(), app10 ? JPEG_APP0 + 10 : JPEG_APP0,
                     unsigned(segment.size()), &buffer, &size, message);
  std::vector<uint8_t> jpeg;
  if (ok) {
    jpeg.assign(buffer, buffer + size);
  }
  free(buffer);
  if (!ok) {
    throw std::runtime_error(std::string("camera encoder: ") + message);
  }
  return jpeg;
}
