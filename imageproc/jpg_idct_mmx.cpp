// Dequantisation and inverse DCT of one 8x8 block with MMX: the same Arai-Agui-Nakajima
// transform as idct_8x8_scalar (jpg_idct.cpp, which defines the arithmetic), four 16-bit lanes
// per instruction, giving the same bytes for every input. For processors with MMX but without
// SSE2 (Pentium II and III, Athlon).
//
// Why each instruction matches the definition:
//   dequantise   pmullw keeps the low 16 bits of the product;
//   + and -      paddw / psubw wrap modulo 2^16 (so the order of a chain of them is free);
//   M(v, K)      psllw by 2 drops the bits shifted out of 16, and pmulhw returns the high 16
//                bits of the signed 32-bit product (floor of product / 2^16);
//   output       psraw by 5, then packsswb and a flip of each byte's top bit (see
//                IDCT_DESCALE4) give clamp((o >> 5) + 128, 0, 255).
//
// The transform is written as instructions (GCC keeps few MMX values in registers and moves
// the rest through memory and general registers): eight registers, the 128-byte workspace on
// the stack, and the multiplier constants beside it.
//
// Column pass, columns 0-3 and then 4-7, one register per block row: the even part's four
// results wait in the workspace rows that the outputs built from them replace, while the odd
// part is formed in registers; each pair of outputs is then one addition and one subtraction.
// Row pass, rows 0-3 and then 4-7: two 4x4 transpositions in place in the workspace put one
// workspace column of those rows in each 8-byte slot, the same transform runs on them, each
// output column is descaled, two columns at a time are packed to bytes (packsswb), and three
// rounds of byte, word and doubleword interleaving turn the columns into the 8-byte rows.
//
// Sparse blocks: when a block's zig-zag extent is at most 10, every coefficient outside rows
// 0-3 and columns 0-3 is zero (zig-zag positions 0..9 all lie there). The transform is then
// run with those inputs taken as the zeros they are: columns 4-7 of the column pass give zeros
// (M(0, K) = 0), and x + 0 = x, so only the terms that can be non-zero are formed; the results
// are the same 16-bit values. Only the first four 8-byte quarters of the coefficients need
// clearing afterwards.
//
// Every entry ends with EMMS: the MMX registers are the x87 registers, and the floating-point
// unit must be usable again when the routine returns.
#include "jpg_idct.h"

#if JPG_IDCT_HAVE_MMX

// The workspace, 16 slots of four 16-bit values (slot 2 r + h: columns 4 h .. 4 h + 3 of row r,
// at byte 16 r + 8 h), followed by the constants the instructions read as memory operands.
struct IdctMmxFrame {
  uint64_t ws[16];
  uint64_t k1, k2, k3, k4; // at 128, 136, 144, 152: K1..K4 in every lane
  uint64_t sign;           // at 160: 0x80 in every byte
} __attribute__((aligned(8)));

// Transform constants, as in jpg_idct.cpp: effective factor K / 16384 after the 2-bit
// pre-shift; four 16-bit lanes each.
#define IDCT_MMX_LANES(k) (0x0001000100010001ULL * (uint16_t)(k))
static const uint64_t kIdctMmxK1 = IDCT_MMX_LANES(23170);  // 0x5A82:  1.41418, sqrt(2)
static const uint64_t kIdctMmxK2 = IDCT_MMX_LANES(30273);  // 0x7641:  1.84772, 2 cos(pi / 8)
static const uint64_t kIdctMmxK3 = IDCT_MMX_LANES(-12540); // 0xCF04: -0.76538, -2 sin(pi / 8)
static const uint64_t kIdctMmxK4 = IDCT_MMX_LANES(-30353); // 0x896F: -1.85260 (not -K2)
static const uint64_t kIdctMmxSign = 0x8080808080808080ULL;

static inline void idct_mmx_frame_init(IdctMmxFrame *f) {
  f->k1 = kIdctMmxK1;
  f->k2 = kIdctMmxK2;
  f->k3 = kIdctMmxK3;
  f->k4 = kIdctMmxK4;
  f->sign = kIdctMmxSign;
}

// The asm statements name the MMX registers, which needs the target attribute.
#define IDCT_MMX_INLINE static inline __attribute__((target("mmx"), always_inline))
#if defined(__i386__)
#define IDCT_MMX_ENTRY __attribute__((target("mmx"), force_align_arg_pointer))
#else
#define IDCT_MMX_ENTRY __attribute__((target("mmx")))
#endif

