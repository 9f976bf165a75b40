// Loading a driver image (a PE32 file built for the 32-bit NT kernel) into the host, as the
// kernel's loader does: the file is checked, its sections are mapped with their protections,
// its base relocations are applied when it does not sit at its preferred base, and every import
// is bound by name to the host's implementation of the module it names. The image's entry point
// is the DriverEntry the host calls. Only the 32-bit host build runs images; the 64-bit build
// refuses them with a message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host_platform.h"

// ---- Export tables ------------------------------------------------------------------------
// One routine (or variable) a host module provides to images, by the name images import.
struct HostExport {
  const char *name;
  const void *address;  // the routine, or for data the variable (the import slot holds its address)
  bool data;
};
struct HostModuleExports {
  const char *module;  // as images name it, compared without regard to case
  const HostExport *entries;
  size_t count;
};

// One line of a module's export table: the routine, or variable, of that name.
#define HOST_EXPORT(name) {#name, reinterpret_cast<const void *>(&(name)), false}
#define HOST_EXPORT_DATA(name) {#name, reinterpret_cast<const void *>(&(name)), true}
#define HOST_EXPORT_TABLE(module, entries) {module, entries, sizeof(entries) / sizeof((entries)[0])}

// The modules a driver may import from, each defined beside its routines.
extern const HostModuleExports HostNtoskrnl_Exports;  // ntoskrnl.exe
extern const HostModuleExports HostHal_Exports;       // hal.dll
extern const HostModuleExports HostStreamClass_Exports;  // stream.sys
extern const HostModuleExports HostKelvane_Exports;   // Kelvane.sys
// All of them, in that order.
std::vector<const HostModuleExports *> HostImage_Modules();

// ---- Loading ------------------------------------------------------------------------------
struct HostImageOptions {
  // Place the image away from its preferred base even when that is free, so that its
  // relocations are applied.
  bool avoidPreferredBase = false;
};

// One import as bound: module!routine, the image's slot for it, and what the slot now holds.
struct HostImageImport {
  std::string module;
  std::string routine;
  uint32_t slotRva = 0;
  const void *bound = nullptr;
  bool data = false;
};

typedef NTSTATUS(NTAPI *HostDriverEntryRoutine)(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

class HostImage {
 public:
  // Loads the file; null with *error saying what is wrong (naming the module and routine of an
  // import the host does not provide).
  static std::unique_ptr<HostImage> Load(const std::string &path, const HostImageOptions &options, std::string *error);
  // The same from the file's bytes; name is used in messages.
  static std::unique_ptr<HostImage> LoadBytes(const std::vector<uint8_t> &file, const std::string &name,
                                              const HostImageOptions &options, std::string *error);
  ~HostImage();  // unmaps the image
  HostImage(const HostImage &) = delete;
  HostImage &operator=(const HostImage &) = delete;

  HostDriverEntryRoutine EntryPoint() const { return entry_; }
  uintptr_t Base() const { return base_; }
  uintptr_t PreferredBase() const { return preferredBase_; }
  size_t Size() const { return size_; }
  bool Relocated() const { return base_ != preferredBase_; }
  const std::vector<HostImageImport> &Imports() const { return imports_; }
  const std::string &Name() const { return name_; }
  // The import binding as a table: "module!routine -> address (slot at +rva)" per line.
  std::string BindingReport() const;

 private:
  HostImage() = default;
  std::string name_;
  uintptr_t base_ = 0;
  uintptr_t preferredBase_ = 0;
  size_t size_ = 0;
  HostDriverEntryRoutine entry_ = nullptr;
  std::vector<HostImageImport> imports_;
};

// Whether this build runs images at all (the 32-bit host build does).
bool HostImage_Supported();
