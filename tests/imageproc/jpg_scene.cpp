// See jpg_scene.h.
#include "jpg_scene.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace {

// Value noise: a lattice of random values, bilinearly interpolated with smoothstep weights.
struct ValueNoise {
  int cells;
  std::vector<float> lattice;
  ValueNoise(int n, std::mt19937 &rng) : cells(n), lattice(static_cast<size_t>(n + 1) * (n + 1)) {
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (float &v : lattice) v = u(rng);
  }
  float At(float x, float y) const {  // x, y in 0..1
    float fx = x * cells, fy = y * cells;
    int ix = std::min(static_cast<int>(fx), cells - 1), iy = std::min(static_cast<int>(fy), cells - 1);
    float tx = fx - ix, ty = fy - iy;
    tx = tx * tx * (3 - 2 * tx);
    ty = ty * ty * (3 - 2 * ty);
    auto L = [&](int a, int b) { return lattice[static_cast<size_t>(b) * (cells + 1) + a]; };
    float top = L(ix, iy) + (L(ix + 1, iy) - L(ix, iy)) * tx, bottom = L(ix, iy + 1) + (L(ix + 1, iy + 1) - L(ix, iy + 1)) * tx;
    return top + (bottom - top) * ty;
  }
};

// Several octaves, amplitude halving as the frequency doubles.
struct Fractal {
  std::vector<ValueNoise> octaves;
  Fractal(int base, int count, std::mt19937 &rng) {
    for (int i = 0; i < count; ++i) octaves.emplace_back(base << i, rng);
  }
  float At(float x, float y) const {
    float sum = 0, amp = 1;
    for (const ValueNoise &n : octaves) sum += amp * n.At(x, y), amp *= 0.5f;
    return sum;
  }
};

struct Blob {
  float cx, cy, rx, ry, softness, color[3], texture;
};

}  // namespace

std::vector<uint8_t> TestScene(int width, int height, uint32_t seed) {
  std::mt19937 rng(seed * 2654435761u + 12345u);
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  Fractal sky(2, 4, rng), ground(3, 7, rng), detail(8, 5, rng);
  float sky_top[3], sky_low[3], ground_col[3];
  for (int c = 0; c < 3; ++c) {
    sky_top[c] = 40 + 160 * u(rng);
    sky_low[c] = 120 + 130 * u(rng);
    ground_col[c] = 30 + 150 * u(rng);
  }
  float horizon = 0.3f + 0.3f * u(rng);
  std::vector<Blob> blobs(4 + seed % 5);
  for (Blob &b : blobs) {
    b.cx = u(rng);
    b.cy = u(rng);
    b.rx = 0.05f + 0.25f * u(rng);
    b.ry = 0.05f + 0.25f * u(rng);
    b.softness = u(rng) < 0.5f ? 0.01f : 0.2f;
    for (float &c : b.color) c = 255 * u(rng);
    b.texture = 20 + 60 * u(rng);
  }
  std::normal_distribution<float> grain(0.0f, 3.0f);
  std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      float fx = (x + 0.5f) / width, fy = (y + 0.5f) / height, col[3];
      float edge = horizon + 0.05f * sky.At(fx, 0.5f);
      if (fy < edge) {  // sky with clouds, ground with texture
        float t = fy / edge, cloud = std::max(0.0f, sky.At(fx, fy)) * 90;
        for (int c = 0; c < 3; ++c) col[c] = sky_top[c] + (sky_low[c] - sky_top[c]) * t + cloud;
      } else {
        float tex = ground.At(fx, fy);
        for (int c = 0; c < 3; ++c) col[c] = ground_col[c] * (1 + 0.6f * tex) + 25 * detail.At(fx, fy);
      }
      for (const Blob &b : blobs) {
        float dx = (fx - b.cx) / b.rx, dy = (fy - b.cy) / b.ry, r = std::sqrt(dx * dx + dy * dy);
        float w = std::clamp((1 - r) / b.softness, 0.0f, 1.0f);
        if (w <= 0) continue;
        float shade = 0.7f + 0.3f * (1 - r) + b.texture / 255 * detail.At(fx * 1.7f, fy * 1.3f);
        for (int c = 0; c < 3; ++c) col[c] = col[c] * (1 - w) + w * b.color[c] * shade;
      }
      uint8_t *p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
      for (int c = 0; c < 3; ++c) p[c] = static_cast<uint8_t>(std::clamp(col[c] + grain(rng), 0.0f, 255.0f));
    }
  }
  return rgb;
}
