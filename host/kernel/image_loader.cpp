// The kernel's image loader on the host: checks a PE32 driver image, maps it, relocates it and
// binds its imports to the host modules' export tables.
//
// The file's records are read field by field at their published offsets, so nothing here
// depends on how the host lays out a structure.
#include <strings.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "host_image.h"
#include "host_stack.h"

namespace {

// Offsets and values of the PE32 format.
constexpr uint16_t kDosMagic = 0x5A4D;           // "MZ"
constexpr size_t kDosNewHeaderField = 0x3C;      // offset of the PE header's file offset
constexpr uint32_t kPeSignature = 0x00004550;    // "PE\0\0"
constexpr size_t kFileHeaderSize = 20;
constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kRelocsStripped = 0x0001;     // file header characteristic
constexpr uint16_t kPe32Magic = 0x010B;
constexpr uint16_t kSubsystemNative = 1;
constexpr size_t kOptionalFixedSize = 96;        // PE32 optional header before its data directories
constexpr size_t kSectionHeaderSize = 40;
constexpr uint32_t kScnExecute = 0x20000000, kScnRead = 0x40000000, kScnWrite = 0x80000000;
constexpr unsigned kDirExport = 0, kDirImport = 1, kDirBaseReloc = 5;
constexpr uint32_t kImportByOrdinal = 0x80000000;
constexpr unsigned kRelAbsolute = 0, kRelHighLow = 3;
constexpr uint32_t kMaxImageSize = 64u << 20;

uint16_t U16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t U32(const uint8_t *p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

std::string Hex(uint64_t v) {
  char text[24];
  snprintf(text, sizeof(text), "0x%llx", (unsigned long long)v);
  return text;
}

struct Section {
  std::string name;
  uint32_t rva, mappedSize, rawOffset, rawSize, characteristics;
};

struct Directory {
  uint32_t rva = 0, size = 0;
};

// What the headers say, once checked against the file.
struct Layout {
  uint32_t preferredBase = 0, imageSize = 0, headersSize = 0, sectionAlignment = 0, entryRva = 0;
  Directory dirs[16];
  std::vector<Section> sections;
};

bool Fail(std::string *error, const std::string &name, const std::string &what) {
  *error = name + ": " + what;
  return false;
}

bool ReadHeaders(const std::vector<uint8_t> &f, const std::string &name, Layout *l, std::string *error) {
  const uint8_t *b = f.data();
  if (f.size() < 64 || U16(b) != kDosMagic) return Fail(error, name, "not a PE image (no MZ header)");
  uint32_t pe = U32(b + kDosNewHeaderField);
  if (uint64_t(pe) + 4 + kFileHeaderSize > f.size()) {
    return Fail(error, name, "truncated: the PE header at " + Hex(pe) + " lies past the end of the file (" +
                                 std::to_string(f.size()) + " bytes)");
  }
  if (U32(b + pe) != kPeSignature) return Fail(error, name, "not a PE image (no PE signature)");
  const uint8_t *fh = b + pe + 4;
  if (U16(fh) != kMachineI386) {
    return Fail(error, name, "machine type " + Hex(U16(fh)) + " is not i386 (0x14c)");
  }
  unsigned sectionCount = U16(fh + 2);
  unsigned optionalSize = U16(fh + 16);
  uint16_t characteristics = U16(fh + 18);
  uint64_t optionalAt = uint64_t(pe) + 4 + kFileHeaderSize;
  if (optionalSize < kOptionalFixedSize || optionalAt + optionalSize > f.size()) {
    return Fail(error, name, "truncated: the optional header lies past the end of the file");
  }
  const uint8_t *oh = b + optionalAt;
  if (U16(oh) != kPe32Magic) return Fail(error, name, "not PE32 (optional header magic " + Hex(U16(oh)) + ")");
  if (U16(oh + 68) != kSubsystemNative) {
    return Fail(error, name, "subsystem " + std::to_string(U16(oh + 68)) + " is not native (1)");
  }
  l->entryRva = U32(oh + 16);
  l->preferredBase = U32(oh + 28);
  l->sectionAlignment = U32(oh + 32);
  l->imageSize = U32(oh + 56);
  l->headersSize = U32(oh + 60);
  uint32_t dirCount = U32(oh + 92);
  for (unsigned i = 0; i < 16 && i < dirCount && kOptionalFixedSize + 8 * (i + 1) <= optionalSize; ++i) {
    l->dirs[i] = {U32(oh + kOptionalFixedSize + 8 * i), U32(oh + kOptionalFixedSize + 8 * i + 4)};
  }
  long page = sysconf(_SC_PAGESIZE);
  if (l->sectionAlignment == 0 || l->sectionAlignment % page != 0) {
    return Fail(error, name, "section alignment " + Hex(l->sectionAlignment) + " is not a multiple of the page size");
  }
  if (l->imageSize == 0 || l->imageSize > kMaxImageSize || l->headersSize > l->imageSize ||
      l->preferredBase % 0x10000 != 0) {
    return Fail(error, name, "implausible image size " + Hex(l->imageSize) + ", header size " + Hex(l->headersSize) +
                                 " or preferred base " + Hex(l->preferredBase));
  }
  if (l->dirs[kDirExport].size != 0) return Fail(error, name, "has an export table; a driver exports nothing");
  if ((characteristics & kRelocsStripped) != 0 || l->dirs[kDirBaseReloc].size == 0) {
    return Fail(error, name, "its base relocations are stripped; a driver must be relocatable");
  }
  for (unsigned i = 0; i < 16; ++i) {
    if (uint64_t(l->dirs[i].rva) + l->dirs[i].size > l->imageSize) {
      return Fail(error, name, "data directory " + std::to_string(i) + " lies outside the image");
    }
  }

  uint64_t sectionsAt = optionalAt + optionalSize;
  if (sectionsAt + uint64_t(sectionCount) * kSectionHeaderSize > std::min<uint64_t>(f.size(), l->headersSize)) {
    return Fail(error, name, "truncated: the section table lies past the end of the headers");
  }
  bool entryFound = false;
  for (unsigned i = 0; i < sectionCount; ++i) {
    const uint8_t *sh = b + sectionsAt + i * kSectionHeaderSize;
    Section s;
    s.name.assign(reinterpret_cast<const char *>(sh), strnlen(reinterpret_cast<const char *>(sh), 8));
    uint32_t virtualSize = U32(sh + 8);
    s.rva = U32(sh + 12);
    s.rawSize = U32(sh + 16);
    s.rawOffset = U32(sh + 20);
    s.characteristics = U32(sh + 36);
    s.mappedSize = virtualSize != 0 ? virtualSize : s.rawSize;
    if (s.rawSize != 0 && uint64_t(s.rawOffset) + s.rawSize > f.size()) {
      return Fail(error, name, "section " + s.name + ": its data at " + Hex(s.rawOffset) + "+" + Hex(s.rawSize) +
                                   " lies past the end of the file (" + std::to_string(f.size()) + " bytes)");
    }
    if (s.rva < l->headersSize || s.rva % l->sectionAlignment != 0 ||
        uint64_t(s.rva) + s.mappedSize > l->imageSize) {
      return Fail(error, name, "section " + s.name + " at " + Hex(s.rva) + "+" + Hex(s.mappedSize) +
                                   " is misplaced in the image of " + Hex(l->imageSize) + " bytes");
    }
    if (!l->sections.empty() && s.rva < l->sections.back().rva + l->sections.back().mappedSize) {
      return Fail(error, name, "section " + s.name + " overlaps the section before it");
    }
    if ((s.characteristics & kScnExecute) != 0 && l->entryRva >= s.rva && l->entryRva < s.rva + s.mappedSize) {
      entryFound = true;
    }
    l->sections.push_back(s);
  }
  if (!entryFound) return Fail(error, name, "the entry point " + Hex(l->entryRva) + " is not in an executable section");
  return true;
}

// A NUL-terminated string inside the mapped image, or empty when it runs outside it.
std::string ImageString(const uint8_t *image, uint32_t size, uint32_t rva) {
  if (rva >= size) return {};
  size_t n = strnlen(reinterpret_cast<const char *>(image + rva), std::min<size_t>(size - rva, 512));
  if (rva + n >= size) return {};
  return std::string(reinterpret_cast<const char *>(image + rva), n);
}

bool Relocate(uint8_t *image, const Layout &l, uint32_t delta, const std::string &name, std::string *error) {
  uint32_t at = l.dirs[kDirBaseReloc].rva, end = at + l.dirs[kDirBaseReloc].size;
  while (at + 8 <= end) {
    uint32_t page = U32(image + at), blockSize = U32(image + at + 4);
    if (blockSize < 8 || blockSize % 2 != 0 || blockSize > end - at) {
      return Fail(error, name, "relocation block at " + Hex(at) + " has the bad size " + Hex(blockSize));
    }
    for (uint32_t e = at + 8; e + 2 <= at + blockSize; e += 2) {
      unsigned type = U16(image + e) >> 12;
      uint64_t rva = uint64_t(page) + (U16(image + e) & 0xFFF);
      if (type == kRelAbsolute) continue;
      if (type != kRelHighLow) {
        return Fail(error, name, "relocation type " + std::to_string(type) + " at " + Hex(rva) + " is not supported");
      }
      if (rva + 4 > l.imageSize) return Fail(error, name, "relocation at " + Hex(rva) + " lies outside the image");
      uint32_t value = U32(image + rva) + delta;
      memcpy(image + rva, &value, 4);
    }
    at += blockSize;
  }
  return true;
}

const HostModuleExports *FindModule(const std::string &module) {
  for (const HostModuleExports *m : HostImage_Modules()) {
    if (strcasecmp(m->module, module.c_str()) == 0) return m;
  }
  return nullptr;
}

bool BindImports(uint8_t *image, const Layout &l, const std::string &name, std::vector<HostImageImport> *bound,
                 std::string *error) {
  std::string missing;
  const Directory &dir = l.dirs[kDirImport];
  for (uint32_t d = dir.rva; dir.size != 0 && d + 20 <= l.imageSize; d += 20) {
    uint32_t lookupRva = U32(image + d), nameRva = U32(image + d + 12), slotRva = U32(image + d + 16);
    if (nameRva == 0 && slotRva == 0) break;
    std::string module = ImageString(image, l.imageSize, nameRva);
    if (module.empty()) return Fail(error, name, "an import names its module outside the image");
    const HostModuleExports *exports = FindModule(module);
    if (lookupRva == 0) lookupRva = slotRva;
    for (uint32_t i = 0;; ++i) {
      uint64_t entryAt = lookupRva + 4 * uint64_t(i), slotAt = slotRva + 4 * uint64_t(i);
      if (entryAt + 4 > l.imageSize || slotAt + 4 > l.imageSize) {
        return Fail(error, name, "the import list of " + module + " runs outside the image");
      }
      uint32_t entry = U32(image + entryAt);
      if (entry == 0) break;
      if ((entry & kImportByOrdinal) != 0) {
        return Fail(error, name, "imports ordinal " + std::to_string(entry & 0xFFFF) + " of " + module +
                                     "; the host binds imports by name");
      }
      std::string routine = ImageString(image, l.imageSize, entry + 2);
      if (routine.empty()) return Fail(error, name, "an import of " + module + " names its routine outside the image");
      const HostExport *found = nullptr;
      for (size_t k = 0; exports != nullptr && k < exports->count; ++k) {
        if (routine == exports->entries[k].name) found = &exports->entries[k];
      }
      if (found == nullptr) {
        missing += std::string(missing.empty() ? "" : ", ") + module + "!" + routine;
        continue;
      }
      uint32_t address = uint32_t(reinterpret_cast<uintptr_t>(found->address));
      memcpy(image + slotAt, &address, 4);
      bound->push_back({module, routine, uint32_t(slotAt), found->address, found->data});
    }
  }
  if (!missing.empty()) return Fail(error, name, "imports what the host does not provide: " + missing);
  return true;
}

int Protection(uint32_t characteristics) {
  int prot = PROT_NONE;
  if (characteristics & kScnRead) prot |= PROT_READ;
  if (characteristics & kScnWrite) prot |= PROT_READ | PROT_WRITE;
  if (characteristics & kScnExecute) prot |= PROT_READ | PROT_EXEC;
  return prot;
}

}  // namespace

bool HostImage_Supported() { return sizeof(void *) == 4; }

std::vector<const HostModuleExports *> HostImage_Modules() {
  return {&HostNtoskrnl_Exports, &HostHal_Exports, &HostStreamClass_Exports, &HostKelvane_Exports};
}

std::unique_ptr<HostImage> HostImage::Load(const std::string &path, const HostImageOptions &options,
                                           std::string *error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = path + ": cannot be read";
    return nullptr;
  }
  std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t slash = path.find_last_of('/');
  return LoadBytes(file, slash == std::string::npos ? path : path.substr(slash + 1), options, error);
}

