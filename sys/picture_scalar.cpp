// The picture adjustments' scalar form organised for speed, for processors without MMX: the
// definition's arithmetic (picture.cpp) with its three passes over the image folded into one
// pass per row and its per-pixel steps folded into tables built once per frame.
//
// For settings in 0..100 nothing overflows 32 bits, so the definition's 64-bit clamps become
// table look-ups:
//   - sharpening: a channel plus the edge measure dv, clamped, is the same with dv first
//     clamped to -255..255, so the tables are indexed by 256 + dv + channel and take the clamp
//     in; Channel is wide enough for dv unclamped;
//   - brightness and saturation: red becomes clamp(sat[bright[r]] - sat[bright[g]] + bright[g]),
//     that is the saturation term of r plus the green base of g, which lies in -255..765, and
//     blue the same;
//   - contrast maps each channel's final value, so it is folded into the clamp of red and blue
//     (ClampContrast) and into green's final value.
// One table entry per channel value holds what each channel needs, so that a pixel takes one
// pointer into it. With saturation at 50 (the default) the channels do not mix: each byte is
// then one look-up in Channel, and with brightness and contrast at 50 as well only the
// sharpened pixels change at all.
// The luma image the sharpening reads is made from the unsharpened pixels: row y + 2's luma is
// made before row y is changed, rows below y + 1 are never read again.
// On 32-bit x86 the sharpening loop of the default path (saturation at 50) is written as
// instructions, with the same steps: GCC cannot keep its values in the seven registers.
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
  if (sv == 50) {
    // The channels apart: Channel alone is used. Below the centre every sum clamps to 0, past
    // 255 above it to 255.
    const UCHAR low = contrast[Clamp255(bv - 50)], high = contrast[Clamp255(255 + bv - 50)];
    for (LONG i = 0; i < LUMAREX_CHANNEL_CENTRE; ++i) {
      t->Channel[i] = low;
    }
    for (LONG i = 0; i < 256; ++i) {
      t->Channel[LUMAREX_CHANNEL_CENTRE + i] = contrast[Clamp255(i + bv - 50)];
    }
    for (LONG i = LUMAREX_CHANNEL_CENTRE + 256; i < (LONG)sizeof(t->Channel); ++i) {
      t->Channel[i] = high;
    }
    return;
  }
  for (LONG i = 0; i < 768; ++i) {
    const LONG bright = Clamp255(Clamp255(i - 256) + bv - 50);
    const LONG sat = (LONG)(((ULONG)bright * (ULONG)sv) / 50);
    t->Pixel[i][0] = sat;
    t->Pixel[i][1] = (bright - sat) * 256 + contrast[bright];
  }
  for (LONG i = 0; i < 1024; ++i) {
    t->ClampContrast[i] = contrast[Clamp255(i - 256)];
  }
}

inline UCHAR Luma(const UCHAR *p) { return (UCHAR)((77 * p[2] + 150 * p[1] + 29 * p[0]) >> 8); }

// Two pixels a step: the loop's own steps are then shared by two.
void LumaRow(const UCHAR *p, PUCHAR l, LONG width) {
  LONG x = 0;
  for (; x + 1 < width; x += 2, p += 6) {
    l[x] = Luma(p);
    l[x + 1] = Luma(p + 3);
  }
  if (x < width) {
    l[x] = Luma(p);
  }
}

// The colour steps of one pixel whose channels index the table at e (256 + dv past Pixel).
inline void ColourPixel(PUCHAR px, const LONG (*e)[2], const UCHAR *out) {
  const LONG green = e[px[1]][1];
  const LONG base = green >> 8;
  px[0] = out[e[px[0]][0] + base];
  px[1] = (UCHAR)green;
  px[2] = out[e[px[2]][0] + base];
}

// Brightness, saturation and contrast of pixels [from, to) of a row, unsharpened.
void ColourSpan(PUCHAR p, LONG from, LONG to, const PLUMAREX_PICTURE_TABLES t) {
  const LONG(*e)[2] = t->Pixel + 256;
  const UCHAR *out = t->ClampContrast + 256;
  for (PUCHAR px = p + 3 * from, end = p + 3 * to; px != end; px += 3) {
    ColourPixel(px, e, out);
  }
}

