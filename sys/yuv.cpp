// BGR24 to YUY2 and I420. Both converters read the picture top row first (the last row in
// memory), work on pixel pairs with table look-ups and 8-bit wrap-around sums (no clamping),
// add 127 to chroma and leave the result at the start of the image buffer. YUY2 is full range
// (luma 0..255); I420 is the limited range players expect of it: luma 16..235 (the luma
// tables scaled by 219/255, then 16 added; their sum never passes 219, so nothing wraps).
#include "lumarex.h"

namespace {

// T[i] = floor(k * i + 0.5) for a coefficient k = kParts / parts: exact in integers.
struct ColourTable {
  UCHAR v[256];
};

constexpr ColourTable MakeTable(ULONG kParts, ULONG parts = 1000) {
  ColourTable t = {};
  for (ULONG i = 0; i < 256; ++i) {
    t.v[i] = (UCHAR)((kParts * i + parts / 2) / parts);
  }
  return t;
}

struct ConversionTables {
  ColourTable YR, YG, YB, UR, UG, UB, VG, VB;  // VR is UB
  UCHAR yOffset;                               // added to every luma sum
};

// Full-range coefficients for YUY2.
constexpr ConversionTables kYuy2 = {MakeTable(299), MakeTable(587), MakeTable(114), MakeTable(169),
                                    MakeTable(331), MakeTable(500), MakeTable(419), MakeTable(81), 0};
// Limited-range coefficients for I420: luma 0.299, 0.587 and 0.114 times 219/255 in
// ten-thousandths (white sums to 219), plus 16; the reduced-range chroma tables.
constexpr ConversionTables kI420 = {MakeTable(2568, 10000), MakeTable(5041, 10000), MakeTable(979, 10000),
                                    MakeTable(148), MakeTable(291), MakeTable(439), MakeTable(368), MakeTable(71),
                                    16};

inline UCHAR Luma(const ConversionTables &t, const UCHAR *bgr) {
  return (UCHAR)(t.YR.v[bgr[2]] + t.YG.v[bgr[1]] + t.YB.v[bgr[0]] + t.yOffset);
}
inline UCHAR ChromaU(const ConversionTables &t, const UCHAR *bgr) {
  return (UCHAR)(t.UB.v[bgr[0]] - t.UG.v[bgr[1]] - t.UR.v[bgr[2]] + 127);
}
inline UCHAR ChromaV(const ConversionTables &t, const UCHAR *bgr) {
  return (UCHAR)(t.UB.v[bgr[2]] - t.VG.v[bgr[1]] - t.VB.v[bgr[0]] + 127);
}

}  // namespace

// LUMAREX_RGB24ToYUY2 - width * 2 bytes per row, Y0 U Y1 V per pixel pair: U from the left
// pixel, V from the right one. An unpaired last pixel of an odd width gets Y and U only, so a
// row never grows past width * 2 bytes.
// Runs on the decode worker at PASSIVE_LEVEL.
VOID LUMAREX_RGB24ToYUY2(PUCHAR *rows, PUCHAR out, LONG width, LONG height) {
  const ConversionTables &t = kYuy2;
  ULONG rowBytes = (ULONG)width * 2;

  for (LONG i = 0; i < height; ++i) {
    const UCHAR *src = rows[height - 1 - i];
    PUCHAR dst = out + (ULONG)i * rowBytes;
    LONG x = 0;
    for (; x + 1 < width; x += 2, src += 6, dst += 4) {
      dst[0] = Luma(t, src);
      dst[1] = ChromaU(t, src);
      dst[2] = Luma(t, src + 3);
      dst[3] = ChromaV(t, src + 3);
    }
    if (x < width) {
      dst[0] = Luma(t, src);
      dst[1] = ChromaU(t, src);
    }
  }

  LUMAREX_StoreYUY2Rows(rows, out, width, height);
}

// LUMAREX_StoreYUY2Rows - copies the converted YUY2 rows from the work buffer out to the start
// of the image and points rows at them. Runs on the decode worker at PASSIVE_LEVEL.
VOID LUMAREX_StoreYUY2Rows(PUCHAR *rows, const UCHAR *out, LONG width, LONG height) {
  const ULONG rowBytes = (ULONG)width * 2;
  RtlCopyMemory(rows[0], out, (SIZE_T)rowBytes * (ULONG)height);
  for (LONG i = 1; i < height; ++i) {
    rows[i] = rows[0] + (ULONG)i * rowBytes;
  }
}

// LUMAREX_RGB24ToI420 - a Y plane of width * height bytes, then U and V planes of
// (width / 2) * (height / 2) bytes each at width * height and width * height * 5 / 4. Chroma
// comes from the left pixel of each pair of the upper row of each row pair. An unpaired last
// column or row (odd sizes) gets luma only, so no plane grows past its size.
// Runs on the decode worker at PASSIVE_LEVEL.
VOID LUMAREX_RGB24ToI420(PUCHAR *rows, PUCHAR out, LONG width, LONG height) {
  const ConversionTables &t = kI420;
  ULONG pixels = (ULONG)width * (ULONG)height;
  PUCHAR y = out;
  PUCHAR u = out + pixels;
  PUCHAR v = u + pixels / 4;

  for (LONG k = 0; 2 * k < height; ++k) {
    const UCHAR *upper = rows[height - 1 - 2 * k];
    BOOLEAN hasLower = 2 * k + 1 < height;
    for (LONG x = 0; x < width; ++x) {
      *y++ = Luma(t, upper + 3 * x);
      if (hasLower && (x & 1) == 0 && x + 1 < width) {
        *u++ = ChromaU(t, upper + 3 * x);
        *v++ = ChromaV(t, upper + 3 * x);
      }
    }
    if (hasLower) {
      const UCHAR *lower = rows[height - 2 - 2 * k];
      for (LONG x = 0; x < width; ++x) {
        *y++ = Luma(t, lower + 3 * x);
      }
    }
  }

  RtlCopyMemory(rows[0], out, pixels + pixels / 2);
}