// Operands of every block statement: %[c] coefficients, %[q] table, %[f] frame, %[o] samples.
#define K1 "128(%[f])"
#define K2 "136(%[f])"
#define K3 "144(%[f])"
#define K4 "152(%[f])"
#define SIGN "160(%[f])"

// The odd part from z11 (mm0), z12 (mm4), z13 (mm3), z10 (mm5):
//   t7 = z11 + z13                      -> mm0
//   t6 = M(z10, K3) + M(z12, K2) - t7   -> mm2
//   t5 = M(z11 - z13, K1) - t6          -> mm1
//   t4 = M(z10, K4) + M(z12, K3) + t5   -> mm5
// mm3, mm4, mm6, mm7 are free afterwards.
#define IDCT_ODD_FROM_Z                                                                                            \
  "movq %%mm0, %%mm1\n\t"                                                                                          \
  "paddw %%mm3, %%mm0\n\t"                                                                                         \
  "psubw %%mm3, %%mm1\n\t"                                                                                         \
  "psllw $2, %%mm1\n\t"                                                                                            \
  "psllw $2, %%mm4\n\t"                                                                                            \
  "psllw $2, %%mm5\n\t"                                                                                            \
  "pmulhw " K1 ", %%mm1\n\t"                                                                                       \
  "movq %%mm5, %%mm2\n\t"                                                                                          \
  "movq %%mm4, %%mm3\n\t"                                                                                          \
  "pmulhw " K3 ", %%mm2\n\t"                                                                                       \
  "pmulhw " K2 ", %%mm3\n\t"                                                                                       \
  "pmulhw " K4 ", %%mm5\n\t"                                                                                       \
  "pmulhw " K3 ", %%mm4\n\t"                                                                                       \
  "paddw %%mm3, %%mm2\n\t"                                                                                         \
  "paddw %%mm4, %%mm5\n\t"                                                                                         \
  "psubw %%mm0, %%mm2\n\t"                                                                                         \
  "psubw %%mm2, %%mm1\n\t"                                                                                         \
  "paddw %%mm1, %%mm5\n\t"

// The odd part of one column pass half (byte offset H in each row: "0" or "8"): x1, x7, x3, x5
// dequantised, then z11 = x1 + x7, z12 = x1 - x7, z13 = x5 + x3, z10 = x5 - x3.
#define IDCT_COL_ODD(H)                                                                                            \
  "movq 16+" H "(%[c]), %%mm0\n\t"                                                                                 \
  "movq 112+" H "(%[c]), %%mm1\n\t"                                                                                \
  "movq 48+" H "(%[c]), %%mm2\n\t"                                                                                 \
  "movq 80+" H "(%[c]), %%mm3\n\t"                                                                                 \
  "pmullw 16+" H "(%[q]), %%mm0\n\t"                                                                               \
  "pmullw 112+" H "(%[q]), %%mm1\n\t"                                                                              \
  "pmullw 48+" H "(%[q]), %%mm2\n\t"                                                                               \
  "pmullw 80+" H "(%[q]), %%mm3\n\t"                                                                               \
  "movq %%mm0, %%mm4\n\t"                                                                                          \
  "movq %%mm3, %%mm5\n\t"                                                                                          \
  "paddw %%mm1, %%mm0\n\t"                                                                                         \
  "psubw %%mm1, %%mm4\n\t"                                                                                         \
  "paddw %%mm2, %%mm3\n\t"                                                                                         \
  "psubw %%mm2, %%mm5\n\t" IDCT_ODD_FROM_Z

// The even part from t10 (mm0), t11 (mm4), t13 (mm2), t12 (mm5): e0 .. e3 stored at E0 .. E3.
#define IDCT_EVEN_STORE(E0, E1, E2, E3)                                                                            \
  "movq %%mm0, %%mm1\n\t"                                                                                          \
  "movq %%mm4, %%mm3\n\t"                                                                                          \
  "paddw %%mm2, %%mm0\n\t"                                                                                         \
  "psubw %%mm2, %%mm1\n\t"                                                                                         \
  "paddw %%mm5, %%mm4\n\t"                                                                                         \
  "psubw %%mm5, %%mm3\n\t"                                                                                         \
  "movq %%mm0, " E0 "\n\t"                                                                                         \
  "movq %%mm4, " E1 "\n\t"                                                                                         \
  "movq %%mm3, " E2 "\n\t"                                                                                         \
  "movq %%mm1, " E3 "\n\t"

