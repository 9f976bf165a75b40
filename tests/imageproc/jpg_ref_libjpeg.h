// libjpeg-turbo as an independent reference for the decoder tests, through its public API.
// The library is loaded at run time, so the tests build without it; where it is missing (the
// -m32 build has no 32-bit copy) the tests that need it are skipped.
#pragma once

#include <cstdint>
#include <string>
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

// Encodes an RGB image (width x height x 3 bytes) as a baseline JFIF file with the standard
// (Annex K) Huffman tables. Empty on failure.
std::vector<uint8_t> RefJpeg_Encode(const RefJpegEncodeOptions &options,
                                    const std::vector<uint8_t> &rgb);

// The standard Huffman tables as libjpeg's compressor sets them by default, in the order DC
// luminance, DC chrominance, AC luminance, AC chrominance.
struct RefHuffTable {
  uint8_t counts[17];
  std::vector<uint8_t> symbols;
};
bool RefJpeg_StandardTables(RefHuffTable tables[4]);

struct RefJpegHeader {
  bool ok = false;
  std::string error;
  int width = 0;
  int height = 0;
  int components = 0;
  int id[4] = {};
  int h_samp[4] = {};
  int v_samp[4] = {};
  int quant_table[4] = {};
  bool has_quant[4] = {};
  uint16_t quant[4][64] = {};  // natural order
  unsigned restart_interval = 0;
};

// Reads the header of a JPEG stream up to its first scan.
RefJpegHeader RefJpeg_ReadHeader(const std::vector<uint8_t> &data);

// A decoded picture: width x height pixels of 3 bytes, top row first.
struct RefJpegImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;
};

// Decodes a baseline stream with the accurate integer inverse DCT and chroma replicated (no
// interpolation), to R, G, B or, when ycbcr is set, to the Y, Cb, Cr samples. Empty on failure.
RefJpegImage RefJpeg_Decode(const std::vector<uint8_t> &data, bool ycbcr);
