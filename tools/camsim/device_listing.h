// camsim --list-formats and --list-controls: what the driver itself says about the camera,
// asked through the stream class as an application asks, without streaming. The camera is
// plugged in, the driver answers the stream information request (its pins and their data
// ranges) and the device property requests (the property sets and items it advertised, each
// item's basic support and default values, and the current value of every readable item),
// and the camera is unplugged again.
#pragma once

#include <cstdio>
#include <string>

struct ListingOptions {
  bool formats = false;
  bool controls = false;
  std::string settingsFile;  // the device's registry hive, loaded first when given and present
};

// Writes the listing; false with *why when a request fails or memory is left allocated.
bool ListDevice(const ListingOptions &options, std::FILE *out, std::string *why);
