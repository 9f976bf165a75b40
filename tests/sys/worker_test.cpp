// The frame hand-off and the decode worker, against the library's own decode of the same frames.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "host_kernel.h"
#include "imageproc.h"
#include "lumarex.h"
#include "support/camera_frames.h"
#include "support/expected_image.h"
#include "support/watchdog.h"

// The vector routines of the library and the driver, watched: sys_tests is linked with
// --wrap for each (tests/CMakeLists.txt), so every call, from whichever thread, comes through
// here first and is recorded with whether that thread holds a saved floating-point state. On a
// 32-bit kernel a vector routine without one corrupts another thread's registers; on the host
// nothing would show it, so the record is what the tests check.
namespace {
struct VectorUse {
  std::string routine;
  bool saved;
};
std::mutex g_vectorUseLock;
std::vector<VectorUse> g_vectorUses;
void RecordVectorUse(const char *routine) {
  std::lock_guard<std::mutex> hold(g_vectorUseLock);
  g_vectorUses.push_back({routine, HostFpu_SavedDepth() > 0});
}
std::vector<VectorUse> TakeVectorUses() {
  std::lock_guard<std::mutex> hold(g_vectorUseLock);
  return std::move(g_vectorUses);
}
}  // namespace

extern "C" {
void __real__Z16idct_blocks_sse2PsPhPiiPKPKsi(int16_t *, uint8_t *, int32_t *, int32_t, const int16_t *const *,
                                              int32_t);
void __wrap__Z16idct_blocks_sse2PsPhPiiPKPKsi(int16_t *c, uint8_t *s, int32_t *e, int32_t n,
                                              const int16_t *const *q, int32_t m) {
  RecordVectorUse("idct_blocks_sse2");
  __real__Z16idct_blocks_sse2PsPhPiiPKPKsi(c, s, e, n, q, m);
}
void __real__Z25colour_bgr_half_line_sse2PhPKhiiiiii(uint8_t *, const uint8_t *, int32_t, int32_t, int32_t, int32_t,
                                                     int32_t, int32_t);
void __wrap__Z25colour_bgr_half_line_sse2PhPKhiiiiii(uint8_t *o, const uint8_t *m, int32_t b, int32_t n, int32_t yl,
                                                     int32_t yr, int32_t cb, int32_t cr) {
  RecordVectorUse("colour_bgr_half_line_sse2");
  __real__Z25colour_bgr_half_line_sse2PhPKhiiiiii(o, m, b, n, yl, yr, cb, cr);
}
void __real__Z22colour_bgr_full16_sse2PhPKhS1_S1_S1_S1_S1_(uint8_t *, const uint8_t *, const uint8_t *,
                                                           const uint8_t *, const uint8_t *, const uint8_t *,
                                                           const uint8_t *);
void __wrap__Z22colour_bgr_full16_sse2PhPKhS1_S1_S1_S1_S1_(uint8_t *o, const uint8_t *a, const uint8_t *b,
                                                           const uint8_t *c, const uint8_t *d, const uint8_t *e,
                                                           const uint8_t *f) {
  RecordVectorUse("colour_bgr_full16_sse2");
  __real__Z22colour_bgr_full16_sse2PhPKhS1_S1_S1_S1_S1_(o, a, b, c, d, e, f);
}
// The driver's own vector entry points: adjustments and converters of each form.
#define WRAP_ADJUST(sym, name)                                                                     \
  BOOLEAN __real_##sym(PUCHAR *, LONG, LONG, const LUMAREX_FRAME_SETTINGS *, PUCHAR);              \
  BOOLEAN __wrap_##sym(PUCHAR *rows, LONG w, LONG h, const LUMAREX_FRAME_SETTINGS *s, PUCHAR l) { \
    RecordVectorUse(name);                                                                         \
    return __real_##sym(rows, w, h, s, l);                                                         \
  }
#define WRAP_CONVERTER(sym, name)                                       \
  VOID __real_##sym(PUCHAR *, PUCHAR, LONG, LONG);                      \
  VOID __wrap_##sym(PUCHAR *rows, PUCHAR out, LONG w, LONG h) {         \
    RecordVectorUse(name);                                              \
    __real_##sym(rows, out, w, h);                                      \
  }
