// The simulated camera's isochronous stream: frames put back together from the slots by the driver's
// rules, compared with what the camera says it sent, decoded with libjpeg and compared with the scene.
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <unistd.h>

#include <cmath>
#include <csetjmp>
#include <filesystem>
#include <fstream>

#include "../../host/camera/sim_media.h"
#include "host_camera.h"
#include "host_kernel.h"

namespace {

struct Assembled {
  std::vector<uint8_t> bytes;
  bool dropped = false, button = false, firstButton = false;
  size_t shortPackets = 0;
};

// Takes slots one at a time; a frame is complete when the next one begins.
struct Assembler {
  explicit Assembler(size_t maxPacket) : mps(maxPacket) {}
  size_t mps;
  std::vector<Assembled> complete;
  bool open = false;
  Assembled current;
  void Add(const HostIsoSlot &s) {
    const bool unknown = s.syncLength == 0 || s.syncStatus < 0;
    if (!unknown && (s.syncByte & 0x80) != 0) {
      if (open) complete.push_back(current);
      current = Assembled();
      open = true;
      current.firstButton = (s.syncByte & 0x40) != 0;
    } else if (!unknown && (s.syncByte & 0x03) != 0) {
      EXPECT_TRUE(s.data.empty()) << "a slot without frame data carries none";
      return;
    } else if (!open) {
      return;
    } else {
      current.dropped |= unknown;
      current.button |= !unknown && (s.syncByte & 0x40) != 0;
    }
    if (s.data.size() != mps) {
      current.dropped = true;
      ++current.shortPackets;
    } else if (s.dataStatus < 0 || s.syncStatus < 0) {
      current.dropped = true;
    } else {
      current.bytes.insert(current.bytes.end(), s.data.begin(), s.data.end());
    }
  }
};

// Pulls slots until n frames are complete (the n + 1st has begun).
std::vector<Assembled> Collect(HostSimCamera &camera, size_t n, size_t mps, std::vector<HostIsoSlot> *slots = nullptr) {
  Assembler a(mps);
  for (size_t i = 0; i < 200000 && a.complete.size() < n; ++i) {
    HostIsoSlot slot;
    camera.NextSlot(slot);
    if (slots) slots->push_back(slot);
    a.Add(slot);
  }
  EXPECT_EQ(a.complete.size(), n) << "the camera stopped sending frames";
  return a.complete;
}

// The capture-start command for a height of 120, 240 or 480, straight to the camera.
void Start(HostSimCamera &camera, int height) {
  HostUsbRequest start;
  start.value = USHORT((height / 12) << 8 | 0x40);
  camera.Serve(start);
}

std::vector<uint8_t> Padded(std::vector<uint8_t> raw, size_t mps) {
  raw.resize((raw.size() + mps - 1) / mps * mps, 0);
  return raw;
}

uint32_t Le(const std::vector<uint8_t> &b, size_t at, int bytes = 4) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | b[at + i];
  return v;
}

std::vector<uint8_t> JpegOf(const HostSentFrame &f) { return std::vector<uint8_t>(f.raw.begin() + 80, f.raw.end()); }

struct Decoded {
  bool ok = false;
  int width = 0, height = 0, h[3] = {}, v[3] = {}, warnings = 0;
  unsigned restartInterval = 0;
  std::vector<std::pair<int, std::vector<uint8_t>>> appSegments;  // marker, contents
  std::vector<uint8_t> rgb;
};

struct DecodeErrors {
  jpeg_error_mgr base;
  jmp_buf escape;
  int warnings = 0;
};

// Kept free of objects with destructors between setjmp and longjmp.
bool DecodeInto(const uint8_t *data, size_t size, Decoded *out) {
  jpeg_decompress_struct cinfo;
  DecodeErrors errors;
  cinfo.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = [](j_common_ptr c) { longjmp(reinterpret_cast<DecodeErrors *>(c->err)->escape, 1); };
  errors.base.emit_message = [](j_common_ptr c, int level) {
    if (level < 0) ++reinterpret_cast<DecodeErrors *>(c->err)->warnings;
  };
  if (setjmp(errors.escape)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, data, (unsigned long)size);
  jpeg_save_markers(&cinfo, JPEG_APP0, 0xFFFF);
  jpeg_save_markers(&cinfo, JPEG_APP0 + 10, 0xFFFF);
  jpeg_read_header(&cinfo, TRUE);
  out->width = int(cinfo.image_width);
  out->height = int(cinfo.image_height);
  for (int c = 0; c < cinfo.num_components && c < 3; ++c) {
    out->h[c] = cinfo.comp_info[c].h_samp_factor;
    out->v[c] = cinfo.comp_info[c].v_samp_factor;
  }
  out->restartInterval = cinfo.restart_interval;
  for (jpeg_saved_marker_ptr m = cinfo.marker_list; m != nullptr; m = m->next) {
    out->appSegments.emplace_back(m->marker, std::vector<uint8_t>(m->data, m->data + m->data_length));
  }
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  out->rgb.resize(size_t(out->width) * out->height * 3);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = &out->rgb[size_t(cinfo.output_scanline) * out->width * 3];
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  out->warnings = errors.warnings;
  jpeg_destroy_decompress(&cinfo);
  return true;
}

