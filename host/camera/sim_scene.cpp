// The built-in test scene the simulated camera films when it has no image sources. It moves
// with the frame number so that consecutive frames differ, has soft edges and gentle texture
// like a real picture (so JPEG has AC content to code but no artificial hard colour edges that
// chroma subsampling would smear), and carries the frame number in luma-only blocks that
// survive compression.
#include <algorithm>
#include <cmath>
#include <vector>

#include "sim_media.h"

namespace {

// 0..1 ramp over [edge - soft, edge + soft].
double Smooth(double x, double edge, double soft) {
  double t = (x - edge + soft) / (2 * soft);
  t = std::min(1.0, std::max(0.0, t));
  return t * t * (3 - 2 * t);
}

uint8_t Clamp(double v) { return uint8_t(std::min(255.0, std::max(0.0, v + 0.5))); }

}  // namespace

void SimScene_NumberBlocks(int width, int height, int *x0, int *y0, int *size) {
  int s = std::max(4, (width / 160) * 6);
  *size = s;
  // Even positions and sizes keep the blocks' edges on chroma sample boundaries.
  *x0 = std::max(0, (width - 16 * s) / 2) & ~1;
  *y0 = std::max(0, height / 16) & ~1;
}

SimImage SimScene_Render(int width, int height, uint64_t frame) {
  SimImage image;
  image.width = width;
  image.height = height;
  image.rgb.assign(size_t(width) * height * 3, 0);
  if (width <= 0 || height <= 0) {
    return image;
  }
  // Seven bars at 75 %: white, yellow, cyan, green, magenta, red, blue.
  static const double bars[7][3] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                                    {191, 0, 191},   {191, 0, 0},   {0, 0, 191}};
  const double t = double(frame);
  const double soft = std::max(2.0, width / 80.0);
  // A shaded disc on a Lissajous path and a bright vertical bar sweeping across.
  const double discR = height * 0.18;
  const double discX = width * (0.5 + 0.3 * std::sin(t * 0.11));
  const double discY = height * (0.55 + 0.2 * std::sin(t * 0.07 + 1.0));
  const double barX = std::fmod(t * width / 90.0, double(width + 40)) - 20;
  const double barHalf = std::max(2.0, width / 64.0);
  const double rampTop = height * 0.75;
  // Everything but the disc separates into terms of x, of y or of x + y: computed once.
  std::vector<double> barColour(size_t(width) * 3), texX(width), texY(height), ripple(width + height);
  for (int x = 0; x < width; ++x) {
    // Colour bars, blended across their edges.
    double pos = (x + 0.5) * 7.0 / width;
    int i = std::min(6, int(pos));
    double w = 0;
    int j = i;
    double frac = pos - i;
    if (frac > 0.5 && i < 6) {
      j = i + 1;
      w = Smooth(x + 0.5, double(j) * width / 7.0, soft);
    } else if (frac <= 0.5 && i > 0) {
      j = i - 1;
      w = 1 - Smooth(x + 0.5, double(i) * width / 7.0, soft);
    }
    for (int k = 0; k < 3; ++k) barColour[size_t(x) * 3 + k] = bars[i][k] * (1 - w) + bars[j][k] * w + 32;
    texX[x] = std::sin(x * 0.35 + t * 0.5);
  }
  for (int y = 0; y < height; ++y) texY[y] = std::sin(y * 0.27 - t * 0.2);
  for (int d = 0; d < width + height; ++d) ripple[d] = 8 * std::sin(d * 0.2 + t * 0.3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      double c[3];
      if (y < rampTop) {
        // The bars under a gentle texture that drifts with the frame number.
        double tex = 10 * texX[x] * texY[y];
        for (int k = 0; k < 3; ++k) c[k] = barColour[size_t(x) * 3 + k] * 0.8 + tex;
      } else {
        // Grey ramp with a faint diagonal ripple.
        double g = 16 + 224.0 * x / std::max(1, width - 1);
        for (double &v : c) v = g + ripple[x + y];
      }
      // The disc: radial shading from warm centre to darker rim, soft boundary.
      double dx = x + 0.5 - discX, dy = y + 0.5 - discY;
      double edge = discR + std::max(1.5, discR * 0.08);
      double r = std::fabs(dx) < edge && std::fabs(dy) < edge ? std::sqrt(dx * dx + dy * dy) : edge;
      double inside = 1 - Smooth(r, discR, std::max(1.5, discR * 0.08));
      if (inside > 0) {
        double shade = 1 - 0.5 * (r / discR);
        double disc[3] = {240 * shade, 150 * shade + 40 * std::cos(t * 0.05), 60 * shade + 30};
        for (int k = 0; k < 3; ++k) c[k] = c[k] * (1 - inside) + disc[k] * inside;
      }
      // The bright bar, near white with a soft profile.
      double bar = 1 - Smooth(std::fabs(x + 0.5 - barX), barHalf, barHalf * 0.5);
      if (bar > 0) {
        for (int k = 0; k < 3; ++k) c[k] = c[k] * (1 - bar) + 235 * bar;
      }
      uint8_t *p = &image.rgb[(size_t(y) * width + x) * 3];
      for (int k = 0; k < 3; ++k) p[k] = Clamp(c[k]);
    }
  }
  // The frame number's low 16 bits, neutral grey so that only luma carries them.
  int x0, y0, s;
  SimScene_NumberBlocks(width, height, &x0, &y0, &s);
  for (int b = 0; b < 16; ++b) {
    bool one = ((frame >> (15 - b)) & 1) != 0;
    uint8_t level = one ? 220 : 30;
    for (int y = y0; y < std::min(height, y0 + s); ++y) {
      for (int x = x0 + b * s; x < std::min(width, x0 + (b + 1) * s); ++x) {
        uint8_t *p = &image.rgb[(size_t(y) * width + x) * 3];
        p[0] = p[1] = p[2] = level;
      }
    }
  }
  return image;
}
