// Looking at a frame the application received, whatever its format: as a top-down 8-bit RGB
// picture (for PNG files, the contact sheet and the YUV4MPEG2 view), and whether it is one of
// the driver's blank frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "frame_writer.h"

// The frame as width x height top-down RGB (R, G, B per pixel): RGB24 from the bottom-up BGR
// bitmap, YUY2 (full-range luma and chroma) and I420 (reduced-range BT.601) converted, MJPG
// decoded with libjpeg. False, with a black picture, when an MJPG frame holds no JPEG of that
// size that libjpeg decodes, or a frame is shorter than its format's size.
bool FrameToRgb(OutputFormat format, int width, int height, const uint8_t *data, size_t length,
                std::vector<uint8_t> *rgb);

// Whether the frame is what the driver delivers before it has a picture: RGB24 all black, YUY2
// and I420 luma 0 with chroma 128, MJPG a buffer without JPEG data.
bool FrameIsBlank(OutputFormat format, int width, int height, const uint8_t *data, size_t length);
