// camsim as a user runs it: its files opened by ffprobe and ffmpeg, its messages and exit statuses.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <jpeglib.h>
#include <signal.h>
#include <sys/file.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>

#include "camsim/external_tools.h"
#include "support/watchdog.h"
#include "lumarex.h"

namespace {

namespace fs = std::filesystem;
using namespace camsim_test;

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
  // The command running camsim (through the build's emulator, if it has one).
  static std::string Program() {
    const std::string runner = TORVANE_CAMSIM_RUNNER;
    return (runner.empty() ? "" : runner + " ") + Quote(TORVANE_CAMSIM_PATH);
  }
  // Runs camsim in the test's folder: its exit status; output in *text (or stdout in *out).
  int Camsim(const std::string &arguments, std::string *text, bool quiet = true, Bytes *out = nullptr) {
    Bytes bytes;
    int rc = camsim_test::Run("cd " + Quote(dir_) + " && " + Program() + (quiet ? " --quiet " : " ") + arguments +
                     (out != nullptr ? " 2>stderr.txt" : " 2>&1"),
                 out != nullptr ? out : &bytes);
    *text = out != nullptr ? Text("stderr.txt") : std::string(bytes.begin(), bytes.end());
    return rc;
  }
  std::string Text(const std::string &name) {
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
  // The kind column of frames.tsv, counted.
  std::map<std::string, int> Kinds(const std::string &tsv) {
    std::map<std::string, int> kinds;
    std::istringstream lines(Text(tsv));
    std::string line;
    std::getline(lines, line);  // header
    while (std::getline(lines, line)) ++kinds[line.substr(line.rfind('\t') + 1)];
    return kinds;
  }
  // frames.tsv as rows of named columns.
  std::vector<std::map<std::string, std::string>> Table(const std::string &tsv) {
    std::vector<std::map<std::string, std::string>> rows;
    std::istringstream lines(Text(tsv));
    std::string line;
    std::vector<std::string> names;
    auto split = [](const std::string &l) {
      std::vector<std::string> cells;
      std::istringstream in(l);
      for (std::string cell; std::getline(in, cell, '\t');) cells.push_back(cell);
      return cells;
    };
    if (std::getline(lines, line)) names = split(line);
    while (std::getline(lines, line)) {
      std::vector<std::string> cells = split(line);
      std::map<std::string, std::string> row;
      for (size_t i = 0; i < names.size() && i < cells.size(); ++i) row[names[i]] = cells[i];
      rows.push_back(row);
    }
    return rows;
  }
  // The whole number right after `label` in text; -1 when the label is missing.
  static long After(const std::string &text, const std::string &label) {
    const size_t at = text.find(label);
    return at == std::string::npos ? -1 : std::strtol(text.c_str() + at + label.size(), nullptr, 10);
  }
  // The whole number right before `label` in text; -1 when the label is missing.
  static long Before(const std::string &text, const std::string &label) {
    size_t at = text.find(label);
    if (at == std::string::npos) return -1;
    size_t start = at;
    while (start > 0 && std::isdigit(static_cast<unsigned char>(text[start - 1]))) --start;
    return start == at ? -1 : std::strtol(text.c_str() + start, nullptr, 10);
  }
  std::string dir_;
};

// --y4m - opens in ffmpeg with every frame: for RGB24 the BMP frames' pictures, else stream.y4m's.
TEST_F(CamsimRunTest, Y4mStreamsOpenInFfmpegWithEveryFrame) {
  REQUIRE_FFMPEG();
  for (const std::string format : {"rgb24", "yuy2", "i420"}) {
    SCOPED_TRACE(format);
    std::string text, out = "o_" + format;
    Bytes live;
    ASSERT_EQ(Camsim("--size 160x120 --frames 12 --y4m - --format " + format + " --out " + out, &text, true, &live), 0)
        << text;
    EXPECT_NE(text.find("12 of 12 frames"), std::string::npos) << text;
    std::ofstream(dir_ + "/live.y4m", std::ios::binary).write(reinterpret_cast<const char *>(live.data()), live.size());
    auto probe = Probe(dir_ + "/live.y4m");
    EXPECT_EQ(probe["width"], "160");
    EXPECT_EQ(probe["height"], "120");
    EXPECT_EQ(probe["nb_read_frames"], "12");
    EXPECT_NE(probe["pix_fmt"].find(format == "rgb24" ? "444p" : format == "yuy2" ? "422p" : "420p"), std::string::npos);
    if (format == "rgb24") {  // 4:4:4 pictures that are the frames' pictures, within rounding
      const Bytes bmps = Decode(dir_ + "/" + out + "/frame_%06d.bmp", "rgb24"), yuv = Decode(dir_ + "/live.y4m", "rgb24");
      ASSERT_EQ(yuv.size(), 160u * 120 * 3 * 12);
      ASSERT_EQ(bmps.size(), yuv.size());
      double diff = 0;
      for (size_t i = 0; i < yuv.size(); ++i) diff += std::abs(yuv[i] - bmps[i]) / double(yuv.size());
      EXPECT_LT(diff, 2.0);
      continue;
    }
    EXPECT_EQ(Files(out, "." + format).size(), 12u);
    EXPECT_TRUE(live == ReadFile(dir_ + "/" + out + "/stream.y4m"));
  }
}

// MJPG: frames.tsv and the files agree; every .jpg decodes in ffmpeg without a word.
TEST_F(CamsimRunTest, MjpgFramesAreJpegFilesThatFfmpegReads) {
  REQUIRE_FFMPEG();
  std::string text;
  ASSERT_EQ(Camsim("--size 160x120 --frames 20 --format mjpg --out m", &text), 0) << text;
  std::map<std::string, int> kinds = Kinds("m/frames.tsv");
  const std::vector<std::string> jpegs = Files("m", ".jpg");
  const size_t blanks = Files("m", ".blank").size();
  EXPECT_EQ(blanks + jpegs.size(), 20u);
  EXPECT_EQ(blanks, 5u) << "one blank frame for each warm-up frame the worker counted bad";
  EXPECT_EQ(size_t(kinds["blank"]), blanks);
  EXPECT_EQ(size_t(kinds["picture"] + kinds["repeat"] + kinds["still"]), jpegs.size());
  for (const std::string &name : jpegs) {
    Bytes said;
    EXPECT_EQ(camsim_test::Run("/usr/bin/ffmpeg -nostdin -v warning -i " + Quote(dir_ + "/m/" + name) + " -f null - 2>&1", &said), 0);
    EXPECT_TRUE(said.empty()) << name << ": " << std::string(said.begin(), said.end());
    EXPECT_EQ(Decode(dir_ + "/m/" + name, "rgb24").size(), 160u * 120 * 3) << name;
  }
}

// Every trigger and every press of the button ends on a frame the application gets, however
// many frames are dropped on the way, and on exactly one: the count is the same every run.
// `all=5` drops two camera frames of every five (a short packet, a USB error) and keeps runs of
// three. The driver learns that the class library dropped a still frame only when a later frame
// reaches it, so drop patterns whose kept runs are shorter than that lag (two of every four
// frames) can keep a still chasing dropped frames, depending on timing.
TEST_F(CamsimRunTest, EachTriggerAndPressGivesOneStillEveryRun) {
  const unsigned frames = 40, stillEvery = 10, buttonEvery = 15;
  // Triggered or pressed after frames 10, 20, 30 and 15, 30: those after the last frame
  // cannot reach a frame.
  unsigned expected = 0;
  for (unsigned k = 1; k < frames; ++k) expected += (k % stillEvery == 0) + (k % buttonEvery == 0);
  for (int run = 1; run <= 3; ++run) {
    SCOPED_TRACE(run);
    std::string text;
    ASSERT_EQ(Camsim("--size 160x120 --frames " + std::to_string(frames) + " --faults all=5 --still-every " +
                         std::to_string(stillEvery) + " --button-every " + std::to_string(buttonEvery) +
                         " --out r" + std::to_string(run), &text), 0) << text;
    const std::string marked = "stills the class library marked: ";
    size_t at = text.find(marked);
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_EQ(std::strtoul(text.c_str() + at + marked.size(), nullptr, 10), expected) << text;
    EXPECT_NE(text.find(", " + std::to_string(expected) + " stills"), std::string::npos) << text;
  }
}

TEST_F(CamsimRunTest, FaultsAndStillsAreReportedAndNothingIsLeft) {
  REQUIRE_FFMPEG();
  std::string text;
  // Faults that damage frames without the class library dropping them: a still marked on a
  // dropped frame is lost with it, and this run must show stills.
  ASSERT_EQ(Camsim("--size 160x120 --frames 40 --faults corrupt=4,size=5,truncate=6 --still-every 10 "
                   "--button-every 15 --png --out f --contact-sheet sheet.png", &text), 0) << text;
  EXPECT_NE(text.find("0 blocks left allocated"), std::string::npos) << text;
  EXPECT_EQ(Files("f", ".bmp").size(), 40u + Kinds("f/frames.tsv")["still"]) << "each still also as still_NNNNNN.bmp";
  EXPECT_EQ(Files("f", ".png").size(), 40u);
  EXPECT_GT(Kinds("f/frames.tsv")["still"], 0) << "a still is named as such";
  // The sheet: tiles 160 pixels wide, ten to a row, 4 pixels apart; frame 1 (blank) is black,
  // frame 8 (the first picture) is not.
  const int width = std::atoi(Probe(dir_ + "/sheet.png")["width"].c_str());
  ASSERT_EQ(width, 4 + 10 * (160 + 4));
  const Bytes rgb = Decode(dir_ + "/sheet.png", "rgb24");
  auto at = [&](int x, int y) { return rgb.at((size_t(y) * width + x) * 3) + rgb.at((size_t(y) * width + x) * 3 + 1); };
  EXPECT_EQ(at(4 + 80, 4 + 60), 0);
  EXPECT_GT(at(4 + 7 * 164 + 20, 4 + 10), 60);
}

// Ordinary mistakes a new user makes: the exit status, what the messages say, the files after.
TEST_F(CamsimRunTest, OrdinaryMistakesAreRefusedOrExplained) {
  REQUIRE_FFMPEG();
  const std::string ff = "/usr/bin/ffmpeg -v error -y ";
  Shell(ff + "-f lavfi -i testsrc2=size=400x300 -frames:v 1 -q:v 3 photo.jpg");
  Shell(ff + "-f lavfi -i testsrc2=size=320x240 -frames:v 1 -pix_fmt gray gray.jpg");
  Shell(ff + "-f lavfi -i testsrc2=size=320x240 -vf noise=alls=60:allf=t -frames:v 1 noisy.png");
  Shell("cp photo.jpg not_a_hive.jpg && printf 'TorvaneHive 1\\nkey Settings\\nvalue Settings Brightness 4 4d00' "
        "> cut.hive && head -c 900 noisy.png > cut.png && mkdir -p mixed && cp noisy.png mixed/a.png && echo notes > mixed/notes.txt && "
        "mkdir -p busy && echo mine > busy/mine.txt");
  const Bytes jpg = ReadFile(dir_ + "/not_a_hive.jpg"), cut = ReadFile(dir_ + "/cut.hive");
  const struct {
    const char *name, *args;
    int rc;
    std::vector<const char *> says, never;
    std::function<void()> check;
  } cases[] = {
      {"a settings file that is no hive is refused and left alone", "--frames 9 --settings not_a_hive.jpg", 2,
       {"not_a_hive.jpg", "line 1"}, {},
       [&] { EXPECT_EQ(ReadFile(dir_ + "/not_a_hive.jpg"), jpg); EXPECT_FALSE(fs::exists(dir_ + "/out")); }},
      {"a cut hive is refused with its line", "--frames 9 --settings cut.hive", 2, {"cut.hive", "line 3"}, {},
       [&] { EXPECT_EQ(ReadFile(dir_ + "/cut.hive"), cut); }},
      {"ranges are written as people write them", "--frames 0", 2, {"1 to 1,000,000"}, {"0.000000", "17976"}, {}},
      {"an unknown fault is refused", "--faults nonsense", 2, {"nonsense"}, {}, {}},
      {"a size the camera does not have is refused", "--size 100x100", 2, {"100x100"}, {}, {}},
      {"JPEGs the driver cannot decode are re-encoded, each named with why",
       "--frames 12 --source photo.jpg gray.jpg --out s", 0, {"photo.jpg", "400x300", "gray.jpg", "sampling"}, {},
       [&] { EXPECT_GE(Kinds("s/frames.tsv")["picture"], 2); }},
      {"--exact-sources refuses them", "--frames 12 --source photo.jpg --exact-sources", 2, {"photo.jpg", "400x300"},
       {}, {}},
      {"files in a source folder that are not images are skipped", "--frames 9 --source mixed --out m", 0,
       {"skipping", "notes.txt"}, {}, {}},
      {"a damaged picture is refused with its name", "--frames 9 --source cut.png", 2,
       {"cut.png: not a readable"}, {}, {}},
      {"frames too large for the driver are explained at once", "--frames 9 --source noisy.png --quality 100 "
       "--sampling 444", 1, {"camera frame 1 is", "76,800 bytes", "lower --quality"}, {" 0x", "(0x", "30 s"}, {}},
      {"--png writes a picture of every frame of every format", "--frames 9 --format i420 --png --out p", 0, {}, {},
       [&] { EXPECT_EQ(Files("p", ".png").size(), 9u); }},
      {"an --out folder with other files is refused", "--frames 9 --out busy", 2, {"busy", "mine.txt"}, {},
       [&] { EXPECT_TRUE(Files("busy", ".bmp").empty()); }},
      {"unless asked, and then they stay", "--frames 9 --out busy --keep-other-files", 0, {}, {},
       [&] { EXPECT_TRUE(fs::exists(dir_ + "/busy/mine.txt")); }},
      {"--help names the exit statuses", "--help", 0,
       {"0 the run is done", "1 the run failed", "2 the command line", "130", "143"}, {}, {}},
      {"progress on a pipe is whole lines", "--frames 30 --discard", 0, {"camsim: frame 1/30", "camsim: frame 30/30"},
       {"\r"}, {}},
      {"--discard writes nothing", "--frames 9 --discard --out d", 0, {"discarded"}, {},
       [&] { EXPECT_FALSE(fs::exists(dir_ + "/d")); }},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    std::string text;
    EXPECT_EQ(Camsim(c.args, &text, c.rc != 0 || c.check), c.rc) << text;
    for (const char *s : c.says) EXPECT_NE(text.find(s), std::string::npos) << s << "\n" << text;
    for (const char *s : c.never) EXPECT_EQ(text.find(s), std::string::npos) << s << "\n" << text;
    if (c.check) c.check();
  }
}

// The defaults write 60 BMP frames of 320x240 into out; the next run removes them first.
TEST_F(CamsimRunTest, DefaultsWriteBmpFramesIntoOutAndTheNextRunRemovesThem) {
  REQUIRE_FFMPEG();
  std::string text;
  ASSERT_EQ(Camsim("--png", &text), 0) << text;
  std::vector<std::string> bmps = Files("out", ".bmp");
  ASSERT_EQ(bmps.size(), 60u) << text;
  EXPECT_EQ(bmps.front(), "frame_000001.bmp");
  auto probe = Probe(dir_ + "/out/" + bmps.back());
  EXPECT_EQ(probe["width"] + "x" + probe["height"], "320x240");
  ASSERT_EQ(Camsim("--frames 8", &text), 0) << text;
  EXPECT_NE(text.find("removed 121 files of an earlier run"), std::string::npos) << text;  // 60 BMP, 60 PNG, tsv
  EXPECT_EQ(Files("out", ".bmp").size(), 8u);
  EXPECT_TRUE(Files("out", ".png").empty());
}

// Ctrl-C and SIGTERM stop as a closing application would: settings saved, status names the signal.
TEST_F(CamsimRunTest, InterruptedRunsKeepTheirSettings) {
  for (const auto &[signal, rc] : {std::pair<int, int>{SIGINT, 130}, {SIGTERM, 143}}) {
    SCOPED_TRACE(signal);
    const std::string out = "i" + std::to_string(signal);
    const std::string command = "exec " + Program() + " --quiet --realtime --frames 1000000 --brightness 77 --settings " +
                                Quote(dir_ + "/" + out + ".hive") + " --out " + Quote(dir_ + "/" + out) + " >" +
                                Quote(dir_ + "/" + out + ".txt") + " 2>&1";
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
    const std::string text = Text(out + ".txt");
    EXPECT_NE(text.find("brightness 77"), std::string::npos) << text;
    EXPECT_NE(text.find("0 blocks left allocated"), std::string::npos) << text;
    EXPECT_NE(Text(out + ".hive").find("Brightness 4 4d000000"), std::string::npos) << "saved at stop";
    std::string next;
    ASSERT_EQ(Camsim("--frames 3 --discard --settings " + out + ".hive", &next), 0) << next;
    EXPECT_NE(next.find("brightness 77"), std::string::npos) << "restored by the next run: " << next;
  }
}

// Every file under the folder with its bytes (the camsim output of the test's own messages left out).
std::map<std::string, Bytes> Snapshot(const std::string &dir) {
  std::map<std::string, Bytes> files;
  for (const auto &e : fs::recursive_directory_iterator(dir)) {
    const std::string name = fs::relative(e.path(), dir).string();
    if (e.is_regular_file() && name != "stderr.txt") files[name] = ReadFile(e.path().string());
    if (e.is_directory()) files[name + "/"] = {};
  }
  return files;
}

// A 4-component (CMYK) JPEG, as print workflows write them, made with libjpeg.
void WriteCmykJpeg(const std::string &path) {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  std::FILE *f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  jpeg_stdio_dest(&c, f);
  c.image_width = 32;
  c.image_height = 16;
  c.input_components = 4;
  c.in_color_space = JCS_CMYK;
  jpeg_set_defaults(&c);
  jpeg_start_compress(&c, TRUE);
  std::vector<JSAMPLE> row(32 * 4, 90);
  while (c.next_scanline < c.image_height) {
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&c, rows, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::fclose(f);
}

// A command line that cannot run is refused before anything is removed or written: exit 2, the
// reason in words, no summary, and every file in the folder (an earlier run's frames, the
// user's pictures, frames a user made with ffmpeg) exactly as it was.
TEST_F(CamsimRunTest, RefusedRunsLeaveEveryFileAsItWas) {
  REQUIRE_FFMPEG();
  TestWatchdog watchdog(std::chrono::seconds(120), "the refused runs");
  const std::string ff = "/usr/bin/ffmpeg -v error -y ";
  std::string text;
  ASSERT_EQ(Camsim("--frames 3 --png", &text), 0) << text;  // an earlier run in out
  ASSERT_EQ(Camsim("--frames 3 --out changed", &text), 0) << text;
  Shell(ff + "-f lavfi -i testsrc2=size=320x240 -frames:v 1 pic.png && cp pic.png sheet.png && echo clip > clip.y4m");
  Shell(ff + "-f lavfi -i testsrc2=size=320x240 -frames:v 1 -q:v 3 whole.jpg && head -c 3000 whole.jpg > cut.jpg");
  Shell(ff + "-f lavfi -i testsrc2=size=64x48 -frames:v 1 -pix_fmt pal8 pal.bmp");
  Shell(ff + "-f lavfi -i testsrc2=size=64x48 -frames:v 1 -pix_fmt gray grey.bmp");
  Shell(ff + "-f lavfi -i testsrc2=size=64x48 -frames:v 1 -pix_fmt rgb48be deep.ppm");
  // Frames a user made with ffmpeg, by the names camsim uses.
  Shell("mkdir -p theirs sdir && " + ff + "-f lavfi -i testsrc2=size=64x48 -frames:v 2 theirs/frame_%06d.png && "
        "echo mine > theirs/frames.tsv && echo 'x' >> changed/frame_000002.bmp");
  WriteCmykJpeg(dir_ + "/cmyk.jpg");
  {  // entropy-coded data damaged in the middle
    Bytes b = ReadFile(dir_ + "/whole.jpg");
    for (size_t k = b.size() / 2; k < b.size() / 2 + 60; ++k) b[k] ^= 0x5a;
    std::ofstream(dir_ + "/bad.jpg", std::ios::binary).write(reinterpret_cast<const char *>(b.data()), b.size());
  }
  const struct {
    const char *name, *args;
    std::vector<const char *> says, never;
  } cases[] = {
      {"an input named as the contact sheet", "--source pic.png --contact-sheet pic.png", {"pic.png", "input"}, {}},
      {"an existing contact sheet", "--contact-sheet sheet.png", {"sheet.png exists", "--overwrite (-y)"}, {}},
      {"an existing stream file", "--y4m clip.y4m", {"clip.y4m exists", "--overwrite"}, {}},
      {"-n refuses too", "--y4m clip.y4m -n", {"clip.y4m exists"}, {}},
      {"-y and -n together", "--y4m clip.y4m -y -n", {"excludes"}, {}},
      {"a stream into a missing folder", "--y4m nowhere/s.y4m", {"nowhere", "does not exist"}, {}},
      {"a contact sheet into a missing folder", "--contact-sheet nowhere/s.png", {"nowhere", "does not exist"}, {}},
      {"a contact sheet that cannot be made", "--contact-sheet /proc/camsim.png", {"/proc/camsim.png", "No such file"}, {}},
      {"a stream file camsim writes itself", "--format yuy2 --y4m out/stream.y4m", {"out/stream.y4m", "itself"}, {}},
      {"a mistyped driver", "--driver Torvane.sy", {"--driver"}, {}},
      {"a truncated JPEG, with libjpeg's reason", "--source cut.jpg", {"cut.jpg", "Premature end of JPEG file"}, {}},
      {"a damaged JPEG, with libjpeg's reason", "--source bad.jpg", {"bad.jpg", "libjpeg: Corrupt JPEG data"},
       {"Huffman"}},
      {"a CMYK JPEG", "--source cmyk.jpg", {"cmyk.jpg", "libjpeg"}, {}},
      {"a paletted BMP", "--source pal.bmp", {"pal.bmp", "24- and 32-bit BMP"}, {}},
      {"a greyscale BMP", "--source grey.bmp", {"grey.bmp", "24- and 32-bit BMP"}, {}},
      {"a 16-bit PPM", "--source deep.ppm", {"deep.ppm", "8-bit"}, {}},
      {"settings naming a folder", "--settings sdir", {"sdir is a folder"}, {}},
      {"a negative fault period", "--faults short=-1", {"short=-1", "1 to 1,000,000"}, {}},
      {"a fault period past 32 bits", "--faults short=4294967297", {"4294967297", "1 to 1,000,000"}, {}},
      {"a fault period with a tail", "--faults short=3x", {"short=3x"}, {}},
      {"--png with --discard", "--discard --png", {"--png", "--discard"}, {}},
      {"--imports without --driver", "--imports", {"--imports", "--driver"}, {}},
      {"a pace out of range", "--fps 31", {"--fps", "1 to 30"}, {}},
      {"a processor camsim cannot present", "--cpu sse3", {"--cpu", "sse3"}, {}},
      {"a user's frames with camsim's names", "--out theirs", {"theirs", "frame_000001.png", "--overwrite"}, {}},
      {"even when other files may stay", "--out theirs --keep-other-files", {"frame_000001.png", "--overwrite"}, {}},
      {"a frame changed since the run that wrote it", "--out changed", {"frame_000002.bmp", "--overwrite"}, {}},
  };
  const std::map<std::string, Bytes> before = Snapshot(dir_);
  ASSERT_TRUE(before.count("out/frame_000003.png") && before.count("out/.camsim-files"));
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Camsim(std::string("--frames 3 ") + c.args, &text), 2) << text;
    for (const char *s : c.says) EXPECT_NE(text.find(s), std::string::npos) << s << "\n" << text;
    for (const char *s : c.never) EXPECT_EQ(text.find(s), std::string::npos) << s << "\n" << text;
    EXPECT_EQ(text.find("settings at stop"), std::string::npos) << "no summary: " << text;
    EXPECT_EQ(text.find("removed"), std::string::npos) << text;
    EXPECT_TRUE(Snapshot(dir_) == before) << "files changed";
  }
  // A camsim holding the folder: the second says which process and leaves the folder alone.
  const int fd = open((dir_ + "/out/.camsim.lock").c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  const std::string pid = std::to_string(getpid());
  ASSERT_EQ(write(fd, pid.data(), pid.size()), ssize_t(pid.size()));
  EXPECT_EQ(Camsim("--frames 3", &text), 2) << text;
  EXPECT_NE(text.find("in use by another camsim (process " + pid + ")"), std::string::npos) << text;
  close(fd);
  fs::remove(dir_ + "/out/.camsim.lock");
  EXPECT_TRUE(Snapshot(dir_) == before) << "files changed";
}

// What camsim may replace, and how runs that go ahead end.
TEST_F(CamsimRunTest, OwnFilesAreReplacedAndRunsEndCleanly) {
  REQUIRE_FFMPEG();
  TestWatchdog watchdog(std::chrono::seconds(120), "the runs");
  Shell("mkdir -p mine && /usr/bin/ffmpeg -v error -f lavfi -i testsrc2=size=64x48 -frames:v 1 mine/frame_%06d.png");
  // A frames.tsv with no marker to claim it, as a run that never sealed the folder leaves one.
  Shell("echo notes > mine/notes.txt && echo old > mine/frames.tsv && echo old > sheet.png && : > new.hive");
  const Bytes notes = ReadFile(dir_ + "/mine/notes.txt");
  std::string text;
  // -y replaces the user's frame, the unclaimed frames.tsv and the sheet; the notes stay, and are
  // not claimed by the marker.
  ASSERT_EQ(Camsim("--frames 4 --out mine --keep-other-files -y --contact-sheet sheet.png", &text), 0) << text;
  EXPECT_FALSE(fs::exists(dir_ + "/mine/frame_000001.png")) << "replaced as asked";
  EXPECT_NE(Text("mine/.camsim-files").find("\tframes.tsv\n"), std::string::npos) << "the new frames.tsv is claimed";
  EXPECT_EQ(Probe(dir_ + "/sheet.png")["width"], "660");  // four tiles
  EXPECT_EQ(ReadFile(dir_ + "/mine/notes.txt"), notes);
  EXPECT_EQ(Text("mine/.camsim-files").find("notes.txt"), std::string::npos);
  // The next run removes exactly what the last one wrote, and a sheet it wrote in the folder.
  ASSERT_EQ(Camsim("--frames 2 --out mine --keep-other-files --contact-sheet mine/s.png", &text), 0) << text;
  ASSERT_EQ(Camsim("--frames 2 --out mine --keep-other-files", &text), 0) << text;
  EXPECT_NE(text.find("removed 4 files of an earlier run"), std::string::npos) << text;  // 2 BMP, tsv, s.png
  EXPECT_EQ(ReadFile(dir_ + "/mine/notes.txt"), notes);
  EXPECT_FALSE(fs::exists(dir_ + "/mine/s.png"));
  EXPECT_FALSE(fs::exists(dir_ + "/mine/.camsim.lock")) << "the lock goes with the run";
  // An empty settings file is a new one.
  ASSERT_EQ(Camsim("--frames 2 --discard --settings new.hive --brightness 61", &text), 0) << text;
  EXPECT_NE(Text("new.hive").find("Brightness 4 3d000000"), std::string::npos) << Text("new.hive");
  // --version, and progress with its share done and time left.
  ASSERT_EQ(Camsim("--version", &text), 0) << text;
  EXPECT_EQ(text.rfind("camsim (Torvane) ", 0), 0u) << text;
  EXPECT_NE(text.find("built "), std::string::npos) << text;
  ASSERT_EQ(Camsim("--frames 20 --fps 30 --discard", &text, false), 0) << text;
  EXPECT_NE(text.find("camsim: frame 1/20 (5%)"), std::string::npos) << text;
  EXPECT_NE(text.find(" s left"), std::string::npos) << text;
  EXPECT_NE(text.find("paced at 30 per second"), std::string::npos) << text;
  // --fps sets the pace and the stream's frame rate.
  ASSERT_EQ(Camsim("--frames 2 --fps 10 --size 160x120 --format i420 --out p", &text), 0) << text;
  EXPECT_NE(text.find("paced at 10 per second"), std::string::npos) << text;
  EXPECT_EQ(Text("p/stream.y4m").find("YUV4MPEG2 W160 H120 F10:1"), 0u);
  // A reader that closes the pipe ends the run as an interrupt does: exit 0, counts that add up.
  Shell("(" + Program() + " --quiet --size 160x120 --format i420 --frames 300 --y4m - --out pipe 2>pipe.txt; "
        "echo $? > pipe.rc) | head -c 60000 > /dev/null");
  text = Text("pipe.txt");
  EXPECT_EQ(Text("pipe.rc"), "0\n") << text;
  EXPECT_NE(text.find("closed it after"), std::string::npos) << text;
  EXPECT_EQ(text.find("failed"), std::string::npos) << text;
  unsigned received = 0, pictures = 0, warmup = 0, repeats = 0, stills = 0, damaged = 0;
  const size_t at = text.find("frames the application received: ");
  ASSERT_NE(at, std::string::npos) << text;
  ASSERT_EQ(std::sscanf(text.c_str() + at, "frames the application received: %u = %u pictures + %u blank warm-up frames "
                                          "+ %u repeats of the previous image (a frame the driver could not decode, or "
                                          "the same picture again) + %u stills + %u damaged",
                        &received, &pictures, &warmup, &repeats, &stills, &damaged), 6) << text;
  EXPECT_GT(received, 0u);
  EXPECT_EQ(pictures + warmup + repeats + stills + damaged, received) << text;
  EXPECT_EQ(Files("pipe", ".i420").size(), received);
}

// Every frame traced to its camera frame: frames.tsv names each frame's time, the camera frame
// and source picture its image came from and the faults the camera injected; with --faults all
// every kind happens; damaged pictures have a kind and a tile colour of their own; stills are
// saved as files; the summary's counts add up and match frames.tsv.
TEST_F(CamsimRunTest, FramesAreTracedToTheirCameraFramesAndFaults) {
  REQUIRE_FFMPEG();
  std::string text;
  ASSERT_EQ(Camsim("--size 160x120 --frames 60 --faults all --still-every 10 --button-every 15 "
                   "--contact-sheet sheet.png --out f", &text), 0) << text;
  ASSERT_EQ(Text("f/frames.tsv").substr(0, Text("f/frames.tsv").find('\n')),
            "frame\tfile\tbytes\ttime\tcamera_frame\tsource\tfaults\tkind");
  const auto rows = Table("f/frames.tsv");
  ASSERT_EQ(rows.size(), 60u);
  std::map<std::string, int> kinds;
  double lastTime = -1;
  long lastCamera = 0;
  for (const auto &row : rows) {
    SCOPED_TRACE(row.at("frame"));
    ++kinds[row.at("kind")];
    // Presentation times: the stream's 30 frames a second, rising (lost frames leave gaps).
    const double time = std::atof(row.at("time").c_str());
    EXPECT_GT(time, lastTime);
    EXPECT_NEAR(time * 30, std::round(time * 30), 0.01);
    lastTime = time;
    if (row.at("kind") == "blank") {
      EXPECT_EQ(row.at("camera_frame"), "-");
      continue;
    }
    const long camera = std::atol(row.at("camera_frame").c_str());
    EXPECT_GE(camera, lastCamera) << "images follow the camera's frames";
    lastCamera = camera;
    EXPECT_EQ(row.at("source"), "scene");
    if (row.at("kind") == "damaged") {
      EXPECT_EQ(row.at("faults").rfind(row.at("camera_frame") + ":", 0), 0u) << "its own camera frame's fault first";
    }
    if (row.at("kind") == "picture") {
      const std::string faults = " " + row.at("faults");
      EXPECT_EQ(faults.find(" " + row.at("camera_frame") + ":"), std::string::npos) << "a good picture's frame had none";
    }
  }
  for (const char *fault : {"short", "usb-error", "corrupt", "truncate", "size"}) {
    bool seen = false;
    for (const auto &row : rows) seen = seen || row.at("faults").find(std::string(":") + fault) != std::string::npos;
    EXPECT_TRUE(seen) << fault << " never reached frames.tsv";
    EXPECT_GT(Before(text, std::string(" ") + fault + (std::string(fault) == "size" ? " (camera" : ",")), 0) << fault;
  }
  EXPECT_GT(kinds["damaged"], 0);
  // The summary's sum, kind by kind as frames.tsv has them.
  EXPECT_EQ(After(text, "frames the application received: "), 60);
  EXPECT_EQ(After(text, "60 = "), kinds["picture"]);
  EXPECT_EQ(Before(text, " blank warm-up frames"), kinds["blank"]);
  EXPECT_EQ(Before(text, " repeats of the previous image"), kinds["repeat"]);
  EXPECT_EQ(Before(text, " stills +"), kinds["still"]);
  EXPECT_EQ(Before(text, " damaged (pictures"), kinds["damaged"]);
  EXPECT_EQ(kinds["picture"] + kinds["blank"] + kinds["repeat"] + kinds["still"] + kinds["damaged"], 60);
  EXPECT_EQ(After(text, "the first "), kinds["blank"]) << "the warm-up line names the blank frames";
  EXPECT_EQ(After(text, "driver's first "), kinds["blank"] - 1) << "one frame behind: one blank frame has no decode";
  const long decoded = After(text, "driver: "), notDecoded = Before(text, " not decoded");
  EXPECT_EQ(After(text, "decodes included) = "), decoded + notDecoded) << text;
  EXPECT_EQ(Before(text, " frames the class library handed to it"), decoded + notDecoded) << text;
  // Stills: triggers after frames 10..50 and presses after 15, 30, 45 (none after the last).
  EXPECT_EQ(After(text, "stills: "), 5);
  EXPECT_EQ(After(text, "triggers and "), 3);
  const std::vector<std::string> stills = Files("f", ".bmp");
  std::vector<std::string> stillFiles;
  for (const std::string &f : stills) if (f.rfind("still_", 0) == 0) stillFiles.push_back(f);
  EXPECT_EQ(long(stillFiles.size()), Before(text, " stills received"));
  EXPECT_EQ(int(stillFiles.size()), kinds["still"]);
  for (const std::string &still : stillFiles) {
    EXPECT_EQ(ReadFile(dir_ + "/f/" + still), ReadFile(dir_ + "/f/frame_" + still.substr(6))) << still;
    EXPECT_EQ(Probe(dir_ + "/f/" + still)["width"], "160") << still;
  }
  EXPECT_EQ(Decode(dir_ + "/f/frame_%06d.bmp", "rgb24").size(), 160u * 120 * 3 * 60) << "every frame file reads";
  // The sheet: each tile's band in its kind's colour, a damaged one red.
  const int width = std::atoi(Probe(dir_ + "/sheet.png")["width"].c_str());
  const Bytes sheet = Decode(dir_ + "/sheet.png", "rgb24");
  for (size_t i = 0; i < rows.size(); ++i) {
    const int x = 4 + int(i % 10) * 164 + 150, y = 4 + int(i / 10) * 138 + 120 + 7;
    const uint8_t *p = &sheet.at((size_t(y) * width + x) * 3);
    const bool red = p[0] > 150 && p[1] < 60 && p[2] < 60;
    EXPECT_EQ(red, rows[i].at("kind") == "damaged") << "tile " << i + 1 << " " << rows[i].at("kind");
  }
}

// MJPG: stream.mjpeg is the frames' JPEGs back to back, without the blank frames, and ffprobe
// reads it as a motion-JPEG stream of that many frames.
TEST_F(CamsimRunTest, MjpgStreamIsTheJpegFramesInOrder) {
  REQUIRE_FFMPEG();
  std::string text;
  ASSERT_EQ(Camsim("--size 160x120 --frames 20 --format mjpg --out m", &text), 0) << text;
  const std::vector<std::string> jpegs = Files("m", ".jpg");
  ASSERT_FALSE(Files("m", ".blank").empty()) << "the run has blank frames to leave out";
  Bytes joined;
  for (const std::string &name : jpegs) {
    const Bytes jpeg = ReadFile(dir_ + "/m/" + name);
    joined.insert(joined.end(), jpeg.begin(), jpeg.end());
  }
  EXPECT_TRUE(ReadFile(dir_ + "/m/stream.mjpeg") == joined);
  Bytes out;
  ASSERT_EQ(camsim_test::Run("/usr/bin/ffprobe -v error -f mjpeg -count_frames -show_entries "
                             "stream=codec_name,width,nb_read_frames -of csv=p=0 " + Quote(dir_ + "/m/stream.mjpeg"),
                             &out), 0);
  EXPECT_EQ(std::string(out.begin(), out.end()), "mjpeg,160," + std::to_string(jpegs.size()) + "\n");
  EXPECT_EQ(Decode(dir_ + "/m/stream.mjpeg", "gray").size(), 160u * 120 * jpegs.size());
}

// I420 is limited range as players expect: its luma is 16 + 219/255 of the luma of the same
// frame in RGB24, and ffmpeg shows the I420 stream as the RGB24 pictures.
// The processor camsim presents (--cpu) picks the driver's and the decoder's forms; every form
// streams the same bytes, with every picture setting away from neutral.
TEST_F(CamsimRunTest, EveryProcessorFormStreamsTheSameBytes) {
  for (const char *format : {"yuy2", "i420", "rgb24"}) {
    Bytes first;
    for (const char *cpu : {"sse2", "mmx", "scalar"}) {
      std::string text;
      Bytes video;
      const int rc = Camsim(std::string("--cpu ") + cpu + " --format " + format +
                                " --frames 4 --brightness 70 --contrast 30 --saturation 80 --sharpness 60 --discard --y4m -",
                            &text, true, &video);
      if (rc == 2 && text.find("CPUID faulting") != std::string::npos) GTEST_SKIP() << text;
      ASSERT_EQ(rc, 0) << cpu << ": " << text;
      ASSERT_GT(video.size(), 1000u) << cpu;
      if (first.empty()) first = video;
      EXPECT_TRUE(video == first) << format << " with --cpu " << cpu << " differs from --cpu sse2";
    }
  }
}

TEST_F(CamsimRunTest, I420LumaIsLimitedRangeLikeTheRgb24Frames) {
  REQUIRE_FFMPEG();
  std::string text;
  ASSERT_EQ(Camsim("--size 160x120 --frames 12 --format rgb24 --out r", &text), 0) << text;
  ASSERT_EQ(Camsim("--size 160x120 --frames 12 --format i420 --out i", &text), 0) << text;
  const Bytes rgb = Decode(dir_ + "/r/frame_000012.bmp", "rgb24");
  const Bytes i420 = ReadFile(dir_ + "/i/frame_000012.i420");
  ASSERT_EQ(rgb.size(), 160u * 120 * 3);
  ASSERT_EQ(i420.size(), 160u * 120 * 3 / 2);
  double sum = 0, worst = 0;
  for (size_t p = 0; p < 160u * 120; ++p) {
    const double y = 16 + (0.299 * rgb[3 * p] + 0.587 * rgb[3 * p + 1] + 0.114 * rgb[3 * p + 2]) * 219 / 255;
    sum += std::abs(i420[p] - y);
    worst = std::max(worst, std::abs(i420[p] - y));
  }
  EXPECT_LT(sum / (160 * 120), 1.0);
  EXPECT_LT(worst, 2.0);
  // ffmpeg reads stream.y4m's frame 12 as the picture of the RGB24 run, within the chroma's
  // subsampling.
  const Bytes shown = Decode(dir_ + "/i/stream.y4m", "rgb24");
  ASSERT_EQ(shown.size(), rgb.size() * 12);
  double diff = 0;
  for (size_t b = 0; b < rgb.size(); ++b) diff += std::abs(shown[rgb.size() * 11 + b] - rgb[b]);
  EXPECT_LT(diff / rgb.size(), 4.0);
}

// --list-formats and --list-controls say what the driver's own tables and answers say: its
// capture pin's data ranges, and its advertised property sets with each item's range, step,
// default and current value (restored from --settings).
TEST_F(CamsimRunTest, ListingsGiveTheDriversRangesAndControls) {
  std::string formats, controls, all, text;
  ASSERT_EQ(Camsim("--list-formats", &formats), 0) << formats;
  ASSERT_EQ(Camsim("--list-controls", &controls), 0) << controls;
  ASSERT_EQ(Camsim("--all", &all), 0) << all;
  EXPECT_EQ(formats.find("property"), std::string::npos) << formats;
  EXPECT_EQ(controls.find("range 1:"), std::string::npos) << controls;
  EXPECT_NE(all.find(formats), std::string::npos) << all;
  EXPECT_NE(all.find("Device property sets"), std::string::npos) << all;
  EXPECT_FALSE(fs::exists(dir_ + "/out")) << "nothing streamed, nothing written";

  const HW_STREAM_INFORMATION &capture = LUMAREX_StreamInfo[0];
  EXPECT_EQ(After(formats, "pin 0: output, 1 instance(s), "), long(capture.NumberOfFormatArrayEntries));
  for (ULONG i = 0; i < capture.NumberOfFormatArrayEntries; ++i) {
    const auto &v = *reinterpret_cast<const KS_DATARANGE_VIDEO *>(capture.StreamFormatsArray[i]);
    const std::string line = "range " + std::to_string(i + 1) + ": RGB24 " +
                             std::to_string(v.VideoInfoHeader.bmiHeader.biWidth) + "x" +
                             std::to_string(v.VideoInfoHeader.bmiHeader.biHeight) + ", 24 bits per pixel, image " +
                             std::to_string(v.VideoInfoHeader.bmiHeader.biSizeImage) + " bytes";
    EXPECT_NE(formats.find(line), std::string::npos) << line << "\n" << formats;
    const std::string bits = std::to_string(v.ConfigCaps.MinBitsPerSecond) + " to " +
                             std::to_string(v.ConfigCaps.MaxBitsPerSecond) + " bits per second";
    EXPECT_NE(formats.find(bits), std::string::npos) << bits;
  }
  EXPECT_NE(formats.find("frame interval 33.3333 ms (30.00 fps)"), std::string::npos) << formats;

  ULONG sets = 0;
  const KSPROPERTY_SET *table = LUMAREX_GetDevicePropertySets(&sets);
  EXPECT_EQ(After(controls, "Device property sets the driver advertises: "), long(sets));
  const char *names[] = {"brightness", "contrast", "hue", "saturation", "sharpness"};
  ASSERT_EQ(Camsim("--frames 3 --discard --brightness 70 --settings cam.hive", &text), 0) << text;
  std::string saved;
  ASSERT_EQ(Camsim("--list-controls --settings cam.hive", &saved), 0) << saved;
  int checked = 0;
  for (ULONG s = 0; s < sets; ++s) {
    if (memcmp(table[s].Set, &LUMAREX_GuidPropsetVideoProcAmp, sizeof(GUID)) != 0) continue;
    for (ULONG i = 0; i < table[s].PropertiesCount; ++i) {
      const KSPROPERTY_ITEM &item = table[s].PropertyItem[i];
      ASSERT_LT(item.PropertyId, 5u);
      long step = -1, lo = -1, hi = -1, def = -1;
      for (ULONG l = 0; l < item.Values->MembersListCount; ++l) {
        const KSPROPERTY_MEMBERSLIST &list = item.Values->MembersList[l];
        if (list.MembersHeader.Flags & KSPROPERTY_MEMBER_FLAG_DEFAULT) {
          def = *static_cast<const LONG *>(list.Members);
        } else {
          const auto *stepping = static_cast<const KSPROPERTY_STEPPING_LONG *>(list.Members);
          step = long(stepping->SteppingDelta), lo = stepping->Bounds.SignedMinimum, hi = stepping->Bounds.SignedMaximum;
        }
      }
      const std::string line = std::string(names[item.PropertyId]) + " (id " + std::to_string(item.PropertyId) +
                               "): get/set, range " + std::to_string(lo) + " to " + std::to_string(hi) + " step " +
                               std::to_string(step) + ", default " + std::to_string(def) + ", current ";
      EXPECT_NE(controls.find(line + std::to_string(def) + "\n"), std::string::npos) << line << "\n" << controls;
      const long current = item.PropertyId == KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS ? 70 : def;
      EXPECT_NE(saved.find(line + std::to_string(current) + "\n"), std::string::npos) << line << "\n" << saved;
      ++checked;
    }
  }
  EXPECT_EQ(checked, 4);
  EXPECT_NE(controls.find("brightness (id 0): get/set, range 0 to 100 step 10, default 50"), std::string::npos);
}

}  // namespace

