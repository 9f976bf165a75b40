// The MMX form of the B, G, R colour conversion (jpg_colour_mmx.cpp), for processors with MMX
// but without SSE2; the scalar code in jpg_colour.cpp, with the colour tables of
// jpg_build_colour_tables, defines the result. Same calls and the same bytes as the SSE2 form
// (jpg_colour_sse2.h). Only to be called when the processor has MMX; each call ends with EMMS.
#pragma once

#include "jpg_internal.h"

#if defined(__GNUC__) && (defined(__i386__) || defined(__x86_64__))
#define JPG_COLOUR_HAVE_MMX 1
#else
#define JPG_COLOUR_HAVE_MMX 0
#endif

#if JPG_COLOUR_HAVE_MMX
// A line of MCUs 16 pixels wide that share each chroma sample between two (2x1 and 2x2
// sampling): MCU m starts at mcu + m x mcu_bytes; yl, yr, cb and cr are the offsets, inside an
// MCU, of the 8 samples of the left and right luminance block rows and of the chroma rows.
// Writes 48 bytes per MCU, and 2 bytes beyond the last one (the line buffers have room).
void colour_bgr_half_line_mmx(uint8_t *out, const uint8_t *mcu, int32_t mcu_bytes, int32_t mcus,
                              int32_t yl, int32_t yr, int32_t cb, int32_t cr);
// Two runs of eight pixels with chroma of their own (1x1 sampling): y0, cb0, cr0 for pixels
// 0..7 and y1, cb1, cr1 for pixels 8..15. Writes 48 bytes, and 2 bytes beyond them that a
// following call overwrites (the line buffers have room).
void colour_bgr_full16_mmx(uint8_t *out, const uint8_t *y0, const uint8_t *cb0,
                           const uint8_t *cr0, const uint8_t *y1, const uint8_t *cb1, const uint8_t *cr1);
#endif