// The even part of one column pass half: x0, x4, x2, x6 dequantised; t10 = x0 + x4,
// t11 = x0 - x4, t13 = x2 + x6, t12 = M(x2 - x6, K1) - t13; e0 .. e3 into workspace rows 0..3.
#define IDCT_COL_EVEN(H)                                                                                           \
  "movq 0+" H "(%[c]), %%mm0\n\t"                                                                                  \
  "movq 64+" H "(%[c]), %%mm1\n\t"                                                                                 \
  "movq 32+" H "(%[c]), %%mm2\n\t"                                                                                 \
  "movq 96+" H "(%[c]), %%mm3\n\t"                                                                                 \
  "pmullw 0+" H "(%[q]), %%mm0\n\t"                                                                                \
  "pmullw 64+" H "(%[q]), %%mm1\n\t"                                                                               \
  "pmullw 32+" H "(%[q]), %%mm2\n\t"                                                                               \
  "pmullw 96+" H "(%[q]), %%mm3\n\t"                                                                               \
  "movq %%mm0, %%mm4\n\t"                                                                                          \
  "movq %%mm2, %%mm5\n\t"                                                                                          \
  "paddw %%mm1, %%mm0\n\t"                                                                                         \
  "psubw %%mm1, %%mm4\n\t"                                                                                         \
  "paddw %%mm3, %%mm2\n\t"                                                                                         \
  "psubw %%mm3, %%mm5\n\t"                                                                                         \
  "psllw $2, %%mm5\n\t"                                                                                            \
  "pmulhw " K1 ", %%mm5\n\t"                                                                                       \
  "psubw %%mm2, %%mm5\n\t" IDCT_EVEN_STORE("0+" H "(%[f])", "16+" H "(%[f])", "32+" H "(%[f])", "48+" H "(%[f])")

// Outputs of one column pass half from e0..e3 (workspace rows 0..3) and t7 (mm0), t6 (mm2),
// t5 (mm1), t4 (mm5): o0 = e0 + t7, o7 = e0 - t7, o1 = e1 + t6, o6 = e1 - t6, o2 = e2 + t5,
// o5 = e2 - t5, o4 = e3 + t4, o3 = e3 - t4, into workspace rows 0..7.
#define IDCT_COL_OUT(H)                                                                                            \
  "movq 0+" H "(%[f]), %%mm3\n\t"                                                                                  \
  "movq 16+" H "(%[f]), %%mm6\n\t"                                                                                 \
  "movq %%mm3, %%mm4\n\t"                                                                                          \
  "movq %%mm6, %%mm7\n\t"                                                                                          \
  "paddw %%mm0, %%mm3\n\t"                                                                                         \
  "psubw %%mm0, %%mm4\n\t"                                                                                         \
  "paddw %%mm2, %%mm6\n\t"                                                                                         \
  "psubw %%mm2, %%mm7\n\t"                                                                                         \
  "movq %%mm3, 0+" H "(%[f])\n\t"                                                                                  \
  "movq %%mm4, 112+" H "(%[f])\n\t"                                                                                \
  "movq %%mm6, 16+" H "(%[f])\n\t"                                                                                 \
  "movq %%mm7, 96+" H "(%[f])\n\t"                                                                                 \
  "movq 32+" H "(%[f]), %%mm3\n\t"                                                                                 \
  "movq 48+" H "(%[f]), %%mm6\n\t"                                                                                 \
  "movq %%mm3, %%mm4\n\t"                                                                                          \
  "movq %%mm6, %%mm7\n\t"                                                                                          \
  "paddw %%mm1, %%mm3\n\t"                                                                                         \
  "psubw %%mm1, %%mm4\n\t"                                                                                         \
  "paddw %%mm5, %%mm6\n\t"                                                                                         \
  "psubw %%mm5, %%mm7\n\t"                                                                                         \
  "movq %%mm3, 32+" H "(%[f])\n\t"                                                                                 \
  "movq %%mm4, 80+" H "(%[f])\n\t"                                                                                 \
  "movq %%mm6, 64+" H "(%[f])\n\t"                                                                                 \
  "movq %%mm7, 48+" H "(%[f])\n\t"

