// The picture adjustments' scalar form organised for speed, for processors without MMX: the
// definition's arithmetic (picture.cpp) with its three passes over the image folded into one
// pass per row and its per-pixel steps folded into tables built once per frame.
//
// For settings in 0..100 nothing overflows 32 bits, so the definition's 64-bit clamps become
// table look-ups:
//   - sharpening: a channel plus the edge measure dv, clamped, is the same with dv first
//     clamped to -255..255, so every table is indexed by 256 + dv + channel and takes the clamp
//     in;
//   - brightness and saturation: red becomes clamp(sat[bright[r]] - sat[bright[g]] + bright[g]),
//     that is SaturatedBright[r] + GreenBase[g], which lies in -255..765, and blue the same;
//   - contrast maps each channel's final value, so it is folded into the clamp of red and blue
//     (ClampContrast) and into green's table (GreenOut).
// The luma image the sharpening reads is made from the unsharpened pixels: row y + 2's luma is
// made before row y is changed, rows below y + 1 are never read again.
#include "lumarex.h"

namespace {

inline LONG Abs32(LONG v) { return v < 0 ? -v : v; }

inline LONG Clamp255(LONG v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

inline BOOLEAN InRange(LONG v) { return (BOOLEAN)(v >= 0 && v <= 100); }

void BuildTables(const LUMAREX_FRAME_SETTINGS *settings, PLUMAREX_PICTURE_TABLES t) {
  const LONG bv = settings->Brightness;
  const LONG sv = settings->Saturation;
  const LONG cv = settings->Contrast;
  // The contrast table as the definition makes it (identity at 50, where the definition skips
  // the step).
  UCHAR contrast[256];
  const ULONG step = (ULONG)(2 * (cv - 50) + 255);
  ULONG product = 0;
  for (ULONG i = 0; i < 256; ++i, product += step) {
    contrast[i] = cv == 50 ? (UCHAR)i : (UCHAR)Clamp255((LONG)(product / 255) + (50 - cv));
  }
  for (LONG i = 0; i < 768; ++i) {
    const LONG bright = Clamp255(Clamp255(i - 256) + bv - 50);
    const LONG sat = (LONG)(((ULONG)bright * (ULONG)sv) / 50);
    t->SaturatedBright[i] = sat;
    t->GreenBase[i] = bright - sat;
    t->GreenOut[i] = contrast[bright];
  }
  for (LONG i = 0; i < 1024; ++i) {
    t->ClampContrast[i] = contrast[Clamp255(i - 256)];
  }
}

void LumaRow(const UCHAR *p, PUCHAR l, LONG width) {
  for (LONG x = 0; x < width; ++x, p += 3) {
    l[x] = (UCHAR)((77 * p[2] + 150 * p[1] + 29 * p[0]) >> 8);
  }
}

// The colour steps of one pixel whose channels index the tables at sb, gb and go (256 + dv
// past their start).
inline void ColourPixel(PUCHAR px, const LONG *sb, const LONG *gb, const UCHAR *go, const UCHAR *out) {
  const LONG b = px[0], g = px[1], r = px[2];
  const LONG base = gb[g];
  px[0] = out[sb[b] + base];
  px[1] = go[g];
  px[2] = out[sb[r] + base];
}

// Brightness, saturation and contrast of pixels [from, to) of a row, unsharpened.
void ColourSpan(PUCHAR p, LONG from, LONG to, const PLUMAREX_PICTURE_TABLES t) {
  const LONG *sb = t->SaturatedBright + 256;
  const LONG *gb = t->GreenBase + 256;
  const UCHAR *go = t->GreenOut + 256;
  const UCHAR *out = t->ClampContrast + 256;
  for (LONG x = from; x < to; ++x) {
    ColourPixel(p + 3 * x, sb, gb, go, out);
  }
}

// Sharpening, brightness, saturation and contrast of the pixels 2..width - 3 of row y, whose
// luma row is lm (the rows two above and below at lm - 2 width and lm + 2 width). The edge
// measure is the definition's: with h = 2c - l - r and v = 2c - u - d it is
// |v - h| (h + v) + |u - d| v + |l - r| h.
void SharpenRow(PUCHAR p, const UCHAR *lm, LONG width, LONG sh, const PLUMAREX_PICTURE_TABLES t) {
  const UCHAR *lu = lm - 2 * width;
  const UCHAR *ld = lm + 2 * width;
  const UCHAR *out = t->ClampContrast + 256;
  for (LONG x = 2; x <= width - 3; ++x) {
    const LONG c2 = 2 * lm[x], l = lm[x - 2], r = lm[x + 2], u = lu[x], d = ld[x];
    const LONG h = c2 - l - r, v = c2 - u - d;
    const ULONG sum = (ULONG)(Abs32(v - h) * (h + v)) + (ULONG)(Abs32(u - d) * v) + (ULONG)(Abs32(l - r) * h);
    LONG dv = (LONG)(sum * (ULONG)sh) >> 13;
    dv = dv < -255 ? -255 : dv > 255 ? 255 : dv;
    ColourPixel(p + 3 * x, t->SaturatedBright + 256 + dv, t->GreenBase + 256 + dv, t->GreenOut + 256 + dv, out);
  }
}

}  // namespace

// LUMAREX_AdjustImageFast - as LUMAREX_AdjustImageDefinition for settings in 0..100; FALSE
// with nothing changed for any other setting. The white balance is not used.
BOOLEAN LUMAREX_AdjustImageFast(PUCHAR *rows, LONG width, LONG height, const LUMAREX_FRAME_SETTINGS *settings,
                                PUCHAR luma, PLUMAREX_PICTURE_TABLES tables) {
  const LONG sh = settings->Sharpness;
  if (!InRange(settings->Brightness) || !InRange(settings->Contrast) || !InRange(settings->Saturation) ||
      !InRange(sh)) {
    return FALSE;
  }
  if (width <= 0 || height <= 0) {
    return TRUE;
  }
  BuildTables(settings, tables);
  const BOOLEAN sharpen = (BOOLEAN)(sh != 0 && width >= 5 && height >= 5);
  if (sh != 0 && !sharpen) {
    // Too small for the 5x5 neighbourhood: the definition still fills the luma image.
    for (LONG y = 0; y < height; ++y) {
      LumaRow(rows[y], luma + (ULONG)y * (ULONG)width, width);
    }
  }
  LONG lumaRows = 0;  // rows whose luma is made
  for (LONG y = 0; y < height; ++y) {
    PUCHAR p = rows[y];
    if (sharpen) {
      for (const LONG need = y + 3 <= height ? y + 3 : height; lumaRows < need; ++lumaRows) {
        LumaRow(rows[lumaRows], luma + (ULONG)lumaRows * (ULONG)width, width);
      }
    }
    if (sharpen && y >= 2 && y <= height - 3) {
      ColourSpan(p, 0, 2, tables);
      SharpenRow(p, luma + (ULONG)y * (ULONG)width, width, sh, tables);
      ColourSpan(p, width - 2, width, tables);
    } else {
      ColourSpan(p, 0, width, tables);
    }
  }
  return TRUE;
}
