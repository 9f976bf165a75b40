// camsim's frame writer: the files it writes are read back with readers that share no code with
// it (ffmpeg/ffprobe for BMP and Y4M, libpng for PNG, libjpeg for JPEG) and compared with the
// frames given to it.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include "camsim/external_tools.h"
#include "frame_writer.h"

namespace {

namespace fs = std::filesystem;

using camsim_test::Bytes;
using camsim_test::HaveFfmpeg;
using camsim_test::Probe;
using camsim_test::Quote;
using camsim_test::ReadFile;
using camsim_test::Run;

// Every frame of the file as ffmpeg decodes it, in the given pixel format, concatenated.
Bytes Decode(const std::string &path, const std::string &pixFmt) {
  Bytes out;
  int rc = Run("/usr/bin/ffmpeg -nostdin -v error -i " + Quote(path) + " -f rawvideo -pix_fmt " +
                   pixFmt + " -",
               &out);
  if (rc != 0) {
    out.clear();
  }
  return out;
}

class FrameWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "_" + info->name();
    std::replace(name.begin(), name.end(), '/', '_');  // parameterised tests: Sizes/Rgb24Test
    dir_ = ::testing::TempDir() + "camsim_fw_" + std::to_string(getpid()) + "_" + name;
    fs::remove_all(dir_);
  }
  void TearDown() override {
    if (!HasFailure()) {
      fs::remove_all(dir_);
    }
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

// ---------------------------------------------------------------------------------------------
// Names and sizes

TEST(OutputFormatTest, NamesRoundTripAndUnknownNamesAreRejected) {
  for (OutputFormat f : {OutputFormat::Rgb24, OutputFormat::Yuy2, OutputFormat::I420, OutputFormat::Mjpg}) {
    OutputFormat parsed = f == OutputFormat::Rgb24 ? OutputFormat::Mjpg : OutputFormat::Rgb24;
    ASSERT_TRUE(OutputFormatFromName(OutputFormatName(f), &parsed)) << OutputFormatName(f);
    EXPECT_EQ(parsed, f);
  }
  EXPECT_STREQ(OutputFormatName(OutputFormat::Rgb24), "rgb24");
  EXPECT_STREQ(OutputFormatName(OutputFormat::Yuy2), "yuy2");
  EXPECT_STREQ(OutputFormatName(OutputFormat::I420), "i420");
  EXPECT_STREQ(OutputFormatName(OutputFormat::Mjpg), "mjpg");
  OutputFormat f = OutputFormat::I420;
  EXPECT_FALSE(OutputFormatFromName("bgr24", &f));
  EXPECT_FALSE(OutputFormatFromName("", &f));
  EXPECT_FALSE(OutputFormatFromName("rgb", &f));
  EXPECT_EQ(f, OutputFormat::I420);
}

TEST(OutputFormatTest, FrameBytesPerFormat) {
  EXPECT_EQ(FrameBytes(OutputFormat::Rgb24, 30, 10), 900u);
  EXPECT_EQ(FrameBytes(OutputFormat::Yuy2, 64, 48), 6144u);
  EXPECT_EQ(FrameBytes(OutputFormat::I420, 64, 48), 4608u);
  EXPECT_EQ(FrameBytes(OutputFormat::Rgb24, 640, 480), 921600u);
  EXPECT_EQ(FrameBytes(OutputFormat::Mjpg, 640, 480), 0u);
  EXPECT_EQ(FrameBytes(OutputFormat::Rgb24, 0, 480), 0u);
  EXPECT_EQ(FrameBytes(OutputFormat::Yuy2, 640, -2), 0u);
}

// ---------------------------------------------------------------------------------------------
// RGB24: BMP and PNG

// A bottom-up BGR DIB whose every byte depends on its row, column and channel, so a flipped,
// shifted, swapped or mispadded row shows.
Bytes GradientDib(int width, int height, int seed) {
  Bytes dib(static_cast<size_t>(width) * height * 3);
  for (int row = 0; row < height; ++row) {  // row 0 = bottom
    for (int x = 0; x < width; ++x) {
      uint8_t *p = &dib[(static_cast<size_t>(row) * width + x) * 3];
      p[0] = static_cast<uint8_t>(x * 7 + seed);                 // blue
      p[1] = static_cast<uint8_t>(row * 11 + 3 + seed);          // green
      p[2] = static_cast<uint8_t>((x + row) * 5 + 128 + seed);   // red
    }
  }
  return dib;
}

uint32_t Le32(const Bytes &b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// The DIB's rows top-down, BGR: what a reader of the BMP should hand back.
Bytes TopDownBgr(const Bytes &dib, int width, int height) {
  Bytes out;
  const size_t row = static_cast<size_t>(width) * 3;
  for (int y = height - 1; y >= 0; --y) {
    out.insert(out.end(), dib.begin() + row * y, dib.begin() + row * (y + 1));
  }
  return out;
}

// Reads an 8-bit RGB PNG with libpng: rows top-down, RGB. Empty on any error.
struct PngImage {
  int width = 0, height = 0, colorType = -1, bitDepth = 0;
  Bytes rgb;
};

struct PngReadJump {
  std::jmp_buf jump;
};

void PngReadError(png_structp png, png_const_charp) {
  std::longjmp(static_cast<PngReadJump *>(png_get_error_ptr(png))->jump, 1);
}

bool ReadPngRaw(std::FILE *f, PngImage *image, png_bytep buffer, size_t capacity, PngReadJump *jump) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, jump, PngReadError, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(jump->jump) != 0) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  png_init_io(png, f);
  png_read_info(png, info);
  image->width = static_cast<int>(png_get_image_width(png, info));
  image->height = static_cast<int>(png_get_image_height(png, info));
  image->colorType = png_get_color_type(png, info);
  image->bitDepth = png_get_bit_depth(png, info);
  size_t rowBytes = png_get_rowbytes(png, info);
  if (rowBytes * image->height > capacity) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  for (int y = 0; y < image->height; ++y) {
    png_read_row(png, buffer + rowBytes * y, nullptr);
  }
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  image->rgb.assign(buffer, buffer + rowBytes * image->height);
  return true;
}