// Transposes the 4x4 sub-block of workspace slots A, B, C, D (rows i = 0..3 of four columns) in
// place: afterwards slot i holds column i of the four rows, lane j from row j.
#define IDCT_TRANSPOSE(A, B, C, D)                                                                                 \
  "movq " A ", %%mm0\n\t"                                                                                          \
  "movq " B ", %%mm1\n\t"                                                                                          \
  "movq " C ", %%mm2\n\t"                                                                                          \
  "movq " D ", %%mm3\n\t"                                                                                          \
  "movq %%mm0, %%mm4\n\t"                                                                                          \
  "movq %%mm2, %%mm5\n\t"                                                                                          \
  "punpcklwd %%mm1, %%mm0\n\t"                                                                                     \
  "punpckhwd %%mm1, %%mm4\n\t"                                                                                     \
  "punpcklwd %%mm3, %%mm2\n\t"                                                                                     \
  "punpckhwd %%mm3, %%mm5\n\t"                                                                                     \
  "movq %%mm0, %%mm1\n\t"                                                                                          \
  "movq %%mm4, %%mm3\n\t"                                                                                          \
  "punpckldq %%mm2, %%mm0\n\t"                                                                                     \
  "punpckhdq %%mm2, %%mm1\n\t"                                                                                     \
  "punpckldq %%mm5, %%mm4\n\t"                                                                                     \
  "punpckhdq %%mm5, %%mm3\n\t"                                                                                     \
  "movq %%mm0, " A "\n\t"                                                                                          \
  "movq %%mm1, " B "\n\t"                                                                                          \
  "movq %%mm4, " C "\n\t"                                                                                          \
  "movq %%mm3, " D "\n\t"

// Descale of the four outputs in registers R0..R3: o >> 5. The level shift follows the pack:
// o >> 5 lies in -1024..1023, so sat16((o >> 5) + 128) never saturates, and packsswb, which
// clamps to -128..127, then flipping each byte's top bit (adding 128 modulo 256) gives
// clamp((o >> 5) + 128, 0, 255), the byte packuswb would give after the addition.
#define IDCT_DESCALE4(R0, R1, R2, R3)                                                                              \
  "psraw $5, %%" R0 "\n\t"                                                                                         \
  "psraw $5, %%" R1 "\n\t"                                                                                         \
  "psraw $5, %%" R2 "\n\t"                                                                                         \
  "psraw $5, %%" R3 "\n\t"

// Outputs of one row pass group from e0..e3 (at E0..E3) and t7 (mm0), t6 (mm2), t5 (mm1),
// t4 (mm5), lane j of every value from row ROW + j: descaled, packed two columns to a register
// (a = o0 | o4, b = o1 | o5, c = o2 | o6, d = o3 | o7, byte j of each half from row ROW + j)
// and interleaved into the four rows' 8 bytes, stored at %[o] + 8 ROW.
#define IDCT_ROW_OUT(E0, E1, E2, E3, ROW)                                                                          \
  "movq " E0 ", %%mm3\n\t"                                                                                         \
  "movq " E3 ", %%mm6\n\t"                                                                                         \
  "movq %%mm3, %%mm4\n\t"                                                                                          \
  "movq %%mm6, %%mm7\n\t"                                                                                          \
  "paddw %%mm0, %%mm3\n\t"                                                                                         \
  "psubw %%mm0, %%mm4\n\t"                                                                                         \
  "paddw %%mm5, %%mm6\n\t"                                                                                         \
  "psubw %%mm5, %%mm7\n\t" IDCT_DESCALE4("mm3", "mm4", "mm6", "mm7")                                               \
  "packsswb %%mm6, %%mm3\n\t"                                                                                      \
  "packsswb %%mm4, %%mm7\n\t"                                                                                      \
  "movq " E1 ", %%mm4\n\t"                                                                                         \
  "movq " E2 ", %%mm6\n\t"                                                                                         \
  "movq %%mm4, %%mm5\n\t"                                                                                          \
  "movq %%mm6, %%mm0\n\t"                                                                                          \
  "paddw %%mm2, %%mm4\n\t"                                                                                         \
  "psubw %%mm2, %%mm5\n\t"                                                                                         \
  "paddw %%mm1, %%mm6\n\t"                                                                                         \
  "psubw %%mm1, %%mm0\n\t" IDCT_DESCALE4("mm4", "mm5", "mm6", "mm0")                                               \
  "packsswb %%mm0, %%mm4\n\t"                                                                                      \
  "packsswb %%mm5, %%mm6\n\t"                                                                                      \
  "pxor " SIGN ", %%mm3\n\t"                                                                                      \
  "pxor " SIGN ", %%mm4\n\t"                                                                                      \
  "pxor " SIGN ", %%mm6\n\t"                                                                                      \
  "pxor " SIGN ", %%mm7\n\t"                                                                                      \
  "movq %%mm3, %%mm1\n\t"                                                                                          \
  "movq %%mm6, %%mm2\n\t"                                                                                          \
  "punpcklbw %%mm4, %%mm3\n\t"                                                                                     \
  "punpckhbw %%mm4, %%mm1\n\t"                                                                                     \
  "punpcklbw %%mm7, %%mm6\n\t"                                                                                     \
  "punpckhbw %%mm7, %%mm2\n\t"                                                                                     \
  "movq %%mm3, %%mm0\n\t"                                                                                          \
  "movq %%mm1, %%mm4\n\t"                                                                                          \
  "punpcklwd %%mm6, %%mm3\n\t"                                                                                     \
  "punpckhwd %%mm6, %%mm0\n\t"                                                                                     \
  "punpcklwd %%mm2, %%mm1\n\t"                                                                                     \
  "punpckhwd %%mm2, %%mm4\n\t"                                                                                     \
  "movq %%mm3, %%mm2\n\t"                                                                                          \
  "movq %%mm0, %%mm5\n\t"                                                                                          \
  "punpckldq %%mm1, %%mm3\n\t"                                                                                     \
  "punpckhdq %%mm1, %%mm2\n\t"                                                                                     \
  "punpckldq %%mm4, %%mm0\n\t"                                                                                     \
  "punpckhdq %%mm4, %%mm5\n\t"                                                                                     \
  "movq %%mm3, 8*" ROW "(%[o])\n\t"                                                                                \
  "movq %%mm2, 8*" ROW "+8(%[o])\n\t"                                                                              \
  "movq %%mm0, 8*" ROW "+16(%[o])\n\t"                                                                             \
  "movq %%mm5, 8*" ROW "+24(%[o])\n\t"

