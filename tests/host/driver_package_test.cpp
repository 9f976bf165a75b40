// The driver package's INF (win/Torvane.inf), checked the way Windows reads it: every section it
// refers to exists, every %string% is defined, every file it copies is one the target build makes,
// the service runs that driver, the capture and video interface categories are registered, and
// the hardware id is the simulated camera's.
#include <gtest/gtest.h>

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

// An INF: sections (lower-case names) of key = value lines (a bare value has an empty key), with
// comments cut and %strings% replaced; the strings used and not defined are collected.
struct Inf {
  std::map<std::string, std::vector<std::pair<std::string, std::string>>> sections;
  std::set<std::string> undefined;

  explicit Inf(const std::string &text) {
    std::stringstream in(text);
    std::string section;
    for (std::string raw; std::getline(in, raw);) {
      bool quoted = false;
      size_t cut = 0;
      while (cut < raw.size() && (raw[cut] != ';' || quoted)) quoted ^= raw[cut++] == '"';
      std::string line = Trim(raw.substr(0, cut));
      size_t eq = line.find('=');
      if (line.size() > 1 && line.front() == '[' && line.back() == ']') {
        sections[section = Lower(line.substr(1, line.size() - 2))];
      } else if (!line.empty()) {
        sections[section].emplace_back(eq == std::string::npos ? "" : Lower(Trim(line.substr(0, eq))),
                                       Trim(eq == std::string::npos ? line : line.substr(eq + 1)));
      }
    }
    std::map<std::string, std::string> strings = {{"12", "%12%"}};  // the drivers directory
    for (const auto &[key, value] : sections["strings"]) strings[key] = value.substr(1, value.size() - 2);
    std::regex token("%([^%]+)%");
    for (auto &[name, lines] : sections) {
      for (auto &line : lines) {
        std::string &v = line.second, out;
        size_t last = 0;
        for (auto it = std::sregex_iterator(v.begin(), v.end(), token); it != std::sregex_iterator(); ++it) {
          auto found = strings.find(Lower((*it)[1]));
          if (found == strings.end()) undefined.insert((*it)[1]);
          out += v.substr(last, it->position() - last) + (found != strings.end() ? found->second : "");
          last = it->position() + it->length();
        }
        v = out + v.substr(last);
      }
    }
  }
  bool Has(const std::string &section) const { return sections.count(Lower(section)) != 0; }
  std::vector<std::string> Values(const std::string &section, const std::string &key) const {
    std::vector<std::string> out;
    auto s = sections.find(Lower(section));
    for (size_t i = 0; s != sections.end() && i < s->second.size(); ++i) {
      if (s->second[i].first == key) out.push_back(s->second[i].second);
    }
    return out;
  }
};

using V = std::vector<std::string>;

TEST(DriverPackage, TheInfInstallsTheBuildsDriverAsAStreamClassCaptureDevice) {
  Inf inf(SourceFile("win/Torvane.inf"));
  EXPECT_TRUE(inf.undefined.empty()) << *inf.undefined.begin();
  EXPECT_EQ(inf.Values("Version", "signature"), V{"\"$WINDOWS NT$\""});
  EXPECT_EQ(inf.Values("Version", "class"), V{"Image"});
  EXPECT_EQ(inf.Values("Version", "classguid"), V{"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}"});
  // The file the target build links, by the name its build rules give it.
  std::smatch m;
  std::string rules = SourceFile("win/target.cmake");
  ASSERT_TRUE(std::regex_search(rules, m, std::regex(R"(OUTPUT_NAME (\w+) SUFFIX \"([.\w]+)\")")));
  const std::string driver = std::string(m[1]) + std::string(m[2]);
  char hardwareId[32];
  snprintf(hardwareId, sizeof(hardwareId), "USB\\VID_%04X&PID_%04X", kHostCameraVendorId, kHostCameraProductId);

  unsigned installs = 0;
  for (const auto &manufacturer : inf.sections["manufacturer"]) {
    const std::string models = Fields(manufacturer.second)[0];
    ASSERT_TRUE(inf.Has(models)) << models;
    for (const auto &model : inf.sections[Lower(models)]) {
      V f = Fields(model.second);
      ASSERT_EQ(f.size(), 2u) << model.second;
      EXPECT_EQ(f[1], hardwareId) << "the simulated camera's hardware id";
      const std::string install = f[0];
      ASSERT_TRUE(inf.Has(install)) << install;
      ++installs;
      for (const char *key : {"copyfiles", "addreg", "delreg"}) {
        for (const std::string &v : inf.Values(install, key)) {
          for (const std::string &s : Fields(v)) EXPECT_TRUE(inf.Has(s)) << key << " " << s;
        }
      }
      V include = inf.Values(install, "include");
      ASSERT_EQ(include.size(), 1u);
      std::set<std::string> included;
      for (const std::string &i : Fields(Lower(include[0]))) included.insert(i);
      for (const char *needed : {"ks.inf", "kscaptur.inf", "kelvane.inf"}) EXPECT_EQ(included.count(needed), 1u) << needed;
      // The files copied: each made by the build, with a destination, from a listed disk.
      for (const std::string &v : inf.Values(install, "copyfiles")) {
        for (const std::string &s : Fields(v)) {
          EXPECT_FALSE(inf.Values("DestinationDirs", Lower(s)).empty() &&
                       inf.Values("DestinationDirs", "defaultdestdir").empty());
          for (const auto &file : inf.sections[Lower(s)]) {
            EXPECT_EQ(file.second, driver) << "copies a file the build does not make";
            V disk = inf.Values("SourceDisksFiles", Lower(file.second));
            ASSERT_EQ(disk.size(), 1u) << file.second;
            EXPECT_FALSE(inf.Values("SourceDisksNames", Fields(disk[0])[0]).empty()) << file.second;
          }
        }
      }
      V services = inf.Values(install + ".Services", "addservice");
      ASSERT_EQ(services.size(), 1u);
      V service = Fields(services[0]);
      ASSERT_EQ(service.size(), 3u);
      EXPECT_EQ(service[1], "0x00000002") << "the device's function driver";
      EXPECT_EQ(inf.Values(service[2], "servicebinary"), V{"%12%\\" + driver});
      EXPECT_EQ(inf.Values(service[2], "servicetype"), V{"1"});
      std::set<std::string> categories;
      for (const std::string &v : inf.Values(install + ".Interfaces", "addinterface")) {
        V f3 = Fields(v);
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
  for (const auto &l : inf.sections["destinationdirs"]) {
    EXPECT_TRUE(l.first == "defaultdestdir" || inf.Has(l.first)) << "DestinationDirs names " << l.first;
  }
}

}  // namespace