bool ReadPng(const std::string &path, PngImage *image) {
  std::FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    return false;
  }
  Bytes buffer(1 << 22);
  PngReadJump jump;
  bool ok = ReadPngRaw(f, image, buffer.data(), buffer.size(), &jump);
  std::fclose(f);
  return ok;
}

class Rgb24Test : public FrameWriterTest, public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(Rgb24Test, BmpAndPngHoldTheFramesPixelsTopDown) {
  REQUIRE_FFMPEG();
  const int width = GetParam().first, height = GetParam().second;
  FrameWriterOptions options = Options(OutputFormat::Rgb24, width, height);
  options.png = true;
  const Bytes frame1 = GradientDib(width, height, 0);
  const Bytes frame2 = GradientDib(width, height, 40);
  {
    FrameWriter writer(options);
    writer.Write(1, frame1.data(), frame1.size());
    // Extra bytes past the frame (a larger buffer) are not part of the image.
    Bytes padded = frame2;
    padded.resize(padded.size() + 100, 0xEE);
    writer.Write(2, padded.data(), padded.size());
    writer.Finish();
    EXPECT_EQ(writer.Files(),
              (std::vector<std::string>{Path("frame_000001.bmp"), Path("frame_000001.png"),
                                        Path("frame_000002.bmp"), Path("frame_000002.png")}));
  }
  const size_t stride = (static_cast<size_t>(width) * 3 + 3) / 4 * 4;
  int k = 1;
  for (const Bytes *frame : {&frame1, &frame2}) {
    char name[32];
    std::snprintf(name, sizeof name, "frame_%06d", k++);
    SCOPED_TRACE(name);
    const std::string bmp = Path(std::string(name) + ".bmp");

    // The header a Windows viewer relies on.
    Bytes file = ReadFile(bmp);
    ASSERT_EQ(file.size(), 54 + stride * height);
    EXPECT_EQ(file[0], 'B');
    EXPECT_EQ(file[1], 'M');
    EXPECT_EQ(Le32(file, 2), file.size());
    EXPECT_EQ(Le32(file, 10), 54u);
    EXPECT_EQ(Le32(file, 14), 40u);
    EXPECT_EQ(static_cast<int32_t>(Le32(file, 18)), width);
    EXPECT_EQ(static_cast<int32_t>(Le32(file, 22)), height);  // positive: bottom-up
    EXPECT_EQ(file[26] | (file[27] << 8), 1);
    EXPECT_EQ(file[28] | (file[29] << 8), 24);
    EXPECT_EQ(Le32(file, 30), 0u);

    // ffmpeg's BMP reader gives the rows top-down.
    EXPECT_EQ(Decode(bmp, "bgr24"), TopDownBgr(*frame, width, height));

    PngImage png;
    ASSERT_TRUE(ReadPng(Path(std::string(name) + ".png"), &png));
    EXPECT_EQ(png.width, width);
    EXPECT_EQ(png.height, height);
    EXPECT_EQ(png.colorType, PNG_COLOR_TYPE_RGB);
    EXPECT_EQ(png.bitDepth, 8);
    Bytes expected = TopDownBgr(*frame, width, height);
    for (size_t i = 0; i < expected.size(); i += 3) {
      std::swap(expected[i], expected[i + 2]);
    }
    EXPECT_EQ(png.rgb, expected);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, Rgb24Test,
                         ::testing::Values(std::make_pair(36, 20), std::make_pair(30, 10),
                                           std::make_pair(1, 1), std::make_pair(5, 3)),
                         [](const ::testing::TestParamInfo<std::pair<int, int>> &p) {
                           return std::to_string(p.param.first) + "x" + std::to_string(p.param.second);
                         });

TEST_F(FrameWriterTest, NoPngUnlessAsked) {
  FrameWriter writer(Options(OutputFormat::Rgb24, 8, 4));
  Bytes frame = GradientDib(8, 4, 1);
  writer.Write(7, frame.data(), frame.size());
  EXPECT_EQ(writer.Files(), std::vector<std::string>{Path("frame_000007.bmp")});
  EXPECT_TRUE(fs::exists(Path("frame_000007.bmp")));
  EXPECT_FALSE(fs::exists(Path("frame_000007.png")));
}

// ---------------------------------------------------------------------------------------------
// YUY2 and I420: raw frames and the Y4M stream

// A packed YUY2 frame whose bytes depend on frame, row, column and component.
Bytes Yuy2Frame(int width, int height, int frame) {
  Bytes b(static_cast<size_t>(width) * height * 2);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; x += 2) {
      uint8_t *p = &b[(static_cast<size_t>(y) * width + x) * 2];
      p[0] = static_cast<uint8_t>(16 + x * 3 + y + frame * 9);      // Y0
      p[1] = static_cast<uint8_t>(x * 2 + y * 5 + frame * 13);      // U
      p[2] = static_cast<uint8_t>(17 + x * 3 + y + frame * 9 + 1);  // Y1
      p[3] = static_cast<uint8_t>(255 - x - y * 3 - frame * 7);     // V
    }
  }
  return b;
}