Decoded Decode(const std::vector<uint8_t> &jpeg) {
  Decoded d;
  d.ok = DecodeInto(jpeg.data(), jpeg.size(), &d);
  return d;
}

double Psnr(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b) {
  EXPECT_EQ(a.size(), b.size());
  if (a.size() != b.size() || a.empty()) return 0;
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
  return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * a.size() / sum);
}

// The frame number the scene draws in its blocks, read back from a decoded picture.
unsigned ReadNumberBlocks(const Decoded &d) {
  int x0, y0, s;
  SimScene_NumberBlocks(d.width, d.height, &x0, &y0, &s);
  unsigned value = 0;
  for (int b = 0; b < 16; ++b) {
    const uint8_t *p = &d.rgb[(size_t(y0 + s / 2) * d.width + x0 + b * s + s / 2) * 3];
    value = value << 1 | ((p[0] + p[1] + p[2]) / 3 > 125 ? 1u : 0u);
  }
  return value;
}

class SimStreamTest : public ::testing::Test {
 protected:
  void SetUp() override { HostCamera_Attach(&context_, &camera_); }
  void TearDown() override { HostCamera_Detach(&context_); }
  int context_ = 0;  // stands for a device context: only its address matters
  HostSimCamera camera_;
};

struct EncodeCase {
  int sampling, height;
  unsigned restart;
  bool app10;
  USHORT mps;
};

class SimStreamFrames : public SimStreamTest, public ::testing::WithParamInterface<EncodeCase> {};

TEST_P(SimStreamFrames, SlotsCarryTheSentFramesAndTheyDecodeToTheScene) {
  const EncodeCase c = GetParam();
  HostCameraStreamConfig config;
  config.sampling = c.sampling;
  config.quality = 90;
  config.restartInterval = c.restart;
  config.app10 = c.app10;
  config.maxPacketSize = c.mps;
  config.idleSlots = 3;
  camera_.ConfigureStream(config);
  Start(camera_, c.height);
  const int width = c.height * 4 / 3;
  std::vector<HostIsoSlot> slots;
  std::vector<Assembled> frames = Collect(camera_, 4, c.mps, &slots);
  std::vector<HostSentFrame> sent = camera_.SentFrames();
  ASSERT_GE(sent.size(), frames.size());
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE("frame " + std::to_string(i + 1));
    const HostSentFrame &f = sent[i];
    EXPECT_EQ(f.sequence, i + 1);
    EXPECT_FALSE(frames[i].dropped);
    ASSERT_EQ(frames[i].bytes, Padded(f.raw, c.mps));
    // The header (magic, sequence, size, JPEG length), then the JPEG from SOI to EOI.
    ASSERT_GT(f.raw.size(), 84u);
    EXPECT_EQ(Le(f.raw, 0), kSimFrameMagic);
    EXPECT_EQ(Le(f.raw, 4), i + 1);
    EXPECT_EQ(Le(f.raw, 12, 2), uint32_t(width));
    EXPECT_EQ(Le(f.raw, 14, 2), uint32_t(c.height));
    EXPECT_EQ(Le(f.raw, 16), f.raw.size() - 80);
    EXPECT_EQ(Le(f.raw, 80, 2), 0xD8FFu);
    EXPECT_EQ(Le(f.raw, f.raw.size() - 2, 2), 0xD9FFu);

    std::vector<uint8_t> jpeg = JpegOf(f);
    Decoded d = Decode(jpeg);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.warnings, 0);
    EXPECT_EQ(d.width, width);
    EXPECT_EQ(d.height, c.height);
    EXPECT_EQ(d.h[0], c.sampling == 422 || c.sampling == 420 ? 2 : 1);
    EXPECT_EQ(d.v[0], c.sampling == 420 || c.sampling == 440 ? 2 : 1);
    EXPECT_EQ(d.h[1] + d.v[1] + d.h[2] + d.v[2], 4) << "chroma at one sample per MCU";
    EXPECT_EQ(d.restartInterval, c.restart);
    // The parameter block: in APP0 directly, in APP10 after two bytes.
    ASSERT_EQ(d.appSegments.size(), 1u);
    EXPECT_EQ(d.appSegments[0].first, c.app10 ? JPEG_APP0 + 10 : JPEG_APP0);
    std::vector<uint8_t> block = d.appSegments[0].second;
    ASSERT_EQ(block.size(), c.app10 ? 78u : 76u);
    if (c.app10) block.erase(block.begin(), block.begin() + 2);
    EXPECT_EQ(Le(block, 0), i + 1);
    EXPECT_EQ(Le(block, 16), uint32_t(width));
    EXPECT_EQ(Le(block, 20), uint32_t(c.height));
    // The picture is the scene at this frame number.
    EXPECT_GT(Psnr(d.rgb, SimScene_Render(width, c.height, i + 1).rgb), 30.0);
    EXPECT_EQ(ReadNumberBlocks(d), i + 1);

  }

  // The cutting, as slot kinds (S 0x80, D 0x00, I 0x01): a frame has just the full-size packets
  // its raw bytes need, and exactly idleSlots idle slots without data lie between two frames.
  std::string kinds, expected;
  for (const HostIsoSlot &s : slots) {
    kinds += s.syncByte == 0x80 ? 'S' : s.syncByte == 0x00 ? 'D' : s.syncByte == 0x01 ? 'I' : '?';
    EXPECT_EQ(s.data.size(), s.syncByte == 0x01 ? 0u : c.mps);
    EXPECT_EQ(s.syncStatus, USBD_STATUS_SUCCESS);
    EXPECT_EQ(s.dataStatus, USBD_STATUS_SUCCESS);
  }
  for (const HostSentFrame &f : sent) {
    expected += "S" + std::string((f.raw.size() + c.mps - 1) / c.mps - 1, 'D') + std::string(config.idleSlots, 'I');
  }
  EXPECT_EQ(kinds, expected.substr(0, kinds.size()));
}