// camsim --kernel wine: the driver image installed from its INF and streamed under Wine's kernel
// gives the frames, frames.tsv and saved settings of a host run of the same image with the same
// options, byte for byte; settings go into Wine's registry from the settings file and come back
// into it, so that the next run starts with them. Options that cannot run under Wine are refused
// before anything runs. Without the 32-bit build and its image, --kernel wine is refused; where
// Wine or 32-bit programs cannot run, the Wine runs are skipped with the reason.
TEST_F(CamsimRunTest, WineKernelGivesTheHostsFramesAndKeepsSettings) {
  std::string text;
#ifndef TORVANE_CAMSIM_WINE_IMAGE
  if (sizeof(void *) == 4) GTEST_SKIP() << "the 32-bit build was configured without TORVANE_DRIVER_IMAGE";
  EXPECT_EQ(Camsim("--kernel wine --frames 2 --out w", &text), 2) << text;
  EXPECT_NE(text.find("32-bit"), std::string::npos) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
  EXPECT_FALSE(fs::exists(dir_ + "/w"));
#else
  for (const char *refused : {"--realtime", "--fps 10", "--cpu mmx", "--imports"}) {
    EXPECT_EQ(Camsim(std::string("--kernel wine --frames 2 --out r ") + refused, &text), 2) << refused << ": " << text;
    EXPECT_NE(text.find(std::string(refused).substr(0, std::string(refused).find(' '))), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_FALSE(fs::exists(dir_ + "/r")) << refused;
  }
  // The prefix the Wine stage uses; 77: Wine or 32-bit programs are missing (one line says which).
  Bytes prefixOut;
  const int prefix = camsim_test::Run(Quote(TORVANE_CAMSIM_SOURCE_DIR "/scripts/wine_prefix.sh") + " " +
                                          Quote(TORVANE_CAMSIM_WINE_PREFIX) + " 77 2>" + Quote(dir_ + "/prefix.txt"),
                                      &prefixOut);
  if (prefix == 77) GTEST_SKIP() << Text("prefix.txt");
  ASSERT_EQ(prefix, 0) << Text("prefix.txt");

  // Two runs each way, the second with the settings the first saved (and no picture options):
  // RGB24 with settings and corrupt frames, then YUY2 with short packets, each at its own size.
  const struct {
    const char *args;
    std::vector<const char *> says;  // in the Wine run's summary
  } runs[] = {
      {"--format rgb24 --size 160x120 --brightness 70 --contrast 35 --faults corrupt=4",
       {"brightness 70, contrast 35, saturation 50, sharpness 20"}},
      {"--format yuy2 --saturation 80 --faults short=5", {"brightness 70, contrast 35, saturation 80"}},
  };
  for (const auto &run : runs) {
    SCOPED_TRACE(run.args);
    const std::string common = std::string("--frames 12 ") + run.args;
    fs::remove_all(dir_ + "/h");
    fs::remove_all(dir_ + "/w");
    ASSERT_EQ(Camsim(common + " --driver " + Quote(TORVANE_CAMSIM_WINE_IMAGE) + " --settings host.hive --out h", &text),
              0) << text;
    ASSERT_EQ(Camsim(common + " --kernel wine --settings wine.hive --out w", &text), 0) << text;
    for (const char *s : run.says) EXPECT_NE(text.find(s), std::string::npos) << s << "\n" << text;
    EXPECT_NE(text.find("installed from its INF"), std::string::npos) << text;
    // Every file but the listing with its times: the frames, and frames.tsv, whose camera
    // frames, faults and kinds the Wine side reported from its own class library.
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir_ + "/h")) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    std::vector<std::string> wineNames;
    for (const auto &e : fs::directory_iterator(dir_ + "/w")) wineNames.push_back(e.path().filename().string());
    std::sort(wineNames.begin(), wineNames.end());
    EXPECT_EQ(names, wineNames);
    EXPECT_EQ(std::count_if(names.begin(), names.end(), [](const std::string &n) { return n.rfind("frame_", 0) == 0; }),
              12);
    EXPECT_NE(std::find(names.begin(), names.end(), "frames.tsv"), names.end());
    for (const std::string &name : names) {
      if (name != ".camsim-files") EXPECT_TRUE(ReadFile(dir_ + "/h/" + name) == ReadFile(dir_ + "/w/" + name)) << name;
    }
    // frames.tsv of the Wine run: whole, every kind one of camsim's, a damaged frame named by
    // its own camera frame's fault.
    const auto rows = Table("w/frames.tsv");
    ASSERT_EQ(rows.size(), 12u);
    std::map<std::string, int> kinds;
    for (const auto &row : rows) {
      ASSERT_EQ(row.size(), 8u);
      ++kinds[row.at("kind")];
      if (row.at("kind") == "damaged") {
        EXPECT_EQ(row.at("faults").rfind(row.at("camera_frame") + ":", 0), 0u) << row.at("frame");
      }
    }
    EXPECT_GT(kinds["picture"], 0);
    EXPECT_GT(kinds["blank"], 0);
    EXPECT_EQ(kinds["picture"] + kinds["blank"] + kinds["damaged"] + kinds["repeat"] + kinds["still"], 12);
    EXPECT_NE(Text("w/frames.tsv").find(run.args == runs[0].args ? ":corrupt" : ":short"), std::string::npos);
    // The settings saved under Wine are the host's (Wine's registry lists them in name order).
    auto lines = [&](const std::string &name) {
      std::istringstream in(Text(name));
      std::vector<std::string> all;
      for (std::string line; std::getline(in, line);) all.push_back(line);
      std::sort(all.begin(), all.end());
      return all;
    };
    EXPECT_EQ(lines("wine.hive"), lines("host.hive"));
  }
  // Each press of the camera's button under Wine gives one still (on whichever frame the class
  // library's pump had reached, which is a matter of timing on either kernel).
  ASSERT_EQ(Camsim("--kernel wine --frames 12 --size 160x120 --button-every 4 --discard", &text), 0) << text;
  EXPECT_NE(text.find("0 triggers and 2 button presses sent, 2 stills received"), std::string::npos) << text;
#endif
}