// The same frame as planes Y, U, V (4:2:2), computed independently of the writer.
Bytes Yuy2ToPlanar(const Bytes &packed, int width, int height) {
  Bytes y, u, v;
  for (int row = 0; row < height; ++row) {
    for (int x = 0; x < width; ++x) {
      const size_t at = (static_cast<size_t>(row) * width + x) * 2;
      y.push_back(packed[at]);
      if (x % 2 == 0) {
        u.push_back(packed[at + 1]);
        v.push_back(packed[at + 3]);
      }
    }
  }
  y.insert(y.end(), u.begin(), u.end());
  y.insert(y.end(), v.begin(), v.end());
  return y;
}

Bytes I420Frame(int width, int height, int frame) {
  Bytes b(static_cast<size_t>(width) * height * 3 / 2);
  for (size_t i = 0; i < b.size(); ++i) {
    b[i] = static_cast<uint8_t>(i * 31 + (i / width) * 7 + frame * 37);
  }
  return b;
}

TEST_F(FrameWriterTest, Yuy2FramesAndA422StreamThatFfmpegReads) {
  REQUIRE_FFMPEG();
  const int width = 64, height = 48, frames = 5;
  FrameWriterOptions options = Options(OutputFormat::Yuy2, width, height);
  options.fps = 25;
  Bytes expected;
  {
    FrameWriter writer(options);
    for (int k = 1; k <= frames; ++k) {
      Bytes frame = Yuy2Frame(width, height, k);
      Bytes planar = Yuy2ToPlanar(frame, width, height);
      expected.insert(expected.end(), planar.begin(), planar.end());
      frame.resize(frame.size() + 33, 0x5A);  // junk past the frame is not written
      writer.Write(static_cast<unsigned>(k), frame.data(), frame.size());
    }
    writer.Finish();
    std::vector<std::string> files = writer.Files();
    ASSERT_EQ(files.size(), 6u);
    EXPECT_EQ(files[0], Path("frame_000001.yuy2"));
    EXPECT_EQ(files[1], Path("stream.y4m"));
    EXPECT_EQ(files[5], Path("frame_000005.yuy2"));
  }
  for (int k = 1; k <= frames; ++k) {
    char name[32];
    std::snprintf(name, sizeof name, "frame_%06d.yuy2", k);
    EXPECT_EQ(ReadFile(Path(name)), Yuy2Frame(width, height, k)) << name;
  }
  const std::string stream = Path("stream.y4m");
  Bytes file = ReadFile(stream);
  const std::string header = "YUV4MPEG2 W64 H48 F25:1 Ip A1:1 C422 XCOLORRANGE=FULL\n";
  ASSERT_GE(file.size(), header.size());
  EXPECT_EQ(std::string(file.begin(), file.begin() + header.size()), header);
  EXPECT_EQ(file.size(), header.size() + frames * (6 + width * height * 2u));

  std::map<std::string, std::string> probe = Probe(stream);
  EXPECT_EQ(probe["width"], "64");
  EXPECT_EQ(probe["height"], "48");
  EXPECT_EQ(probe["nb_read_frames"], "5");
  EXPECT_EQ(probe["pix_fmt"], "yuv422p");
  EXPECT_EQ(Decode(stream, "yuv422p"), expected);
}

