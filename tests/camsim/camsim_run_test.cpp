// camsim as a user runs it: the files it writes are opened by independent readers (ffprobe and
// ffmpeg for the Y4M streams and BMPs, libjpeg for the MJPG frames, libpng for the PNGs), and the
// picture settings persist across runs in the settings file.
#include <gtest/gtest.h>

#include <jpeglib.h>

#include <csetjmp>
#include <filesystem>

#include "camsim/external_tools.h"

namespace {

namespace fs = std::filesystem;
using camsim_test::Bytes;
using camsim_test::HaveFfmpeg;
using camsim_test::Probe;
using camsim_test::Quote;
using camsim_test::ReadFile;

class CamsimRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = ::testing::TempDir() + "camsim_run_" + std::to_string(getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(dir_);
  }
  // Runs camsim in the test's folder; returns its exit status, its output in *text.
  int Camsim(const std::string &arguments, std::string *text) {
    Bytes out;
    std::string runner = TORVANE_CAMSIM_RUNNER;
    std::string program = (runner.empty() ? "" : runner + " ") + Quote(TORVANE_CAMSIM_PATH);
    int rc = camsim_test::Run("cd " + Quote(dir_) + " && " + program + " --quiet " + arguments + " 2>&1", &out);
    text->assign(out.begin(), out.end());
    return rc;
  }
  std::vector<std::string> Files(const std::string &sub, const std::string &extension) {
    std::vector<std::string> files;
    for (const auto &e : fs::directory_iterator(dir_ + "/" + sub)) {
      if (e.path().extension() == extension) files.push_back(e.path().filename().string());
    }
    std::sort(files.begin(), files.end());
    return files;
  }
  std::string dir_;
};

// libjpeg's verdict on a file: its size, or false when it is not a JPEG it can decode.
struct JpegError {
  jpeg_error_mgr pub;
  jmp_buf jump;
};
bool DecodeJpeg(const Bytes &data, int *width, int *height) {
  jpeg_decompress_struct cinfo;
  JpegError error;
  cinfo.err = jpeg_std_error(&error.pub);
  error.pub.error_exit = [](j_common_ptr c) { longjmp(reinterpret_cast<JpegError *>(c->err)->jump, 1); };
  if (setjmp(error.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, data.data(), data.size());
  jpeg_read_header(&cinfo, TRUE);
  jpeg_start_decompress(&cinfo);
  std::vector<uint8_t> row(cinfo.output_width * cinfo.output_components);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW r = row.data();
    jpeg_read_scanlines(&cinfo, &r, 1);
  }
  *width = int(cinfo.output_width);
  *height = int(cinfo.output_height);
  bool clean = error.pub.num_warnings == 0;
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return clean;
}

TEST_F(CamsimRunTest, DefaultsWriteViewableBmpFramesIntoOut) {
  std::string text;
  ASSERT_EQ(Camsim("", &text), 0) << text;
  std::vector<std::string> bmps = Files("out", ".bmp");
  ASSERT_FALSE(bmps.empty()) << text;
  EXPECT_EQ(bmps.front(), "frame_000001.bmp");
  EXPECT_NE(text.find("0 blocks left allocated"), std::string::npos) << text;
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg missing";
  auto probe = Probe(dir_ + "/out/" + bmps.back());
  EXPECT_EQ(probe["width"], "320");
  EXPECT_EQ(probe["height"], "240");
}

TEST_F(CamsimRunTest, Yuy2AndI420StreamsOpenInFfmpegWithEveryFrame) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg missing";
  struct {
    const char *format, *pixFmt, *ext;
  } const cases[] = {{"yuy2", "yuv422p", ".yuy2"}, {"i420", "yuv420p", ".i420"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.format);
    std::string text;
    std::string out = std::string("o_") + c.format;
    ASSERT_EQ(Camsim(std::string("--size 160x120 --frames 12 --format ") + c.format + " --out " + out, &text), 0)
        << text;
    auto probe = Probe(dir_ + "/" + out + "/stream.y4m");
    EXPECT_EQ(probe["width"], "160");
    EXPECT_EQ(probe["height"], "120");
    EXPECT_EQ(probe["nb_read_frames"], "12");
    EXPECT_NE(probe["pix_fmt"].find(c.pixFmt == std::string("yuv420p") ? "420p" : "422p"), std::string::npos);
    EXPECT_EQ(Files(out, c.ext).size(), 12u);
  }
}

