// Camera frames for the driver tests: the simulated camera's picture of frame `seed`, coded by its
// encoder (4:2:2, standard Huffman tables; checked against libjpeg by the host camera tests).
#pragma once

#include <cstdint>
#include <vector>

// JPEG data alone, at the quality given.
std::vector<uint8_t> TestJpegFrame(int width, int height, uint32_t seed, int quality = 75);

// The same JPEG behind an 80-byte header, as the class library delivers a raw frame.
std::vector<uint8_t> TestRawFrame(int width, int height, uint32_t seed, int quality = 75);
