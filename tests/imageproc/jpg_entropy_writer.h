// Writes entropy-coded data with the Annex K Huffman tables symbol by symbol, with byte stuffing and
// restart markers; the codes are assigned here from the code lengths, apart from the decoder's.
#pragma once

#include <cstdint>
#include <vector>

enum TestHuffTable { kDcLuma = 0, kDcChroma = 1, kAcLuma = 2, kAcChroma = 3 };

class TestEntropyWriter {
 public:
  TestEntropyWriter();
  void Symbol(int table, int symbol) { Bits(code_[table][symbol], length_[table][symbol]); }
  void Bits(uint32_t value, int count);  // most significant first
  void Ac(int table, int run, int value);           // a value after run zeros
  void Dc(int table, int diff) { Ac(table, 0, diff); }  // the symbol is the size category alone
  void Eob(int table) { Symbol(table, 0x00); }
  void Zrl(int table) { Symbol(table, 0xF0); }
  void Restart(int n);  // pads the byte with 1-bits, then RSTn
  std::vector<uint8_t> Finish();
  int Length(int table, int symbol) const { return length_[table][symbol]; }

 private:
  uint32_t code_[4][256] = {};
  int length_[4][256] = {};
  std::vector<uint8_t> out_;
  uint32_t acc_ = 0;
  int bits_ = 0;
};

// One MCU's chroma blocks of a 4:4:4-chroma frame, both empty (DC difference 0, EOB).
void TestEmptyChroma(TestEntropyWriter &w);

// A frame with the Annex K tables (no DHT: the decoder always uses them), every quantiser 1 but
// the luminance DC one (16-bit above 255), the given luminance sampling, optional restart
// interval and entropy-coded bytes.
std::vector<uint8_t> TestFrameWithEntropy(int width, int height, int h, int v, int restart,
                                          const std::vector<uint8_t> &entropy, int dc_quant = 1);

// A frame of random blocks (TestFrameWithEntropy, every quantiser 1): DC differences and AC
// values of every size category at random positions, in luminance and chrominance, so that
// samples leave 0..255 both ways and the colour offsets clamp. The same seed gives the same frame.
std::vector<uint8_t> TestRandomBlockFrame(int width, int height, int h, int v, int restart, uint32_t seed);
