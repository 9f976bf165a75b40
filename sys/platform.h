// The driver's one door to the platform. The target build sees the real DDK headers; the
// host build sees the host layer's headers, which declare the same names, types and
// 32-bit layouts. Nothing else in sys/ includes an outside header.
#pragma once

#if defined(TORVANE_HOST)

#include "host_platform.h"
#define LUMAREX_WIDE(s) u##s  // WCHAR is char16_t on the host
#include <emmintrin.h>  // compiler intrinsics for the vector forms

#else

// mingw-w64's wdm.h and intrin.h both define these two intrinsics in C++; tell intrin.h that
// wdm.h's definitions stand.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
#include <tchar.h>  // ksmedia.h uses TCHAR
// strmini.h declares the stream class's routines without C linkage; they are C exports.
extern "C" {
#include <strmini.h>
}
#include <ks.h>
#include <ksmedia.h>
#include <usbdi.h>
#include <usbcamdi.h>
#include "ddk_compat.h"
#define LUMAREX_WIDE(s) L##s  // WCHAR is wchar_t on Windows
#include <emmintrin.h>  // compiler intrinsics for the vector forms

#endif
