// The driver package's INF (win/Torvane.inf), checked the way Windows reads it: every section it
// refers to exists, every %string% is defined, every file it copies is one the target build makes,
// the service runs that driver, the capture and video interface categories are registered, and
// the hardware id is the simulated camera's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "host_camera.h"

namespace {

std::string Lower(std::string s) {
  for (char &c : s) c = char(tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Trim(const std::string &s) {
  size_t b = s.find_first_not_of(" \t\r"), e = s.find_last_not_of(" \t\r");
  return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

std::vector<std::string> Fields(const std::string &value) {
  std::vector<std::string> out;
  std::stringstream in(value);
  for (std::string f; std::getline(in, f, ',');) out.push_back(Trim(f));
  return out;
}

std::string SourceFile(const std::string &relative) {
  std::string here = __FILE__;
  std::ifstream in(here.substr(0, here.rfind("/tests/")) + "/" + relative);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// An INF file: sections (names compared without case) of lines, each a key = value entry or a bare
// value; comments cut, %strings% replaced.
struct Inf {
  struct Line {
    std::string key, value;
  };
  std::map<std::string, std::vector<Line>> sections;
  std::set<std::string> undefinedStrings;

  explicit Inf(const std::string &text) {
    std::stringstream in(text);
    std::string section;
    for (std::string raw; std::getline(in, raw);) {
      std::string line;
      bool quoted = false;
      for (char c : raw) {
        if (c == '"') quoted = !quoted;
        if (c == ';' && !quoted) break;
        line += c;
      }
      line = Trim(line);
      if (line.empty()) continue;
      if (line.front() == '[' && line.back() == ']') {
        section = Lower(line.substr(1, line.size() - 2));
        sections[section];
        continue;
      }
      size_t eq = line.find('=');
      if (eq == std::string::npos) {
        sections[section].push_back({"", line});
      } else {
        sections[section].push_back({Lower(Trim(line.substr(0, eq))), Trim(line.substr(eq + 1))});
      }
    }
    std::map<std::string, std::string> strings;
    for (const Line &l : sections["strings"]) strings[l.key] = l.value.substr(1, l.value.size() - 2);
    strings["12"] = "%12%";  // the drivers directory
    std::regex token("%([^%]+)%");
    for (auto &[name, lines] : sections) {
      if (name == "strings") continue;
      for (Line &l : lines) {
        for (std::string *part : {&l.key, &l.value}) {
          std::string replaced;
          std::sregex_iterator it(part->begin(), part->end(), token), end;
          size_t last = 0;
          for (; it != end; ++it) {
            auto found = strings.find(Lower((*it)[1]));
            if (found == strings.end()) undefinedStrings.insert((*it)[1]);
            replaced += part->substr(last, it->position() - last) + (found != strings.end() ? found->second : "");
            last = it->position() + it->length();
          }
          *part = replaced + part->substr(last);
        }
      }
    }
  }
  bool Has(const std::string &section) const { return sections.count(Lower(section)) != 0; }
  std::vector<std::string> Values(const std::string &section, const std::string &key) const {
    std::vector<std::string> out;
    auto s = sections.find(Lower(section));
    if (s == sections.end()) return out;
    for (const Line &l : s->second) {
      if (l.key == key) out.push_back(l.value);
    }
    return out;
  }
};

TEST(DriverPackage, TheInfInstallsTheBuildsDriverAsAStreamClassCaptureDevice) {
  Inf inf(SourceFile("win/Torvane.inf"));
  EXPECT_TRUE(inf.undefinedStrings.empty()) << *inf.undefinedStrings.begin();
  for (const char *s : {"Version", "SourceDisksNames", "SourceDisksFiles", "DestinationDirs", "Manufacturer", "Strings"}) {
    EXPECT_TRUE(inf.Has(s)) << s;
  }
  EXPECT_EQ(inf.Values("Version", "signature"), std::vector<std::string>{"\"$WINDOWS NT$\""});
  EXPECT_EQ(inf.Values("Version", "class"), std::vector<std::string>{"Image"});
  EXPECT_EQ(inf.Values("Version", "classguid"), std::vector<std::string>{"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}"});

  // The file the target build links, by the name its build rules give it.
  std::smatch m;
  std::string rules = SourceFile("win/target.cmake");
  ASSERT_TRUE(std::regex_search(rules, m, std::regex(R"(OUTPUT_NAME (\w+) SUFFIX \"([.\w]+)\")")));
  std::string driver = std::string(m[1]) + std::string(m[2]);

  char hardwareId[32];
  snprintf(hardwareId, sizeof(hardwareId), "USB\\VID_%04X&PID_%04X", kHostCameraVendorId, kHostCameraProductId);
  std::set<std::string> diskIds;
  for (const auto &l : inf.sections.at("sourcedisksnames")) diskIds.insert(l.key);

  unsigned installs = 0;
  for (const auto &manufacturer : inf.sections.at("manufacturer")) {
    std::vector<std::string> models = Fields(manufacturer.value);
    ASSERT_TRUE(inf.Has(models[0])) << models[0];
    for (const auto &model : inf.sections.at(Lower(models[0]))) {
      std::vector<std::string> f = Fields(model.value);
      ASSERT_GE(f.size(), 2u) << model.value;
      EXPECT_EQ(f[1], hardwareId) << "the simulated camera's hardware id";
      const std::string install = f[0];
      ASSERT_TRUE(inf.Has(install)) << install;
      ++installs;
      // Every section the install section and its .Services and .Interfaces refer to exists.
      for (const char *key : {"copyfiles", "addreg", "delreg"}) {
        for (const std::string &v : inf.Values(install, key)) {
          for (const std::string &s : Fields(v)) EXPECT_TRUE(inf.Has(s)) << key << " " << s;
        }
      }
      std::vector<std::string> include = inf.Values(install, "include");
      ASSERT_EQ(include.size(), 1u);
      for (const char *needed : {"ks.inf", "kscaptur.inf", "kelvane.inf"}) {
        std::vector<std::string> f2 = Fields(Lower(include[0]));
        EXPECT_NE(std::find(f2.begin(), f2.end(), needed), f2.end()) << needed;
      }
      // The files copied: each on a listed disk, and each made by the build.
      for (const std::string &v : inf.Values(install, "copyfiles")) {
        for (const std::string &s : Fields(v)) {
          EXPECT_FALSE(inf.Values("DestinationDirs", Lower(s)).empty() && inf.Values("DestinationDirs", "defaultdestdir").empty());
          for (const auto &file : inf.sections.at(Lower(s))) {
            EXPECT_EQ(file.value, driver) << "copies a file the build does not make";
            std::vector<std::string> disk = inf.Values("SourceDisksFiles", Lower(file.value));
            ASSERT_EQ(disk.size(), 1u) << file.value;
            EXPECT_EQ(diskIds.count(Fields(disk[0])[0]), 1u) << file.value;
          }
        }
      }
      std::vector<std::string> services = inf.Values(install + ".Services", "addservice");
      ASSERT_EQ(services.size(), 1u);
      std::vector<std::string> service = Fields(services[0]);
      ASSERT_EQ(service.size(), 3u);
      EXPECT_EQ(service[1], "0x00000002") << "the device's function driver";
      ASSERT_TRUE(inf.Has(service[2]));
      EXPECT_EQ(inf.Values(service[2], "servicebinary"), std::vector<std::string>{"%12%\\" + driver});
      EXPECT_EQ(inf.Values(service[2], "servicetype"), std::vector<std::string>{"1"});

      std::set<std::string> categories;
      for (const std::string &v : inf.Values(install + ".Interfaces", "addinterface")) {
        std::vector<std::string> f3 = Fields(v);
        ASSERT_EQ(f3.size(), 3u) << v;
        categories.insert(f3[0]);
        ASSERT_TRUE(inf.Has(f3[2])) << f3[2];
        for (const std::string &r : inf.Values(f3[2], "addreg")) EXPECT_TRUE(inf.Has(r)) << r;
      }
      EXPECT_EQ(categories, (std::set<std::string>{"{65E8773D-8F56-11D0-A3B9-00A0C9223196}",
                                                   "{6994AD05-93EF-11D0-A3CC-00A0C9223196}"}));
    }
  }
  EXPECT_EQ(installs, 1u);
  // DestinationDirs names only sections that exist.
  for (const auto &l : inf.sections.at("destinationdirs")) {
    if (l.key != "defaultdestdir") EXPECT_TRUE(inf.Has(l.key)) << l.key;
  }
}

}  // namespace
