// Vector form of the picture adjustments (SSE2). Not written yet: callers fall back to the
// scalar form.
#include "lumarex.h"

BOOLEAN LUMAREX_AdjustImageMMX(PUCHAR *rows, LONG width, LONG height, const LUMAREX_FRAME_SETTINGS *settings,
                               PUCHAR luma) {
  UNREFERENCED_PARAMETER(rows);
  UNREFERENCED_PARAMETER(width);
  UNREFERENCED_PARAMETER(height);
  UNREFERENCED_PARAMETER(settings);
  UNREFERENCED_PARAMETER(luma);
  return FALSE;
}