// One row pass group (rows ROW .. ROW + 3, workspace bytes R .. R + 63): both sub-blocks
// transposed, so that x_c is at R + 16 c (c < 4) and R + 8 + 16 (c - 4) (c >= 4); the even
// part's e0..e3 replace x0, x4, x2, x6, the odd part is formed from x1, x7, x3, x5.
#define IDCT_ROW_GROUP(R, ROW)                                                                                     \
  IDCT_TRANSPOSE(R "+0(%[f])", R "+16(%[f])", R "+32(%[f])", R "+48(%[f])")                                        \
  IDCT_TRANSPOSE(R "+8(%[f])", R "+24(%[f])", R "+40(%[f])", R "+56(%[f])")                                        \
  "movq " R "+0(%[f]), %%mm0\n\t"                                                                                  \
  "movq " R "+32(%[f]), %%mm2\n\t"                                                                                 \
  "movq %%mm0, %%mm4\n\t"                                                                                          \
  "movq %%mm2, %%mm5\n\t"                                                                                          \
  "paddw " R "+8(%[f]), %%mm0\n\t"                                                                                 \
  "psubw " R "+8(%[f]), %%mm4\n\t"                                                                                 \
  "paddw " R "+40(%[f]), %%mm2\n\t"                                                                                \
  "psubw " R "+40(%[f]), %%mm5\n\t"                                                                                \
  "psllw $2, %%mm5\n\t"                                                                                            \
  "pmulhw " K1 ", %%mm5\n\t"                                                                                       \
  "psubw %%mm2, %%mm5\n\t" IDCT_EVEN_STORE(R "+0(%[f])", R "+8(%[f])", R "+32(%[f])", R "+40(%[f])")               \
  "movq " R "+16(%[f]), %%mm0\n\t"                                                                                 \
  "movq " R "+24(%[f]), %%mm3\n\t"                                                                                 \
  "movq %%mm0, %%mm4\n\t"                                                                                          \
  "movq %%mm3, %%mm5\n\t"                                                                                          \
  "paddw " R "+56(%[f]), %%mm0\n\t"                                                                                \
  "psubw " R "+56(%[f]), %%mm4\n\t"                                                                                \
  "paddw " R "+48(%[f]), %%mm3\n\t"                                                                                \
  "psubw " R "+48(%[f]), %%mm5\n\t" IDCT_ODD_FROM_Z IDCT_ROW_OUT(R "+0(%[f])", R "+8(%[f])", R "+32(%[f])",      \
                                                                  R "+40(%[f])", ROW)

// The odd part when x5 and x7 are zero, from x1 (mm0) and x3 (mm3): z11 = z12 = x1, z13 = x3,
// z10 = 0 - x3.
#define IDCT_ODD_SPARSE                                                                                            \
  "movq %%mm0, %%mm4\n\t"                                                                                          \
  "pxor %%mm5, %%mm5\n\t"                                                                                          \
  "psubw %%mm3, %%mm5\n\t" IDCT_ODD_FROM_Z

