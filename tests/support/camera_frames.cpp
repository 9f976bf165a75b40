#include "support/camera_frames.h"

#include "../../host/camera/sim_media.h"

std::vector<uint8_t> TestJpegFrame(int width, int height, uint32_t seed, int quality) {
  SimParamBlock block;
  block.a[0] = seed;
  block.b[0] = uint32_t(width);
  block.b[1] = uint32_t(height);
  return SimEncoder_Encode(SimScene_Render(width, height, seed), 422, quality, 0, false, block);
}

std::vector<uint8_t> TestRawFrame(int width, int height, uint32_t seed, int quality) {
  std::vector<uint8_t> raw(80);
  for (int i = 0; i < 80; ++i) raw[i] = uint8_t(i * 7 + 3);  // the header is skipped, whatever it holds
  std::vector<uint8_t> jpeg = TestJpegFrame(width, height, seed, quality);
  raw.insert(raw.end(), jpeg.begin(), jpeg.end());
  return raw;
}
