// Checks made before a camsim run removes or writes anything, so that a run that cannot go
// ahead stops with the reason in words and the files as they were; and the small texts the
// run prints (its version, its progress).
#pragma once

#include <string>
#include <vector>

#include "host_camera.h"

// Decodes a JPEG completely with libjpeg, as the camera does for a picture it re-encodes; a
// warning (such as data cut short) counts as an error. Empty when whole, else libjpeg's message.
std::string JpegDamage(const std::vector<unsigned char> &jpeg);

// The camera's sources read and decoded as the camera will at the start of the run: empty,
// or what is wrong, naming the file.
std::string CheckCameraSources(const HostCameraStreamConfig &config);

// --settings: a folder, a missing folder around it, a folder that cannot be written or a file
// that is not a whole hive is refused. An empty file is a new hive.
bool CheckSettingsFile(const std::string &path, std::string *why);

// --driver: the image loads (checked and mapped, then let go again).
bool CheckDriverImage(const std::string &path, std::string *why);

// A whole number from lo to hi written in decimal digits only: false for signs, spaces,
// anything after the digits, and values out of range (never wrapped).
bool ParseWholeNumber(const std::string &text, unsigned long lo, unsigned long hi, unsigned long *value);

// "camsim (Torvane) <version>, built <date>".
std::string VersionLine();

// "frame 30/120 (25%), 310.2 fps, 0.3 s left" for frames received of total in secs.
std::string ProgressText(unsigned frames, unsigned total, double secs);