std::unique_ptr<HostImage> HostImage::LoadBytes(const std::vector<uint8_t> &file, const std::string &name,
                                                const HostImageOptions &options, std::string *error) {
  if (!HostImage_Supported()) {
    *error = name + ": driver images run only in the 32-bit host build (this is the 64-bit build)";
    return nullptr;
  }
  Layout l;
  if (!ReadHeaders(file, name, &l, error)) return nullptr;

  // At the preferred base when it is free (and wanted), anywhere else otherwise.
  void *at = MAP_FAILED;
  if (!options.avoidPreferredBase) {
    at = mmap(reinterpret_cast<void *>(uintptr_t(l.preferredBase)), l.imageSize, PROT_READ | PROT_WRITE,
              MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (at != MAP_FAILED && at != reinterpret_cast<void *>(uintptr_t(l.preferredBase))) {
      munmap(at, l.imageSize);  // a kernel without MAP_FIXED_NOREPLACE placed it elsewhere
      at = MAP_FAILED;
    }
  }
  if (at == MAP_FAILED) {
    at = mmap(nullptr, l.imageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (at == MAP_FAILED) {
      *error = name + ": no address space for " + Hex(l.imageSize) + " bytes";
      return nullptr;
    }
  }
  std::unique_ptr<HostImage> image(new HostImage);
  image->name_ = name;
  image->base_ = reinterpret_cast<uintptr_t>(at);
  image->size_ = l.imageSize;
  image->preferredBase_ = l.preferredBase;

  uint8_t *mapped = static_cast<uint8_t *>(at);
  memcpy(mapped, file.data(), std::min<size_t>(l.headersSize, file.size()));
  for (const Section &s : l.sections) {
    memcpy(mapped + s.rva, file.data() + s.rawOffset, std::min(s.rawSize, s.mappedSize));
  }
  if (!Relocate(mapped, l, uint32_t(image->base_ - l.preferredBase), name, error) ||
      !BindImports(mapped, l, name, &image->imports_, error)) {
    return nullptr;  // the destructor unmaps
  }
  long page = sysconf(_SC_PAGESIZE);
  mprotect(mapped, l.sections.empty() ? l.imageSize : l.sections.front().rva, PROT_READ);
  for (const Section &s : l.sections) {
    size_t span = (size_t(s.mappedSize) + page - 1) / page * page;
    if (mprotect(mapped + s.rva, span, Protection(s.characteristics)) != 0) {
      *error = name + ": section " + s.name + " cannot be given its protection";
      return nullptr;
    }
  }
  image->entry_ = reinterpret_cast<HostDriverEntryRoutine>(image->base_ + l.entryRva);
  HostStack_SetMeasuring(true);
  return image;
}

HostImage::~HostImage() {
  if (entry_ != nullptr) HostStack_SetMeasuring(false);
  if (base_ != 0) munmap(reinterpret_cast<void *>(base_), size_);
}

std::string HostImage::BindingReport() const {
  std::string text;
  for (const HostImageImport &i : imports_) {
    char line[160];
    snprintf(line, sizeof(line), "  %-46s -> %p%s (slot at +0x%x)\n", (i.module + "!" + i.routine).c_str(), i.bound,
             i.data ? " data" : "", unsigned(i.slotRva));
    text += line;
  }
  return text;
}
