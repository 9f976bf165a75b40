// The simulated camera's isochronous stream and its command state. Frames are put back
// together from the slots by the rules the driver applies (a frame is the full-size data
// packets from one 0x80 slot to the next; a short packet or an error status spoils it), then
// compared with what the camera says it sent, decoded with libjpeg and with the driver's own
// decoder, and compared with the picture the camera filmed.
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <png.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <set>
#include <csetjmp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "../../host/camera/sim_media.h"
#include "host_camera.h"
#include "host_kernel.h"
#include "imageproc.h"

namespace {

// ---- Frames as the driver assembles them ----------------------------------------------------

struct Assembled {
  std::vector<uint8_t> bytes;
  bool dropped = false;
  bool button = false;        // a continuation slot carried bit 6
  bool firstButton = false;   // the first slot carried bit 6
  size_t shortPackets = 0;
};

class Assembler {
 public:
  explicit Assembler(size_t maxPacket) : mps_(maxPacket) {}
  // Takes one slot; a frame is complete when the next one begins.
  void Add(const HostIsoSlot &slot) {
    ++slots_;
    bool unknown = slot.syncLength == 0 || slot.syncStatus < 0;
    uint8_t s = slot.syncByte;
    if (!unknown && (s & 0x80) != 0) {
      if (open_) complete_.push_back(current_);
      current_ = Assembled();
      open_ = true;
      current_.firstButton = (s & 0x40) != 0;
      Data(slot);
    } else if (!unknown && (s & 0x03) != 0) {
      EXPECT_TRUE(slot.data.empty()) << "a slot without frame data carries none";
      if (s & 0x02) ++restarts_;
    } else if (open_) {
      if (unknown) current_.dropped = true;
      if (!unknown && (s & 0x40) != 0) current_.button = true;
      Data(slot);
    }
  }
  std::vector<Assembled> complete_;
  size_t slots_ = 0;
  size_t restarts_ = 0;
  bool open_ = false;
  Assembled current_;

