#include "frame_writer.h"

#include "frame_view.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace {

constexpr uint8_t kMarker = 0xFF;
constexpr uint8_t kSoi = 0xD8;
constexpr uint8_t kEoi = 0xD9;
constexpr uint8_t kSos = 0xDA;

// Markers that stand alone, without a length field: TEM and RST0..RST7 (SOI and EOI are
// handled by the caller).
bool IsStandaloneMarker(uint8_t m) { return m == 0x01 || (m >= 0xD0 && m <= 0xD7); }

std::runtime_error IoError(const std::string &what, const std::string &path, int err) {
  std::string message = what + " " + path;
  if (err != 0) {
    message += ": ";
    message += std::strerror(err);
  }
  return std::runtime_error(message);
}

void PutLe16(uint8_t *p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void PutLe32(uint8_t *p, uint32_t v) {
  PutLe16(p, v & 0xFFFF);
  PutLe16(p + 2, v >> 16);
}

// A file opened for writing that is closed on every path; Close reports a failed close (the
// last buffered data is written then).
class OutFile {
 public:
  explicit OutFile(std::string path) : path_(std::move(path)) {
    errno = 0;
    f_ = std::fopen(path_.c_str(), "wb");
    if (f_ == nullptr) {
      throw IoError("cannot create", path_, errno);
    }
  }
  ~OutFile() {
    if (f_ != nullptr) {
      std::fclose(f_);
    }
  }
  OutFile(const OutFile &) = delete;
  OutFile &operator=(const OutFile &) = delete;
  std::FILE *get() const { return f_; }
  const std::string &path() const { return path_; }
  void Put(const void *data, size_t length) {
    errno = 0;
    if (length != 0 && std::fwrite(data, 1, length, f_) != length) {
      throw IoError("cannot write", path_, errno);
    }
  }
  void Close() {
    std::FILE *f = f_;
    f_ = nullptr;
    errno = 0;
    if (std::fclose(f) != 0) {
      throw IoError("cannot write", path_, errno);
    }
  }

 private:
  std::string path_;
  std::FILE *f_ = nullptr;
};

// libpng reports errors by longjmp; this keeps the jump inside a function whose locals are all
// trivially destructible. The message of the error, if any, lands in *error.
struct PngErrorState {
  std::jmp_buf jump;
  char message[200];
};

void PngError(png_structp png, png_const_charp msg) {
  auto *state = static_cast<PngErrorState *>(png_get_error_ptr(png));
  std::snprintf(state->message, sizeof state->message, "%s", msg != nullptr ? msg : "libpng error");
  std::longjmp(state->jump, 1);
}

void PngWarning(png_structp, png_const_charp) {}

// Writes an 8-bit RGB PNG of rows (top row first) to f. False with state->message on failure.
bool EncodePng(std::FILE *f, png_bytep *rows, int width, int height, PngErrorState *state) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, state, PngError, PngWarning);
  if (png == nullptr) {
    std::snprintf(state->message, sizeof state->message, "out of memory");
    return false;
  }
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    std::snprintf(state->message, sizeof state->message, "out of memory");
    return false;
  }
  if (setjmp(state->jump) != 0) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, f);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_write_image(png, rows);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

void WritePngFile(const std::string &path, const uint8_t *rgb, int width, int height) {
  std::vector<png_bytep> rows(static_cast<size_t>(height));
  for (int y = 0; y < height; ++y) {
    rows[static_cast<size_t>(y)] = const_cast<uint8_t *>(rgb) + static_cast<size_t>(width) * 3 * static_cast<size_t>(y);
  }
  OutFile out(path);
  PngErrorState state{};
  if (!EncodePng(out.get(), rows.data(), width, height, &state)) {
    throw std::runtime_error("cannot write " + out.path() + ": " + state.message);
  }
  if (std::ferror(out.get())) {
    throw IoError("cannot write", out.path(), 0);
  }
  out.Close();
}

const char *OutputFormatName(OutputFormat f) {
  switch (f) {
    case OutputFormat::Rgb24:
      return "rgb24";
    case OutputFormat::Yuy2:
      return "yuy2";
    case OutputFormat::I420:
      return "i420";
    case OutputFormat::Mjpg:
      return "mjpg";
  }
  return "?";
}

bool OutputFormatFromName(const std::string &name, OutputFormat *f) {
  for (OutputFormat candidate :
       {OutputFormat::Rgb24, OutputFormat::Yuy2, OutputFormat::I420, OutputFormat::Mjpg}) {
    if (name == OutputFormatName(candidate)) {
      *f = candidate;
      return true;
    }
  }
  return false;
}

