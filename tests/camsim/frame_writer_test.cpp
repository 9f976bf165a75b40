// camsim's frame writer: the files it writes are read back with readers that share no code with
// it (ffmpeg/ffprobe for BMP, PNG and Y4M) and compared with the frames given to it; the JPEG
// frames come from libjpeg.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include <jpeglib.h>  // after cstdio: it needs FILE and size_t

#include "camsim/external_tools.h"
#include "frame_writer.h"

namespace {

namespace fs = std::filesystem;
using namespace camsim_test;

// Bytes that depend on their position, row and seed, so a flipped, shifted, swapped or
// mispadded row or plane shows.
Bytes Pattern(size_t size, size_t row, int seed) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = uint8_t(i * 7 + (i / row) * 13 + seed * 29);
  return b;
}

std::string Name(unsigned k, const char *extension) {
  char name[32];
  std::snprintf(name, sizeof name, "frame_%06u%s", k, extension);
  return name;
}

class FrameWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    dir_ = ::testing::TempDir() + "camsim_fw_" + std::to_string(getpid()) + "_" + name.substr(0, name.find('/'));
    fs::remove_all(dir_);
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(dir_);
  }
  FrameWriterOptions Options(OutputFormat format, int width, int height) const {
    FrameWriterOptions o;
    o.dir = dir_;
    o.format = format;
    o.width = width;
    o.height = height;
    return o;
  }
  std::string Path(const std::string &name) const { return dir_ + "/" + name; }
  std::string dir_;
};

class Rgb24Test : public FrameWriterTest, public ::testing::WithParamInterface<std::pair<int, int>> {};

// Widths whose rows need 2 and 1 bytes of padding in the BMP.
INSTANTIATE_TEST_SUITE_P(Sizes, Rgb24Test, ::testing::Values(std::make_pair(30, 10), std::make_pair(5, 3)));

TEST_P(Rgb24Test, BmpAndPngHoldTheFramesPixelsTopDown) {
  REQUIRE_FFMPEG();
  const auto [width, height] = GetParam();
  const size_t row = size_t(width) * 3, stride = (row + 3) / 4 * 4;
  FrameWriterOptions options = Options(OutputFormat::Rgb24, width, height);
  options.png = true;
  FrameWriter writer(options);
  for (unsigned k = 1; k <= 2; ++k) {
    SCOPED_TRACE(k);
    const Bytes dib = Pattern(row * height, row, int(k));  // bottom row first, BGR
    Bytes buffer = dib;
    buffer.resize(buffer.size() + 100, 0xEE);  // a larger buffer: the rest is no part of the image
    writer.Write(k, buffer.data(), buffer.size());
    Bytes bgr, rgb;  // what a reader must hand back: rows top-down
    for (int y = height - 1; y >= 0; --y) bgr.insert(bgr.end(), dib.begin() + row * y, dib.begin() + row * (y + 1));
    rgb = bgr;
    for (size_t i = 0; i < rgb.size(); i += 3) std::swap(rgb[i], rgb[i + 2]);

    const Bytes file = ReadFile(Path(Name(k, ".bmp")));
    auto le32 = [&](size_t at) { return uint32_t(file[at] | file[at + 1] << 8 | file[at + 2] << 16 | file[at + 3] << 24); };
    ASSERT_EQ(file.size(), 54 + stride * height);
    EXPECT_EQ(le32(2), file.size());
    EXPECT_EQ(le32(10), 54u);
    EXPECT_EQ(le32(18), uint32_t(width));
    EXPECT_EQ(le32(22), uint32_t(height)) << "positive: bottom-up, as the driver's DIB";
    EXPECT_EQ(file[28], 24);
    EXPECT_EQ(Decode(Path(Name(k, ".bmp")), "bgr24"), bgr);
    EXPECT_EQ(Probe(Path(Name(k, ".png")))["pix_fmt"], "rgb24");
    EXPECT_EQ(Decode(Path(Name(k, ".png")), "rgb24"), rgb);
  }
  EXPECT_EQ(writer.Files(), (std::vector<std::string>{Path(Name(1, ".bmp")), Path(Name(1, ".png")),
                                                       Path(Name(2, ".bmp")), Path(Name(2, ".png"))}));
}

