// The host modules' export tables against the imports the target build allows the driver.
#include <gtest/gtest.h>
#include <strings.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "host_image.h"

namespace {

TEST(ImageExports, EveryImportTheTargetBuildAllowsHasAHostRoutine) {
  std::string source = __FILE__;
  std::ifstream in(source.substr(0, source.rfind("/tests/")) + "/win/check_imports.cmake");
  ASSERT_TRUE(in);
  std::stringstream text;
  text << in.rdbuf();
  std::string s = text.str();
  std::regex import(R"(([A-Za-z]+\.(exe|sys|dll))!([A-Za-z_0-9]+))");
  // Allowed on the target, and not offered by the host: its class library has a single alternate
  // setting to offer, so an image importing this is refused at load, naming it.
  const std::string notProvided = "Kelvane.sys!USBCAMD_SelectAlternateInterface";
  unsigned checked = 0;
  for (std::sregex_iterator it(s.begin(), s.end(), import), end; it != end; ++it, ++checked) {
    std::string module = (*it)[1], routine = (*it)[3];
    bool found = false;
    for (const HostModuleExports *m : HostImage_Modules()) {
      if (strcasecmp(m->module, module.c_str()) != 0) continue;
      for (size_t i = 0; i < m->count; ++i) found |= routine == m->entries[i].name && m->entries[i].address != nullptr;
    }
    EXPECT_EQ(found, module + "!" + routine != notProvided) << module << "!" << routine;
  }
  EXPECT_GT(checked, 20u);
}

}  // namespace
