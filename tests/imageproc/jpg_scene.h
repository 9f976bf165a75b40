// Synthetic natural-looking pictures for the decoder tests and benchmarks: shading, soft and hard
// edges, textures at several scales and grain, giving short and long codes, flat and busy blocks.
#pragma once

#include <cstdint>
#include <vector>

// width x height pixels of R, G, B, top row first. Different seeds give different scenes.
std::vector<uint8_t> TestScene(int width, int height, uint32_t seed);
