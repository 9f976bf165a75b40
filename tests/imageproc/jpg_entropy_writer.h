// Writes Huffman-coded entropy data with the standard tables of ITU-T T.81 Annex K, for
// tests that need exact control over every symbol: DC differences, AC coefficients, runs,
// ZRL, end of block, byte stuffing and restart markers. The codes are assigned here from the
// code-length counts as in Annex C (Figures C.1 and C.2), independently of the decoder's
// table builder. Host test code only.
#pragma once

#include <cstdint>
#include <vector>

enum TestHuffTable { kDcLuma = 0, kDcChroma = 1, kAcLuma = 2, kAcChroma = 3 };

class TestEntropyWriter {
 public:
  TestEntropyWriter();

  // A symbol of one of the four tables.
  void Symbol(int table, int symbol);
  // Raw bits, most significant first.
  void Bits(uint32_t value, int count);
  // A DC difference: its size category, then the value bits (F.1.2.1).
  void Dc(int table, int diff);
  // An AC coefficient after run zeros.
  void Ac(int table, int run, int value);
  void Eob(int table) { Symbol(table, 0x00); }
  void Zrl(int table) { Symbol(table, 0xF0); }
  // Pads the last byte with 1-bits, then appends RSTn.
  void Restart(int n);
  // Pads with 1-bits and returns the bytes (0xFF stuffed with 0x00).
  std::vector<uint8_t> Finish();

  // The code and length the standard table gives a symbol (length 0 if it has none).
  uint32_t Code(int table, int symbol) const { return code_[table][symbol]; }
  int Length(int table, int symbol) const { return length_[table][symbol]; }

 private:
  void PadToByte();
  uint32_t code_[4][256];
  int length_[4][256];
  std::vector<uint8_t> out_;
  uint32_t acc_ = 0;
  int bits_ = 0;
};

// Size category of a value: the number of bits of |v| (0 for 0).
int TestSizeCategory(int v);

// A complete frame with Annex K tables (no DHT: the decoder always uses them), quantiser 1
// everywhere (each DQT entry 1), the given luminance sampling, optional restart interval,
// and the given entropy-coded bytes.
std::vector<uint8_t> TestFrameWithEntropy(int width, int height, int h, int v, int restart,
                                          const std::vector<uint8_t> &entropy);