 private:
  void Data(const HostIsoSlot &slot) {
    if (slot.data.size() != mps_) {
      current_.dropped = true;
      ++current_.shortPackets;
    } else if (slot.dataStatus < 0) {
      current_.dropped = true;
    } else {
      current_.bytes.insert(current_.bytes.end(), slot.data.begin(), slot.data.end());
    }
    if (slot.syncStatus < 0) current_.dropped = true;
  }
  size_t mps_;
};

// Pulls slots until n frames are complete (the n + 1st has begun).
std::vector<Assembled> Collect(HostSimCamera &camera, size_t n, size_t mps, std::vector<HostIsoSlot> *slots = nullptr,
                               size_t limit = 200000) {
  Assembler a(mps);
  for (size_t i = 0; i < limit && a.complete_.size() < n; ++i) {
    HostIsoSlot slot;
    camera.NextSlot(slot);
    if (slots) slots->push_back(slot);
    a.Add(slot);
  }
  EXPECT_EQ(a.complete_.size(), n) << "the camera stopped sending frames";
  return a.complete_;
}

std::vector<uint8_t> Padded(std::vector<uint8_t> raw, size_t mps) {
  raw.resize((raw.size() + mps - 1) / mps * mps, 0);
  return raw;
}

uint32_t Le32(const std::vector<uint8_t> &b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

// ---- libjpeg decoding, independent of the camera's encoder -----------------------------------

struct Decoded {
  bool ok = false;
  int width = 0, height = 0, components = 0;
  int h[3] = {}, v[3] = {};
  unsigned restartInterval = 0;
  bool jfif = false;
  bool progressive = false, arithmetic = false;
  int warnings = 0;
  std::vector<std::pair<int, std::vector<uint8_t>>> appSegments;  // marker, contents
  std::vector<uint8_t> rgb;
};

struct DecodeErrors {
  jpeg_error_mgr base;
  jmp_buf escape;
  int warnings = 0;
};

void DecodeFail(j_common_ptr c) { longjmp(reinterpret_cast<DecodeErrors *>(c->err)->escape, 1); }
void DecodeWarn(j_common_ptr c, int level) {
  if (level < 0) ++reinterpret_cast<DecodeErrors *>(c->err)->warnings;
}

// Kept free of objects with destructors between setjmp and longjmp.
bool DecodeInto(const uint8_t *data, size_t size, Decoded *out) {
  jpeg_decompress_struct cinfo;
  DecodeErrors errors;
  cinfo.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = DecodeFail;
  errors.base.emit_message = DecodeWarn;
  errors.warnings = 0;
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
  out->components = cinfo.num_components;
  for (int c = 0; c < cinfo.num_components && c < 3; ++c) {
    out->h[c] = cinfo.comp_info[c].h_samp_factor;
    out->v[c] = cinfo.comp_info[c].v_samp_factor;
  }
  out->restartInterval = cinfo.restart_interval;
  out->jfif = cinfo.saw_JFIF_marker;
  out->progressive = cinfo.progressive_mode;
  out->arithmetic = cinfo.arith_code;
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
  for (size_t i = 0; i < a.size(); ++i) {
    double e = double(a[i]) - double(b[i]);
    sum += e * e;
  }
  double mse = sum / a.size();
  return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

// The frame number the scene draws in its blocks, read back from a decoded picture.
unsigned ReadNumberBlocks(const Decoded &d) {
  int x0, y0, s;
  SimScene_NumberBlocks(d.width, d.height, &x0, &y0, &s);
  unsigned value = 0;
  for (int b = 0; b < 16; ++b) {
    int cx = x0 + b * s + s / 2, cy = y0 + s / 2;
    const uint8_t *p = &d.rgb[(size_t(cy) * d.width + cx) * 3];
    value = value << 1 | ((p[0] + p[1] + p[2]) / 3 > 125 ? 1u : 0u);
  }
  return value;
}

// ---- The camera behind the vendor command path -----------------------------------------------

class SimCameraTest : public ::testing::Test {
 protected:
  void SetUp() override { HostCamera_Attach(&context_, &camera_); }
  void TearDown() override { HostCamera_Detach(&context_); }
  NTSTATUS Out(USHORT value, USHORT index) {
    return USBCAMD_ControlVendorCommand(&context_, 0x0C, value, index, NULL, NULL, FALSE, NULL, NULL);
  }
  uint8_t In(USHORT value, USHORT index) {
    uint8_t b = 0xEE;
    ULONG length = 1;
    EXPECT_EQ(USBCAMD_ControlVendorCommand(&context_, 0x0C, value, index, &b, &length, TRUE, NULL, NULL),
              STATUS_SUCCESS);
    EXPECT_EQ(length, 1u);
    return b;
  }
  NTSTATUS Bulk(USHORT pipe, std::vector<uint8_t> &buffer) {
    return HostUsbcamd_Interface().USBCAMD_BulkReadWrite(&context_, pipe, buffer.data(), ULONG(buffer.size()),
                                                         NULL, NULL);
  }
  void Start(int height) {
    USHORT h = USHORT(height / 12);
    USHORT index = height == 120 ? 7 : height == 240 ? 15 : 30;
    ASSERT_EQ(Out(USHORT((h << 8) | 0x40), index), STATUS_SUCCESS);
  }
  int context_ = 0;
  HostSimCamera camera_;
};

// ---- Frames of the built-in scene ----------------------------------------------------------

struct EncodeCase {
  int sampling;
  int height;
  unsigned restart;
  bool app10;
  USHORT mps;
};

void PrintTo(const EncodeCase &c, std::ostream *os) {
  *os << c.sampling << " at height " << c.height << ", restart " << c.restart << (c.app10 ? ", APP10" : ", APP0")
      << ", packets of " << c.mps;
}

class SimCameraFrames : public SimCameraTest, public ::testing::WithParamInterface<EncodeCase> {};

TEST_P(SimCameraFrames, SlotsCarryTheSentFramesAndTheyDecodeToTheScene) {
  const EncodeCase c = GetParam();
  HostCameraStreamConfig config;
  config.sampling = c.sampling;
  config.quality = 90;
  config.restartInterval = c.restart;
  config.app10 = c.app10;
  config.maxPacketSize = c.mps;
  config.idleSlots = 3;
  camera_.ConfigureStream(config);
  Start(c.height);
  const int width = c.height * 4 / 3;
  std::vector<HostIsoSlot> slots;
  std::vector<Assembled> frames = Collect(camera_, 4, c.mps, &slots);
  std::vector<HostSentFrame> sent = camera_.SentFrames();
  ASSERT_GE(sent.size(), frames.size());
  void *ipContext = malloc(ZRImageProcess_GetContextSize());
  ZRImageProcess_Initialize(nullptr, ipContext);
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE("frame " + std::to_string(i + 1));
    const HostSentFrame &f = sent[i];
    EXPECT_EQ(f.sequence, i + 1);
    EXPECT_FALSE(frames[i].dropped);
    EXPECT_EQ(f.faults, 0u);
    ASSERT_EQ(frames[i].bytes, Padded(f.raw, c.mps));
    // The header, then the JPEG with its end marker right before the padding.
    ASSERT_GT(f.raw.size(), 80u + 4);
    EXPECT_EQ(Le32(f.raw, 0), kSimFrameMagic);
    EXPECT_EQ(Le32(f.raw, 4), i + 1);
    EXPECT_EQ(f.raw[12] | f.raw[13] << 8, width);
    EXPECT_EQ(f.raw[14] | f.raw[15] << 8, c.height);
    EXPECT_EQ(Le32(f.raw, 16), f.raw.size() - 80);
    EXPECT_EQ(f.raw[80], 0xFF);
    EXPECT_EQ(f.raw[81], 0xD8);
    EXPECT_EQ(f.raw[f.raw.size() - 2], 0xFF);
    EXPECT_EQ(f.raw.back(), 0xD9);

    std::vector<uint8_t> jpeg(f.raw.begin() + 80, f.raw.end());
    Decoded d = Decode(jpeg);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.warnings, 0);
    EXPECT_EQ(d.width, width);
    EXPECT_EQ(d.height, c.height);
    EXPECT_EQ(f.width, width);
    EXPECT_EQ(f.height, c.height);
    EXPECT_EQ(d.components, 3);
    EXPECT_FALSE(d.progressive);
    EXPECT_FALSE(d.arithmetic);
    EXPECT_EQ(d.h[0], c.sampling == 422 || c.sampling == 420 ? 2 : 1);
    EXPECT_EQ(d.v[0], c.sampling == 420 || c.sampling == 440 ? 2 : 1);
    EXPECT_EQ(d.h[1], 1);
    EXPECT_EQ(d.v[1], 1);
    EXPECT_EQ(d.h[2], 1);
    EXPECT_EQ(d.v[2], 1);
    EXPECT_EQ(d.restartInterval, c.restart);
    EXPECT_FALSE(d.jfif) << "the only APP0 is the camera's";
    // The parameter block: in APP0 directly, in APP10 after two bytes.
    ASSERT_EQ(d.appSegments.size(), 1u);
    EXPECT_EQ(d.appSegments[0].first, c.app10 ? JPEG_APP0 + 10 : JPEG_APP0);
    std::vector<uint8_t> block = d.appSegments[0].second;
    ASSERT_EQ(block.size(), c.app10 ? 78u : 76u);
    if (c.app10) block.erase(block.begin(), block.begin() + 2);
    EXPECT_EQ(Le32(block, 0), i + 1);
    EXPECT_EQ(Le32(block, 16), uint32_t(width));
    EXPECT_EQ(Le32(block, 20), uint32_t(c.height));

    // The picture is the scene at this frame number.
    SimImage scene = SimScene_Render(width, c.height, i + 1);
    EXPECT_GT(Psnr(d.rgb, scene.rgb), 30.0);
    EXPECT_EQ(ReadNumberBlocks(d), i + 1);

    // The driver's decoder reads the frame and the parameter block too.
    std::vector<uint8_t> bgr(size_t(width) * c.height * 3);
    ImageProc_Long w = 0, h = 0;
    ImageProc_ULong info4[4] = {}, info3[3] = {};
    uint16_t info24[24] = {};
    EXPECT_EQ(jpg_decode(ipContext, 0, jpeg.data(), uint32_t(jpeg.size()), bgr.data(), uint32_t(bgr.size()), &w, &h,
                         info4, info3, info24),
              0);
    EXPECT_EQ(w, width);
    EXPECT_EQ(h, c.height);
    EXPECT_EQ(info4[0], i + 1);
    EXPECT_EQ(info3[0], uint32_t(width));
    EXPECT_EQ(info3[1], uint32_t(c.height));
    ZRImageProcess_Initialize(nullptr, ipContext);
  }
  free(ipContext);

  // The cutting: every data packet is full size, frames begin with 0x80, exactly idleSlots
  // idle slots (0x01, no data) lie between two frames, and a frame has just the packets its
  // raw bytes need.
  size_t frame = 0, packets = 0, idle = 0;
  bool seenStart = false;
  for (const HostIsoSlot &s : slots) {
    EXPECT_EQ(s.syncLength, 1u);
    EXPECT_EQ(s.syncStatus, USBD_STATUS_SUCCESS);
    EXPECT_EQ(s.dataStatus, USBD_STATUS_SUCCESS);
    if (s.syncByte == 0x80) {
      if (seenStart) {
        EXPECT_EQ(packets, (sent[frame].raw.size() + c.mps - 1) / c.mps);
        EXPECT_EQ(idle, config.idleSlots);
        ++frame;
      } else {
        EXPECT_EQ(idle, 0u) << "a start begins with a frame";
      }
      seenStart = true;
      packets = 1;
      idle = 0;
      EXPECT_EQ(s.data.size(), c.mps);
    } else if (s.syncByte == 0x01) {
      EXPECT_TRUE(s.data.empty());
      ++idle;
    } else {
      EXPECT_EQ(s.syncByte, 0x00);
      EXPECT_EQ(idle, 0u) << "no idle slot inside a frame";
      EXPECT_EQ(s.data.size(), c.mps);
      ++packets;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sampling, SimCameraFrames,
                         ::testing::Values(EncodeCase{422, 240, 0, false, 1023}, EncodeCase{420, 120, 4, true, 960},
                                           EncodeCase{444, 480, 0, true, 1023}, EncodeCase{440, 240, 7, false, 513},
                                           EncodeCase{422, 480, 40, false, 3 * 1024}));

TEST_F(SimCameraTest, TheSceneMovesAndLowerQualityCodesFewerBytes) {
  SimImage a = SimScene_Render(320, 240, 5), b = SimScene_Render(320, 240, 6);
  EXPECT_LT(Psnr(a.rgb, b.rgb), 40.0) << "consecutive frames differ";
  auto bytesAt = [&](int quality) {
    HostCameraStreamConfig config;
    config.quality = quality;
    camera_.ConfigureStream(config);
    Start(240);
    Collect(camera_, 1, config.maxPacketSize);
    return camera_.SentFrames()[0].raw.size();
  };
  size_t q30 = bytesAt(30), q95 = bytesAt(95);
  EXPECT_LT(q30 * 2, q95);
  EXPECT_GT(q30, 2000u) << "the scene has real detail";
}

// ---- Stream state --------------------------------------------------------------------------

TEST_F(SimCameraTest, StartAndStopCommandsSwitchStreamingAndSize) {
  HostIsoSlot slot;
  EXPECT_FALSE(camera_.Streaming());
  for (int i = 0; i < 5; ++i) {
    camera_.NextSlot(slot);
    EXPECT_EQ(slot.syncByte, 0x01);
    EXPECT_TRUE(slot.data.empty());
  }
  const int sizes[3][3] = {{0x0A40, 160, 120}, {0x1440, 320, 240}, {0x2840, 640, 480}};
  for (auto &s : sizes) {
    ASSERT_EQ(Out(USHORT(s[0]), s[1] == 160 ? 7 : s[1] == 320 ? 15 : 30), STATUS_SUCCESS);
    EXPECT_TRUE(camera_.Streaming());
    int w = 0, h = 0;
    camera_.StreamSize(&w, &h);
    EXPECT_EQ(w, s[1]);
    EXPECT_EQ(h, s[2]);
    camera_.NextSlot(slot);
    EXPECT_EQ(slot.syncByte, 0x80) << "a start begins at a frame boundary";
    EXPECT_EQ(camera_.SentFrames().back().width, s[1]);
    camera_.NextSlot(slot);
    EXPECT_EQ(slot.syncByte, 0x00);
  }
  ASSERT_EQ(Out(0x00A0, 0), STATUS_SUCCESS);
  EXPECT_FALSE(camera_.Streaming());
  camera_.NextSlot(slot);
  EXPECT_EQ(slot.syncByte, 0x01);
  EXPECT_TRUE(slot.data.empty());

  // A start the camera refuses changes nothing; one answered by a rule with success counts.
  camera_.AnswerControl(false, 0x0A40, 7, {STATUS_DEVICE_DATA_ERROR, {}, 1});
  EXPECT_EQ(Out(0x0A40, 7), STATUS_DEVICE_DATA_ERROR);
  EXPECT_FALSE(camera_.Streaming());
  camera_.AnswerControl(false, 0x0A40, 7, {STATUS_SUCCESS, {}, 1});
  EXPECT_EQ(Out(0x0A40, 7), STATUS_SUCCESS);
  EXPECT_TRUE(camera_.Streaming());
  // The ready poll is a read of 0xA0, not a stop.
  EXPECT_EQ(In(0xA0, 0) & 0x04, 0x04);
  EXPECT_TRUE(camera_.Streaming());
}

TEST_F(SimCameraTest, ScriptedSlotsGoOutInOrderWhileStreamingThenIdleSlots) {
  HostIsoSlot a, b;
  a.syncByte = 0x80;
  a.data = {1, 2, 3};
  b.syncByte = 0x40;
  b.syncLength = 0;
  b.dataStatus = USBD_STATUS_CRC;
  camera_.ScriptSlots({a, b});
  HostIsoSlot slot;
  camera_.NextSlot(slot);
  EXPECT_EQ(slot.syncByte, 0x01) << "nothing goes out before a start";
  EXPECT_EQ(camera_.ScriptedSlotsLeft(), 2u);
  ASSERT_EQ(Out(0x0A40, 7), STATUS_SUCCESS);
  camera_.NextSlot(slot);
  EXPECT_EQ(slot.syncByte, 0x80);
  EXPECT_EQ(slot.data, a.data);
  camera_.NextSlot(slot);
  EXPECT_EQ(slot.syncByte, 0x40);
  EXPECT_EQ(slot.syncLength, 0u);
  EXPECT_EQ(slot.dataStatus, USBD_STATUS_CRC);
  EXPECT_TRUE(slot.data.empty());
  EXPECT_EQ(camera_.ScriptedSlotsLeft(), 0u);
  camera_.NextSlot(slot);
  EXPECT_EQ(slot.syncByte, 0x01) << "the camera's own frames do not follow the script";
  EXPECT_TRUE(slot.data.empty());
  EXPECT_EQ(camera_.FramesSent(), 0u);
}

TEST_F(SimCameraTest, TheButtonMarksDataSlotsAndTheFramesSentWhileItIsDown) {
  HostCameraStreamConfig config;
  config.maxPacketSize = 256;  // many packets a frame
  camera_.ConfigureStream(config);
  Start(120);
  HostIsoSlot slot;
  camera_.NextSlot(slot);
  ASSERT_EQ(slot.syncByte, 0x80);
  camera_.NextSlot(slot);
  EXPECT_EQ(slot.syncByte, 0x00);
  camera_.SetButton(true);
  camera_.NextSlot(slot);
  EXPECT_EQ(slot.syncByte, 0x40) << "from the next data slot on";
  std::vector<HostIsoSlot> slots;
  std::vector<Assembled> frames = Collect(camera_, 2, 256, &slots);
  camera_.SetButton(false);
  for (const HostIsoSlot &s : slots) {
    if (s.syncByte != 0x01) EXPECT_NE(s.syncByte & 0x40, 0) << "every data slot, the first of a frame too";
    if (s.syncByte & 0x01) EXPECT_EQ(s.syncByte, 0x01) << "idle slots carry no button";
  }
  EXPECT_TRUE(frames[1].firstButton);
  EXPECT_TRUE(frames[1].button);
  Collect(camera_, 2, 256);
  std::vector<HostSentFrame> sent = camera_.SentFrames();
  ASSERT_GE(sent.size(), 5u);
  EXPECT_TRUE(sent[0].button) << "pressed while it was sent";
  EXPECT_TRUE(sent[1].button);
  EXPECT_TRUE(sent[2].button);
  EXPECT_TRUE(sent[3].button) << "its first slot went out before the release";
  EXPECT_FALSE(sent[4].button);
}

TEST_F(SimCameraTest, ARestartSlotThenAPipeRestartBeginsAFreshFrameAfterTheIdleSlots) {
  HostCameraStreamConfig config;
  config.maxPacketSize = 200;
  config.idleSlots = 4;
  camera_.ConfigureStream(config);
  Start(240);
  HostIsoSlot slot;
  for (int i = 0; i < 5; ++i) camera_.NextSlot(slot);
  ASSERT_EQ(slot.syncByte, 0x00);
  camera_.RequestRestart();
  camera_.NextSlot(slot);
  EXPECT_EQ(slot.syncByte, 0x02);
  EXPECT_TRUE(slot.data.empty());
  camera_.IsoPipeRestarted();
  for (unsigned i = 0; i < config.idleSlots; ++i) {
    camera_.NextSlot(slot);
    EXPECT_EQ(slot.syncByte, 0x01);
  }
  camera_.NextSlot(slot);
  EXPECT_EQ(slot.syncByte, 0x80);
  std::vector<HostSentFrame> sent = camera_.SentFrames();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].sequence, 2u);
  EXPECT_EQ(slot.data, std::vector<uint8_t>(sent[1].raw.begin(), sent[1].raw.begin() + 200));

  // The class library's pipe-state call has the same effect.
  camera_.NextSlot(slot);
  ASSERT_EQ(HostUsbcamd_Interface().USBCAMD_SetIsoPipeState(&context_, USBCAMD_STOP_STREAM), STATUS_SUCCESS);
  for (unsigned i = 0; i < config.idleSlots; ++i) {
    camera_.NextSlot(slot);
    EXPECT_EQ(slot.syncByte, 0x01);
  }
  camera_.NextSlot(slot);
  EXPECT_EQ(slot.syncByte, 0x80);
  EXPECT_EQ(camera_.FramesSent(), 3u);
}

TEST_F(SimCameraTest, TheFrameLogKeepsTheLastFrames) {
  HostCameraStreamConfig config;
  config.frameLogLimit = 3;
  camera_.ConfigureStream(config);
  Start(120);
  Collect(camera_, 7, config.maxPacketSize);
  EXPECT_EQ(camera_.FramesSent(), 8u);  // the 8th has begun
  std::vector<HostSentFrame> sent = camera_.SentFrames();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].sequence, 6u);
  EXPECT_EQ(sent[2].sequence, 8u);
}

