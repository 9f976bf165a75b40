#include "support/camera_frames.h"

#include <random>

namespace {

// Standard DC tables (ITU-T T.81 Annex K.3): code lengths per size category.
const int kDcLumaBits[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
const int kDcChromaBits[16] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};

struct Code {
  uint32_t bits;
  int length;
};

// Canonical Huffman codes for symbols 0..11 in order (T.81 Annex C).
std::vector<Code> CanonicalCodes(const int (&bits)[16]) {
  std::vector<Code> codes;
  uint32_t code = 0;
  for (int length = 1; length <= 16; ++length) {
    for (int i = 0; i < bits[length - 1]; ++i) codes.push_back({code++, length});
    code <<= 1;
  }
  return codes;
}

class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t> &out) : out_(out) {}
  void Put(uint32_t bits, int length) {
    for (int i = length - 1; i >= 0; --i) {
      acc_ = (acc_ << 1) | ((bits >> i) & 1);
      if (++count_ == 8) Flush();
    }
  }
  void Finish() {
    while (count_ != 0) Put(1, 1);  // pad with 1-bits
  }

 private:
  void Flush() {
    out_.push_back(uint8_t(acc_));
    if (uint8_t(acc_) == 0xFF) out_.push_back(0x00);  // byte stuffing
    acc_ = 0;
    count_ = 0;
  }
  std::vector<uint8_t> &out_;
  uint32_t acc_ = 0;
  int count_ = 0;
};

void PutWord(std::vector<uint8_t> &out, int v) {
  out.push_back(uint8_t(v >> 8));
  out.push_back(uint8_t(v));
}

// DC difference: size category code, then the magnitude bits (T.81 F.1.2.1).
void PutDc(BitWriter &w, const std::vector<Code> &codes, int diff) {
  int magnitude = diff < 0 ? -diff : diff;
  int size = 0;
  while ((1 << size) <= magnitude) ++size;
  w.Put(codes[size].bits, codes[size].length);
  if (size != 0) w.Put(uint32_t(diff < 0 ? diff + (1 << size) - 1 : diff), size);
}

}  // namespace

std::vector<uint8_t> TestJpegFrame(int width, int height, uint32_t seed, int dcQuantiser) {
  std::vector<uint8_t> out = {0xFF, 0xD8};
  // Two quantisation tables: the DC entry as asked, the rest 1 (unused: no AC coefficients).
  for (int table = 0; table < 2; ++table) {
    out.insert(out.end(), {0xFF, 0xDB});
    PutWord(out, 67);
    out.push_back(uint8_t(table));
    out.push_back(uint8_t(dcQuantiser));
    out.insert(out.end(), 63, 1);
  }
  out.insert(out.end(), {0xFF, 0xC0});
  PutWord(out, 17);
  out.push_back(8);
  PutWord(out, height);
  PutWord(out, width);
  out.insert(out.end(), {3, 1, 0x21, 0, 2, 0x11, 1, 3, 0x11, 1});
  out.insert(out.end(), {0xFF, 0xDA});
  PutWord(out, 12);
  out.insert(out.end(), {3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0});

  const std::vector<Code> dcLuma = CanonicalCodes(kDcLumaBits);
  const std::vector<Code> dcChroma = CanonicalCodes(kDcChromaBits);
  const Code eobLuma = {0xA, 4};   // AC luminance EOB: 1010
  const Code eobChroma = {0x0, 2}; // AC chrominance EOB: 00
  std::mt19937 rng(seed);
  BitWriter w(out);
  int pred[3] = {0, 0, 0};
  int mcusAcross = (width + 15) / 16;
  int mcusDown = (height + 7) / 8;
  for (int m = 0; m < mcusAcross * mcusDown; ++m) {
    for (int block = 0; block < 4; ++block) {
      int c = block < 2 ? 0 : block - 1;
      // Levels within +-64 steps of mid-grey, as DC values of the quantiser's units.
      int level = int(rng() % 129) - 64;
      PutDc(w, c == 0 ? dcLuma : dcChroma, level - pred[c]);
      pred[c] = level;
      const Code &eob = c == 0 ? eobLuma : eobChroma;
      w.Put(eob.bits, eob.length);
    }
  }
  w.Finish();
  out.insert(out.end(), {0xFF, 0xD9});
  return out;
}

std::vector<uint8_t> TestRawFrame(int width, int height, uint32_t seed, int dcQuantiser) {
  std::vector<uint8_t> raw(80, 0);
  for (int i = 0; i < 80; ++i) raw[i] = uint8_t(i * 7 + 3);  // the header is skipped, whatever it holds
  std::vector<uint8_t> jpeg = TestJpegFrame(width, height, seed, dcQuantiser);
  raw.insert(raw.end(), jpeg.begin(), jpeg.end());
  return raw;
}
