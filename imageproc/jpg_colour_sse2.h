// The SSE2 form of the B, G, R colour conversion (jpg_colour_sse2.cpp); the scalar code in
// jpg_colour.cpp defines the result. Only to be called when the processor has SSE2.
#pragma once

#include "jpg_internal.h"

#if defined(__GNUC__) && (defined(__i386__) || defined(__x86_64__))
#define JPG_COLOUR_HAVE_SSE2 1
#else
#define JPG_COLOUR_HAVE_SSE2 0
#endif

#if JPG_COLOUR_HAVE_SSE2
// Sixteen pixels sharing each chroma sample between two (2x1 sampling): yl, yr the 8 samples
// of the left and right luminance blocks, cb, cr 8 chroma samples. Writes 48 bytes and two
// more bytes after them.
void colour_bgr_half16_sse2(const JpgDecoder *d, uint8_t *out, const uint8_t *yl, const uint8_t *yr,
                            const uint8_t *cb, const uint8_t *cr);
// Two runs of eight pixels with chroma of their own (1x1 sampling): y0, cb0, cr0 for pixels
// 0..7 and y1, cb1, cr1 for pixels 8..15. Writes 48 bytes and two more bytes after them.
void colour_bgr_full16_sse2(const JpgDecoder *d, uint8_t *out, const uint8_t *y0, const uint8_t *cb0,
                            const uint8_t *cr0, const uint8_t *y1, const uint8_t *cb1, const uint8_t *cr1);
#endif
