// libjpeg-turbo as an independent reference for the decoder tests, loaded at run time so the
// tests build without it; where it is missing (the -m32 build) the tests that need it skip.
#pragma once

#include <cstdint>
#include <vector>

bool RefJpeg_Available();

struct RefJpegEncodeOptions {
  int width = 64;
  int height = 48;
  int h_samp = 2;  // luminance sampling; chrominance is 1x1
  int v_samp = 1;
  int quality = 75;
  int restart_interval = 0;  // in MCUs
};

// Encodes width x height R, G, B pixels as baseline JFIF with the Annex K Huffman tables.
std::vector<uint8_t> RefJpeg_Encode(const RefJpegEncodeOptions &options, const std::vector<uint8_t> &rgb);

struct RefJpegImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;  // 3 bytes a pixel, top row first
};

// Decodes with the accurate integer inverse DCT and chroma replicated, to R, G, B or, when
// ycbcr is set, to the Y, Cb, Cr samples.
RefJpegImage RefJpeg_Decode(const std::vector<uint8_t> &data, bool ycbcr);