// The raw frames as given, and stream.y4m with every frame that ffmpeg decodes to the planes
// worked out here. The YUY2 writer is not finished: the stream on disk must be whole anyway.
TEST_F(FrameWriterTest, Yuy2AndI420FramesAndAStreamThatFfmpegReads) {
  REQUIRE_FFMPEG();
  const int width = 64, height = 48;
  const struct {
    OutputFormat format;
    unsigned fps;
    const char *header, *pixFmt;
  } cases[] = {{OutputFormat::Yuy2, 25, "YUV4MPEG2 W64 H48 F25:1 Ip A1:1 C422 XCOLORRANGE=FULL\n", "yuv422p"},
               {OutputFormat::I420, 30, "YUV4MPEG2 W64 H48 F30:1 Ip A1:1 C420jpeg\n", "yuv420p"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.pixFmt);
    fs::remove_all(dir_);
    FrameWriterOptions options = Options(c.format, width, height);
    options.fps = c.fps;
    const bool yuy2 = c.format == OutputFormat::Yuy2;
    const size_t bytes = yuy2 ? width * height * 2 : width * height * 3 / 2;
    std::vector<Bytes> frames;
    Bytes planar;  // Y, U, V of every frame
    {
      FrameWriter writer(options);
      for (unsigned k = 1; k <= 5; ++k) {
        frames.push_back(Pattern(bytes, width, int(k)));
        const Bytes &f = frames.back();
        if (yuy2) {  // Y0 U Y1 V
          Bytes y, u, v;
          for (size_t i = 0; i < f.size(); i += 4) y.insert(y.end(), {f[i], f[i + 2]}), u.push_back(f[i + 1]), v.push_back(f[i + 3]);
          for (const Bytes *p : {&y, &u, &v}) planar.insert(planar.end(), p->begin(), p->end());
        } else {
          planar.insert(planar.end(), f.begin(), f.end());
        }
        Bytes buffer = f;
        buffer.resize(buffer.size() + 33, 0x5A);  // junk past the frame is not written
        writer.Write(k, buffer.data(), buffer.size());
      }
      EXPECT_EQ(writer.Files().size(), 6u);
      EXPECT_EQ(writer.Files()[1], Path("stream.y4m"));
      if (!yuy2) writer.Finish();
    }
    for (unsigned k = 1; k <= 5; ++k) EXPECT_EQ(ReadFile(Path(Name(k, yuy2 ? ".yuy2" : ".i420"))), frames[k - 1]) << k;
    const Bytes stream = ReadFile(Path("stream.y4m"));
    const std::string header = c.header;
    EXPECT_EQ(std::string(stream.begin(), stream.begin() + std::min(header.size(), stream.size())), header);
    EXPECT_EQ(stream.size(), header.size() + 5 * (6 + bytes));
    std::map<std::string, std::string> probe = Probe(Path("stream.y4m"));
    EXPECT_EQ(probe["width"], "64");
    EXPECT_EQ(probe["height"], "48");
    EXPECT_EQ(probe["nb_read_frames"], "5");
    EXPECT_NE(probe["pix_fmt"].find(c.pixFmt + 4), std::string::npos) << probe["pix_fmt"];  // yuvj420p is yuv420p too
    EXPECT_EQ(Decode(Path("stream.y4m"), probe["pix_fmt"]), planar);
  }
}

