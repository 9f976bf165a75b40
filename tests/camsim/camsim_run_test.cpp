// camsim as a user runs it: the files it writes are opened by independent readers (ffprobe and
// ffmpeg for the Y4M streams and BMPs, libjpeg for the MJPG frames, libpng for the PNGs), and the
// picture settings persist across runs in the settings file.
#include <gtest/gtest.h>

#include <jpeglib.h>

#include <signal.h>
#include <sys/wait.h>

#include <csetjmp>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

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
  int Camsim(const std::string &arguments, std::string *text, bool quiet = true) {
    Bytes out;
    std::string runner = TORVANE_CAMSIM_RUNNER;
    std::string program = (runner.empty() ? "" : runner + " ") + Quote(TORVANE_CAMSIM_PATH);
    int rc = camsim_test::Run("cd " + Quote(dir_) + " && " + program + (quiet ? " --quiet " : " ") + arguments + " 2>&1", &out);
    text->assign(out.begin(), out.end());
    return rc;
  }
  // Runs camsim with its standard output kept apart: the bytes in *out, standard error in *err.
  int CamsimSplit(const std::string &arguments, Bytes *out, std::string *err) {
    std::string runner = TORVANE_CAMSIM_RUNNER;
    std::string program = (runner.empty() ? "" : runner + " ") + Quote(TORVANE_CAMSIM_PATH);
    int rc = camsim_test::Run("cd " + Quote(dir_) + " && " + program + " --quiet " + arguments + " 2>stderr.txt", out);
    *err = ReadText("stderr.txt");
    return rc;
  }
  std::string ReadText(const std::string &name) {
    Bytes b = ReadFile(dir_ + "/" + name);
    return std::string(b.begin(), b.end());
  }
  void Shell(const std::string &command) {
    Bytes ignored;
    ASSERT_EQ(camsim_test::Run("cd " + Quote(dir_) + " && " + command + " 2>&1", &ignored), 0) << command;
  }
  std::vector<std::string> Files(const std::string &sub, const std::string &extension) {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(dir_ + "/" + sub, ec)) {
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
  // Faults that damage frames without the class library dropping them: a still marked on a
  // dropped frame is lost with it, and this run must show stills.
  ASSERT_EQ(Camsim("--size 160x120 --frames 40 --faults corrupt=4,size=5,truncate=6 --still-every 10 --button-every 15 --png --out f "
                   "--contact-sheet sheet.png",
                   &text),
            0)
      << text;
  if (HaveFfmpeg()) {
    // The sheet: tiles 160 pixels wide, ten to a row, 4 pixels apart; frame 1 (blank) is black,
    // frame 8 (the first picture) is not.
    Bytes rgb;
    ASSERT_EQ(camsim_test::Run("/usr/bin/ffmpeg -v error -i " + Quote(dir_ + "/sheet.png") +
                                   " -f rawvideo -pix_fmt rgb24 -",
                               &rgb),
              0);
    auto probe = Probe(dir_ + "/sheet.png");
    const int width = std::atoi(probe["width"].c_str());
    ASSERT_EQ(width, 4 + 10 * (160 + 4));
    auto at = [&](int x, int y) { return rgb[(size_t(y) * width + x) * 3] + rgb[(size_t(y) * width + x) * 3 + 1]; };
    EXPECT_EQ(at(4 + 80, 4 + 60), 0);
    EXPECT_GT(at(4 + 7 * 164 + 20, 4 + 10), 60);
  }
  EXPECT_NE(text.find("0 blocks left allocated"), std::string::npos) << text;
  EXPECT_EQ(Files("f", ".bmp").size(), 40u);
  EXPECT_EQ(Files("f", ".png").size(), 40u);
  EXPECT_NE(ReadText("f/frames.tsv").find("\tstill\n"), std::string::npos) << "a still is named as such";
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

namespace {

// The kind column of frames.tsv, counted.
std::map<std::string, int> Kinds(const std::string &tsv) {
  std::map<std::string, int> kinds;
  std::istringstream lines(tsv);
  std::string line;
  std::getline(lines, line);  // header
  while (std::getline(lines, line)) ++kinds[line.substr(line.rfind('\t') + 1)];
  return kinds;
}

// Mean of all bytes of a file's pixel data past a 54-byte BMP header.
double BmpMean(const Bytes &bmp) {
  double sum = 0;
  for (size_t i = 54; i < bmp.size(); ++i) sum += bmp[i];
  return bmp.size() > 54 ? sum / double(bmp.size() - 54) : -1;
}

// Ordinary mistakes a new user makes, each through the real binary: the exit status, what the
// messages must say (and must not), and what must be true of the files afterwards.
TEST_F(CamsimRunTest, OrdinaryMistakesAreRefusedOrExplained) {
  REQUIRE_FFMPEG();
  const char *ff = "/usr/bin/ffmpeg -v error -y ";
  Shell(std::string(ff) + "-f lavfi -i testsrc2=size=400x300 -frames:v 1 -q:v 3 photo.jpg");
  Shell(std::string(ff) + "-f lavfi -i testsrc2=size=320x240 -frames:v 1 -pix_fmt gray gray.jpg");
  Shell(std::string(ff) + "-f lavfi -i testsrc2=size=320x240 -vf noise=alls=60:allf=t -frames:v 1 noisy.png");
  Shell("cp photo.jpg not_a_hive.jpg && printf 'TorvaneHive 1\\nkey Settings\\nvalue Settings Brightness 4 4d00' "
        "> cut.hive && mkdir -p mixed && cp noisy.png mixed/a.png && echo notes > mixed/notes.txt && "
        "mkdir -p busy && echo mine > busy/mine.txt");
  struct Case {
    const char *name, *args;
    int rc;
    std::vector<const char *> says, never;
    std::function<void()> check;
  };
  const Bytes jpg = ReadFile(dir_ + "/not_a_hive.jpg"), cut = ReadFile(dir_ + "/cut.hive");
  const Case cases[] = {
      {"a settings file that is no hive is refused and left alone", "--frames 9 --settings not_a_hive.jpg", 2,
       {"not_a_hive.jpg", "line 1"}, {},
       [&] { EXPECT_EQ(ReadFile(dir_ + "/not_a_hive.jpg"), jpg); EXPECT_FALSE(fs::exists(dir_ + "/out")); }},
      {"a cut hive is refused with its line", "--frames 9 --settings cut.hive", 2, {"cut.hive", "line 3"}, {},
       [&] { EXPECT_EQ(ReadFile(dir_ + "/cut.hive"), cut); }},
      {"ranges are written as people write them", "--frames 0", 2, {"1 to 1,000,000"}, {"0.000000", "17976"}, {}},
      {"JPEGs the driver cannot decode are re-encoded, each named with why",
       "--frames 12 --source photo.jpg gray.jpg --out s", 0, {"photo.jpg", "400x300", "gray.jpg", "sampling"}, {},
       [&] { EXPECT_GE(Kinds(ReadText("s/frames.tsv"))["picture"], 2); }},
      {"--exact-sources refuses them", "--frames 12 --source photo.jpg --exact-sources", 2, {"photo.jpg", "400x300"},
       {}, {}},
      {"files in a source folder that are not images are skipped", "--frames 9 --source mixed --out m", 0,
       {"skipping", "notes.txt"}, {}, {}},
      {"frames too large for the driver are explained at once", "--frames 9 --source noisy.png --quality 100 "
       "--sampling 444", 1, {"camera frame 1 is", "76,800 bytes", "lower --quality"}, {" 0x", "(0x", "30 s"}, {}},
      {"--png writes a picture of every frame of every format", "--frames 9 --format i420 --png --out p", 0, {}, {},
       [&] { EXPECT_EQ(Files("p", ".png").size(), 9u); }},
      {"an --out folder with other files is refused", "--frames 9 --out busy", 2, {"busy", "mine.txt"}, {},
       [&] { EXPECT_TRUE(Files("busy", ".bmp").empty()); }},
      {"unless asked, and then they stay", "--frames 9 --out busy --keep-other-files", 0, {}, {},
       [&] { EXPECT_TRUE(fs::exists(dir_ + "/busy/mine.txt")); }},
      {"--help names the exit statuses", "--help", 0, {"0 the run is done", "1 the run failed", "2 the command line",
       "130", "143"}, {}, {}},
      {"progress on a pipe is whole lines", "--frames 30 --discard", 0, {"camsim: frame 1/30", "camsim: frame 30/30"},
       {"\r"}, {}},
      {"--discard writes nothing", "--frames 9 --discard --out d", 0, {"discarded"}, {},
       [&] { EXPECT_FALSE(fs::exists(dir_ + "/d")); }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string text;
    EXPECT_EQ(Camsim(c.args, &text, c.rc != 0 || c.check), c.rc) << text;
    for (const char *s : c.says) EXPECT_NE(text.find(s), std::string::npos) << s << "\n" << text;
    for (const char *s : c.never) EXPECT_EQ(text.find(s), std::string::npos) << s << "\n" << text;
    if (c.check) c.check();
  }
}

TEST_F(CamsimRunTest, AnEarlierRunsFramesAreRemovedAndCounted) {
  std::string text;
  ASSERT_EQ(Camsim("--frames 12 --png", &text), 0) << text;
  ASSERT_EQ(Camsim("--frames 8", &text), 0) << text;
  EXPECT_NE(text.find("removed 25 files of an earlier run"), std::string::npos) << text;  // 12 BMP, 12 PNG, tsv
  EXPECT_EQ(Files("out", ".bmp").size(), 8u);
  EXPECT_TRUE(Files("out", ".png").empty());
}

TEST_F(CamsimRunTest, SixteenBitPngsLookLikeTheirEightBitSelves) {
  REQUIRE_FFMPEG();
  // Dark grey shows it best: read as linear light, a 16-bit 0x3030 would come out near 118.
  Shell("/usr/bin/ffmpeg -v error -y -f lavfi -i color=c=0x303030:size=320x240 -frames:v 1 -pix_fmt rgb24 p8.png && "
        "/usr/bin/ffmpeg -v error -y -i p8.png -pix_fmt rgb48be p16.png");
  std::string text;
  ASSERT_EQ(Camsim("--frames 9 --source p8.png --out a", &text), 0) << text;
  ASSERT_EQ(Camsim("--frames 9 --source p16.png --out b", &text), 0) << text;
  const double a = BmpMean(ReadFile(dir_ + "/a/frame_000009.bmp")), b = BmpMean(ReadFile(dir_ + "/b/frame_000009.bmp"));
  EXPECT_NEAR(a, 47, 4);
  EXPECT_NEAR(a, b, 1.0);
}

// What the summary names agrees with the files written: in MJPG every blank frame is a .blank
// file and every picture a .jpg, and frames.tsv lists them all.
TEST_F(CamsimRunTest, MjpgSummaryAgreesWithTheFramesWritten) {
  std::string text;
  ASSERT_EQ(Camsim("--size 160x120 --frames 20 --format mjpg --out m", &text), 0) << text;
  std::map<std::string, int> kinds = Kinds(ReadText("m/frames.tsv"));
  const size_t blanks = Files("m", ".blank").size(), jpegs = Files("m", ".jpg").size();
  EXPECT_EQ(blanks + jpegs, 20u);
  EXPECT_EQ(size_t(kinds["blank"]), blanks);
  EXPECT_EQ(size_t(kinds["picture"] + kinds["repeat"] + kinds["still"]), jpegs);
  int warmup = 0, later = 0, pictures = 0;
  ASSERT_EQ(std::sscanf(text.substr(text.find("received: 20: ")).c_str(), "received: 20: %d pictures, %d blank warm-up",
                        &pictures, &warmup), 2) << text;
  size_t at = text.find("blank later");
  if (at != std::string::npos) later = std::atoi(text.c_str() + text.rfind(", ", at) + 2);
  EXPECT_EQ(size_t(warmup + later), blanks) << text;
  EXPECT_EQ(pictures, kinds["picture"]) << text;
}

// --y4m -: the stream on standard output, every message on standard error.
TEST_F(CamsimRunTest, TheStreamGoesToStandardOutputAndMessagesToStandardError) {
  REQUIRE_FFMPEG();
  for (const char *format : {"rgb24", "yuy2"}) {
    SCOPED_TRACE(format);
    Bytes out;
    std::string err;
    ASSERT_EQ(CamsimSplit(std::string("--size 160x120 --frames 10 --discard --y4m - --format ") + format, &out, &err), 0)
        << err;
    EXPECT_NE(err.find("10 of 10 frames"), std::string::npos) << err;
    std::ofstream(dir_ + "/live.y4m", std::ios::binary).write(reinterpret_cast<const char *>(out.data()), out.size());
    auto probe = Probe(dir_ + "/live.y4m");
    EXPECT_EQ(probe["width"], "160");
    EXPECT_EQ(probe["nb_read_frames"], "10");
  }
}

// Ctrl-C and SIGTERM stop the stream as an application closing its capture would: the settings
// are saved, the summary printed, and the status tells which signal it was.
TEST_F(CamsimRunTest, InterruptedRunsKeepTheirSettings) {
  for (const auto &[signal, rc] : {std::pair<int, int>{SIGINT, 130}, {SIGTERM, 143}}) {
    SCOPED_TRACE(signal);
    const std::string out = "i" + std::to_string(signal), hive = dir_ + "/" + out + ".hive";
    const std::string args = "--quiet --realtime --frames 1000000 --brightness 77 --settings " + hive + " --out " +
                             dir_ + "/" + out;
    const std::string runner = TORVANE_CAMSIM_RUNNER;
    const std::string command = (runner.empty() ? "exec " : "exec " + runner + " ") + Quote(TORVANE_CAMSIM_PATH) + " " +
                                args + " >" + Quote(dir_ + "/" + out + ".txt") + " 2>&1";
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
      _exit(127);
    }
    // Once frames are being written the stream runs; then the signal.
    while (!fs::exists(dir_ + "/" + out + "/frame_000010.bmp")) usleep(20000);
    kill(pid, signal);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), rc);
    const std::string text = ReadText(out + ".txt");
    EXPECT_NE(text.find("brightness 77"), std::string::npos) << text;
    EXPECT_NE(text.find("0 blocks left allocated"), std::string::npos) << text;
    EXPECT_NE(ReadText(out + ".hive").find("Brightness 4 4d000000"), std::string::npos) << "saved at stop";
  }
}

}  // namespace