TEST_F(CamsimRunTest, MjpgFramesAreJpegFilesLibjpegDecodes) {
  std::string text;
  ASSERT_EQ(Camsim("--size 320x240 --frames 12 --format mjpg --out m", &text), 0) << text;
  std::vector<std::string> jpegs = Files("m", ".jpg");
  std::vector<std::string> blanks = Files("m", ".blank");
  EXPECT_EQ(jpegs.size() + blanks.size(), 12u);
  EXPECT_EQ(blanks.size(), 5u) << "one blank frame for each warm-up frame the worker counted bad";
  for (const std::string &name : jpegs) {
    int w = 0, h = 0;
    EXPECT_TRUE(DecodeJpeg(ReadFile(dir_ + "/m/" + name), &w, &h)) << name;
    EXPECT_EQ(w, 320);
    EXPECT_EQ(h, 240);
  }
}

TEST_F(CamsimRunTest, SettingsPersistAcrossRunsInTheSettingsFile) {
  std::string text;
  ASSERT_EQ(Camsim("--frames 9 --brightness 80 --contrast 30 --settings hive.txt --out a", &text), 0) << text;
  EXPECT_NE(text.find("brightness 80, contrast 30"), std::string::npos) << text;
  ASSERT_TRUE(fs::exists(dir_ + "/hive.txt"));
  ASSERT_EQ(Camsim("--frames 9 --settings hive.txt --out b", &text), 0) << text;
  EXPECT_NE(text.find("brightness 80, contrast 30"), std::string::npos) << "restored from the file: " << text;
  ASSERT_EQ(Camsim("--frames 9 --out c", &text), 0) << text;
  EXPECT_NE(text.find("brightness 50, contrast 50"), std::string::npos) << "without the file, the defaults: " << text;
}

TEST_F(CamsimRunTest, FaultsAndStillsAreReportedAndNothingIsLeft) {
  std::string text;
  ASSERT_EQ(Camsim("--size 160x120 --frames 40 --faults all=4 --still-every 10 --button-every 15 --png --out f", &text),
            0)
      << text;
  EXPECT_NE(text.find("0 blocks left allocated"), std::string::npos) << text;
  EXPECT_EQ(Files("f", ".bmp").size(), 40u);
  EXPECT_EQ(Files("f", ".png").size(), 40u);
  EXPECT_EQ(text.find("stills 0)"), std::string::npos) << text;
  std::string bad;
  EXPECT_NE(Camsim("--faults nonsense", &bad), 0);
  EXPECT_NE(Camsim("--size 100x100", &bad), 0);
}

// The shipped image, run by camsim --driver on the 32-bit build, gives the application the same
// bytes as the linked driver; the 64-bit build refuses the option.
TEST_F(CamsimRunTest, TheDriverImageDeliversTheLinkedDriversFramesByteForByte) {
  std::string text;
#if defined(TORVANE_DRIVER_IMAGE_PATH)
  ASSERT_EQ(Camsim("--size 320x240 --format yuy2 --frames 30 --out linked", &text), 0) << text;
  ASSERT_EQ(Camsim("--size 320x240 --format yuy2 --frames 30 --out image --driver " + Quote(TORVANE_DRIVER_IMAGE_PATH),
                   &text),
            0)
      << text;
  EXPECT_NE(text.find("driver image: Torvane.sys at 0x"), std::string::npos) << text;
  std::vector<std::string> linked = Files("linked", ".yuy2"), image = Files("image", ".yuy2");
  EXPECT_EQ(linked.size(), 30u);
  ASSERT_EQ(image, linked);
  for (const std::string &name : linked) {
    EXPECT_EQ(ReadFile(dir_ + "/image/" + name), ReadFile(dir_ + "/linked/" + name)) << name;
  }
  EXPECT_EQ(ReadFile(dir_ + "/image/stream.y4m"), ReadFile(dir_ + "/linked/stream.y4m"));
#else
  if (sizeof(void *) == 4) GTEST_SKIP() << "configured without TORVANE_DRIVER_IMAGE";
  EXPECT_EQ(Camsim("--frames 3 --driver Torvane.sys", &text), 2) << text;
  EXPECT_NE(text.find("32-bit host build"), std::string::npos) << text;
#endif
}

}  // namespace
