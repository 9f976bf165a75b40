// The image-process context: its size, the initialisation log lines.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "host_kernel.h"
#include "jpg_test_support.h"

namespace {

TEST(IpContext, SizeAndLogLines) {
#if defined(__i386__)
  EXPECT_EQ(325648u, ZRImageProcess_GetContextSize());
#endif
  EXPECT_EQ(sizeof(ImageProc_Context) + 4, ZRImageProcess_GetContextSize());
  std::vector<uint8_t> mem(ZRImageProcess_GetContextSize(), 0xA5);
  HostDbg_Clear();
  ZRImageProcess_Initialize(nullptr, mem.data());
  std::vector<std::string> lines = HostDbg_Lines();
  // The build line, the context size (as on the 32-bit target), 26 decoder field sizes, two closing lines.
  ASSERT_EQ(30u, lines.size());
  // The library's build date and time, which need not be this test's (a build can cross midnight).
  EXPECT_TRUE(std::regex_match(lines[0], std::regex("<ZR417IP>Builded in [A-Z][a-z]{2} [ 123][0-9] [0-9]{4} "
                                                    "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\n?")))
      << lines[0];
  EXPECT_EQ((std::vector<std::string>{"Context of ImageProc             size = 325644", "JPG Sizeof(Psample_buf) = 77384",
                                      "JPG Sizeof(init_frame_q) = 154760",
                                      "JPG Sizeof(quant) = " + std::to_string(2 * sizeof(void *)),
                                      "Init_ZR417_ImageProc_Context() OUT", "ZRImageProcess_Initialize() OUT"}),
            (std::vector<std::string>{lines[1], lines[2], lines[10], lines[25], lines[28], lines[29]}));
  EXPECT_EQ(0, ip_context_decoder(mem.data())->quality);
}

}  // namespace