size_t FrameBytes(OutputFormat f, int width, int height) {
  if (width <= 0 || height <= 0) {
    return 0;
  }
  const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
  switch (f) {
    case OutputFormat::Rgb24:
      return pixels * 3;
    case OutputFormat::Yuy2:
      return pixels * 2;
    case OutputFormat::I420:
      return pixels * 3 / 2;
    case OutputFormat::Mjpg:
      return 0;
  }
  return 0;
}

size_t ScanJpegLength(const uint8_t *data, size_t length) {
  if (data == nullptr || length < 2 || data[0] != kMarker || data[1] != kSoi) {
    return 0;
  }
  size_t pos = 2;
  // Walk the marker segments. pos is at the FF of the next marker.
  while (true) {
    if (pos >= length || data[pos] != kMarker) {
      return 0;  // truncated, or something other than a marker between segments
    }
    while (pos < length && data[pos] == kMarker) {
      ++pos;  // FF fill bytes may precede any marker
    }
    if (pos >= length) {
      return 0;
    }
    const uint8_t marker = data[pos++];
    if (marker == kEoi) {
      return pos;
    }
    if (marker == 0x00 || marker == kSoi) {
      return 0;  // not a marker, or a second start of image
    }
    if (IsStandaloneMarker(marker)) {
      continue;
    }
    if (length - pos < 2) {
      return 0;
    }
    const size_t segment = (static_cast<size_t>(data[pos]) << 8) | data[pos + 1];
    if (segment < 2 || segment > length - pos) {
      return 0;
    }
    pos += segment;
    if (marker != kSos) {
      continue;
    }
    // Entropy-coded data: runs until a marker other than a stuffed FF or a restart marker.
    while (true) {
      const uint8_t *ff = static_cast<const uint8_t *>(std::memchr(data + pos, kMarker, length - pos));
      if (ff == nullptr) {
        return 0;
      }
      size_t next = static_cast<size_t>(ff - data) + 1;
      while (next < length && data[next] == kMarker) {
        ++next;  // fill bytes
      }
      if (next >= length) {
        return 0;
      }
      const uint8_t m = data[next];
      if (m == 0x00 || (m >= 0xD0 && m <= 0xD7)) {
        pos = next + 1;
        continue;
      }
      pos = next - 1;  // at the marker's last FF: the segment walk takes it from here
      break;
    }
  }
}

FrameWriter::FrameWriter(const FrameWriterOptions &options) : options_(options) {
  const std::string size = std::to_string(options_.width) + "x" + std::to_string(options_.height);
  if (options_.width <= 0 || options_.height <= 0) {
    throw std::runtime_error("frame size " + size + " is not positive");
  }
  if (options_.format == OutputFormat::Yuy2 && options_.width % 2 != 0) {
    throw std::runtime_error("yuy2 needs an even width, not " + size);
  }
  if (options_.format == OutputFormat::I420 &&
      (options_.width % 2 != 0 || options_.height % 2 != 0)) {
    throw std::runtime_error("i420 needs an even width and height, not " + size);
  }
  if (options_.fps == 0) {
    throw std::runtime_error("fps must be at least 1");
  }
  if (options_.dir.empty()) {
    throw std::runtime_error("no output directory given");
  }
  std::error_code ec;
  std::filesystem::create_directories(options_.dir, ec);
  if (ec || !std::filesystem::is_directory(options_.dir, ec)) {
    throw std::runtime_error("cannot make directory " + options_.dir +
                             (ec ? ": " + ec.message() : std::string(": not a directory")));
  }
}

FrameWriter::~FrameWriter() {
  if (y4m_ != nullptr) {
    std::fclose(y4m_);
  }
  if (mjpeg_ != nullptr) {
    std::fclose(mjpeg_);
  }
}

void FrameWriter::SaveStill(unsigned k, const std::string &frameFile) {
  char stem[32];
  std::snprintf(stem, sizeof stem, "still_%06u", k);
  const std::string path = PathOf(stem + std::filesystem::path(frameFile).extension().string());
  std::error_code ec;
  std::filesystem::copy_file(frameFile, path, std::filesystem::copy_options::overwrite_existing, ec);
  if (ec) {
    throw std::runtime_error("cannot write " + path + ": " + ec.message());
  }
  files_.push_back(path);
}

std::string FrameWriter::PathOf(const std::string &name) const {
  return (std::filesystem::path(options_.dir) / name).string();
}

