// Picture adjustments of a decoded frame: sharpening, brightness, saturation and contrast,
// applied in place to the BGR image in g_pBmpBuf, then the conversion to YUY2 or I420 when
// the stream asks for one. All arithmetic is integer and identical in the scalar and vector
// forms.
#include "lumarex.h"


namespace {

inline UCHAR Clamp255(LONGLONG v) { return (UCHAR)(v < 0 ? 0 : v > 255 ? 255 : v); }

inline LONG Abs32(LONG v) { return v < 0 ? -v : v; }

// CPUID function 1's EDX (the feature flags), asked once: under a hypervisor each CPUID leaves
// the guest and costs microseconds, and the worker asks for every frame. Threads asking at
// once each store the same answer; the flag is set after the answer.
LONG volatile g_nCpuidEdx;
LONG volatile g_bCpuidAsked;

ULONG AskCpuidFeaturesEdx() {
#if defined(__i386__) || defined(__x86_64__)
  ULONG eax = 1, ebx, ecx = 0, edx;
  // ebx may hold the GOT pointer in position-independent 32-bit code: keep it intact.
#if defined(__i386__)
  __asm__ volatile("xchgl %%ebx, %1\n\tcpuid\n\txchgl %%ebx, %1" : "+a"(eax), "=&r"(ebx), "+c"(ecx), "=d"(edx));
#else
  __asm__ volatile("cpuid" : "+a"(eax), "=b"(ebx), "+c"(ecx), "=d"(edx));
#endif
  (void)ebx;
  return edx;
#else
  return 0;
#endif
}

ULONG CpuidFeaturesEdx() {
  if (InterlockedCompareExchange(&g_bCpuidAsked, 0, 0) == 0) {
    InterlockedExchange(&g_nCpuidEdx, (LONG)AskCpuidFeaturesEdx());
    InterlockedExchange(&g_bCpuidAsked, 1);
  }
  return (ULONG)InterlockedCompareExchange(&g_nCpuidEdx, 0, 0);
}

}  // namespace

// LUMAREX_HasMMX - CPUID function 1, EDX bit 23. Any IRQL.
BOOLEAN LUMAREX_HasMMX(VOID) { return (CpuidFeaturesEdx() & (1u << 23)) ? TRUE : FALSE; }

// LUMAREX_HasSSE2 - CPUID function 1, EDX bit 26: the instructions the vector form uses.
BOOLEAN LUMAREX_HasSSE2(VOID) { return (CpuidFeaturesEdx() & (1u << 26)) ? TRUE : FALSE; }

// LUMAREX_ProcessorForms - SSE2 where the processor has it, else MMX, else scalar. Any IRQL.
UCHAR LUMAREX_ProcessorForms(VOID) {
  if (LUMAREX_HasSSE2()) {
    return LUMAREX_FORMS_SSE2;
  }
  return LUMAREX_HasMMX() ? (UCHAR)LUMAREX_FORMS_MMX : (UCHAR)LUMAREX_FORMS_SCALAR;
}

// LUMAREX_AdjustImageScalarTables - the scalar adjustments: the fast form for settings in
// 0..100, the definition for any others. Same arguments and conditions as the definition.
VOID LUMAREX_AdjustImageScalarTables(PUCHAR *rows, LONG width, LONG height, const LUMAREX_FRAME_SETTINGS *settings,
                                     PUCHAR luma, PLUMAREX_PICTURE_TABLES tables) {
  if (!LUMAREX_AdjustImageFast(rows, width, height, settings, luma, tables)) {
    LUMAREX_AdjustImageDefinition(rows, width, height, settings, luma, tables);
  }
}

