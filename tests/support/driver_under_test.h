// The driver the whole-stack tests run: the one linked into the test program, or, when the
// environment variable TORVANE_DRIVER_IMAGE names a driver image (build/target/Torvane.sys), that
// image loaded into the 32-bit host, placed away from its preferred base so that its relocations
// are applied.
#pragma once

#include <string>

#include "host_platform.h"

// Loads the driver when it comes from an image, and calls its DriverEntry. A load failure
// returns STATUS_INVALID_IMAGE_FORMAT with the loader's message in *error.
NTSTATUS TestDriver_Enter(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath, std::string *error);
// Unmaps the image, if one was loaded (after the class library forgot the driver and its threads
// ended).
void TestDriver_Unload();
bool TestDriver_FromImage();
// The entry points whose deepest stack use since the last TestDriver_Enter exceeds the budget
// (half of the 32-bit kernel's 12 KB stack), one per line; empty when all stayed within it or the
// driver is the linked one.
constexpr size_t kTestDriverStackBudget = 6 * 1024;
std::string TestDriver_StackOverruns();