// ---- Faults ----------------------------------------------------------------------------------

class SimCameraFaults : public SimCameraTest, public ::testing::WithParamInterface<HostFault> {};

TEST_P(SimCameraFaults, EveryNthFrameGetsTheFaultAndOnlyThoseAreSpoilt) {
  const HostFault fault = GetParam();
  HostCameraStreamConfig config;
  config.quality = 85;
  config.maxPacketSize = 600;
  config.faultEvery[unsigned(fault)] = 3;
  config.seed = 1234;
  camera_.ConfigureStream(config);
  Start(240);
  std::vector<HostIsoSlot> slots;
  std::vector<Assembled> frames = Collect(camera_, 12, config.maxPacketSize, &slots);
  std::vector<HostSentFrame> sent = camera_.SentFrames();
  std::vector<size_t> shortPacketsPerFrame;
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE("frame " + std::to_string(i + 1));
    const bool faulted = (i + 1) % 3 == 0;
    const HostSentFrame &f = sent[i];
    EXPECT_EQ(f.faults, faulted ? 1u << unsigned(fault) : 0u);
    const Assembled &a = frames[i];
    std::vector<uint8_t> jpeg(f.raw.begin() + 80, f.raw.end());
    if (!faulted) {
      EXPECT_FALSE(a.dropped);
      EXPECT_EQ(a.bytes, Padded(f.raw, config.maxPacketSize));
      Decoded d = Decode(jpeg);
      EXPECT_TRUE(d.ok);
      EXPECT_EQ(d.warnings, 0);
      EXPECT_EQ(d.width, 320);
      continue;
    }
    switch (fault) {
      case HostFault::ShortPacket:
        EXPECT_TRUE(a.dropped);
        EXPECT_EQ(a.shortPackets, 1u);
        break;
      case HostFault::UsbError:
        EXPECT_TRUE(a.dropped);
        EXPECT_EQ(a.shortPackets, 0u);
        break;
      case HostFault::CorruptJpeg: {
        EXPECT_FALSE(a.dropped) << "the bus delivered it intact";
        EXPECT_EQ(a.bytes, Padded(f.raw, config.maxPacketSize));
        // Markers stay where they were: the same segments as a clean frame, but the picture
        // no longer matches the scene.
        Decoded d = Decode(jpeg);
        ASSERT_TRUE(d.ok) << "markers intact, libjpeg reads to the end";
        EXPECT_EQ(d.width, 320);
        EXPECT_EQ(d.appSegments.size(), 1u);
        double psnr = Psnr(d.rgb, SimScene_Render(320, 240, i + 1).rgb);
        EXPECT_TRUE(d.warnings > 0 || psnr < 30) << "psnr " << psnr;
        break;
      }
      case HostFault::TruncatedFrame: {
        EXPECT_FALSE(a.dropped);
        EXPECT_EQ(a.bytes, Padded(f.raw, config.maxPacketSize));
        uint32_t full = 80 + Le32(f.raw, 16);
        size_t fullPackets = (full + config.maxPacketSize - 1) / config.maxPacketSize;
        size_t got = a.bytes.size() / config.maxPacketSize;
        EXPECT_GE(got * 100, fullPackets * 40 - 100);
        EXPECT_LT(got, fullPackets);
        EXPECT_LE(got * 100, fullPackets * 80 + 100);
        break;
      }
      case HostFault::WrongSize: {
        EXPECT_FALSE(a.dropped);
        Decoded d = Decode(jpeg);
        ASSERT_TRUE(d.ok);
        EXPECT_NE(d.width, 320);
        EXPECT_EQ(d.width, f.width);
        EXPECT_EQ(d.height, f.height);
        EXPECT_EQ(f.raw[12] | f.raw[13] << 8, d.width);
        break;
      }
      default:
        FAIL();
    }
  }
  // Same seed, same stream: a second camera sends the identical slots.
  HostSimCamera twin;
  twin.ConfigureStream(config);
  HostUsbRequest start;
  start.value = 0x1440;
  start.index = 15;
  twin.Serve(start);
  for (const HostIsoSlot &s : slots) {
    HostIsoSlot t;
    twin.NextSlot(t);
    ASSERT_EQ(t.syncByte, s.syncByte);
    ASSERT_EQ(t.data, s.data);
    ASSERT_EQ(t.dataStatus, s.dataStatus);
  }
}