void FrameWriter::WriteWhole(const std::string &name, const uint8_t *data, size_t length) {
  OutFile out(PathOf(name));
  out.Put(data, length);
  out.Close();
  files_.push_back(out.path());
}

// A bottom-up BMP, like the DIB the driver delivers, so rows go out in the order they arrive;
// each row is padded to a multiple of 4 bytes.
void FrameWriter::WriteBmp(const std::string &name, const uint8_t *dib) {
  const size_t row = static_cast<size_t>(options_.width) * 3;
  const size_t stride = (row + 3) & ~static_cast<size_t>(3);
  const size_t image = stride * static_cast<size_t>(options_.height);
  if (image > 0xFFFFFFFFu - 54) {
    throw std::runtime_error("frame too large for a BMP file: " + name);
  }
  uint8_t header[54] = {};
  header[0] = 'B';
  header[1] = 'M';
  PutLe32(header + 2, static_cast<uint32_t>(54 + image));  // bfSize
  PutLe32(header + 10, 54);                                 // bfOffBits
  PutLe32(header + 14, 40);                                 // biSize
  PutLe32(header + 18, static_cast<uint32_t>(options_.width));
  PutLe32(header + 22, static_cast<uint32_t>(options_.height));  // positive: bottom-up
  PutLe16(header + 26, 1);                                       // biPlanes
  PutLe16(header + 28, 24);                                      // biBitCount
  PutLe32(header + 30, 0);                                       // BI_RGB
  PutLe32(header + 34, static_cast<uint32_t>(image));            // biSizeImage
  PutLe32(header + 38, 2835);                                    // 72 dpi
  PutLe32(header + 42, 2835);

  std::vector<uint8_t> body(image, 0);
  for (int y = 0; y < options_.height; ++y) {
    std::memcpy(body.data() + stride * y, dib + row * y, row);
  }
  OutFile out(PathOf(name));
  out.Put(header, sizeof header);
  out.Put(body.data(), body.size());
  out.Close();
  files_.push_back(out.path());
}

void FrameWriter::WritePng(const std::string &name, const uint8_t *data, size_t length) {
  std::vector<uint8_t> rgb;
  FrameToRgb(options_.format, options_.width, options_.height, data, length, &rgb);
  WritePngFile(PathOf(name), rgb.data(), options_.width, options_.height);
  files_.push_back(PathOf(name));
}

void FrameWriter::AppendY4m(const uint8_t *planes[3], const size_t sizes[3]) {
  if (y4m_ == nullptr) {
    y4mPath_ = PathOf("stream.y4m");
    errno = 0;
    y4m_ = std::fopen(y4mPath_.c_str(), "wb");
    if (y4m_ == nullptr) {
      throw IoError("cannot create", y4mPath_, errno);
    }
    files_.push_back(y4mPath_);
    // The driver's YUY2 is full range, its I420 limited range (luma 16..235), YUV4MPEG2's default.
    const char *chroma = options_.format == OutputFormat::Yuy2 ? "422 XCOLORRANGE=FULL" : "420jpeg";
    errno = 0;
    if (std::fprintf(y4m_, "YUV4MPEG2 W%d H%d F%u:1 Ip A1:1 C%s\n", options_.width,
                     options_.height, options_.fps, chroma) < 0) {
      throw IoError("cannot write", y4mPath_, errno);
    }
  }
  errno = 0;
  if (std::fwrite("FRAME\n", 1, 6, y4m_) != 6) {
    throw IoError("cannot write", y4mPath_, errno);
  }
  for (int i = 0; i < 3; ++i) {
    if (std::fwrite(planes[i], 1, sizes[i], y4m_) != sizes[i]) {
      throw IoError("cannot write", y4mPath_, errno);
    }
  }
  // Flushed per frame, so the stream on disk is whole even if the program stops early.
  if (std::fflush(y4m_) != 0) {
    throw IoError("cannot write", y4mPath_, errno);
  }
}

