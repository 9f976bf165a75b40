// Synthetic natural-looking pictures for the decoder tests and benchmarks: smooth shading,
// objects with soft and hard edges, textures over several scales (1/f-like noise) and sensor
// grain, so that the encoded frames exercise short and long Huffman codes, DC-only and busy
// blocks alike, as camera pictures do. Host test code only.
#pragma once

#include <cstdint>
#include <vector>

// width x height pixels of R, G, B, top row first. Different seeds give different scenes.
std::vector<uint8_t> TestScene(int width, int height, uint32_t seed);