// The sharpening's term dv of the pixel whose luma is at c (the rows two above and below at
// c - stride and c + stride), before any clamp. The edge measure is the definition's: with
// h = 2c - l - r and v = 2c - u - d it is |v - h| (h + v) + |u - d| v + |l - r| h, formed
// with two multiplies as (|v - h| + |u - d|) v + (|v - h| + |l - r|) h. Its magnitude is at
// most 510 * 510 (the largest over all luma values), so with Sh <= 100 dv lies in
// -3176..3175.
inline LONG SharpenDelta(const UCHAR *c, LONG stride, LONG sh) {
  const LONG c2 = 2 * c[0], l = c[-2], r = c[2], u = c[-stride], d = c[stride];
  const LONG h = c2 - l - r, v = c2 - u - d;
  const LONG a1 = Abs32(v - h);
  const LONG sum = (a1 + Abs32(u - d)) * v + (a1 + Abs32(l - r)) * h;
  return (sum * sh) >> 13;
}

// SharpenDelta clamped to -255..255: a channel plus either clamps alike.
inline LONG SharpenTerm(const UCHAR *c, LONG stride, LONG sh) {
  const LONG dv = SharpenDelta(c, stride, sh);
  return dv < -255 ? -255 : dv > 255 ? 255 : dv;
}

// Sharpening, brightness, saturation and contrast of the pixels 2..width - 3 of row y, whose
// luma row is lm.
void SharpenRow(PUCHAR p, const UCHAR *lm, LONG width, LONG sh, const PLUMAREX_PICTURE_TABLES t) {
  const LONG stride = 2 * width;
  const UCHAR *end = lm + width - 2;
  PUCHAR px = p + 6;
  for (const UCHAR *c = lm + 2; c != end; ++c, px += 3) {
    ColourPixel(px, t->Pixel + 256 + SharpenTerm(c, stride, sh), t->ClampContrast + 256);
  }
}

// Saturation at 50: brightness and contrast of the bytes [from, to) of a row, unsharpened.
void ChannelSpan(PUCHAR p, LONG from, LONG to, const PLUMAREX_PICTURE_TABLES t) {
  const UCHAR *out = t->Channel + LUMAREX_CHANNEL_CENTRE;
  for (PUCHAR b = p + from, end = p + to; b != end; ++b) {
    *b = out[*b];
  }
}

