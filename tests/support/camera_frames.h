// Camera frames for the driver tests: an 80-byte raw-frame header followed by a baseline JPEG
// of the given size, 4:2:2 like the camera's, coded with the standard (Annex K) Huffman tables.
// Every block carries only its DC coefficient, so the encoder stays small and independent of
// the decoder under test, and the picture still varies from block to block.
#pragma once

#include <cstdint>
#include <vector>

// JPEG data alone. The block levels come from seed; quality picks the quantiser of DC.
std::vector<uint8_t> TestJpegFrame(int width, int height, uint32_t seed, int dcQuantiser = 8);

// The same JPEG behind an 80-byte header, as the class library delivers a raw frame.
std::vector<uint8_t> TestRawFrame(int width, int height, uint32_t seed, int dcQuantiser = 8);