INSTANTIATE_TEST_SUITE_P(Sampling, SimStreamFrames,
                         ::testing::Values(EncodeCase{422, 240, 0, false, 1023}, EncodeCase{420, 120, 4, true, 960},
                                           EncodeCase{444, 480, 0, true, 1023}, EncodeCase{440, 240, 7, false, 513},
                                           EncodeCase{422, 480, 40, false, 3 * 1024}));

TEST_F(SimStreamTest, TheButtonMarksDataSlotsAndTheFramesSentWhileItIsDown) {
  HostCameraStreamConfig config;
  config.maxPacketSize = 256;  // many packets a frame
  camera_.ConfigureStream(config);
  Start(camera_, 120);
  HostIsoSlot slot;
  camera_.NextSlot(slot);
  camera_.NextSlot(slot);
  EXPECT_EQ(slot.syncByte, 0x00);
  camera_.SetButton(true);
  camera_.NextSlot(slot);
  EXPECT_EQ(slot.syncByte, 0x40) << "from the next data slot on";
  std::vector<HostIsoSlot> slots;
  std::vector<Assembled> frames = Collect(camera_, 2, 256, &slots);
  camera_.SetButton(false);
  for (const HostIsoSlot &s : slots) {
    EXPECT_EQ(s.syncByte & 0x41, s.syncByte == 0x01 ? 0x01 : 0x40) << "every data slot, none of the idle ones";
  }
  EXPECT_TRUE(frames[1].firstButton);
  EXPECT_TRUE(frames[1].button);
  Collect(camera_, 2, 256);
  std::vector<bool> pressed;
  for (const HostSentFrame &f : camera_.SentFrames()) pressed.push_back(f.button);
  ASSERT_GE(pressed.size(), 5u);
  pressed.resize(5);
  // The fourth frame's first slot went out before the release.
  EXPECT_EQ(pressed, (std::vector<bool>{true, true, true, true, false}));
}

