// Run-time library routines of the kernel subset.
#include "nt_kernel.h"

SIZE_T NTAPI RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length) {
  const unsigned char *a = static_cast<const unsigned char *>(Source1);
  const unsigned char *b = static_cast<const unsigned char *>(Source2);
  SIZE_T i = 0;
  while (i < Length && a[i] == b[i]) {
    ++i;
  }
  return i;
}