INSTANTIATE_TEST_SUITE_P(All, SimCameraFaults,
                         ::testing::Values(HostFault::ShortPacket, HostFault::UsbError, HostFault::CorruptJpeg,
                                           HostFault::TruncatedFrame, HostFault::WrongSize),
                         [](const ::testing::TestParamInfo<HostFault> &info) {
                           std::string name = HostFault_Name(info.param);
                           name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                           return name;
                         });

TEST_F(SimCameraTest, TheSeedMovesWhereAFaultHits) {
  std::set<size_t> places;
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    HostSimCamera camera;
    HostCameraStreamConfig config;
    config.maxPacketSize = 128;
    config.faultEvery[unsigned(HostFault::ShortPacket)] = 1;
    config.seed = seed;
    camera.ConfigureStream(config);
    HostUsbRequest start;
    start.value = 0x1440;
    camera.Serve(start);
    for (size_t i = 0; i < 1000; ++i) {
      HostIsoSlot s;
      camera.NextSlot(s);
      if (s.syncByte != 0x01 && s.data.size() != 128) {
        places.insert(i);
        break;
      }
    }
  }
  EXPECT_GE(places.size(), 3u);
}

TEST_F(SimCameraTest, FaultNamesRoundTrip) {
  for (unsigned i = 0; i < unsigned(HostFault::Count); ++i) {
    HostFault f;
    ASSERT_TRUE(HostFault_FromName(HostFault_Name(HostFault(i)), &f));
    EXPECT_EQ(unsigned(f), i);
  }
  HostFault f;
  EXPECT_FALSE(HostFault_FromName("bogus", &f));
  EXPECT_STREQ(HostFault_Name(HostFault::UsbError), "usb-error");
}