// LUMAREX_AdjustImageDefinition - the definition of the three adjustments.
// rows[y] is row y in memory (row 0 = bottom of the picture), width * 3 bytes of B, G, R;
// tables is the caller's work space for the per-frame look-up tables. Any IRQL at which the
// image and the work buffers may be touched. No result.
VOID LUMAREX_AdjustImageDefinition(PUCHAR *rows, LONG width, LONG height, const LUMAREX_FRAME_SETTINGS *settings,
                                   PUCHAR luma, PLUMAREX_PICTURE_TABLES tables) {
  const LONG sh = settings->Sharpness;
  const LONG bv = settings->Brightness;
  const LONG sv = settings->Saturation;
  const LONG cv = settings->Contrast;

  // Sharpening: a luma edge measure around each pixel, two pixels away in each direction,
  // added to all three channels. The luma image is not updated, so results never feed back.
  if (sh != 0) {
    for (LONG y = 0; y < height; ++y) {
      const UCHAR *p = rows[y];
      PUCHAR l = luma + (ULONG)y * (ULONG)width;
      for (LONG x = 0; x < width; ++x, p += 3) {
        l[x] = (UCHAR)((77 * p[2] + 150 * p[1] + 29 * p[0]) >> 8);
      }
    }
    for (LONG y = 2; y <= height - 3; ++y) {
      const UCHAR *lm = luma + (ULONG)y * (ULONG)width;
      const UCHAR *lu = lm - 2 * width;
      const UCHAR *ld = lm + 2 * width;
      PUCHAR p = rows[y];
      for (LONG x = 2; x <= width - 3; ++x) {
        LONG c = lm[x], l = lm[x - 2], r = lm[x + 2], u = lu[x], d = ld[x];
        // Signed 32-bit arithmetic; formed unsigned so that extreme settings wrap the way
        // 32-bit hardware does instead of being undefined.
        ULONG sum = (ULONG)(Abs32((l + r) - (u + d)) * (4 * c - l - r - u - d)) +
                    (ULONG)(Abs32(u - d) * (2 * c - u - d)) + (ULONG)(Abs32(l - r) * (2 * c - l - r));
        LONG dv = (LONG)(sum * (ULONG)sh) >> 13;
        PUCHAR px = p + 3 * x;
        px[0] = Clamp255((LONGLONG)px[0] + dv);
        px[1] = Clamp255((LONGLONG)px[1] + dv);
        px[2] = Clamp255((LONGLONG)px[2] + dv);
      }
    }
  }

  // Brightness, then saturation: R - G and B - G scaled by Sv / 50 around the new green.
  PUCHAR bright = tables->Brightness;
  PULONG sat = tables->Saturation;
  for (ULONG i = 0; i < 256; ++i) {
    bright[i] = Clamp255((LONGLONG)i + bv - 50);
    sat[i] = (i * (ULONG)sv) / 50;
  }
  for (LONG y = 0; y < height; ++y) {
    PUCHAR p = rows[y];
    for (LONG x = 0; x < width; ++x, p += 3) {
      UCHAR b = bright[p[0]], g = bright[p[1]], r = bright[p[2]];
      p[1] = g;
      p[2] = Clamp255((LONG)(sat[r] - sat[g]) + (LONGLONG)g);
      p[0] = Clamp255((LONG)(sat[b] - sat[g]) + (LONGLONG)g);
    }
  }

  // Contrast around the middle: i * step / 255 with step = 255 + 2 * (Cv - 50), the product
  // kept as a running unsigned 32-bit sum.
  if (cv != 50) {
    PUCHAR contrast = tables->Contrast;
    ULONG step = (ULONG)(2 * (cv - 50) + 255);
    ULONG product = 0;
    for (ULONG i = 0; i < 256; ++i, product += step) {
      contrast[i] = Clamp255((LONGLONG)(product / 255) + (50 - (LONGLONG)cv));
    }
    for (LONG y = 0; y < height; ++y) {
      PUCHAR p = rows[y];
      for (LONG n = 0; n < 3 * width; ++n) {
        p[n] = contrast[p[n]];
      }
    }
  }
}

// LUMAREX_AdjustImageScalar - the scalar adjustments for a caller without work tables of its
// own: they are taken from non-paged pool for this call. When none can be had, the image is left
// as it is. Any IRQL at which non-paged pool may be allocated. No result.
VOID LUMAREX_AdjustImageScalar(PUCHAR *rows, LONG width, LONG height, const LUMAREX_FRAME_SETTINGS *settings,
                               PUCHAR luma) {
  PLUMAREX_PICTURE_TABLES tables = (PLUMAREX_PICTURE_TABLES)ExAllocatePoolWithTag(
      NonPagedPool, sizeof(LUMAREX_PICTURE_TABLES), LUMAREX_POOL_TAG);
  if (tables == NULL) {
    return;
  }
  LUMAREX_AdjustImageScalarTables(rows, width, height, settings, luma, tables);
  ExFreePool(tables);
}