void FrameWriter::Write(unsigned k, const uint8_t *data, size_t length) {
  if (finished_) {
    throw std::runtime_error("frame written after Finish");
  }
  char stem[32];
  std::snprintf(stem, sizeof stem, "frame_%06u", k);
  const std::string base(stem);
  const size_t need = FrameBytes(options_.format, options_.width, options_.height);
  if (options_.format != OutputFormat::Mjpg && length < need) {
    throw std::runtime_error(base + ": " + std::to_string(length) + " bytes received, a " +
                             OutputFormatName(options_.format) + " frame of " +
                             std::to_string(options_.width) + "x" +
                             std::to_string(options_.height) + " has " + std::to_string(need));
  }
  const size_t w = static_cast<size_t>(options_.width);
  const size_t h = static_cast<size_t>(options_.height);
  switch (options_.format) {
    case OutputFormat::Rgb24:
      WriteBmp(base + ".bmp", data);
      break;
    case OutputFormat::Yuy2: {
      WriteWhole(base + ".yuy2", data, need);
      // Packed Y0 U Y1 V to planar 4:2:2: Y w*h, then U and V (w/2)*h each.
      const size_t luma = w * h;
      const size_t chroma = luma / 2;
      scratch_.resize(luma + 2 * chroma);
      uint8_t *y = scratch_.data();
      uint8_t *u = y + luma;
      uint8_t *v = u + chroma;
      for (size_t i = 0; i < chroma; ++i) {
        const uint8_t *p = data + 4 * i;
        y[2 * i] = p[0];
        u[i] = p[1];
        y[2 * i + 1] = p[2];
        v[i] = p[3];
      }
      const uint8_t *planes[3] = {y, u, v};
      const size_t sizes[3] = {luma, chroma, chroma};
      AppendY4m(planes, sizes);
      break;
    }
    case OutputFormat::I420: {
      WriteWhole(base + ".i420", data, need);
      const size_t luma = w * h;
      const size_t chroma = (w / 2) * (h / 2);
      const uint8_t *planes[3] = {data, data + luma, data + luma + chroma};
      const size_t sizes[3] = {luma, chroma, chroma};
      AppendY4m(planes, sizes);
      break;
    }
    case OutputFormat::Mjpg: {
      const size_t jpeg = ScanJpegLength(data, length);
      if (jpeg != 0) {
        WriteWhole(base + ".jpg", data, jpeg);
        // The JPEGs back to back are a motion-JPEG stream players open; frames without one
        // (the driver's 0xFF fill) are left out of it.
        if (mjpeg_ == nullptr) {
          mjpegPath_ = PathOf("stream.mjpeg");
          errno = 0;
          mjpeg_ = std::fopen(mjpegPath_.c_str(), "wb");
          if (mjpeg_ == nullptr) {
            throw IoError("cannot create", mjpegPath_, errno);
          }
          files_.push_back(mjpegPath_);
        }
        errno = 0;
        if (std::fwrite(data, 1, jpeg, mjpeg_) != jpeg || std::fflush(mjpeg_) != 0) {
          throw IoError("cannot write", mjpegPath_, errno);
        }
      } else {
        WriteWhole(base + ".blank", data, length);
      }
      break;
    }
  }
  if (options_.png) {
    WritePng(base + ".png", data, length);
  }
}

void FrameWriter::Finish() {
  finished_ = true;
  for (auto [file, path] : {std::pair<std::FILE **, const std::string *>{&y4m_, &y4mPath_}, {&mjpeg_, &mjpegPath_}}) {
    std::FILE *f = *file;
    *file = nullptr;
    errno = 0;
    if (f != nullptr && std::fclose(f) != 0) {
      throw IoError("cannot write", *path, errno);
    }
  }
}

bool IsCamsimOutputName(const std::string &name) {
  if (name == "stream.y4m" || name == "stream.mjpeg" || name == "frames.tsv") {
    return true;
  }
  static const char *const kExtensions[] = {".bmp", ".png", ".yuy2", ".i420", ".jpg", ".blank"};
  if (name.size() < 12 || (name.compare(0, 6, "frame_") != 0 && name.compare(0, 6, "still_") != 0)) {
    return false;
  }
  for (size_t i = 6; i < 12; ++i) {
    if (name[i] < '0' || name[i] > '9') {
      return false;
    }
  }
  for (const char *ext : kExtensions) {
    if (name.compare(12, std::string::npos, ext) == 0) {
      return true;
    }
  }
  return false;
}

OutputFolderContents ListOutputFolder(const std::string &dir) {
  OutputFolderContents contents;
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) {
    return contents;
  }
  for (const auto &entry : std::filesystem::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_regular_file(ec) && IsCamsimOutputName(name)) {
      contents.earlier.push_back(entry.path().string());
    } else {
      contents.others.push_back(name);
    }
  }
  std::sort(contents.earlier.begin(), contents.earlier.end());
  std::sort(contents.others.begin(), contents.others.end());
  return contents;
}