// ---- Image sources ---------------------------------------------------------------------------

class SimCameraSources : public SimCameraTest {
 protected:
  void SetUp() override {
    SimCameraTest::SetUp();
    dir_ = std::filesystem::temp_directory_path() /
           ("simcam-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    std::filesystem::remove_all(dir_);
    SimCameraTest::TearDown();
  }
  std::string Write(const std::string &name, const std::vector<uint8_t> &bytes) {
    std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    return path;
  }
  std::filesystem::path dir_;
};

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

std::vector<uint8_t> Bmp(int w, int h, const std::vector<uint8_t> &rgb) {
  size_t stride = (size_t(w) * 3 + 3) & ~size_t(3);
  std::vector<uint8_t> b(54 + stride * h, 0);
  auto put = [&](size_t at, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b[at + i] = uint8_t(v >> (8 * i));
  };
  b[0] = 'B', b[1] = 'M';
  put(2, uint32_t(b.size()), 4);
  put(10, 54, 4);
  put(14, 40, 4);
  put(18, uint32_t(w), 4);
  put(22, uint32_t(h), 4);  // bottom-up
  put(26, 1, 2);
  put(28, 24, 2);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const uint8_t *p = &rgb[(size_t(y) * w + x) * 3];
      uint8_t *q = &b[54 + stride * (h - 1 - y) + 3 * x];
      q[0] = p[2], q[1] = p[1], q[2] = p[0];
    }
  }
  return b;
}