WRAP_ADJUST(_Z22LUMAREX_AdjustImageMMXPPhiiPK23_LUMAREX_FRAME_SETTINGSS_, "LUMAREX_AdjustImageMMX")
WRAP_ADJUST(_Z23LUMAREX_AdjustImageSSE2PPhiiPK23_LUMAREX_FRAME_SETTINGSS_, "LUMAREX_AdjustImageSSE2")
WRAP_CONVERTER(_Z22LUMAREX_RGB24ToYUY2MMXPPhS_ii, "LUMAREX_RGB24ToYUY2MMX")
WRAP_CONVERTER(_Z22LUMAREX_RGB24ToI420MMXPPhS_ii, "LUMAREX_RGB24ToI420MMX")
WRAP_CONVERTER(_Z23LUMAREX_RGB24ToYUY2SSE2PPhS_ii, "LUMAREX_RGB24ToYUY2SSE2")
WRAP_CONVERTER(_Z23LUMAREX_RGB24ToI420SSE2PPhS_ii, "LUMAREX_RGB24ToI420SSE2")
}

namespace {

constexpr LONG kWidth = 160, kHeight = 120;
constexpr ULONG kRgbLength = kWidth * kHeight * 3;

class WorkerTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    HostPool_Reset(), HostDbg_Clear();
    InitDevice(dc_);
  }
  // The device as configuration and CamInitialize leave it.
  static void InitDevice(DeviceContext &dc) {
    memset(&dc, 0, sizeof(dc));
    dc.g_nIPContextSize = ZRImageProcess_GetContextSize();
    dc.g_pIPContext = ExAllocatePoolWithTag(NonPagedPool, dc.g_nIPContextSize, LUMAREX_POOL_TAG);
    ZRImageProcess_Initialize(&dc, dc.g_pIPContext);
    dc.g_nVectorForms = LUMAREX_ProcessorForms();  // as CamInitialize decides
    dc.g_nBrightness = dc.g_nContrast = dc.g_nSaturation = dc.g_nWhiteBalance = 50, dc.g_nSharpness = 20;
    dc.g_bSkipBufferWait = 1;  // configuration: the hand-shake starts with nothing to wait for
    dc.g_WorkerWaitObjects[0] = &dc.g_StopWorkerEvent, dc.g_WorkerWaitObjects[1] = &dc.g_FrameReadyEvent;
    dc.g_WorkerWaitObjects[2] = &dc.g_RestartEvent;
  }
  void Start(UCHAR format) { StartDevice(dc_, format); }
  static void StartDevice(DeviceContext &dc, UCHAR format) {
    dc.g_nOutputFormat = format;
    dc.g_nFrameWidth = dc.g_nDecodeWidth = kWidth, dc.g_nFrameHeight = dc.g_nDecodeHeight = kHeight;
    dc.g_nRawLength = (kWidth + 20480) * 30;
    dc.g_nBmpBufSize = dc.g_nIPBufSize = (kWidth + 30816) * 30;
    ASSERT_EQ(LUMAREX_AllocateMemory(&dc, FALSE, TRUE, TRUE, TRUE), STATUS_SUCCESS);
    for (PKEVENT e : {&dc.g_BufferFreeEvent, &dc.g_FrameReadyEvent, &dc.g_StopWorkerEvent, &dc.g_WorkerExitedEvent,
                      &dc.g_RestartEvent})
      KeInitializeEvent(e, NotificationEvent, FALSE);
    ASSERT_EQ(StartWorkerThread(&dc), STATUS_SUCCESS);
    dc.g_bWorkerStarted = 1;
  }
  void TearDown() override {
    for (DeviceContext *dc : extra_) CamUnInitialize(nullptr, dc);
    CamUnInitialize(nullptr, &dc_);  // ends the worker, which frees the frame buffers
    HostPool_ClearFaults();
    EXPECT_EQ(HostPool_LiveBlockCount(), 0u) << HostPool_Report();
  }
  std::vector<UCHAR> Deliver(const std::vector<uint8_t> &raw, ULONG frameLength = kRgbLength, ULONG *bytes = nullptr) {
    return DeliverTo(dc_, raw, frameLength, bytes);
  }
  std::vector<UCHAR> DeliverTo(DeviceContext &dc, const std::vector<uint8_t> &raw, ULONG frameLength = kRgbLength,
                               ULONG *bytes = nullptr) {
    std::vector<UCHAR> out(frameLength + 16, 0x5A);  // 16 guard bytes past FrameLength
    ULONG count = ULONG(raw.size());
    // Until the worker has finished a frame the callback does not wait for it: the test waits as time would.
    bool paced = InterlockedCompareExchange((LONG volatile *)&dc.g_bSkipBufferWait, 0, 0) != 0;
    EXPECT_EQ(CamProcessRawVideoFrameEx(nullptr, &dc, nullptr, out.data(), frameLength,
                                        const_cast<uint8_t *>(raw.data()), count, 10, &count, count, 0),
              STATUS_SUCCESS);
    if (paced && InterlockedCompareExchange(&dc.g_bFrameInFlight, 0, 0) != 0)
      KeWaitForSingleObject(&dc.g_BufferFreeEvent, Executive, KernelMode, FALSE, NULL);
    EXPECT_EQ(std::vector<UCHAR>(out.end() - 16, out.end()), std::vector<UCHAR>(16, 0x5A)) << "past FrameLength";
    out.resize(frameLength);
    if (bytes) *bytes = count;
    return out;
  }
  static std::vector<uint8_t> Raw(uint32_t seed, LONG w = kWidth, LONG h = kHeight) { return TestRawFrame(w, h, seed); }
  std::vector<UCHAR> Expected(const std::vector<uint8_t> &raw, LUMAREX_FRAME_SETTINGS s, UCHAR format, ULONG length) {
    std::vector<UCHAR> image = ExpectedImage(raw, kWidth, kHeight, s, format);
    image.resize(length);
    return image;
  }
  TestWatchdog watchdog_{std::chrono::seconds(30), "the worker finishing its frames"};
  DeviceContext dc_;
  std::vector<DeviceContext *> extra_;  // further devices, uninitialised at the end
};