// A press the length of whole frames: asked for while a frame is on its way, the button is down
// on every data slot of the next frame begun (so the host samples it on each), and up again
// from the frame after.
TEST_F(SimStreamTest, APressHoldsTheButtonForWholeFrames) {
  HostCameraStreamConfig config;
  config.maxPacketSize = 256;
  camera_.ConfigureStream(config);
  Start(camera_, 120);
  HostIsoSlot slot;
  camera_.NextSlot(slot);
  camera_.NextSlot(slot);  // the first frame is on its way
  camera_.PressButton(1);
  std::vector<HostIsoSlot> slots;
  Collect(camera_, 3, 256, &slots);
  unsigned frame = 1;  // 1: the frame in flight at the press
  std::vector<unsigned> downSlots(4, 0), dataSlots(4, 0);
  for (const HostIsoSlot &s : slots) {
    if (s.syncByte & 0x80) ++frame;
    if ((s.syncByte & 0x01) != 0 || frame > 3) continue;
    ++dataSlots[frame];
    downSlots[frame] += (s.syncByte & 0x40) != 0;
  }
  EXPECT_EQ(downSlots[1], 0u) << "not the frame already on its way";
  EXPECT_GT(dataSlots[2], 1u);
  EXPECT_EQ(downSlots[2], dataSlots[2]) << "every data slot of the next frame";
  EXPECT_EQ(downSlots[3], 0u);
}

class SimStreamFaults : public SimStreamTest, public ::testing::WithParamInterface<HostFault> {};

TEST_P(SimStreamFaults, EveryNthFrameGetsTheFaultAndOnlyThoseAreSpoilt) {
  const HostFault fault = GetParam();
  HostCameraStreamConfig config;
  config.quality = 85;
  config.maxPacketSize = 600;
  config.faultEvery[unsigned(fault)] = 3;
  config.seed = 1234;
  camera_.ConfigureStream(config);
  Start(camera_, 240);
  std::vector<Assembled> frames = Collect(camera_, 12, config.maxPacketSize);
  std::vector<HostSentFrame> sent = camera_.SentFrames();
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE("frame " + std::to_string(i + 1));
    const bool faulted = (i + 1) % 3 == 0;
    const HostSentFrame &f = sent[i];
    const Assembled &a = frames[i];
    EXPECT_EQ(f.faults, faulted ? 1u << unsigned(fault) : 0u);
    const bool onTheBus = fault == HostFault::ShortPacket || fault == HostFault::UsbError;
    EXPECT_EQ(a.dropped, faulted && onTheBus);
    EXPECT_EQ(a.shortPackets, faulted && fault == HostFault::ShortPacket ? 1u : 0u);
    if (faulted && onTheBus) continue;
    EXPECT_EQ(a.bytes, Padded(f.raw, config.maxPacketSize)) << "the bus delivered it intact";
    Decoded d = Decode(JpegOf(f));
    if (!faulted) {
      ASSERT_TRUE(d.ok);
      EXPECT_EQ(d.warnings, 0);
      EXPECT_EQ(d.width, 320);
    } else if (fault == HostFault::CorruptJpeg) {
      // Markers stay where they were: libjpeg reads to the end, but the picture is spoilt.
      ASSERT_TRUE(d.ok);
      EXPECT_EQ(d.appSegments.size(), 1u);
      double psnr = Psnr(d.rgb, SimScene_Render(320, 240, i + 1).rgb);
      EXPECT_TRUE(d.warnings > 0 || psnr < 30) << "psnr " << psnr;
    } else if (fault == HostFault::TruncatedFrame) {
      // 40% to 80% of the packets, and fewer than all.
      size_t fullPackets = (80 + Le(f.raw, 16) + config.maxPacketSize - 1) / config.maxPacketSize;
      size_t got = a.bytes.size() / config.maxPacketSize;
      EXPECT_GE(got * 100, fullPackets * 40 - 100);
      EXPECT_LT(got, fullPackets);
      EXPECT_LE(got * 100, fullPackets * 80 + 100);
    } else {
      ASSERT_TRUE(d.ok);
      EXPECT_NE(d.width, 320);
      EXPECT_EQ(d.width, f.width);
      EXPECT_EQ(d.height, f.height);
      EXPECT_EQ(Le(f.raw, 12, 2), uint32_t(d.width));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(All, SimStreamFaults,
                         ::testing::Values(HostFault::ShortPacket, HostFault::UsbError, HostFault::CorruptJpeg,
                                           HostFault::TruncatedFrame, HostFault::WrongSize),
                         [](const ::testing::TestParamInfo<HostFault> &p) {
                           std::string name = HostFault_Name(p.param);
                           name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                           return name;
                         });

// A smooth picture with structure in both directions.
std::vector<uint8_t> Pattern(int w, int h) {
  std::vector<uint8_t> rgb(size_t(w) * h * 3);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      uint8_t *p = &rgb[(size_t(y) * w + x) * 3];
      p[0] = uint8_t(128 + 100 * std::sin(x * 0.05));
      p[1] = uint8_t(128 + 100 * std::cos(y * 0.07));
      p[2] = uint8_t((x + y) * 255 / (w + h));
    }
  }
  return rgb;
}

