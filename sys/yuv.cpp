// BGR24 to YUY2 and I420. Both converters read the picture top row first (the last row in
// memory), work on pixel pairs with table look-ups and 8-bit wrap-around sums (no clamping),
// add 127 to chroma and leave the result at the start of the image buffer. The scalar forms
// below form a pixel's three sums in one 32-bit addition of packed tables. YUY2 is full range
// (luma 0..255); I420 is the limited range players expect of it: luma 16..235 (the luma
// tables scaled by 219/255, then 16 added; their sum never passes 219, so nothing wraps).
#include "lumarex.h"
#include "yuv_forms.h"

namespace {

// The three sums of a pixel at once: Y in bits 0..9, U in bits 10..19 and V in bits 20..29 of
// B[b] + G[g] + R[r]. Every term a sum subtracts is added as 256 - term, which is the same
// modulo 256, so that no lane ever goes below 0 or past 1023 (Y at most 3 x 255 + 16, U and V at
// most 255 + 256 + 383) and none carries into the next: each lane's low byte is the byte of the
// sum above.
struct PackedTables {
  ULONG B[256], G[256], R[256];
};

constexpr PackedTables MakePacked(const ConverterForms &f) {
  PackedTables p = {};
  for (ULONG i = 0; i < 256; ++i) {
    p.B[i] = FormValue(f, YB, i) | FormValue(f, UB, i) << 10 | (256 - FormValue(f, VB, i)) << 20;
    p.G[i] = FormValue(f, YG, i) | (256 - FormValue(f, UG, i)) << 10 | (256 - FormValue(f, VG, i)) << 20;
    p.R[i] = (FormValue(f, YR, i) + f.yOffset) | (256 - FormValue(f, UR, i) + 127) << 10 | (FormValue(f, UB, i) + 127) << 20;
  }
  return p;
}

constexpr PackedTables kYuy2Packed = MakePacked(kYuy2Forms);
constexpr PackedTables kI420Packed = MakePacked(kI420Forms);

inline ULONG Packed(const PackedTables &p, const UCHAR *bgr) { return p.B[bgr[0]] + p.G[bgr[1]] + p.R[bgr[2]]; }

}  // namespace

// LUMAREX_RGB24ToYUY2 - width * 2 bytes per row, Y0 U Y1 V per pixel pair: U from the left
// pixel, V from the right one. An unpaired last pixel of an odd width gets Y and U only, so a
// row never grows past width * 2 bytes.
// Runs on the decode worker at PASSIVE_LEVEL.
VOID LUMAREX_RGB24ToYUY2(PUCHAR *rows, PUCHAR out, LONG width, LONG height) {
  ULONG rowBytes = (ULONG)width * 2;

  for (LONG i = 0; i < height; ++i) {
    const UCHAR *src = rows[height - 1 - i];
    PUCHAR dst = out + (ULONG)i * rowBytes;
    LONG x = 0;
    for (; x + 1 < width; x += 2, src += 6, dst += 4) {
      const ULONG left = Packed(kYuy2Packed, src), right = Packed(kYuy2Packed, src + 3);
      dst[0] = (UCHAR)left;
      dst[1] = (UCHAR)(left >> 10);
      dst[2] = (UCHAR)right;
      dst[3] = (UCHAR)(right >> 20);
    }
    if (x < width) {
      const ULONG last = Packed(kYuy2Packed, src);
      dst[0] = (UCHAR)last;
      dst[1] = (UCHAR)(last >> 10);
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
  ULONG pixels = (ULONG)width * (ULONG)height;
  PUCHAR y = out;
  PUCHAR u = out + pixels;
  PUCHAR v = u + pixels / 4;

  for (LONG k = 0; 2 * k < height; ++k) {
    const UCHAR *upper = rows[height - 1 - 2 * k];
    BOOLEAN hasLower = 2 * k + 1 < height;
    if (hasLower) {
      // Pixel pairs of the upper row: the left one carries the pair's chroma.
      LONG x = 0;
      for (; x + 1 < width; x += 2) {
        const ULONG left = Packed(kI420Packed, upper + 3 * x);
        y[0] = (UCHAR)left;
        y[1] = (UCHAR)Packed(kI420Packed, upper + 3 * x + 3);
        y += 2;
        *u++ = (UCHAR)(left >> 10);
        *v++ = (UCHAR)(left >> 20);
      }
      if (x < width) {
        *y++ = (UCHAR)Packed(kI420Packed, upper + 3 * x);
      }
      const UCHAR *lower = rows[height - 2 - 2 * k];
      for (x = 0; x < width; ++x) {
        *y++ = (UCHAR)Packed(kI420Packed, lower + 3 * x);
      }
    } else {
      for (LONG x = 0; x < width; ++x) {
        *y++ = (UCHAR)Packed(kI420Packed, upper + 3 * x);
      }
    }
  }

  RtlCopyMemory(rows[0], out, pixels + pixels / 2);
}