// Seven blank frames in the format's own black, then the processed image of the frame before.
TEST_P(WorkerTest, SevenBlankFramesThenTheProcessedPreviousFrame) {
  const UCHAR format = UCHAR(GetParam());
  const ULONG image = format == LUMAREX_FORMAT_RGB24   ? kRgbLength
                      : format == LUMAREX_FORMAT_YUY2 ? kWidth * kHeight * 2
                                                       : kWidth * kHeight * 3 / 2;
  Start(format);
  std::vector<UCHAR> blank(image, 0);
  for (ULONG i = 0; i < image; ++i)
    if (format == LUMAREX_FORMAT_YUY2 ? i % 2 == 1 : format == LUMAREX_FORMAT_I420 && i >= ULONG(kWidth * kHeight))
      blank[i] = 0x80;
  blank.push_back(0x5A);
  for (uint32_t i = 1; i <= 7; ++i) {
    ULONG bytes = 0;
    EXPECT_EQ(Deliver(Raw(i), image + 1, &bytes), blank) << "raw frame " << i;
    EXPECT_EQ(bytes, image);
  }
  const LUMAREX_FRAME_SETTINGS defaults = {50, 50, 20, 50, 50};
  EXPECT_EQ(Deliver(Raw(8), image), Expected(Raw(7), defaults, format, image));
  dc_.g_nBrightness = 70;  // taken with the next frame, applied to it
  EXPECT_EQ(Deliver(Raw(9), image), Expected(Raw(8), defaults, format, image));
  EXPECT_EQ(Deliver(Raw(10), image), Expected(Raw(9), {70, 50, 20, 50, 50}, format, image));
  LUMAREX_WaitForWorkerIdle(&dc_);
  EXPECT_EQ(dc_.g_nBadFrames, 5u);
  EXPECT_EQ(dc_.g_nGoodFrames, 5u);
  EXPECT_EQ(HostDbg_Count("<vantor><####>jpg_decode() BAD= "), 5u);
  EXPECT_EQ(HostDbg_Count("jpg_decode() BAD= "), 5u) << "one line per bad frame";
}

INSTANTIATE_TEST_SUITE_P(Formats, WorkerTest,
                         ::testing::Values(LUMAREX_FORMAT_RGB24, LUMAREX_FORMAT_YUY2, LUMAREX_FORMAT_I420));

using WorkerFrameTest = WorkerTest;