// The even part when x4 and x6 are zero, from x0 (mm0) and x2 (mm2): t10 = t11 = x0, t13 = x2,
// t12 = M(x2, K1) - x2.
#define IDCT_EVEN_SPARSE(E0, E1, E2, E3)                                                                           \
  "movq %%mm0, %%mm4\n\t"                                                                                          \
  "movq %%mm2, %%mm5\n\t"                                                                                          \
  "psllw $2, %%mm5\n\t"                                                                                            \
  "pmulhw " K1 ", %%mm5\n\t"                                                                                       \
  "psubw %%mm2, %%mm5\n\t" IDCT_EVEN_STORE(E0, E1, E2, E3)

// A row pass group of a sparse block: only the sub-block of columns 0-3 is non-zero.
#define IDCT_ROW_GROUP_SPARSE(R, ROW)                                                                              \
  IDCT_TRANSPOSE(R "+0(%[f])", R "+16(%[f])", R "+32(%[f])", R "+48(%[f])")                                        \
  "movq " R "+0(%[f]), %%mm0\n\t"                                                                                  \
  "movq " R "+32(%[f]), %%mm2\n\t" IDCT_EVEN_SPARSE(R "+0(%[f])", R "+8(%[f])", R "+32(%[f])", R "+40(%[f])")      \
  "movq " R "+16(%[f]), %%mm0\n\t"                                                                                 \
  "movq " R "+48(%[f]), %%mm3\n\t" IDCT_ODD_SPARSE IDCT_ROW_OUT(R "+0(%[f])", R "+8(%[f])", R "+32(%[f])",       \
                                                                 R "+40(%[f])", ROW)

// The odd part when only x1 can be non-zero, from x1 (mm0): t7 = x1 (mm0),
// t6 = M(x1, K2) - x1 (mm2), t5 = M(x1, K1) - t6 (mm1), t4 = M(x1, K3) + t5 (mm5), since
// z11 = z12 = x1, z13 = z10 = 0 and M(0, K) = 0. Uses mm3.
#define IDCT_ODD_TINY                                                                                              \
  "movq %%mm0, %%mm3\n\t"                                                                                          \
  "psllw $2, %%mm3\n\t"                                                                                            \
  "movq %%mm3, %%mm2\n\t"                                                                                          \
  "movq %%mm3, %%mm1\n\t"                                                                                          \
  "movq %%mm3, %%mm5\n\t"                                                                                          \
  "pmulhw " K2 ", %%mm2\n\t"                                                                                       \
  "pmulhw " K1 ", %%mm1\n\t"                                                                                       \
  "pmulhw " K3 ", %%mm5\n\t"                                                                                       \
  "psubw %%mm0, %%mm2\n\t"                                                                                         \
  "psubw %%mm2, %%mm1\n\t"                                                                                         \
  "paddw %%mm1, %%mm5\n\t"

// Four column pass outputs in mm3, mm6, mm7, mm4 (rows i = 0..3 of a group, columns in the
// lanes): workspace columns 0 and 1 of those rows, lane i from row i, into mm3 and mm6.
#define IDCT_TINY_COLUMNS01                                                                                        \
  "punpcklwd %%mm6, %%mm3\n\t"                                                                                     \
  "punpcklwd %%mm4, %%mm7\n\t"                                                                                     \
  "movq %%mm3, %%mm6\n\t"                                                                                          \
  "punpckldq %%mm7, %%mm3\n\t"                                                                                     \
  "punpckhdq %%mm7, %%mm6\n\t"

// The whole transform of the block at c with table q into the 64 bytes at o.
IDCT_MMX_INLINE void idct_block_mmx_full(const int16_t *c, const int16_t *q, IdctMmxFrame *f, uint8_t *o) {
  __asm__ volatile(IDCT_COL_EVEN("0") IDCT_COL_ODD("0") IDCT_COL_OUT("0")
                   IDCT_COL_EVEN("8") IDCT_COL_ODD("8") IDCT_COL_OUT("8")
                   IDCT_ROW_GROUP("0", "0") IDCT_ROW_GROUP("64", "4")
                   :
                   : [c] "r"(c), [q] "r"(q), [f] "r"(f), [o] "r"(o)
                   : "memory", "mm0", "mm1", "mm2", "mm3", "mm4", "mm5", "mm6", "mm7");
}