TEST_F(FrameWriterTest, I420FramesAndA420StreamThatFfmpegReads) {
  REQUIRE_FFMPEG();
  const int width = 64, height = 48, frames = 5;
  Bytes expected;
  {
    FrameWriter writer(Options(OutputFormat::I420, width, height));
    for (int k = 1; k <= frames; ++k) {
      Bytes frame = I420Frame(width, height, k);
      expected.insert(expected.end(), frame.begin(), frame.end());
      writer.Write(static_cast<unsigned>(k), frame.data(), frame.size());
    }
    writer.Finish();
  }
  for (int k = 1; k <= frames; ++k) {
    char name[32];
    std::snprintf(name, sizeof name, "frame_%06d.i420", k);
    EXPECT_EQ(ReadFile(Path(name)), I420Frame(width, height, k)) << name;
  }
  const std::string stream = Path("stream.y4m");
  Bytes file = ReadFile(stream);
  const std::string header = "YUV4MPEG2 W64 H48 F30:1 Ip A1:1 C420jpeg\n";
  ASSERT_GE(file.size(), header.size());
  EXPECT_EQ(std::string(file.begin(), file.begin() + header.size()), header);

  std::map<std::string, std::string> probe = Probe(stream);
  EXPECT_EQ(probe["width"], "64");
  EXPECT_EQ(probe["height"], "48");
  EXPECT_EQ(probe["nb_read_frames"], "5");
  const std::string pixFmt = probe["pix_fmt"];
  ASSERT_TRUE(pixFmt == "yuv420p" || pixFmt == "yuvj420p") << pixFmt;
  // Decoded in the stream's own format, so ffmpeg converts nothing.
  EXPECT_EQ(Decode(stream, pixFmt), expected);
}

TEST_F(FrameWriterTest, TheStreamIsWholeWithoutFinish) {
  REQUIRE_FFMPEG();
  {
    FrameWriter writer(Options(OutputFormat::Yuy2, 16, 8));
    for (int k = 1; k <= 3; ++k) {
      Bytes frame = Yuy2Frame(16, 8, k);
      writer.Write(static_cast<unsigned>(k), frame.data(), frame.size());
    }
  }
  std::map<std::string, std::string> probe = Probe(Path("stream.y4m"));
  EXPECT_EQ(probe["nb_read_frames"], "3");
  Bytes expected;
  for (int k = 1; k <= 3; ++k) {
    Bytes planar = Yuy2ToPlanar(Yuy2Frame(16, 8, k), 16, 8);
    expected.insert(expected.end(), planar.begin(), planar.end());
  }
  EXPECT_EQ(Decode(Path("stream.y4m"), "yuv422p"), expected);
}

// ---------------------------------------------------------------------------------------------
// MJPG

struct JpegErrorJump {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
};

void JpegErrorExit(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<JpegErrorJump *>(cinfo->err)->jump, 1);
}