// A JPEG from libjpeg with restart markers in its scan, stuffed FF bytes, and FF D9 (and FF D8,
// FF DA) inside APP5 and COM payloads, to trip a scanner that does not walk the segments.
Bytes LibjpegFrame(int width, int height) {
  Bytes rgb(size_t(width) * height * 3);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = uint8_t((i * 2654435761u) >> 13);  // noise: FF bytes in the scan
  jpeg_compress_struct cinfo;
  jpeg_error_mgr error;
  cinfo.err = jpeg_std_error(&error);
  jpeg_create_compress(&cinfo);
  unsigned char *out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &out, &size);
  cinfo.image_width = JDIMENSION(width);
  cinfo.image_height = JDIMENSION(height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  cinfo.restart_interval = 1;
  jpeg_start_compress(&cinfo, TRUE);
  static const JOCTET app[] = {'T', 'V', 0xFF, 0xD9, 0x00, 0xFF, 0xD8, 0xFF, 0xDA, 0xFF, 0xD9};
  static const JOCTET com[] = {0xFF, 0xD9, 'e', 'n', 'd', 0xFF, 0xD9};
  jpeg_write_marker(&cinfo, JPEG_APP0 + 5, app, sizeof app);
  jpeg_write_marker(&cinfo, JPEG_COM, com, sizeof com);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW r = rgb.data() + size_t(cinfo.next_scanline) * width * 3;
    jpeg_write_scanlines(&cinfo, &r, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  Bytes jpeg(out, out + size);
  free(out);
  return jpeg;
}

TEST_F(FrameWriterTest, MjpgFramesAreCutAtTheEndOfImageOrWrittenWholeAsBlank) {
  const Bytes jpeg = LibjpegFrame(64, 48);  // 12 MCUs: RST0..RST7 and round again
  auto has = [&](uint8_t a, uint8_t b) {
    for (size_t i = 0; i + 1 < jpeg.size(); ++i) if (jpeg[i] == a && jpeg[i + 1] == b) return true;
    return false;
  };
  ASSERT_TRUE(has(0xFF, 0xD0) && has(0xFF, 0xD7) && has(0xFF, 0x00)) << "the scan lacks what it should hold";
  Bytes buffer = jpeg;
  for (size_t n = 0; n < jpeg.size(); ++n) ASSERT_EQ(ScanJpegLength(buffer.data(), n), 0u) << "first " << n << " bytes";
  buffer.insert(buffer.end(), jpeg.begin(), jpeg.end());  // another whole JPEG after the first
  EXPECT_EQ(ScanJpegLength(buffer.data(), buffer.size()), jpeg.size());

  Bytes whole = jpeg, blank(5000, 0xFF), cut(jpeg.begin(), jpeg.end() - 2);  // cut: no end of image
  whole.resize(jpeg.size() + 4096, 0xFF);  // the rest of the application's buffer
  cut.resize(cut.size() + 7, 0x00);
  FrameWriter writer(Options(OutputFormat::Mjpg, 64, 48));
  writer.Write(1, blank.data(), blank.size());
  writer.Write(2, cut.data(), cut.size());
  writer.Write(3, whole.data(), whole.size());
  writer.Write(4, blank.data(), blank.size());
  writer.Write(5, whole.data(), whole.size());
  writer.SaveStill(5, Path(Name(5, ".jpg")));  // a still: a snapshot file of its own
  writer.Finish();
  EXPECT_EQ(writer.Files(),
            (std::vector<std::string>{Path(Name(1, ".blank")), Path(Name(2, ".blank")), Path(Name(3, ".jpg")),
                                      Path("stream.mjpeg"), Path(Name(4, ".blank")), Path(Name(5, ".jpg")),
                                      Path("still_000005.jpg")}));
  EXPECT_EQ(ReadFile(Path(Name(1, ".blank"))), blank);
  EXPECT_EQ(ReadFile(Path(Name(2, ".blank"))), cut);
  EXPECT_EQ(ReadFile(Path(Name(3, ".jpg"))), jpeg);
  EXPECT_EQ(ReadFile(Path("still_000005.jpg")), jpeg);
  // The motion-JPEG stream: the whole JPEGs back to back, the frames without one left out.
  Bytes twice = jpeg;
  twice.insert(twice.end(), jpeg.begin(), jpeg.end());
  EXPECT_EQ(ReadFile(Path("stream.mjpeg")), twice);
  for (const char *name : {"stream.mjpeg", "still_000005.jpg", "still_000012.bmp"}) EXPECT_TRUE(IsCamsimOutputName(name)) << name;
  for (const char *name : {"still_5.jpg", "stills_000005.jpg", "stream.mjpg"}) EXPECT_FALSE(IsCamsimOutputName(name)) << name;
}

TEST(ScanJpegLengthTest, HandMadeStreams) {
  const struct {
    const char *what;
    Bytes data;
    size_t expected;
  } cases[] = {
      {"FF D9 inside APP0 is payload", {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x06, 0xFF, 0xD9, 0xFF, 0xD9, 0xFF, 0xD9}, 12},
      {"stuffed FF, restart markers and fill bytes in the scan",
       {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x04, 0x01, 0x02, 0x12, 0xFF, 0x00, 0x34,
        0xFF, 0xD0, 0x56, 0xFF, 0xD7, 0x78, 0xFF, 0xFF, 0xD9, 0xAA, 0xFF, 0xD9}, 21},
      {"two scans with a table segment holding FF D9 between them",
       {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0x11, 0x22, 0xFF, 0xC4, 0x00, 0x04,
        0xFF, 0xD9, 0xFF, 0xDA, 0x00, 0x02, 0x33, 0xFF, 0xD9, 0xFF, 0xD9}, 21},
      {"fill bytes between segments", {0xFF, 0xD8, 0xFF, 0xFF, 0xFE, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0xD9}, 11},
      {"not starting with FF D8", {0x00, 0xFF, 0xD8, 0xFF, 0xD9}, 0},
      {"end of image first", {0xFF, 0xD9, 0xFF, 0xD8, 0xFF, 0xD9}, 0},
      {"all FF, as in the warm-up", Bytes(600, 0xFF), 0},
      {"a segment running past the end", {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x40, 0x01, 0xFF, 0xD9, 0x02}, 0},
      {"a segment length below 2", {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x01, 0xFF, 0xD9}, 0},
      {"no marker where a segment should start", {0xFF, 0xD8, 0x12, 0xFF, 0xD9}, 0},
      {"a scan that never ends", {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0x12, 0xFF, 0x00, 0xFF, 0xD0, 0xFF}, 0},
      {"the shortest whole stream", {0xFF, 0xD8, 0xFF, 0xD9}, 4},
  };
  for (const auto &c : cases) EXPECT_EQ(ScanJpegLength(c.data.data(), c.data.size()), c.expected) << c.what;
  EXPECT_EQ(ScanJpegLength(cases[11].data.data(), 3), 0u) << "the end of image lies past length";
  EXPECT_EQ(ScanJpegLength(nullptr, 0), 0u);
}

// A short frame, a folder gone, a disk full (a link to /dev/full: the data fails to land only
// when flushed, so the close must be checked too).
TEST_F(FrameWriterTest, ShortFramesAndFailedWritesThrow) {
  FrameWriterOptions options = Options(OutputFormat::Yuy2, 8, 2);
  options.dir = dir_ + "/a/b";  // made with its parents
  FrameWriter yuy2(options);
  Bytes frame(64, 0x40);
  yuy2.Write(1, frame.data(), 32);
  EXPECT_THROW(yuy2.Write(2, frame.data(), 31), std::runtime_error);
  fs::remove_all(dir_);
  EXPECT_THROW(yuy2.Write(3, frame.data(), 32), std::runtime_error);
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  fs::create_directories(dir_);
  for (const char *name : {"frame_000001.bmp", "frame_000002.jpg", "frame_000003.png", "stream.y4m"}) {
    fs::create_symlink("/dev/full", Path(name));
  }
  options = Options(OutputFormat::Rgb24, 4, 4);
  options.png = true;
  FrameWriter rgb(options);
  EXPECT_THROW(rgb.Write(1, frame.data(), 48), std::runtime_error);
  EXPECT_THROW(rgb.Write(3, frame.data(), 48), std::runtime_error);
  FrameWriter mjpg(Options(OutputFormat::Mjpg, 4, 4));
  const Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xD9};
  EXPECT_THROW(mjpg.Write(2, jpeg.data(), jpeg.size()), std::runtime_error);
  FrameWriter i420(Options(OutputFormat::I420, 4, 4));
  EXPECT_THROW(i420.Write(4, frame.data(), 24), std::runtime_error);
}

}  // namespace
