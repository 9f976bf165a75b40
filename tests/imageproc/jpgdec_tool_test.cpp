// The jpgdec tool end to end: BMP files and raw bytes of jpg_decode's output; bad frames fail.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "jpg_ref_libjpeg.h"
#include "jpg_scene.h"
#include "jpg_test_support.h"

namespace {

#if defined(TORVANE_JPGDEC_PATH) && !defined(__i386__)

TEST(JpgdecTool, WritesBmpsAndRawBytes) {
  if (!RefJpeg_Available()) GTEST_SKIP() << "libjpeg not available in this build";
  char tmpl[] = "/tmp/jpgdec_test_XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(tmpl));
  const std::string dir = tmpl;
  auto file = [&](const std::string &name) { return dir + "/" + name; };
  auto slurp = [&](const std::string &name) {
    std::ifstream f(file(name), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  };
  auto run = [&](const std::string &args) {
    int status = std::system((std::string(TORVANE_JPGDEC_PATH) + " " + args + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  auto le = [](const std::vector<uint8_t> &v, size_t at, int bytes) {
    uint32_t x = 0;
    for (int i = bytes - 1; i >= 0; --i) x = x << 8 | v[at + i];
    return x;
  };
  std::vector<std::vector<uint8_t>> frames;
  std::string inputs;
  for (int i = 0; i < 4; ++i) {
    const RefJpegEncodeOptions o{50 + 8 * i, 30 + 5 * i, 1 + i % 2, 1 + i / 2, 75, i};
    frames.push_back(RefJpeg_Encode(o, TestScene(o.width, o.height, 40 + i)));
    inputs += " " + file("frame" + std::to_string(i) + ".jpg");
    std::ofstream(file("frame" + std::to_string(i) + ".jpg"), std::ios::binary)
        .write(reinterpret_cast<const char *>(frames[i].data()), frames[i].size());
  }
  ASSERT_EQ(0, run("--bmp " + file("out.bmp") + inputs));
  TestContext ctx;
  for (int i = 0; i < 4; ++i) {
    std::vector<uint8_t> bmp = slurp("frame" + std::to_string(i) + ".bmp");
    ASSERT_GE(bmp.size(), 54u);
    const uint32_t w = le(bmp, 18, 4), h = le(bmp, 22, 4), stride = (3 * w + 3) & ~3u;  // rows padded to 4 bytes
    EXPECT_EQ((std::vector<uint32_t>{'B', 'M', static_cast<uint32_t>(bmp.size()), 24, 54 + stride * h}),
              (std::vector<uint32_t>{bmp[0], bmp[1], le(bmp, 2, 4), le(bmp, 28, 2), static_cast<uint32_t>(bmp.size())}));
    TestDecoded ours = TestDecodeFrame(ctx, frames[i], 0, 3 * w * h);
    ASSERT_EQ(0, ours.result);
    ASSERT_EQ((std::vector<ImageProc_Long>{50 + 8 * i, 30 + 5 * i}), (std::vector<ImageProc_Long>{ours.width, ours.height}));
    for (uint32_t y = 0; y < h; ++y) {  // BMP rows are bottom-up, like jpg_decode's
      ASSERT_EQ(0, std::memcmp(&bmp[54 + stride * y], &ours.out[3 * w * y], 3 * w)) << i << " row " << y;
    }
  }
  for (uint32_t mode = 0; mode <= 2; ++mode) {
    ASSERT_EQ(0, run("--mode " + std::to_string(mode) + " --raw " + file("out.raw") + " " + file("frame1.jpg")));
    EXPECT_EQ(TestDecodeFrame(ctx, frames[1], mode, 58 * 35 * (mode == 2 ? 2 : 3)).out, slurp("out.raw")) << mode;
  }
  std::ofstream(file("bad.jpg"), std::ios::binary).write(reinterpret_cast<const char *>(frames[0].data()), 20);
  EXPECT_EQ(1, run(file("bad.jpg")));
  std::system(("rm -rf " + dir).c_str());
}

#endif

}  // namespace
