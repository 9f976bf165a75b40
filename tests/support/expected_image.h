// The image the driver should deliver for a raw frame, computed independently of the driver's
// frame hand-off: the library's own decode on a fresh context, then the scalar picture
// processing and, for YUY2 and I420, the conversion.
#pragma once

#include <cstdint>
#include <vector>

#include "lumarex.h"

// The library's decode of the raw frame's JPEG data (after the 80-byte header) on a fresh
// context into *bmp (width x height x 3 bytes): true when it decoded whole at that size.
bool LibraryDecode(const std::vector<uint8_t> &raw, LONG width, LONG height, std::vector<UCHAR> *bmp);

// The scalar picture processing (and conversion) of a decoded bottom-up BGR image.
std::vector<UCHAR> ProcessDecoded(std::vector<UCHAR> bmp, LONG width, LONG height,
                                  const LUMAREX_FRAME_SETTINGS &settings, UCHAR format);

// Both of the above.
std::vector<UCHAR> ExpectedImage(const std::vector<uint8_t> &raw, LONG width, LONG height,
                                 const LUMAREX_FRAME_SETTINGS &settings, UCHAR format);