// SharpenRow with saturation at 50: each channel plus dv through Channel, which takes the
// clamps in.
void SharpenRowChannels(PUCHAR p, const UCHAR *lm, LONG width, LONG sh, const PLUMAREX_PICTURE_TABLES t) {
  const LONG stride = 2 * width;
  const UCHAR *channel = t->Channel + LUMAREX_CHANNEL_CENTRE;
#if defined(__i386__)
  // The same steps as instructions: GCC keeps about ten of the loop's values on the stack, this
  // form none. u walks the row two above; the centre row and the row two below are u + stride
  // and u + 2 stride, so one pointer and the stride reach all five luma values, and the pixel
  // of u is at 3 u + toPixel. The edge measure is formed as |v - h| (v + h) + |u - d| v +
  // |l - r| h; |x| is x or its negation, whichever is not negative (neg, cmovs).
  const UCHAR *u = lm + 2 - stride;
  const UCHAR *const end = u + (width - 4);
  const ULONG_PTR toPixel = (ULONG_PTR)(p + 6) - 3 * (ULONG_PTR)u;
  if (u == end) {
    return;
  }
  LONG a, b, c, d, e;
  __asm__ volatile(
      "1:\n\t"
      "movzbl (%[u],%[s]), %[a]\n\t"    // c
      "movzbl -2(%[u],%[s]), %[b]\n\t"  // l
      "movzbl 2(%[u],%[s]), %[c]\n\t"   // r
      "addl %[a], %[a]\n\t"             // 2 c
      "movl %[a], %[d]\n\t"
      "subl %[b], %[d]\n\t"
      "subl %[c], %[d]\n\t"             // h = 2 c - l - r
      "subl %[c], %[b]\n\t"
      "movl %[b], %[c]\n\t"
      "negl %[c]\n\t"
      "cmovsl %[b], %[c]\n\t"           // |l - r|
      "movzbl (%[u]), %[b]\n\t"         // up
      "movzbl (%[u],%[s],2), %[e]\n\t"  // down
      "subl %[b], %[a]\n\t"
      "subl %[e], %[a]\n\t"             // v = 2 c - up - down
      "subl %[e], %[b]\n\t"
      "movl %[b], %[e]\n\t"
      "negl %[e]\n\t"
      "cmovsl %[b], %[e]\n\t"           // |up - down|
      "imull %[a], %[e]\n\t"
      "imull %[d], %[c]\n\t"
      "addl %[c], %[e]\n\t"             // |up - down| v + |l - r| h
      "movl %[a], %[b]\n\t"
      "subl %[d], %[b]\n\t"
      "movl %[b], %[c]\n\t"
      "negl %[c]\n\t"
      "cmovsl %[b], %[c]\n\t"           // |v - h|
      "addl %[d], %[a]\n\t"
      "imull %[c], %[a]\n\t"
      "addl %[e], %[a]\n\t"             // the edge measure
      "imull %[sh], %[a]\n\t"
      "sarl $13, %[a]\n\t"              // dv
      "addl %[tab], %[a]\n\t"           // Channel + dv
      "leal (%[u],%[u],2), %[e]\n\t"
      "addl %[px], %[e]\n\t"            // the pixel
      "movzbl (%[e]), %[b]\n\t"
      "movzbl (%[a],%[b]), %[b]\n\t"
      "movb %b[b], (%[e])\n\t"
      "movzbl 1(%[e]), %[b]\n\t"
      "movzbl (%[a],%[b]), %[b]\n\t"
      "movb %b[b], 1(%[e])\n\t"
      "movzbl 2(%[e]), %[b]\n\t"
      "movzbl (%[a],%[b]), %[b]\n\t"
      "movb %b[b], 2(%[e])\n\t"
      "addl $1, %[u]\n\t"
      "cmpl %[end], %[u]\n\t"
      "jne 1b"
      : [u] "+r"(u), [a] "=&r"(a), [b] "=&q"(b), [c] "=&r"(c), [d] "=&r"(d), [e] "=&r"(e)
      : [s] "r"(stride), [sh] "m"(sh), [tab] "m"(channel), [px] "m"(toPixel), [end] "m"(end)
      : "cc", "memory");
#else
  const UCHAR *end = lm + width - 2;
  PUCHAR px = p + 6;
  for (const UCHAR *c = lm + 2; c != end; ++c, px += 3) {
    const UCHAR *q = channel + SharpenDelta(c, stride, sh);
    px[0] = q[px[0]];
    px[1] = q[px[1]];
    px[2] = q[px[2]];
  }
#endif
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
  const BOOLEAN channels = (BOOLEAN)(settings->Saturation == 50);
  // Every table the identity: the unsharpened pixels keep their values.
  const BOOLEAN identity = (BOOLEAN)(channels && settings->Brightness == 50 && settings->Contrast == 50);
  LONG lumaRows = 0;  // rows whose luma is made
  for (LONG y = 0; y < height; ++y) {
    PUCHAR p = rows[y];
    if (sharpen) {
      for (const LONG need = y + 3 <= height ? y + 3 : height; lumaRows < need; ++lumaRows) {
        LumaRow(rows[lumaRows], luma + (ULONG)lumaRows * (ULONG)width, width);
      }
    }
    const BOOLEAN sharpenRow = (BOOLEAN)(sharpen && y >= 2 && y <= height - 3);
    if (channels) {
      if (sharpenRow) {
        if (!identity) {
          ChannelSpan(p, 0, 6, tables);
        }
        SharpenRowChannels(p, luma + (ULONG)y * (ULONG)width, width, sh, tables);
        if (!identity) {
          ChannelSpan(p, 3 * (width - 2), 3 * width, tables);
        }
      } else if (!identity) {
        ChannelSpan(p, 0, 3 * width, tables);
      }
    } else if (sharpenRow) {
      ColourSpan(p, 0, 2, tables);
      SharpenRow(p, luma + (ULONG)y * (ULONG)width, width, sh, tables);
      ColourSpan(p, width - 2, width, tables);
    } else {
      ColourSpan(p, 0, width, tables);
    }
  }
  return TRUE;
}