// A frame that does not decode, or does not fit, shows the previous image again.
TEST_F(WorkerFrameTest, FramesThatCannotBeShownRepeatThePreviousImage) {
  Start(LUMAREX_FORMAT_RGB24);
  for (uint32_t i = 1; i <= 9; ++i) Deliver(Raw(i));
  LUMAREX_WaitForWorkerIdle(&dc_);
  const std::vector<UCHAR> shown(dc_.g_pBmpBuf, dc_.g_pBmpBuf + kRgbLength);  // the image of frame 9
  const ULONG bad = dc_.g_nBadFrames;
  std::vector<uint8_t> twelveBit = Raw(99), huge = Raw(11);
  for (size_t i = 80; i + 4 < twelveBit.size(); ++i)
    if (twelveBit[i] == 0xFF && twelveBit[i + 1] == 0xC0) {
      twelveBit[i + 4] = 12;  // refused in the frame header, before any row is written
      break;
    }
  huge.resize(80 + dc_.g_nRawBufSize + 1, 0);
  const std::vector<uint8_t> frames[] = {
      twelveBit,                         // does not decode
      std::vector<uint8_t>(79, 0xD8),    // shorter than the header: never reaches the worker
      huge,                              // longer than the raw buffer: never reaches the worker
      Raw(12, kWidth * 2, kHeight * 2),  // larger than the stream: refused before it touches the image
      Raw(14, kWidth, kHeight - 16),     // the stream's width but fewer rows: decodes, but is no picture
      Raw(13)};
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(Deliver(frames[i]), shown) << "frame " << i;
  LUMAREX_WaitForWorkerIdle(&dc_);
  EXPECT_EQ(dc_.g_nBadFrames, bad + 5);
  EXPECT_GE(HostDbg_Count("jpg_decode() BAD= 1("), 1u);
}

// Two cameras, each with its own worker. A frame whose floating-point save fails runs no vector
// routine, and nothing else changes: the other camera's frames and the same camera's next frame
// with its state saved run the vector forms again, always with a saved state, and every image is
// the library's own decode either way.
TEST_F(WorkerFrameTest, AFailedFloatingPointSaveKeepsOnlyThatFrameOffTheVectorForms) {
  if (LUMAREX_ProcessorForms() == LUMAREX_FORMS_SCALAR) GTEST_SKIP() << "the processor reports no MMX";
  static DeviceContext other;  // large; the fixture's own device is dc_
  InitDevice(other);
  extra_.push_back(&other);
  Start(LUMAREX_FORMAT_RGB24);
  StartDevice(other, LUMAREX_FORMAT_RGB24);
  DeviceContext *const cams[2] = {&dc_, &other};
  std::vector<uint8_t> last[2];
  // Warm-up, one frame at a time, each device's worker idle before the next frame goes anywhere,
  // so the save made next is that of the worker the test means.
  for (uint32_t i = 1; i <= 7; ++i)
    for (int c = 0; c < 2; ++c) {
      last[c] = Raw(70 + 20 * c + i);
      DeliverTo(*cams[c], last[c]);
      LUMAREX_WaitForWorkerIdle(cams[c]);
    }
  TakeVectorUses();
  const struct { int camera; bool failSave; } steps[] = {{0, true}, {1, false}, {0, false}, {1, true}, {0, true},
                                                         {0, false}, {1, false}};
  for (size_t k = 0; k < sizeof(steps) / sizeof(steps[0]); ++k) {
    const int c = steps[k].camera;
    SCOPED_TRACE(testing::Message() << "step " << k << ", camera " << c << (steps[k].failSave ? ", save fails" : ""));
    const std::vector<uint8_t> raw = Raw(200 + uint32_t(k));
    // The reference decode runs on this thread, with the vector forms and no saved state: it is
    // done, and its record dropped, before the frame goes to the worker.
    const std::vector<UCHAR> shown = Expected(last[c], {50, 50, 20, 50, 50}, LUMAREX_FORMAT_RGB24, kRgbLength);
    TakeVectorUses();
    if (steps[k].failSave) HostFpu_FailNextSave();
    EXPECT_EQ(DeliverTo(*cams[c], raw), shown);
    last[c] = raw;
    LUMAREX_WaitForWorkerIdle(cams[c]);
    const std::vector<VectorUse> uses = TakeVectorUses();
    for (const VectorUse &u : uses) EXPECT_TRUE(u.saved) << u.routine << " ran without a saved floating-point state";
    if (steps[k].failSave) {
      EXPECT_TRUE(uses.empty()) << uses.size() << " vector routine calls, the first " << uses[0].routine;
    } else {
      EXPECT_FALSE(uses.empty()) << "a saved frame ran the scalar forms";
    }
  }
  // The image of the last frame of each camera, decoded with the vector forms.
  for (int c = 0; c < 2; ++c)
    EXPECT_EQ(DeliverTo(*cams[c], Raw(300)), Expected(last[c], {50, 50, 20, 50, 50}, LUMAREX_FORMAT_RGB24, kRgbLength));
}

}  // namespace
