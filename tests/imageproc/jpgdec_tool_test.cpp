// The jpgdec tool end to end: camera-style frames of every sampling, decoded in one run on one
// context, become BMP files whose pixels are those jpg_decode produces and agree with
// libjpeg-turbo's decode; --raw writes exactly the decoder's bytes; a bad frame fails.
#include <gtest/gtest.h>

#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>
#include <fstream>
#include <iterator>
#include <string>

#include "jpg_ref_libjpeg.h"
#include "jpg_scene.h"
#include "jpg_test_support.h"

namespace {

#if defined(TORVANE_JPGDEC_PATH) && !defined(__i386__)

std::vector<uint8_t> Slurp(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void Spit(const std::string &path, const std::vector<uint8_t> &data) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
}

uint32_t Le(const std::vector<uint8_t> &v, size_t at, int bytes) {
  uint32_t x = 0;
  for (int i = bytes - 1; i >= 0; --i) x = x << 8 | v[at + i];
  return x;
}

int RunJpgdec(const std::string &args) {
  std::string cmd = std::string(TORVANE_JPGDEC_PATH) + " " + args + " >/dev/null 2>&1";
  int status = std::system(cmd.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class JpgdecTool : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/jpgdec_test_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }
  std::string dir_;
};

TEST_F(JpgdecTool, WritesBmpsOfEverySampling) {
  if (!RefJpeg_Available()) GTEST_SKIP() << "libjpeg not available in this build";
  const int sampling[4][2] = {{1, 1}, {2, 1}, {1, 2}, {2, 2}};
  std::string inputs;
  std::vector<std::vector<uint8_t>> frames;
  for (int i = 0; i < 4; ++i) {
    RefJpegEncodeOptions o;
    o.width = 50 + 8 * i;
    o.height = 30 + 5 * i;
    o.h_samp = sampling[i][0];
    o.v_samp = sampling[i][1];
    o.restart_interval = i;
    frames.push_back(RefJpeg_Encode(o, TestScene(o.width, o.height, 40 + i)));
    std::string path = dir_ + "/frame" + std::to_string(i) + ".jpg";
    Spit(path, frames.back());
    inputs += " " + path;
  }
  ASSERT_EQ(0, RunJpgdec("--bmp " + dir_ + "/out.bmp" + inputs));
  TestContext ctx;
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    std::vector<uint8_t> bmp = Slurp(dir_ + "/frame" + std::to_string(i) + ".bmp");
    ASSERT_GE(bmp.size(), 54u);
    ASSERT_EQ('B', bmp[0]);
    ASSERT_EQ('M', bmp[1]);
    const int w = static_cast<int>(Le(bmp, 18, 4)), h = static_cast<int>(Le(bmp, 22, 4));
    ASSERT_EQ(24u, Le(bmp, 28, 2));
    ASSERT_EQ(bmp.size(), Le(bmp, 2, 4));
    const size_t stride = (static_cast<size_t>(w) * 3 + 3) & ~size_t{3};
    ASSERT_EQ(54 + stride * h, bmp.size());
    TestDecoded ours = TestDecodeFrame(ctx, frames[i], 0, static_cast<size_t>(w) * h * 3);
    ASSERT_EQ(0, ours.result);
    ASSERT_EQ(w, ours.width);
    ASSERT_EQ(h, ours.height);
    RefJpegImage ref = RefJpeg_Decode(frames[i], false);
    double sum = 0;
    for (int y = 0; y < h; ++y) {  // BMP rows are bottom-up, like jpg_decode's
      ASSERT_EQ(0, std::memcmp(&bmp[54 + stride * y], &ours.out[static_cast<size_t>(y) * w * 3], w * 3));
      for (int x = 0; x < w; ++x) {
        for (int c = 0; c < 3; ++c) {
          double e = double(bmp[54 + stride * y + 3 * x + c]) - ref.pixels[(static_cast<size_t>(h - 1 - y) * w + x) * 3 + 2 - c];
          sum += e * e;
        }
      }
    }
    EXPECT_GT(10 * std::log10(255.0 * 255.0 * w * h * 3 / (sum + 1e-9)), 36.0);
  }
}

TEST_F(JpgdecTool, RawIsTheDecodersBytesAndFailuresExitNonZero) {
  if (!RefJpeg_Available()) GTEST_SKIP() << "libjpeg not available in this build";
  RefJpegEncodeOptions o;
  o.width = 36;
  o.height = 20;
  std::vector<uint8_t> frame = RefJpeg_Encode(o, TestScene(o.width, o.height, 9));
  Spit(dir_ + "/in.jpg", frame);
  TestContext ctx;
  for (uint32_t mode = 0; mode <= 2; ++mode) {
    SCOPED_TRACE(mode);
    ASSERT_EQ(0, RunJpgdec("--mode " + std::to_string(mode) + " --raw " + dir_ + "/out.raw " + dir_ + "/in.jpg"));
    TestDecoded ours = TestDecodeFrame(ctx, frame, mode, 36 * 20 * (mode == 2 ? 2 : 3));
    EXPECT_EQ(ours.out, Slurp(dir_ + "/out.raw"));
  }
  Spit(dir_ + "/bad.jpg", std::vector<uint8_t>(frame.begin(), frame.begin() + 20));
  EXPECT_EQ(1, RunJpgdec(dir_ + "/bad.jpg"));
}

#endif

}  // namespace