// The transform of a block whose coefficients outside rows 0-3 and columns 0-3 are zero.
IDCT_MMX_INLINE void idct_block_mmx_sparse(const int16_t *c, const int16_t *q, IdctMmxFrame *f, uint8_t *o) {
  __asm__ volatile("movq 0(%[c]), %%mm0\n\t"
                   "movq 32(%[c]), %%mm2\n\t"
                   "pmullw 0(%[q]), %%mm0\n\t"
                   "pmullw 32(%[q]), %%mm2\n\t"
                   IDCT_EVEN_SPARSE("0(%[f])", "16(%[f])", "32(%[f])", "48(%[f])")
                   "movq 16(%[c]), %%mm0\n\t"
                   "movq 48(%[c]), %%mm3\n\t"
                   "pmullw 16(%[q]), %%mm0\n\t"
                   "pmullw 48(%[q]), %%mm3\n\t"
                   IDCT_ODD_SPARSE IDCT_COL_OUT("0")
                   IDCT_ROW_GROUP_SPARSE("0", "0") IDCT_ROW_GROUP_SPARSE("64", "4")
                   :
                   : [c] "r"(c), [q] "r"(q), [f] "r"(f), [o] "r"(o)
                   : "memory", "mm0", "mm1", "mm2", "mm3", "mm4", "mm5", "mm6", "mm7");
}

// The transform of a block whose only coefficients that can be non-zero are those at natural
// positions 0, 1 and 8 (zig-zag extent at most 3). Column pass: x0 and x1 are the only inputs, so
// every e is x0 and o = x0 +- t. Only workspace columns 0 and 1 are then non-zero, and the row
// pass is the same transform of them; they are gathered from the column outputs in registers
// (x0 at 0, columns 0 and 1 of rows 0-3 at 16 and 24, of rows 4-7 at 32 and 40).
IDCT_MMX_INLINE void idct_block_mmx_tiny(const int16_t *c, const int16_t *q, IdctMmxFrame *f, uint8_t *o) {
  __asm__ volatile("movq 16(%[c]), %%mm0\n\t"
                   "pmullw 16(%[q]), %%mm0\n\t"
                   IDCT_ODD_TINY
                   "movq 0(%[c]), %%mm4\n\t"
                   "pmullw 0(%[q]), %%mm4\n\t"
                   "movq %%mm4, 0(%[f])\n\t"
                   "movq %%mm4, %%mm3\n\t"
                   "movq %%mm4, %%mm6\n\t"
                   "movq %%mm4, %%mm7\n\t"
                   "paddw %%mm0, %%mm3\n\t"
                   "paddw %%mm2, %%mm6\n\t"
                   "paddw %%mm1, %%mm7\n\t"
                   "psubw %%mm5, %%mm4\n\t"
                   IDCT_TINY_COLUMNS01
                   "movq %%mm3, 16(%[f])\n\t"
                   "movq %%mm6, 24(%[f])\n\t"
                   "movq 0(%[f]), %%mm4\n\t"
                   "movq %%mm4, %%mm3\n\t"
                   "movq %%mm4, %%mm6\n\t"
                   "movq %%mm4, %%mm7\n\t"
                   "paddw %%mm5, %%mm3\n\t"
                   "psubw %%mm1, %%mm6\n\t"
                   "psubw %%mm2, %%mm7\n\t"
                   "psubw %%mm0, %%mm4\n\t"
                   IDCT_TINY_COLUMNS01
                   "movq %%mm3, 32(%[f])\n\t"
                   "movq %%mm6, 40(%[f])\n\t"
                   "movq 24(%[f]), %%mm0\n\t"
                   IDCT_ODD_TINY
                   IDCT_ROW_OUT("16(%[f])", "16(%[f])", "16(%[f])", "16(%[f])", "0")
                   "movq 40(%[f]), %%mm0\n\t"
                   IDCT_ODD_TINY
                   IDCT_ROW_OUT("32(%[f])", "32(%[f])", "32(%[f])", "32(%[f])", "4")
                   :
                   : [c] "r"(c), [q] "r"(q), [f] "r"(f), [o] "r"(o)
                   : "memory", "mm0", "mm1", "mm2", "mm3", "mm4", "mm5", "mm6", "mm7");
}

#undef K1
#undef K2
#undef K3
#undef K4
#undef SIGN

// The largest zig-zag extent whose positions (0..9) all lie in rows 0-3 and columns 0-3, and the
// largest whose positions (0..2) are natural 0, 1 and 8.
static const int32_t kIdctMmxSparseExtent = 10;
static const int32_t kIdctMmxTinyExtent = 3;

