// The image the driver should deliver for a raw frame, computed independently of the driver's
// frame hand-off: the library's own decode on a fresh context, then the scalar picture
// processing and, for YUY2 and I420, the conversion.
#pragma once

#include <cstdint>
#include <vector>

#include "lumarex.h"

std::vector<UCHAR> ExpectedImage(const std::vector<uint8_t> &raw, LONG width, LONG height,
                                 const LUMAREX_FRAME_SETTINGS &settings, UCHAR format);