std::vector<uint8_t> Ppm(int w, int h, const std::vector<uint8_t> &rgb) {
  std::string head = "P6\n# test picture\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
  std::vector<uint8_t> out(head.begin(), head.end());
  out.insert(out.end(), rgb.begin(), rgb.end());
  return out;
}

// A 24-bit bottom-up BMP, rows padded to four bytes.
std::vector<uint8_t> Bmp(int w, int h, const std::vector<uint8_t> &rgb) {
  size_t stride = (size_t(w) * 3 + 3) & ~size_t(3);
  std::vector<uint8_t> b(54 + stride * h, 0);
  auto put = [&](size_t at, uint32_t v) { memcpy(&b[at], &v, 4); };
  b[0] = 'B', b[1] = 'M', b[26] = 1, b[28] = 24;
  put(2, uint32_t(b.size()));
  put(10, 54);
  put(14, 40);
  put(18, uint32_t(w));
  put(22, uint32_t(h));
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const uint8_t *p = &rgb[(size_t(y) * w + x) * 3];
      uint8_t *q = &b[54 + stride * (h - 1 - y) + 3 * x];
      q[0] = p[2], q[1] = p[1], q[2] = p[0];
    }
  }
  return b;
}

// A folder is read in name order and round again: JPEG files go out byte for byte whatever their
// size, pictures are scaled to the stream's size (the BMP from 213 wide, its rows padded) and
// encoded.
TEST_F(SimStreamTest, FilesGoOutInNameOrderJpegsByteForBytePicturesScaledAndEncoded) {
  const std::filesystem::path dir = ::testing::TempDir() + "simcam-sources-" + std::to_string(::getpid());
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  auto write = [&](const char *name, const std::vector<uint8_t> &bytes) {
    std::ofstream out((dir / name).string(), std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
  };
  std::string here = __FILE__;
  std::ifstream sample(here.substr(0, here.rfind("/tests/")) + "/samples/mandelbrot.jpg", std::ios::binary);
  std::vector<uint8_t> a((std::istreambuf_iterator<char>(sample)), std::istreambuf_iterator<char>());
  std::vector<uint8_t> b = SimEncoder_Encode(SimScene_Render(333, 211, 1), 444, 95, 0, false, SimParamBlock());
  std::vector<uint8_t> exact = Pattern(320, 240), odd = Pattern(213, 160);
  ASSERT_GT(a.size(), 1000u);
  write("a.jpg", a), write("b.jpg", b), write("c.ppm", Ppm(320, 240, exact)), write("d.bmp", Bmp(213, 160, odd));
  HostCameraStreamConfig config;
  config.quality = 92;
  config.sampling = 444;
  config.sources = {dir.string()};
  camera_.ConfigureStream(config);
  Start(camera_, 240);
  std::vector<Assembled> frames = Collect(camera_, 5, config.maxPacketSize);
  std::filesystem::remove_all(dir);
  std::vector<HostSentFrame> sent = camera_.SentFrames();
  for (size_t i : {0, 1, 4}) {
    const std::vector<uint8_t> &file = i == 1 ? b : a;
    ASSERT_EQ(frames[i].bytes, Padded(sent[i].raw, config.maxPacketSize));
    EXPECT_EQ(JpegOf(sent[i]), file) << "frame " << i + 1;
    EXPECT_EQ(Le(sent[i].raw, 16), file.size());
    EXPECT_EQ(sent[i].width, i == 1 ? 333 : 320);
  }
  Decoded d[2] = {Decode(JpegOf(sent[2])), Decode(JpegOf(sent[3]))};
  for (const Decoded &e : d) {
    ASSERT_TRUE(e.ok);
    EXPECT_EQ(e.width, 320);
    EXPECT_EQ(e.height, 240);
  }
  EXPECT_GT(Psnr(d[0].rgb, exact), 32.0);
  // Scaled up by 1.5: the BMP's picture at its own size, sampled at the matching points.
  std::vector<uint8_t> seen, expected;
  for (int y = 0; y < 160; y += 4) {
    for (int x = 0; x < 213; x += 4) {
      int sx = std::min(319, int((x + 0.5) * 320 / 213)), sy = std::min(239, int((y + 0.5) * 240 / 160));
      for (int k = 0; k < 3; ++k) {
        seen.push_back(d[1].rgb[(size_t(sy) * 320 + sx) * 3 + k]);
        expected.push_back(odd[(size_t(y) * 213 + x) * 3 + k]);
      }
    }
  }
  EXPECT_GT(Psnr(seen, expected), 28.0) << "the BMP rows are read the right way up";
}

}  // namespace