// Compresses an RGB image with libjpeg: restart interval `restartMcus` and an APP5 and a COM
// segment whose payloads hold FF D9 (and FF D8, FF DA) to trip a scanner that does not skip
// segments.
bool CompressRaw(const uint8_t *rgb, int width, int height, int restartMcus, unsigned char **out,
                 unsigned long *outSize, JpegErrorJump *err) {
  jpeg_compress_struct cinfo;
  cinfo.err = jpeg_std_error(&err->mgr);
  err->mgr.error_exit = JpegErrorExit;
  if (setjmp(err->jump) != 0) {
    jpeg_destroy_compress(&cinfo);
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, out, outSize);
  cinfo.image_width = static_cast<JDIMENSION>(width);
  cinfo.image_height = static_cast<JDIMENSION>(height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 90, TRUE);
  cinfo.restart_interval = static_cast<unsigned>(restartMcus);
  jpeg_start_compress(&cinfo, TRUE);
  static const JOCTET app[] = {'T', 'V', 0xFF, 0xD9, 0x00, 0xFF, 0xD8, 0xFF, 0xDA, 0xFF, 0xD9};
  jpeg_write_marker(&cinfo, JPEG_APP0 + 5, app, sizeof app);
  static const JOCTET com[] = {0xFF, 0xD9, 'e', 'n', 'd', 0xFF, 0xD9};
  jpeg_write_marker(&cinfo, JPEG_COM, com, sizeof com);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(rgb + static_cast<size_t>(cinfo.next_scanline) * width * 3);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

Bytes TestImage(int width, int height) {
  Bytes rgb(static_cast<size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t *p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
      // Gradients and squares on MCU boundaries (so chroma subsampling blurs no edge), with
      // fine noise in the first MCU row: enough detail that the scan holds stuffed FF bytes.
      const unsigned hash = (static_cast<unsigned>(x) * 2654435761u) ^ (static_cast<unsigned>(y) * 40503u);
      const int noise = y < 16 ? static_cast<int>((hash >> 13) % 96) - 48 : 0;
      p[0] = static_cast<uint8_t>(std::clamp(x * 255 / width + noise, 0, 255));
      p[1] = static_cast<uint8_t>(std::clamp(y * 255 / height + noise, 0, 255));
      p[2] = static_cast<uint8_t>(std::clamp((((x / 16 + y / 16) % 2) ? 230 : 20) + noise, 0, 255));
    }
  }
  return rgb;
}

Bytes Compress(const Bytes &rgb, int width, int height, int restartMcus) {
  unsigned char *out = nullptr;
  unsigned long size = 0;
  JpegErrorJump err;
  bool ok = CompressRaw(rgb.data(), width, height, restartMcus, &out, &size, &err);
  Bytes jpeg;
  if (ok) {
    jpeg.assign(out, out + size);
  }
  std::free(out);
  return jpeg;
}

struct Decoded {
  bool ok = false;
  int width = 0, height = 0;
  long warnings = 0;
  Bytes rgb;
};

bool DecompressRaw(const uint8_t *data, size_t size, Decoded *d, uint8_t *buffer, size_t capacity,
                   JpegErrorJump *err) {
  jpeg_decompress_struct cinfo;
  cinfo.err = jpeg_std_error(&err->mgr);
  err->mgr.error_exit = JpegErrorExit;
  if (setjmp(err->jump) != 0) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  d->width = static_cast<int>(cinfo.output_width);
  d->height = static_cast<int>(cinfo.output_height);
  const size_t row = static_cast<size_t>(d->width) * 3;
  if (row * d->height > capacity) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW r = buffer + row * cinfo.output_scanline;
    jpeg_read_scanlines(&cinfo, &r, 1);
  }
  jpeg_finish_decompress(&cinfo);
  d->warnings = err->mgr.num_warnings;  // e.g. "premature end of data"
  jpeg_destroy_decompress(&cinfo);
  d->rgb.assign(buffer, buffer + row * d->height);
  return true;
}

Decoded Decompress(const Bytes &jpeg) {
  Decoded d;
  Bytes buffer(1 << 22);
  JpegErrorJump err;
  d.ok = DecompressRaw(jpeg.data(), jpeg.size(), &d, buffer.data(), buffer.size(), &err);
  return d;
}