std::vector<uint8_t> Png(int w, int h, const std::vector<uint8_t> &rgb) {
  png_image png;
  memset(&png, 0, sizeof(png));
  png.version = PNG_IMAGE_VERSION;
  png.width = png_uint_32(w);
  png.height = png_uint_32(h);
  png.format = PNG_FORMAT_RGB;
  png_alloc_size_t size = 0;
  EXPECT_TRUE(png_image_write_to_memory(&png, nullptr, &size, 0, rgb.data(), 0, nullptr));
  std::vector<uint8_t> out(size);
  EXPECT_TRUE(png_image_write_to_memory(&png, out.data(), &size, 0, rgb.data(), 0, nullptr));
  out.resize(size);
  return out;
}

// A JPEG made by libjpeg here, JFIF header and all, of any size: the camera sends it unchanged.
std::vector<uint8_t> OwnJpeg(int w, int h, int quality) {
  std::vector<uint8_t> rgb = Pattern(w, h);
  jpeg_compress_struct cinfo;
  jpeg_error_mgr err;
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_compress(&cinfo);
  unsigned char *buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = JDIMENSION(w);
  cinfo.image_height = JDIMENSION(h);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = &rgb[size_t(cinfo.next_scanline) * w * 3];
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::vector<uint8_t> out(buffer, buffer + size);
  free(buffer);
  return out;
}

TEST_F(SimCameraSources, JpegFilesGoOutByteForByteInNameOrderAndRepeat) {
  std::vector<uint8_t> a = OwnJpeg(100, 70, 50), b = OwnJpeg(333, 211, 95);
  Write("b.jpg", b);
  Write("a.jpg", a);
  HostCameraStreamConfig config;
  config.sources = {dir_.string()};
  config.faultEvery[unsigned(HostFault::WrongSize)] = 2;  // cannot apply to a file
  camera_.ConfigureStream(config);
  Start(240);
  std::vector<Assembled> frames = Collect(camera_, 5, config.maxPacketSize);
  std::vector<HostSentFrame> sent = camera_.SentFrames();
  for (size_t i = 0; i < frames.size(); ++i) {
    const std::vector<uint8_t> &file = i % 2 == 0 ? a : b;
    ASSERT_EQ(frames[i].bytes, Padded(sent[i].raw, config.maxPacketSize));
    ASSERT_EQ(sent[i].raw.size(), 80 + file.size());
    EXPECT_TRUE(std::equal(file.begin(), file.end(), frames[i].bytes.begin() + 80)) << "frame " << i + 1;
    EXPECT_EQ(Le32(sent[i].raw, 16), file.size());
    EXPECT_EQ(sent[i].width, i % 2 == 0 ? 100 : 333);
    EXPECT_EQ(sent[i].faults, 0u);
  }
}