// LUMAREX_ProcessImage - adjust the frame in g_pBmpBuf with the snapshot settings and convert
// it to the stream's YUY2 or I420 format.
// Runs on the decode worker at PASSIVE_LEVEL. The work buffers are allocated for every frame;
// when one cannot be had the frame is left as decoded.
VOID LUMAREX_ProcessImage(PDEVICE_CONTEXT DeviceContext) {
  PDEVICE_CONTEXT dc = DeviceContext;
  const LONG width = dc->g_nDecodeWidth;
  const LONG height = dc->g_nDecodeHeight;
  const LUMAREX_FRAME_SETTINGS settings = dc->g_FrameSettings;
  const ULONG rowBytes = (ULONG)width * 3;
  PLUMAREX_PICTURE_TABLES tables = NULL;
  PUCHAR *rows = NULL;
  PUCHAR luma = NULL;
  const UCHAR forms = LUMAREX_FrameForms(dc);
  const BOOLEAN vector = (BOOLEAN)(forms != LUMAREX_FORMS_SCALAR);
  BOOLEAN adjusted = FALSE;

  if (width <= 0 || height <= 0 || dc->g_pBmpBuf == NULL ||
      (ULONGLONG)rowBytes * (ULONG)height > dc->g_nBmpBufSize) {
    return;
  }

  // One block holds the scalar form's tables and, after them, the row-pointer table.
  tables = (PLUMAREX_PICTURE_TABLES)ExAllocatePoolWithTag(
      NonPagedPool, sizeof(LUMAREX_PICTURE_TABLES) + (SIZE_T)height * sizeof(PUCHAR), LUMAREX_POOL_TAG);
  if (tables == NULL) {
    goto Exit;
  }
  rows = (PUCHAR *)(tables + 1);
  if (settings.Sharpness != 0 || vector) {
    luma = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, (SIZE_T)width * (ULONG)height, LUMAREX_POOL_TAG);
    if (luma == NULL) {
      goto Exit;
    }
  }
  for (LONG y = 0; y < height; ++y) {
    rows[y] = dc->g_pBmpBuf + (ULONG)y * rowBytes;
  }

  if (forms == LUMAREX_FORMS_SSE2) {
    adjusted = LUMAREX_AdjustImageSSE2(rows, width, height, &settings, luma);
  } else if (forms == LUMAREX_FORMS_MMX) {
    adjusted = LUMAREX_AdjustImageMMX(rows, width, height, &settings, luma);
  }
  if (!adjusted) {
    LUMAREX_AdjustImageScalarTables(rows, width, height, &settings, luma, tables);
  }

  // The converters address rows through g_pRowTable, and write into g_pIPBuf.
  if ((dc->g_nOutputFormat == LUMAREX_FORMAT_YUY2 || dc->g_nOutputFormat == LUMAREX_FORMAT_I420) &&
      height <= LUMAREX_MAX_ROWS && dc->g_pIPBuf != NULL &&
      (ULONGLONG)width * (ULONG)height * 2 <= dc->g_nIPBufSize) {
    for (LONG y = 0; y < height; ++y) {
      dc->g_pRowTable[y] = dc->g_pBmpBuf + (ULONG)y * rowBytes;
    }
    PUCHAR *table = dc->g_pRowTable;
    if (dc->g_nOutputFormat == LUMAREX_FORMAT_YUY2) {
      if (forms == LUMAREX_FORMS_SSE2) {
        LUMAREX_RGB24ToYUY2SSE2(table, dc->g_pIPBuf, width, height);
      } else if (forms == LUMAREX_FORMS_MMX) {
        LUMAREX_RGB24ToYUY2MMX(table, dc->g_pIPBuf, width, height);
      } else {
        LUMAREX_RGB24ToYUY2(table, dc->g_pIPBuf, width, height);
      }
    } else if (forms == LUMAREX_FORMS_SSE2) {
      LUMAREX_RGB24ToI420SSE2(table, dc->g_pIPBuf, width, height);
    } else if (forms == LUMAREX_FORMS_MMX) {
      LUMAREX_RGB24ToI420MMX(table, dc->g_pIPBuf, width, height);
    } else {
      LUMAREX_RGB24ToI420(table, dc->g_pIPBuf, width, height);
    }
  }

Exit:
  if (luma != NULL) {
    ExFreePool(luma);
  }
  if (tables != NULL) {
    ExFreePool(tables);
  }
}
