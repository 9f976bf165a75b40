#include "support/expected_image.h"

#include <gtest/gtest.h>

#include "imageproc.h"

bool LibraryDecode(const std::vector<uint8_t> &raw, LONG width, LONG height, std::vector<UCHAR> *bmp) {
  if (raw.size() < 80) return false;
  std::vector<UCHAR> context(ZRImageProcess_GetContextSize());
  ZRImageProcess_Initialize(nullptr, context.data());
  bmp->assign(size_t(width) * height * 3, 0);
  int32_t w = width, h = height;
  uint32_t info4[4] = {}, info3[3] = {};
  uint16_t info24[24] = {};
  return jpg_decode(context.data(), 0, raw.data() + 80, uint32_t(raw.size() - 80), bmp->data(),
                    uint32_t(bmp->size()), &w, &h, info4, info3, info24) == 0 &&
         w == width && h == height;
}

std::vector<UCHAR> ProcessDecoded(std::vector<UCHAR> bmp, LONG width, LONG height,
                                  const LUMAREX_FRAME_SETTINGS &settings, UCHAR format) {
  std::vector<PUCHAR> rows(height);
  for (LONG y = 0; y < height; ++y) rows[y] = bmp.data() + size_t(y) * width * 3;
  std::vector<UCHAR> luma(size_t(width) * height);
  LUMAREX_PICTURE_TABLES tables;  // the definition, not the fast form the driver runs
  LUMAREX_AdjustImageDefinition(rows.data(), width, height, &settings, luma.data(), &tables);
  std::vector<UCHAR> work(size_t(width) * height * 2);
  if (format == LUMAREX_FORMAT_YUY2) {
    LUMAREX_RGB24ToYUY2(rows.data(), work.data(), width, height);
  } else if (format == LUMAREX_FORMAT_I420) {
    LUMAREX_RGB24ToI420(rows.data(), work.data(), width, height);
  }
  return bmp;
}

std::vector<UCHAR> ExpectedImage(const std::vector<uint8_t> &raw, LONG width, LONG height,
                                 const LUMAREX_FRAME_SETTINGS &settings, UCHAR format) {
  std::vector<UCHAR> bmp;
  EXPECT_TRUE(LibraryDecode(raw, width, height, &bmp));
  return ProcessDecoded(std::move(bmp), width, height, settings, format);
}