TEST_F(SimCameraSources, PictureFilesAreScaledToTheStreamSizeAndEncoded) {
  std::vector<uint8_t> exact = Pattern(320, 240);
  std::vector<uint8_t> odd = Pattern(213, 160);  // 213 x 3 bytes: BMP rows are padded
  std::vector<uint8_t> halves(80 * 60 * 3);
  for (int y = 0; y < 60; ++y) {
    for (int x = 0; x < 80; ++x) {
      uint8_t *p = &halves[(size_t(y) * 80 + x) * 3];
      p[0] = x < 40 ? 200 : 20, p[1] = 40, p[2] = x < 40 ? 30 : 210;
    }
  }
  HostCameraStreamConfig config;
  config.quality = 92;
  config.sampling = 444;
  config.sources = {Write("exact.ppm", Ppm(320, 240, exact)), Write("odd.bmp", Bmp(213, 160, odd)),
                    Write("halves.png", Png(80, 60, halves))};
  camera_.ConfigureStream(config);
  Start(240);
  Collect(camera_, 3, config.maxPacketSize);
  std::vector<HostSentFrame> sent = camera_.SentFrames();
  std::vector<Decoded> d;
  for (int i = 0; i < 3; ++i) {
    d.push_back(Decode(std::vector<uint8_t>(sent[i].raw.begin() + 80, sent[i].raw.end())));
    ASSERT_TRUE(d[i].ok);
    EXPECT_EQ(d[i].width, 320);
    EXPECT_EQ(d[i].height, 240);
  }
  EXPECT_GT(Psnr(d[0].rgb, exact), 32.0);
  // Scaled up by 1.5: the picture of the BMP at its own size, sampled at the matching points.
  double sum = 0;
  int n = 0;
  for (int y = 0; y < 160; y += 4) {
    for (int x = 0; x < 213; x += 4) {
      int sx = std::min(319, int((x + 0.5) * 320 / 213)), sy = std::min(239, int((y + 0.5) * 240 / 160));
      for (int k = 0; k < 3; ++k) {
        double e = double(d[1].rgb[(size_t(sy) * 320 + sx) * 3 + k]) - odd[(size_t(y) * 213 + x) * 3 + k];
        sum += e * e;
        ++n;
      }
    }
  }
  EXPECT_GT(10 * std::log10(255.0 * 255.0 / (sum / n)), 28.0) << "the BMP rows are read the right way up";
  // The PNG's two halves, away from the seam.
  const uint8_t *left = &d[2].rgb[(size_t(120) * 320 + 60) * 3], *right = &d[2].rgb[(size_t(120) * 320 + 260) * 3];
  EXPECT_NEAR(left[0], 200, 6);
  EXPECT_NEAR(left[2], 30, 6);
  EXPECT_NEAR(right[0], 20, 6);
  EXPECT_NEAR(right[2], 210, 6);
}

