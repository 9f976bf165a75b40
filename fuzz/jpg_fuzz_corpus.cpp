// See jpg_fuzz_corpus.h.
#include "jpg_fuzz_corpus.h"

#include "imageproc/jpg_entropy_writer.h"
#include "imageproc/jpg_ref_libjpeg.h"
#include "imageproc/jpg_scene.h"
#include "imageproc/jpg_stream_builder.h"

std::vector<std::vector<uint8_t>> FuzzSeedFrames() {
  std::vector<std::vector<uint8_t>> seeds;
  for (int h = 1; h <= 2; ++h) {
    for (int v = 1; v <= 2; ++v) {
      seeds.push_back(TestCameraLikeFrame(24, 40, h, v));
      // A hand-written scan with runs, ZRL and a restart marker.
      TestEntropyWriter w;
      for (int m = 0; m < 4; ++m) {
        if (m == 2) w.Restart(0);
        for (int b = 0; b < h * v; ++b) {
          w.Dc(kDcLuma, 37 * (m + 1) - 60);
          w.Ac(kAcLuma, 0, -9);
          w.Zrl(kAcLuma);
          w.Ac(kAcLuma, 3, 200);
          w.Eob(kAcLuma);
        }
        w.Dc(kDcChroma, -5);
        w.Ac(kAcChroma, 1, 3);
        w.Eob(kAcChroma);
        w.Dc(kDcChroma, 4);
        w.Eob(kAcChroma);
      }
      seeds.push_back(TestFrameWithEntropy(16 * h, 16 * v, h, v, 2, w.Finish()));
    }
  }
  if (RefJpeg_Available()) {
    struct Case { int w, h, hs, vs, q, rst; };
    const Case cases[] = {{48, 32, 2, 1, 75, 0}, {40, 24, 2, 2, 90, 2}, {33, 17, 1, 1, 50, 1},
                          {24, 40, 1, 2, 75, 3}, {64, 48, 2, 1, 95, 4}, {17, 9, 2, 2, 30, 0}};
    uint32_t seed = 1;
    for (const Case &c : cases) {
      RefJpegEncodeOptions o;
      o.width = c.w;
      o.height = c.h;
      o.h_samp = c.hs;
      o.v_samp = c.vs;
      o.quality = c.q;
      o.restart_interval = c.rst;
      std::vector<uint8_t> f = RefJpeg_Encode(o, TestScene(c.w, c.h, seed++));
      if (!f.empty()) seeds.push_back(f);
    }
  }
  return seeds;
}
