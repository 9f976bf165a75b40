// The loader on the shipped image (TORVANE_DRIVER_IMAGE): relocated, imports bound, unloaded, and
// images made wrong from it, one way per check, refused with a message saying what is wrong.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>

#include "host_image.h"
#include "host_kernel.h"
#include "host_stream.h"
#include "host_usbcamd.h"

namespace {

std::vector<uint8_t> ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string ImagePath() { return getenv("TORVANE_DRIVER_IMAGE"); }

// Field positions in the file, found from its own headers.
struct Pe {
  explicit Pe(std::vector<uint8_t> &f) : f(f) {
    pe = Get32(0x3C);
    optional = pe + 24;
    sections = optional + Get16(pe + 20);
  }
  uint32_t Get32(size_t at) const { uint32_t v; memcpy(&v, &f[at], 4); return v; }
  uint16_t Get16(size_t at) const { uint16_t v; memcpy(&v, &f[at], 2); return v; }
  void Set32(size_t at, uint32_t v) { memcpy(&f[at], &v, 4); }
  void Set16(size_t at, uint16_t v) { memcpy(&f[at], &v, 2); }
  size_t Directory(unsigned i) const { return optional + 96 + 8 * i; }
  // Where the NUL-terminated name is in the file (0: nowhere).
  size_t Find(const std::string &name) const {
    std::string needle = name + std::string(1, '\0');
    auto it = std::search(f.begin(), f.end(), needle.begin(), needle.end());
    return it == f.end() ? 0 : size_t(it - f.begin());
  }
  std::vector<uint8_t> &f;
  size_t pe, optional, sections;
};

class ImageLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = ReadFile(ImagePath());
    ASSERT_GT(file_.size(), 4096u) << ImagePath();
  }
  // Keeps [address, address + size) taken for the rest of the test.
  void Occupy(uintptr_t address, size_t size) {
    void *p = mmap(reinterpret_cast<void *>(address), size, PROT_NONE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    ASSERT_EQ(p, reinterpret_cast<void *>(address)) << "cannot occupy " << std::hex << address;
    occupied_.push_back({p, size});
  }
  void TearDown() override {
    for (auto &[p, size] : occupied_) munmap(p, size);
  }
  std::vector<uint8_t> file_;
  std::vector<std::pair<void *, size_t>> occupied_;
};

TEST_F(ImageLoaderTest, RunsAwayFromItsOccupiedPreferredBaseWithItsRelocationsAppliedAndUnloads) {
  Pe pe(file_);
  uintptr_t preferred = pe.Get32(pe.optional + 28);
  Occupy(preferred, pe.Get32(pe.optional + 56));
  std::string error;
  std::unique_ptr<HostImage> image = HostImage::LoadBytes(file_, "Torvane.sys", {}, &error);
  ASSERT_NE(image, nullptr) << error;
  EXPECT_EQ(image->PreferredBase(), preferred);
  EXPECT_NE(image->Base(), preferred);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(image->EntryPoint()), image->Base() + pe.Get32(pe.optional + 16));

  // DriverEntry hands the class library its receive routine, an address the code holds as an
  // absolute value: it lies in the image only if the relocations were applied.
  HostStream_Reset();
  uint8_t driverObject[168] = {};
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Torvane");
  ASSERT_EQ(image->EntryPoint()(reinterpret_cast<PDRIVER_OBJECT>(driverObject), &path), STATUS_SUCCESS);
  HostUsbcamdRegistration r = HostUsbcamd_Registration();
  EXPECT_EQ(r.calls, 1u);
  EXPECT_EQ(r.frameContextSize, 4u);
  uintptr_t receive = reinterpret_cast<uintptr_t>(r.receivePacket);
  EXPECT_GE(receive, image->Base());
  EXPECT_LT(receive, image->Base() + image->Size());
  HostUsbcamd_UnloadDriver();
  const uintptr_t base = image->Base();
  const size_t size = image->Size();
  image.reset();
  Occupy(base, size);  // fails unless unloading unmapped the range
}

