// Frames built marker by marker for the decoder tests.
#include "jpg_stream_builder.h"

std::vector<uint8_t> TestCameraLikeFrame(int height, int width, int h, int v) {
  std::vector<uint8_t> block(76), dht{0, 0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  std::vector<int> luma(64), chroma(64);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(0x40 + i);
  for (int i = 0; i < 64; ++i) luma[i] = 2 + i, chroma[i] = 3 + 2 * i;
  return TestJpgStream().Soi().Segment(0xE0, block).Dqt(0, luma).Dqt(1, chroma).Sof0(height, width, h, v)
      .Segment(0xC4, dht).Dri(4).Sos3().Bytes({0x12, 0x34, 0xFF, 0x00, 0x56, 0xFF, 0xD0, 0x78, 0x9A}).Eoi().Data();
}