TEST_F(SimCameraSources, AnUnreadableSourceIsRefusedWithItsName) {
  std::string garbage = Write("notes.txt", {'h', 'e', 'l', 'l', 'o'});
  std::vector<uint8_t> png = Png(16, 16, Pattern(16, 16));
  png.resize(png.size() / 2);
  std::string truncatedPng = Write("cut.png", png);
  std::string truncatedPpm = Write("cut.ppm", std::vector<uint8_t>{'P', '6', ' ', '4', ' ', '4', ' ', '2', '5', '5', ' ', 1, 2});
  for (const std::string &path : {garbage, truncatedPng, truncatedPpm, (dir_ / "missing.png").string()}) {
    HostCameraStreamConfig config;
    config.sources = {path};
    try {
      camera_.ConfigureStream(config);
      ADD_FAILURE() << path << " accepted";
    } catch (const std::runtime_error &e) {
      EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
  }
  // A refused configuration leaves the previous one in place.
  EXPECT_TRUE(camera_.StreamConfig().sources.empty());
}

// ---- Command state ---------------------------------------------------------------------------

TEST_F(SimCameraTest, ParameterMemoryWrittenWithD6ReadsBackWith20) {
  std::vector<uint8_t> block(40);
  for (size_t i = 0; i < block.size(); ++i) block[i] = uint8_t(0x30 + 7 * i);
  EXPECT_EQ(Out(6, 0xD6), STATUS_SUCCESS);
  EXPECT_EQ(In(7, 0), 0x00);
  ASSERT_EQ(Bulk(1, block), STATUS_SUCCESS);
  EXPECT_EQ(Out(6, 0xA0), STATUS_SUCCESS);
  EXPECT_EQ(In(7, 0), 0x00);

  EXPECT_EQ(Out(6, 0x20), STATUS_SUCCESS);
  EXPECT_EQ(In(7, 0), 0x00);
  std::vector<uint8_t> back(48, 0xEE);
  ASSERT_EQ(Bulk(0, back), STATUS_SUCCESS);
  EXPECT_EQ(std::vector<uint8_t>(back.begin(), back.begin() + 40), block);
  EXPECT_EQ(std::vector<uint8_t>(back.begin() + 40, back.end()), std::vector<uint8_t>(8, 0)) << "never written";
  Out(6, 0xA0);
  In(7, 0);
  EXPECT_EQ(Out(0xC0, 0), STATUS_SUCCESS);

  // Another read opens the operation afresh and starts at the beginning again.
  Out(6, 0x20);
  std::vector<uint8_t> again(4);
  Bulk(0, again);
  EXPECT_EQ(again, std::vector<uint8_t>(block.begin(), block.begin() + 4));
  Out(6, 0xA0);

  // Operation 0x90 gives the firmware version, two bytes.
  Out(6, 0x90);
  std::vector<uint8_t> version(2);
  Bulk(0, version);
  EXPECT_EQ(version, (std::vector<uint8_t>{1, 2}));
  Out(6, 0xA0);
}

TEST_F(SimCameraTest, BulkWritesWithNoOperationOpenComeBackInOrder) {
  std::vector<uint8_t> first = {1, 2, 3, 4, 5}, second = {6, 7, 8};
  ASSERT_EQ(Bulk(1, first), STATUS_SUCCESS);
  ASSERT_EQ(Bulk(1, second), STATUS_SUCCESS);
  std::vector<uint8_t> a(4), b(6);
  ASSERT_EQ(Bulk(0, a), STATUS_SUCCESS);
  ASSERT_EQ(Bulk(0, b), STATUS_SUCCESS);
  EXPECT_EQ(a, (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(b, (std::vector<uint8_t>{5, 6, 7, 8, 0, 0}));
  // Arbitrary commands succeed and are recorded.
  EXPECT_EQ(Out(0x1234, 0x5678), STATUS_SUCCESS);
  EXPECT_EQ(camera_.Requests().back().value, 0x1234);
  EXPECT_EQ(camera_.Requests().back().index, 0x5678);
}

TEST_F(SimCameraTest, TheStatusBlockDescribesTheStream) {
  Start(480);
  Collect(camera_, 2, HostCameraStreamConfig().maxPacketSize);
  camera_.SetButton(true);
  ASSERT_EQ(Out(0x10F0, 0), STATUS_SUCCESS);
  std::vector<uint8_t> status(16, 0xEE);
  ASSERT_EQ(Bulk(0, status), STATUS_SUCCESS);
  EXPECT_EQ(status[0] & 0x03, 0x03) << "streaming, button down";
  EXPECT_EQ(status[1], 40);
  EXPECT_EQ(Le32(status, 4), camera_.FramesSent());
  EXPECT_EQ(status[10] | status[11] << 8, 640);
  EXPECT_EQ(status[12] | status[13] << 8, 480);
  // Only the read right after the command returns the block.
  std::vector<uint8_t> next(16, 0xEE);
  Bulk(0, next);
  EXPECT_EQ(next, std::vector<uint8_t>(16, 0));
  Out(0x00A0, 0);
  Out(0x10F0, 0);
  Bulk(0, status);
  EXPECT_EQ(status[0] & 0x01, 0);
  EXPECT_EQ(status[1], 0);
}

TEST_F(SimCameraTest, ProgrammedAnswersStillComeFirst) {
  camera_.AnswerControl(true, 7, 0, {STATUS_SUCCESS, {0x5A}, 1});
  camera_.AnswerBulkRead({STATUS_SUCCESS, {9, 9}, 1});
  Out(6, 0x90);
  EXPECT_EQ(In(7, 0), 0x5A);
  std::vector<uint8_t> v(2);
  Bulk(0, v);
  EXPECT_EQ(v, (std::vector<uint8_t>{9, 9}));
  Bulk(0, v);
  EXPECT_EQ(v, (std::vector<uint8_t>{1, 2})) << "then the camera's own answer";
}

TEST_F(SimCameraTest, SlotsKeepComingWhileCommandsArriveFromAnotherThread) {
  HostCameraStreamConfig config;
  config.maxPacketSize = 1023;
  camera_.ConfigureStream(config);
  std::atomic<bool> done{false};
  std::thread commands([&] {
    for (int i = 0; i < 60; ++i) {
      int h = i % 3 == 0 ? 120 : i % 3 == 1 ? 240 : 480;
      USBCAMD_ControlVendorCommand(&context_, 0x0C, USHORT((h / 12) << 8 | 0x40), 0, NULL, NULL, FALSE, NULL, NULL);
      std::this_thread::sleep_for(std::chrono::microseconds(300));
      if (i % 7 == 0) camera_.SetButton(i % 2 == 0);
    }
    done = true;
  });
  Assembler a(config.maxPacketSize);
  size_t n = 0;
  while (!done || n < 100) {
    HostIsoSlot slot;
    camera_.NextSlot(slot);
    a.Add(slot);
    ++n;
  }
  commands.join();
  // Once the commands have stopped, whole frames follow again.
  for (size_t target = a.complete_.size() + 3; a.complete_.size() < target && n < 1000000; ++n) {
    HostIsoSlot slot;
    camera_.NextSlot(slot);
    a.Add(slot);
  }
  std::vector<HostSentFrame> sent = camera_.SentFrames();
  ASSERT_FALSE(sent.empty());
  // A frame cut off by a new start is simply shorter; the ones that got through decode.
  size_t decoded = 0;
  for (const Assembled &f : a.complete_) {
    if (f.dropped || f.bytes.size() < 80) continue;
    uint64_t seq = Le32(f.bytes, 4);
    for (const HostSentFrame &s : sent) {
      if (s.sequence == seq && f.bytes == Padded(s.raw, config.maxPacketSize)) {
        std::vector<uint8_t> jpeg(s.raw.begin() + 80, s.raw.end());
        EXPECT_TRUE(Decode(jpeg).ok);
        ++decoded;
      }
    }
  }
  EXPECT_GT(decoded, 0u);
}

}  // namespace
