// The colour tables of the YUY2 and I420 converters: their coefficients, from which the scalar
// and MMX converters make their look-up tables, and the form the SSE2 converters compute:
// T[i] = floor(k * i + 0.5) is the exact integer form
// T[i] = (floor(i * m / 256) + c) >> 7. The constants m and c are checked against the table's
// own definition for all 256 inputs when this header is compiled, so a wrong constant does not
// build.
#pragma once

#include "lumarex.h"

namespace {

// One table as multiplier and rounding constant; k = kParts / parts.
struct TableForm {
  ULONG kParts;
  USHORT m;
  USHORT c;
  ULONG parts;
};

// The table's own definition: T[i] = floor(k * i + 0.5), exact in integers.
constexpr ULONG TableValue(const TableForm &f, ULONG i) { return (f.kParts * i + f.parts / 2) / f.parts; }

constexpr bool FormExact(const TableForm &f) {
  for (ULONG i = 0; i < 256; ++i) {
    if ((((i * f.m) >> 8) + f.c) >> 7 != TableValue(f, i)) return false;
  }
  return true;
}

// The tables in the order YR, YG, YB, UR, UG, UB (= VR), VG, VB, and the luma offset.
struct ConverterForms {
  TableForm t[8];
  USHORT yOffset;
};

// Full-range coefficients for YUY2.
constexpr ConverterForms kYuy2Forms = {{{299, 9798, 64, 1000}, {587, 19231, 67, 1000}, {114, 3736, 64, 1000},
                                        {169, 5536, 65, 1000}, {331, 10845, 65, 1000}, {500, 16321, 127, 1000},
                                        {419, 13728, 65, 1000}, {81, 2652, 65, 1000}},
                                       0};
// Limited-range coefficients for I420: luma 0.299, 0.587 and 0.114 times 219/255 in
// ten-thousandths (white sums to 219), plus 16; the reduced-range chroma tables.
constexpr ConverterForms kI420Forms = {{{2568, 8411, 66, 10000}, {5041, 16516, 66, 10000}, {979, 3208, 64, 10000},
                                        {148, 4846, 66, 1000}, {291, 9533, 65, 1000}, {439, 14384, 65, 1000},
                                        {368, 12058, 64, 1000}, {71, 2327, 64, 1000}},
                                       16};

constexpr bool AllExact(const ConverterForms &f) {
  for (int i = 0; i < 8; ++i) {
    if (!FormExact(f.t[i])) return false;
  }
  return true;
}
static_assert(AllExact(kYuy2Forms), "a YUY2 table form differs from its table");
static_assert(AllExact(kI420Forms), "an I420 table form differs from its table");

enum { YR, YG, YB, UR, UG, UB, VG, VB };

// Table t of the forms f at i.
constexpr ULONG FormValue(const ConverterForms &f, int t, ULONG i) { return TableValue(f.t[t], i); }

}  // namespace
