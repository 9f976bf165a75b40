#include "preflight.h"

#include <jpeglib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "host_image.h"
#include "host_registry.h"

#ifndef TORVANE_VERSION
#define TORVANE_VERSION "unreleased"
#endif

namespace {

struct StrictJpegError {
  jpeg_error_mgr base;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void StrictJpegFail(j_common_ptr c) {
  auto *e = reinterpret_cast<StrictJpegError *>(c->err);
  c->err->format_message(c, e->message);
  std::longjmp(e->jump, 1);
}

// Level -1 is a warning about the data (cut short, a corrupt entropy segment): as fatal as an
// error here, since the camera would otherwise send whatever libjpeg made of it. Trace
// messages (levels 0 and up) are ignored.
void StrictJpegMessage(j_common_ptr c, int level) {
  if (level < 0) StrictJpegFail(c);
}

// The decode itself, in a function whose locals across the jump are plain values.
bool DecodeWhole(const std::vector<unsigned char> &jpeg, std::vector<unsigned char> *row, StrictJpegError *error) {
  jpeg_decompress_struct cinfo;
  cinfo.err = jpeg_std_error(&error->base);
  error->base.error_exit = StrictJpegFail;
  error->base.emit_message = StrictJpegMessage;
  jpeg_create_decompress(&cinfo);
  if (setjmp(error->jump) != 0) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  row->resize(size_t(cinfo.output_width) * cinfo.output_components);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW rows[1] = {row->data()};
    jpeg_read_scanlines(&cinfo, rows, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

}  // namespace

std::string JpegDamage(const std::vector<unsigned char> &jpeg) {
  StrictJpegError error{};
  std::vector<unsigned char> row;
  if (DecodeWhole(jpeg, &row, &error)) return std::string();
  return error.message;
}

std::string CheckCameraSources(const HostCameraStreamConfig &config) {
  if (config.sources.empty()) return std::string();
  try {
    HostSimCamera camera;
    camera.ConfigureStream(config);
  } catch (const std::exception &e) {
    // The camera names the file: "camera source FILE: why".
    std::string what = e.what();
    const std::string prefix = "camera source ";
    return "--source " + (what.compare(0, prefix.size(), prefix) == 0 ? what.substr(prefix.size()) : what);
  }
  return std::string();
}

bool CheckSettingsFile(const std::string &path, std::string *why) {
  if (path.empty()) return true;
  namespace fs = std::filesystem;
  struct stat st;
  const bool exists = stat(path.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) {
    *why = "--settings " + path + " is a folder; name a file (a new one is made at the end of the run)";
    return false;
  }
  if (exists && st.st_size != 0 && !HostRegistry_CheckHiveFile(path, why)) {
    *why = "--settings " + path + " is not a settings file camsim can read (" + *why +
           "); it is left as it is: name another file, or move this one away";
    return false;
  }
  // The hive is written through a temporary file beside it and a rename.
  const fs::path p(path);
  const std::string folder = p.has_parent_path() ? p.parent_path().string() : ".";
  if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *why = "--settings " + path + ": the folder " + folder + " does not exist";
    return false;
  }
  if (access(folder.c_str(), W_OK | X_OK) != 0) {
    *why = "--settings " + path + ": cannot write in " + folder + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool CheckDriverImage(const std::string &path, std::string *why) {
  if (path.empty()) return true;
  std::string error;
  if (!HostImage::Load(path, {}, &error)) {
    *why = "--driver " + path + " cannot be used: " + error;
    return false;
  }
  return true;
}

bool ParseWholeNumber(const std::string &text, unsigned long lo, unsigned long hi, unsigned long *value) {
  if (text.empty() || text.size() > 18) return false;
  uint64_t v = 0;  // 18 digits fit, whatever the width of long
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + unsigned(c - '0');
  }
  if (v < lo || v > hi) return false;
  *value = static_cast<unsigned long>(v);
  return true;
}

std::string VersionLine() { return std::string("camsim (Torvane) ") + TORVANE_VERSION + ", built " + __DATE__; }

std::string ProgressText(unsigned frames, unsigned total, double secs) {
  const double fps = secs > 0 ? frames / secs : 0.0;
  char text[128];
  int n = std::snprintf(text, sizeof text, "frame %u/%u (%u%%), %.1f fps", frames, total,
                        total != 0 ? unsigned(uint64_t(frames) * 100 / total) : 0u, fps);
  if (frames < total && fps > 0 && n > 0) {
    const double left = (total - frames) / fps;
    if (left < 60) {
      std::snprintf(text + n, sizeof text - n, ", %.1f s left", left);
    } else {
      const unsigned s = unsigned(left + 0.5);
      std::snprintf(text + n, sizeof text - n, ", %u:%02u:%02u left", s / 3600, s / 60 % 60, s % 60);
    }
  }
  return text;
}
