#include "contact_sheet.h"

#include <algorithm>

#include "frame_writer.h"

namespace {

constexpr int kGap = 4;       // pixels between tiles and around the sheet
constexpr int kLabel = 14;    // the band under each tile holding its number
constexpr int kScale = 2;     // the digits' pixel size

// Digits 0..9 in a 3 x 5 font, one row per 3 bits (bit 2 the left column).
constexpr uint8_t kDigits[10][5] = {
    {7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 3, 1, 7}, {5, 5, 7, 1, 1},
    {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 2, 2}, {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7},
};

void BandColour(FrameKind kind, uint8_t *c) {
  static const uint8_t kColours[5][3] = {{40, 120, 40}, {90, 90, 90}, {200, 110, 0}, {30, 80, 200}, {200, 30, 30}};
  const uint8_t *k = kColours[int(kind)];
  c[0] = k[0], c[1] = k[1], c[2] = k[2];
}

}  // namespace

const char *FrameKindName(FrameKind kind) {
  switch (kind) {
    case FrameKind::Picture: return "picture";
    case FrameKind::Blank: return "blank";
    case FrameKind::Repeat: return "repeat";
    case FrameKind::Still: return "still";
    case FrameKind::Damaged: return "damaged";
  }
  return "?";
}

ContactSheet::ContactSheet(int frameWidth, int frameHeight, int tileWidth, int columns)
    : frameWidth_(frameWidth),
      frameHeight_(frameHeight),
      tileWidth_(tileWidth),
      tileHeight_(std::max(1, tileWidth * frameHeight / std::max(1, frameWidth))),
      columns_(std::max(1, columns)) {}

void ContactSheet::Add(unsigned k, const uint8_t *rgb, FrameKind kind) {
  Tile tile{k, kind, std::vector<uint8_t>(size_t(tileWidth_) * tileHeight_ * 3)};
  // Box filter: each tile pixel is the mean of the frame pixels it covers.
  for (int ty = 0; ty < tileHeight_; ++ty) {
    const int y0 = ty * frameHeight_ / tileHeight_, y1 = std::max(y0 + 1, (ty + 1) * frameHeight_ / tileHeight_);
    for (int tx = 0; tx < tileWidth_; ++tx) {
      const int x0 = tx * frameWidth_ / tileWidth_, x1 = std::max(x0 + 1, (tx + 1) * frameWidth_ / tileWidth_);
      unsigned sum[3] = {0, 0, 0}, n = 0;
      for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x, ++n) {
          for (int c = 0; c < 3; ++c) sum[c] += rgb[(size_t(y) * frameWidth_ + x) * 3 + c];
        }
      }
      for (int c = 0; c < 3; ++c) tile.rgb[(size_t(ty) * tileWidth_ + tx) * 3 + c] = uint8_t((sum[c] + n / 2) / n);
    }
  }
  tiles_.push_back(std::move(tile));
}

void ContactSheet::Save(const std::string &path) const {
  if (tiles_.empty()) return;
  const int columns = std::min<int>(columns_, int(tiles_.size()));
  const int rows = int((tiles_.size() + columns - 1) / columns);
  const int cellW = tileWidth_ + kGap, cellH = tileHeight_ + kLabel + kGap;
  const int width = kGap + columns * cellW, height = kGap + rows * cellH;
  std::vector<uint8_t> sheet(size_t(width) * height * 3, 24);
  auto put = [&](int x, int y, const uint8_t *c) {
    uint8_t *p = &sheet[(size_t(y) * width + x) * 3];
    p[0] = c[0], p[1] = c[1], p[2] = c[2];
  };
  for (size_t i = 0; i < tiles_.size(); ++i) {
    const Tile &t = tiles_[i];
    const int left = kGap + int(i % columns) * cellW, top = kGap + int(i / columns) * cellH;
    for (int y = 0; y < tileHeight_; ++y) {
      for (int x = 0; x < tileWidth_; ++x) put(left + x, top + y, &t.rgb[(size_t(y) * tileWidth_ + x) * 3]);
    }
    uint8_t band[3];
    BandColour(t.kind, band);
    for (int y = 0; y < kLabel; ++y) {
      for (int x = 0; x < tileWidth_; ++x) put(left + x, top + tileHeight_ + y, band);
    }
    // The frame number in white digits at the band's left.
    const std::string digits = std::to_string(t.k);
    static const uint8_t kWhite[3] = {255, 255, 255};
    for (size_t d = 0; d < digits.size(); ++d) {
      const uint8_t *glyph = kDigits[digits[d] - '0'];
      const int gx = left + 3 + int(d) * 4 * kScale, gy = top + tileHeight_ + 2;
      for (int r = 0; r < 5; ++r) {
        for (int c = 0; c < 3; ++c) {
          if (!(glyph[r] & (4 >> c))) continue;
          for (int sy = 0; sy < kScale; ++sy) {
            for (int sx = 0; sx < kScale; ++sx) {
              if (gx + c * kScale + sx < left + tileWidth_) put(gx + c * kScale + sx, gy + r * kScale + sy, kWhite);
            }
          }
        }
      }
    }
  }
  WritePngFile(path, sheet.data(), width, height);
}