// Position of the first FF <marker> byte pair at or after `from`, or npos.
size_t Find(const Bytes &b, uint8_t marker, size_t from = 0) {
  for (size_t i = from; i + 1 < b.size(); ++i) {
    if (b[i] == 0xFF && b[i + 1] == marker) {
      return i;
    }
  }
  return std::string::npos;
}

class MjpgTest : public FrameWriterTest {
 protected:
  static constexpr int kWidth = 64, kHeight = 48;  // 12 MCUs: RST0..RST7 and round again
  void SetUp() override {
    FrameWriterTest::SetUp();
    image_ = TestImage(kWidth, kHeight);
    jpeg_ = Compress(image_, kWidth, kHeight, 1);
    ASSERT_FALSE(jpeg_.empty());
    // The stream has what the scanner must see past: FF D9 inside a segment before SOS,
    // restart markers and stuffed FF bytes in the scan.
    const size_t sos = Find(jpeg_, 0xDA);
    ASSERT_NE(sos, std::string::npos);
    const size_t inSegment = Find(jpeg_, 0xD9);
    ASSERT_LT(inSegment, sos);
    ASSERT_NE(Find(jpeg_, 0xD0, sos), std::string::npos);
    ASSERT_NE(Find(jpeg_, 0xD7, sos), std::string::npos);
    ASSERT_NE(Find(jpeg_, 0x00, sos), std::string::npos);
    ASSERT_EQ(jpeg_[jpeg_.size() - 2], 0xFF);
    ASSERT_EQ(jpeg_[jpeg_.size() - 1], 0xD9);
  }
  Bytes image_;
  Bytes jpeg_;
};

TEST_F(MjpgTest, ScanJpegLengthFindsTheEndOfImageMarker) {
  Bytes buffer = jpeg_;
  EXPECT_EQ(ScanJpegLength(buffer.data(), buffer.size()), jpeg_.size());
  buffer.resize(jpeg_.size() + 1000, 0xFF);
  EXPECT_EQ(ScanJpegLength(buffer.data(), buffer.size()), jpeg_.size());
  // Junk that holds another whole JPEG: the first end of image ends the frame.
  buffer.resize(jpeg_.size());
  buffer.insert(buffer.end(), jpeg_.begin(), jpeg_.end());
  EXPECT_EQ(ScanJpegLength(buffer.data(), buffer.size()), jpeg_.size());
}

TEST_F(MjpgTest, EveryTruncationOfTheJpegHasNoLength) {
  for (size_t n = 0; n < jpeg_.size(); ++n) {
    ASSERT_EQ(ScanJpegLength(jpeg_.data(), n), 0u) << "first " << n << " bytes";
  }
}

TEST_F(MjpgTest, TheJpgFileHoldsExactlyTheJpegAndDecodes) {
  Bytes frame = jpeg_;
  frame.resize(jpeg_.size() + 4096, 0xFF);  // the rest of the application's buffer
  {
    FrameWriter writer(Options(OutputFormat::Mjpg, kWidth, kHeight));
    writer.Write(3, frame.data(), frame.size());
    writer.Finish();
    EXPECT_EQ(writer.Files(), std::vector<std::string>{Path("frame_000003.jpg")});
  }
  Bytes file = ReadFile(Path("frame_000003.jpg"));
  EXPECT_EQ(file.size(), jpeg_.size());
  EXPECT_EQ(file, jpeg_);
  Decoded d = Decompress(file);
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.width, kWidth);
  EXPECT_EQ(d.height, kHeight);
  EXPECT_EQ(d.warnings, 0);
  ASSERT_EQ(d.rgb.size(), image_.size());
  // The rows below the noisy first MCU row come out close to the image: the whole scan was
  // there to decode.
  const size_t start = static_cast<size_t>(kWidth) * 3 * 16;
  long total = 0;
  for (size_t i = start; i < image_.size(); ++i) {
    total += std::abs(static_cast<int>(d.rgb[i]) - image_[i]);
  }
  EXPECT_LT(static_cast<double>(total) / static_cast<double>(image_.size() - start), 8.0);
  EXPECT_FALSE(fs::exists(Path("frame_000003.blank")));
}

