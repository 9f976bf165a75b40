// The camera's picture sources, checked before anything streams: folders are opened into their
// image files (other files skipped with a notice), and every JPEG is decoded with the driver's
// own library at the stream's size. A JPEG the driver decodes goes out byte for byte; one it
// cannot decode is handed to the camera to decode, scale and encode as it does its own
// pictures, unless the sources must go out exactly as they are.
#pragma once

#include <string>
#include <vector>

struct SourcePlan {
  std::vector<std::string> files;         // in the order the camera uses them
  std::vector<std::string> reencode;      // the JPEG files among them the driver cannot decode
  std::vector<std::string> notices;       // one line each: a skipped file, a re-encoded JPEG
};

// Why the driver's library does not decode this JPEG as a width x height frame, in words; empty
// when it does.
std::string DriverRefusesJpeg(const std::vector<unsigned char> &jpeg, int width, int height);

// Plans the sources for a width x height stream. False with *error naming the file and what is
// wrong: a path that does not exist, a folder without images, a file that is not an image, or
// (exact) a JPEG the driver cannot decode.
bool PlanSources(const std::vector<std::string> &paths, int width, int height, bool exact, SourcePlan *plan,
                 std::string *error);
