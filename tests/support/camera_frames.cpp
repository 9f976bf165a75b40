#include "support/camera_frames.h"

#include <random>

namespace {

struct Code {
  uint32_t bits;
  int length;
};

// Canonical Huffman codes (T.81 Annex C) of symbols 0.. for the code lengths' counts.
std::vector<Code> CanonicalCodes(const std::vector<int> &counts) {
  std::vector<Code> codes;
  uint32_t code = 0;
  for (int length = 1; length <= 16; ++length, code <<= 1) {
    for (int i = 0; i < counts[length - 1]; ++i) codes.push_back({code++, length});
  }
  return codes;
}

class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t> &out) : out_(out) {}
  void Put(uint32_t bits, int length) {
    for (int i = length - 1; i >= 0; --i) {
      acc_ = (acc_ << 1) | ((bits >> i) & 1);
      if (++count_ < 8) continue;
      out_.push_back(uint8_t(acc_));
      if (uint8_t(acc_) == 0xFF) out_.push_back(0x00);  // byte stuffing
      acc_ = count_ = 0;
    }
  }
  void Finish() {
    while (count_ != 0) Put(1, 1);  // pad with 1-bits
  }

 private:
  std::vector<uint8_t> &out_;
  uint32_t acc_ = 0;
  int count_ = 0;
};

void PutWord(std::vector<uint8_t> &out, int v) { out.insert(out.end(), {uint8_t(v >> 8), uint8_t(v)}); }

}  // namespace

std::vector<uint8_t> TestJpegFrame(int width, int height, uint32_t seed, int dcQuantiser) {
  std::vector<uint8_t> out = {0xFF, 0xD8};
  // Two quantisation tables: the DC entry as asked, the rest 1 (unused: no AC coefficients).
  for (int table = 0; table < 2; ++table) {
    out.insert(out.end(), {0xFF, 0xDB, 0, 67, uint8_t(table), uint8_t(dcQuantiser)});
    out.insert(out.end(), 63, 1);
  }
  out.insert(out.end(), {0xFF, 0xC0, 0, 17, 8});
  PutWord(out, height);
  PutWord(out, width);
  out.insert(out.end(), {3, 1, 0x21, 0, 2, 0x11, 1, 3, 0x11, 1});
  out.insert(out.end(), {0xFF, 0xDA, 0, 12, 3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0});

  // The standard DC tables' code lengths (T.81 Annex K.3), and the AC tables' EOB codes.
  const std::vector<Code> dc[2] = {CanonicalCodes({0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0}),
                                   CanonicalCodes({0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0})};
  const Code eob[2] = {{0xA, 4}, {0x0, 2}};  // luminance 1010, chrominance 00
  std::mt19937 rng(seed);
  BitWriter w(out);
  int pred[3] = {0, 0, 0};
  const int mcus = ((width + 15) / 16) * ((height + 7) / 8);
  for (int m = 0; m < mcus; ++m) {
    for (int block = 0; block < 4; ++block) {  // Y Y Cb Cr
      const int c = block < 2 ? 0 : block - 1, table = c == 0 ? 0 : 1;
      // Levels within +-64 steps of mid-grey; the DC difference as size category code, then
      // the magnitude bits (T.81 F.1.2.1).
      const int level = int(rng() % 129) - 64, diff = level - pred[c];
      pred[c] = level;
      int size = 0;
      while ((1 << size) <= (diff < 0 ? -diff : diff)) ++size;
      w.Put(dc[table][size].bits, dc[table][size].length);
      if (size != 0) w.Put(uint32_t(diff < 0 ? diff + (1 << size) - 1 : diff), size);
      w.Put(eob[table].bits, eob[table].length);
    }
  }
  w.Finish();
  out.insert(out.end(), {0xFF, 0xD9});
  return out;
}

std::vector<uint8_t> TestRawFrame(int width, int height, uint32_t seed, int dcQuantiser) {
  std::vector<uint8_t> raw(80);
  for (int i = 0; i < 80; ++i) raw[i] = uint8_t(i * 7 + 3);  // the header is skipped, whatever it holds
  std::vector<uint8_t> jpeg = TestJpegFrame(width, height, seed, dcQuantiser);
  raw.insert(raw.end(), jpeg.begin(), jpeg.end());
  return raw;
}