TEST_F(MjpgTest, AFrameWithoutAJpegIsWrittenWholeAsBlank) {
  Bytes blank(5000, 0xFF);
  Bytes cut(jpeg_.begin(), jpeg_.end() - 2);  // the end of image never arrived
  cut.resize(cut.size() + 7, 0x00);
  {
    FrameWriter writer(Options(OutputFormat::Mjpg, kWidth, kHeight));
    writer.Write(1, blank.data(), blank.size());
    writer.Write(2, cut.data(), cut.size());
    writer.Write(3, jpeg_.data(), jpeg_.size());
    EXPECT_EQ(writer.Files(), (std::vector<std::string>{Path("frame_000001.blank"),
                                                         Path("frame_000002.blank"),
                                                         Path("frame_000003.jpg")}));
  }
  EXPECT_EQ(ReadFile(Path("frame_000001.blank")), blank);
  EXPECT_EQ(ReadFile(Path("frame_000002.blank")), cut);
  EXPECT_FALSE(fs::exists(Path("frame_000001.jpg")));
  EXPECT_FALSE(fs::exists(Path("frame_000002.jpg")));
  EXPECT_EQ(ReadFile(Path("frame_000003.jpg")), jpeg_);
}

TEST(ScanJpegLengthTest, HandMadeStreams) {
  // Segments walked by length: the FF D9 inside APP0 is payload.
  const Bytes app = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x06, 0xFF, 0xD9, 0xFF, 0xD9, 0xFF, 0xD9};
  EXPECT_EQ(ScanJpegLength(app.data(), app.size()), 12u);
  // Scan data: stuffed FF, restart markers and fill bytes before the end of image.
  const Bytes scan = {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x04, 0x01, 0x02, 0x12, 0xFF, 0x00, 0x34,
                      0xFF, 0xD0, 0x56, 0xFF, 0xD7, 0x78, 0xFF, 0xFF, 0xD9, 0xAA, 0xFF, 0xD9};
  EXPECT_EQ(ScanJpegLength(scan.data(), scan.size()), 21u);
  // Two scans with a table segment between them (progressive): the FF D9 inside the DHT
  // payload is skipped, the end of image after the second scan ends the stream.
  const Bytes progressive = {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0x11, 0x22, 0xFF, 0xC4, 0x00,
                             0x04, 0xFF, 0xD9, 0xFF, 0xDA, 0x00, 0x02, 0x33, 0xFF, 0xD9, 0xFF, 0xD9};
  EXPECT_EQ(ScanJpegLength(progressive.data(), progressive.size()), 21u);
  // Fill bytes between segments.
  const Bytes fill = {0xFF, 0xD8, 0xFF, 0xFF, 0xFE, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0xD9};
  EXPECT_EQ(ScanJpegLength(fill.data(), fill.size()), 11u);
}

TEST(ScanJpegLengthTest, MalformedStreamsHaveNoLength) {
  EXPECT_EQ(ScanJpegLength(nullptr, 0), 0u);
  // Not starting with FF D8.
  const Bytes notJpeg = {0x00, 0xFF, 0xD8, 0xFF, 0xD9};
  EXPECT_EQ(ScanJpegLength(notJpeg.data(), notJpeg.size()), 0u);
  const Bytes eoiFirst = {0xFF, 0xD9, 0xFF, 0xD8, 0xFF, 0xD9};
  EXPECT_EQ(ScanJpegLength(eoiFirst.data(), eoiFirst.size()), 0u);
  // All FF, as the driver delivers during warm-up.
  const Bytes allFf(600, 0xFF);
  EXPECT_EQ(ScanJpegLength(allFf.data(), allFf.size()), 0u);
  // A segment length running past the end, with an FF D9 inside the claimed segment.
  const Bytes longSegment = {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x40, 0x01, 0xFF, 0xD9, 0x02};
  EXPECT_EQ(ScanJpegLength(longSegment.data(), longSegment.size()), 0u);
  // A segment length below 2.
  const Bytes shortSegment = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x01, 0xFF, 0xD9};
  EXPECT_EQ(ScanJpegLength(shortSegment.data(), shortSegment.size()), 0u);
  // Something other than a marker where the next segment should start.
  const Bytes stray = {0xFF, 0xD8, 0x12, 0xFF, 0xD9};
  EXPECT_EQ(ScanJpegLength(stray.data(), stray.size()), 0u);
  // A scan that never ends.
  const Bytes open = {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0x12, 0xFF, 0x00, 0xFF, 0xD0, 0xFF};
  EXPECT_EQ(ScanJpegLength(open.data(), open.size()), 0u);
  // The end of image lies past length.
  const Bytes full = {0xFF, 0xD8, 0xFF, 0xD9};
  EXPECT_EQ(ScanJpegLength(full.data(), 3), 0u);
  EXPECT_EQ(ScanJpegLength(full.data(), 4), 4u);
}