IDCT_MMX_ENTRY void idct_8x8_mmx(const int16_t *coef, const int16_t *quant, uint8_t *const rows[8],
                                 uint32_t column_offset) {
  IdctMmxFrame f;
  idct_mmx_frame_init(&f);
  uint64_t s[8];
  idct_block_mmx_full(coef, quant, &f, (uint8_t *)s);
  __asm__ volatile("emms" ::: "memory");
  for (int32_t r = 0; r < 8; ++r) {
    __builtin_memcpy(rows[r] + column_offset, &s[r], 8);
  }
}

IDCT_MMX_ENTRY void idct_blocks_mmx(int16_t *coef, uint8_t *samples, int32_t *extent, int32_t count,
                                    const int16_t *const quant[], int32_t per_mcu) {
  IdctMmxFrame f;
  idct_mmx_frame_init(&f);
  for (int32_t i = 0, j = 0; i < count; ++i, coef += 64, samples += 64) {
    const int16_t *q = quant[j];
    j = j + 1 == per_mcu ? 0 : j + 1;
    const int32_t e = extent[i];
    if (e == 1) {
      // Only the DC coefficient can be non-zero: every sample is (x0 >> 5) + 128 clamped,
      // x0 the low 16 bits of DC x q0 (see idct_dc_sample).
      const uint32_t s4 = 0x01010101u * idct_dc_sample(coef[0], q[0]);
      __asm__ volatile("movd %[s], %%mm0\n\t"
                       "punpckldq %%mm0, %%mm0\n\t"
                       "movq %%mm0, 0(%[o])\n\t"
                       "movq %%mm0, 8(%[o])\n\t"
                       "movq %%mm0, 16(%[o])\n\t"
                       "movq %%mm0, 24(%[o])\n\t"
                       "movq %%mm0, 32(%[o])\n\t"
                       "movq %%mm0, 40(%[o])\n\t"
                       "movq %%mm0, 48(%[o])\n\t"
                       "movq %%mm0, 56(%[o])"
                       :
                       : [s] "r"(s4), [o] "r"(samples)
                       : "memory", "mm0");
      continue;
    }
    if (e <= kIdctMmxTinyExtent) {
      idct_block_mmx_tiny(coef, q, &f, samples);
      __asm__ volatile("pxor %%mm0, %%mm0\n\t"
                       "movq %%mm0, 0(%[c])\n\t"
                       "movq %%mm0, 16(%[c])"
                       :
                       : [c] "r"(coef)
                       : "memory", "mm0");
    } else if (e <= kIdctMmxSparseExtent) {
      idct_block_mmx_sparse(coef, q, &f, samples);
      __asm__ volatile("pxor %%mm0, %%mm0\n\t"
                       "movq %%mm0, 0(%[c])\n\t"
                       "movq %%mm0, 16(%[c])\n\t"
                       "movq %%mm0, 32(%[c])\n\t"
                       "movq %%mm0, 48(%[c])"
                       :
                       : [c] "r"(coef)
                       : "memory", "mm0");
    } else {
      idct_block_mmx_full(coef, q, &f, samples);
      __asm__ volatile("pxor %%mm0, %%mm0\n\t"
                       "movq %%mm0, 0(%[c])\n\t"
                       "movq %%mm0, 8(%[c])\n\t"
                       "movq %%mm0, 16(%[c])\n\t"
                       "movq %%mm0, 24(%[c])\n\t"
                       "movq %%mm0, 32(%[c])\n\t"
                       "movq %%mm0, 40(%[c])\n\t"
                       "movq %%mm0, 48(%[c])\n\t"
                       "movq %%mm0, 56(%[c])\n\t"
                       "movq %%mm0, 64(%[c])\n\t"
                       "movq %%mm0, 72(%[c])\n\t"
                       "movq %%mm0, 80(%[c])\n\t"
                       "movq %%mm0, 88(%[c])\n\t"
                       "movq %%mm0, 96(%[c])\n\t"
                       "movq %%mm0, 104(%[c])\n\t"
                       "movq %%mm0, 112(%[c])\n\t"
                       "movq %%mm0, 120(%[c])"
                       :
                       : [c] "r"(coef)
                       : "memory", "mm0");
    }
    extent[i] = 1;
  }
  __asm__ volatile("emms" ::: "memory");
}

#endif // JPG_IDCT_HAVE_MMX
