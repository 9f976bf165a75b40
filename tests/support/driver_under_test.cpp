#include "support/driver_under_test.h"

#include <cstdlib>
#include <memory>

#include "host_image.h"
#include "host_kernel.h"
#include "host_stack.h"
#include "lumarex.h"

namespace {

std::unique_ptr<HostImage> g_image;

const char *ImagePath() {
  const char *path = getenv("TORVANE_DRIVER_IMAGE");
  return path != nullptr && path[0] != '\0' ? path : nullptr;
}

}  // namespace

bool TestDriver_FromImage() { return ImagePath() != nullptr; }

NTSTATUS TestDriver_Enter(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath, std::string *error) {
  if (!TestDriver_FromImage()) return DriverEntry(driverObject, registryPath);
  HostImageOptions options;
  options.avoidPreferredBase = true;
  g_image = HostImage::Load(ImagePath(), options, error);
  if (!g_image) return STATUS_INVALID_IMAGE_FORMAT;
  HostStack_Reset();
  return g_image->EntryPoint()(driverObject, registryPath);
}

void TestDriver_Unload() {
  // A system thread still running in the image would run into unmapped memory: the image then
  // stays mapped (the test has already failed on the thread).
  if (HostThreads_Running() != 0) {
    g_image.release();
    return;
  }
  g_image.reset();
}

std::string TestDriver_StackOverruns() {
  std::string overruns;
  if (!TestDriver_FromImage()) return overruns;
  for (int e = 0; e < int(HostStackEntry::Count); ++e) {
    HostStackUse use = HostStack_Use(HostStackEntry(e));
    if (use.deepest > kTestDriverStackBudget) {
      overruns += std::string(HostStackEntry_Name(HostStackEntry(e))) + " used " + std::to_string(use.deepest) +
                  " bytes of stack\n";
    }
  }
  return overruns;
}