// ---------------------------------------------------------------------------------------------
// Errors

TEST_F(FrameWriterTest, TheDirectoryIsCreatedWithItsParents) {
  FrameWriterOptions options = Options(OutputFormat::I420, 4, 2);
  options.dir = dir_ + "/a/b";
  FrameWriter writer(options);
  EXPECT_TRUE(fs::is_directory(options.dir));
  Bytes frame = I420Frame(4, 2, 0);
  writer.Write(1, frame.data(), frame.size());
  EXPECT_EQ(ReadFile(options.dir + "/frame_000001.i420"), frame);
}

TEST_F(FrameWriterTest, ADirectoryThatCannotBeMadeThrows) {
  fs::create_directories(dir_);
  std::ofstream(Path("file")) << "x";
  FrameWriterOptions options = Options(OutputFormat::Rgb24, 4, 4);
  options.dir = Path("file");
  EXPECT_THROW(FrameWriter writer(options), std::runtime_error);
  options.dir = Path("file/sub");
  EXPECT_THROW(FrameWriter writer(options), std::runtime_error);
}

TEST_F(FrameWriterTest, SizesThatDoNotSuitTheFormatThrow) {
  EXPECT_THROW(FrameWriter(Options(OutputFormat::Rgb24, 0, 4)), std::runtime_error);
  EXPECT_THROW(FrameWriter(Options(OutputFormat::Yuy2, 5, 4)), std::runtime_error);
  EXPECT_THROW(FrameWriter(Options(OutputFormat::I420, 4, 3)), std::runtime_error);
  FrameWriterOptions options = Options(OutputFormat::Yuy2, 4, 4);
  options.fps = 0;
  EXPECT_THROW(FrameWriter writer(options), std::runtime_error);
}

TEST_F(FrameWriterTest, AShortFrameThrows) {
  FrameWriter writer(Options(OutputFormat::Rgb24, 10, 10));
  Bytes frame(299, 0);
  EXPECT_THROW(writer.Write(1, frame.data(), frame.size()), std::runtime_error);
  FrameWriter yuy2(Options(OutputFormat::Yuy2, 10, 10));
  EXPECT_THROW(yuy2.Write(1, frame.data(), 199), std::runtime_error);
}

TEST_F(FrameWriterTest, AVanishedDirectoryThrowsOnWrite) {
  FrameWriter writer(Options(OutputFormat::Yuy2, 8, 2));
  Bytes frame = Yuy2Frame(8, 2, 0);
  writer.Write(1, frame.data(), frame.size());
  fs::remove_all(dir_);
  EXPECT_THROW(writer.Write(2, frame.data(), frame.size()), std::runtime_error);
}

// The frame's file is a link to /dev/full: the data only fails to land when it is flushed, so
// this checks the close is checked too.
TEST_F(FrameWriterTest, AFullDiskThrows) {
  if (access("/dev/full", W_OK) != 0) {
    GTEST_SKIP() << "no /dev/full";
  }
  fs::create_directories(dir_);
  fs::create_symlink("/dev/full", Path("frame_000001.bmp"));
  fs::create_symlink("/dev/full", Path("frame_000002.jpg"));
  fs::create_symlink("/dev/full", Path("frame_000003.png"));
  fs::create_symlink("/dev/full", Path("stream.y4m"));

  FrameWriterOptions options = Options(OutputFormat::Rgb24, 4, 4);
  options.png = true;
  FrameWriter rgb(options);
  Bytes dib = GradientDib(4, 4, 0);
  EXPECT_THROW(rgb.Write(1, dib.data(), dib.size()), std::runtime_error);
  EXPECT_THROW(rgb.Write(3, dib.data(), dib.size()), std::runtime_error);

  FrameWriter mjpg(Options(OutputFormat::Mjpg, 4, 4));
  const Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xD9};
  EXPECT_THROW(mjpg.Write(2, jpeg.data(), jpeg.size()), std::runtime_error);

  FrameWriter i420(Options(OutputFormat::I420, 4, 4));
  Bytes frame = I420Frame(4, 4, 0);
  EXPECT_THROW(i420.Write(4, frame.data(), frame.size()), std::runtime_error);
}

}  // namespace