TEST_F(ImageLoaderTest, BindsEveryImportTheLinkerListedToTheHostRoutineOfItsName) {
  std::string error;
  std::unique_ptr<HostImage> image = HostImage::LoadBytes(file_, "Torvane.sys", {}, &error);
  ASSERT_NE(image, nullptr) << error;
  // The import list objdump read from the same file when the target build checked it.
  std::string listPath = ImagePath().substr(0, ImagePath().find_last_of('/') + 1) + "Torvane.imports";
  std::ifstream list(listPath);
  ASSERT_TRUE(list) << listPath;
  std::set<std::string> listed, bound;
  for (std::string line; std::getline(list, line);) {
    line.erase(0, line.find_first_not_of(' '));
    if (!line.empty()) listed.insert(line);
  }
  for (const HostImageImport &i : image->Imports()) {
    bound.insert(i.module + "!" + i.routine);
    uint32_t slot;
    memcpy(&slot, reinterpret_cast<const void *>(image->Base() + i.slotRva), 4);
    EXPECT_EQ(slot, reinterpret_cast<uintptr_t>(i.bound)) << i.routine;
  }
  EXPECT_EQ(bound, listed);
  // Two bindings checked against the host's own symbols.
  for (const HostImageImport &i : image->Imports()) {
    if (i.routine == "ExAllocatePoolWithTag") EXPECT_EQ(i.bound, reinterpret_cast<const void *>(&ExAllocatePoolWithTag));
    // The kernel's variable that holds the thread type: what *PsThreadType reads.
    if (i.routine == "PsThreadType") EXPECT_EQ(i.bound, reinterpret_cast<const void *>(PsThreadType));
  }
  printf("%s", image->BindingReport().c_str());
}

struct Broken {
  const char *name;
  std::function<void(Pe &)> breakIt;
  const char *message;  // part of the loader's message
  bool occupyPreferredBase = false;
};

TEST_F(ImageLoaderTest, RefusesImagesThatAreWrongInEachWayItChecks) {
  const Broken cases[] = {
      {"cut inside the PE header", [](Pe &p) { p.f.resize(p.pe + 10); }, "truncated"},
      {"cut inside its sections", [](Pe &p) { p.f.resize(p.f.size() / 2); }, "lies past the end of the file"},
      {"a section pointing past the file",
       [](Pe &p) { p.Set32(p.sections + 20, uint32_t(p.f.size())); }, "lies past the end of the file"},
      {"a routine the host does not provide",
       [](Pe &p) { p.f[p.Find("KeSetEvent") + 9] = 'X'; }, "ntoskrnl.exe!KeSetEvenX"},
      {"a module the host does not provide",
       [](Pe &p) { p.f[p.Find("stream.sys")] = 'x'; }, "xtream.sys!StreamClassDeviceNotification"},
      {"another machine type", [](Pe &p) { p.Set16(p.pe + 4, 0x8664); }, "machine type 0x8664 is not i386"},
      {"not PE32", [](Pe &p) { p.Set16(p.optional, 0x20B); }, "not PE32"},
      {"another subsystem", [](Pe &p) { p.Set16(p.optional + 68, 3); }, "subsystem 3 is not native"},
      {"an export table", [](Pe &p) { p.Set32(p.Directory(0), 0x1000); p.Set32(p.Directory(0) + 4, 40); },
       "has an export table"},
      {"relocations stripped, preferred base occupied",
       [](Pe &p) {
         p.Set16(p.pe + 22, p.Get16(p.pe + 22) | 1);
         p.Set32(p.Directory(5), 0);
         p.Set32(p.Directory(5) + 4, 0);
       },
       "base relocations are stripped", true},
      {"no MZ header", [](Pe &p) { p.f[0] = 'X'; }, "no MZ header"},
  };
  for (const Broken &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> file = file_;
    Pe pe(file);
    ASSERT_NE(pe.Find("KeSetEvent"), 0u);
    ASSERT_NE(pe.Find("stream.sys"), 0u);
    c.breakIt(pe);
    if (c.occupyPreferredBase && occupied_.empty()) Occupy(Pe(file_).Get32(Pe(file_).optional + 28), 0x10000);
    std::string error;
    std::unique_ptr<HostImage> image = HostImage::LoadBytes(file, "Torvane.sys", {}, &error);
    EXPECT_EQ(image, nullptr);
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    EXPECT_EQ(error.rfind("Torvane.sys: ", 0), 0u) << error;
  }
}

// Any single header byte set to 0x00 or 0xFF: the image loads or is refused with a message, and
// the loader never reads or writes outside the file and the image.
TEST_F(ImageLoaderTest, SurvivesEveryHeaderByteChanged) {
  Pe pe(file_);
  size_t headers = pe.Get32(pe.optional + 60);
  unsigned refused = 0;
  for (size_t at = 0; at < headers; ++at) {
    for (uint8_t value : {uint8_t(0x00), uint8_t(0xFF)}) {
      std::vector<uint8_t> file = file_;
      file[at] = value;
      std::string error;
      std::unique_ptr<HostImage> image = HostImage::LoadBytes(file, "Torvane.sys", {}, &error);
      if (image == nullptr) {
        ++refused;
        EXPECT_EQ(error.rfind("Torvane.sys: ", 0), 0u) << error;
      }
    }
  }
  EXPECT_GT(refused, 50u);
}

}  // namespace
