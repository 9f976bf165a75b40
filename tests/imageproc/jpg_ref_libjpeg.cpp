// libjpeg-turbo loaded with dlopen; see jpg_ref_libjpeg.h.
#include "jpg_ref_libjpeg.h"

// The -m32 build finds no jconfig.h for its architecture: it gets the stubs at the end.
#if __has_include(<jconfig.h>)
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace {

#define REF_JPEG_API(X)                                                                            \
  X(jpeg_std_error) X(jpeg_CreateCompress) X(jpeg_set_defaults) X(jpeg_set_quality) X(jpeg_mem_dest) \
  X(jpeg_start_compress) X(jpeg_write_scanlines) X(jpeg_finish_compress) X(jpeg_destroy_compress)   \
  X(jpeg_CreateDecompress) X(jpeg_mem_src) X(jpeg_read_header) X(jpeg_destroy_decompress)           \
  X(jpeg_start_decompress) X(jpeg_read_scanlines) X(jpeg_finish_decompress)

struct Api {
  bool loaded = false;
#define REF_JPEG_SLOT(name) decltype(&::name) name = nullptr;
  REF_JPEG_API(REF_JPEG_SLOT)
};

const Api &GetApi() {
  static const Api api = [] {
    Api a;
    void *lib = dlopen("libjpeg.so.62", RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) return a;
    a.loaded = true;
#define REF_JPEG_BIND(name) \
  a.name = reinterpret_cast<decltype(a.name)>(dlsym(lib, #name)); \
  a.loaded = a.loaded && a.name != nullptr;
    REF_JPEG_API(REF_JPEG_BIND)
    return a;
  }();
  return api;
}

}  // namespace

bool RefJpeg_Available() { return GetApi().loaded; }

std::vector<uint8_t> RefJpeg_Encode(const RefJpegEncodeOptions &o, const std::vector<uint8_t> &rgb) {
  const Api &api = GetApi();
  if (!api.loaded) return {};
  jpeg_compress_struct cinfo;
  jpeg_error_mgr err;  // the default error exit ends the test program: the inputs are always valid
  unsigned char *buffer = nullptr;
  unsigned long size = 0;
  cinfo.err = api.jpeg_std_error(&err);
  api.jpeg_CreateCompress(&cinfo, JPEG_LIB_VERSION, sizeof(cinfo));
  api.jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = static_cast<JDIMENSION>(o.width);
  cinfo.image_height = static_cast<JDIMENSION>(o.height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  api.jpeg_set_defaults(&cinfo);
  api.jpeg_set_quality(&cinfo, o.quality, TRUE);
  cinfo.comp_info[0].h_samp_factor = o.h_samp;
  cinfo.comp_info[0].v_samp_factor = o.v_samp;
  for (int c = 1; c < 3; ++c) cinfo.comp_info[c].h_samp_factor = cinfo.comp_info[c].v_samp_factor = 1;
  cinfo.restart_interval = static_cast<unsigned>(o.restart_interval);
  api.jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(&rgb[cinfo.next_scanline * o.width * 3]);
    api.jpeg_write_scanlines(&cinfo, &row, 1);
  }
  api.jpeg_finish_compress(&cinfo);
  std::vector<uint8_t> out(buffer, buffer + size);
  api.jpeg_destroy_compress(&cinfo);
  free(buffer);
  return out;
}

RefJpegImage RefJpeg_Decode(const std::vector<uint8_t> &data, bool ycbcr) {
  const Api &api = GetApi();
  RefJpegImage img;
  if (!api.loaded) return img;
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr err;
  cinfo.err = api.jpeg_std_error(&err);
  api.jpeg_CreateDecompress(&cinfo, JPEG_LIB_VERSION, sizeof(cinfo));
  api.jpeg_mem_src(&cinfo, data.data(), data.size());
  api.jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = ycbcr ? JCS_YCbCr : JCS_RGB;
  cinfo.do_fancy_upsampling = FALSE;  // chroma replicated, as this decoder does
  cinfo.dct_method = JDCT_ISLOW;
  api.jpeg_start_decompress(&cinfo);
  img.width = static_cast<int>(cinfo.output_width);
  img.height = static_cast<int>(cinfo.output_height);
  img.pixels.resize(static_cast<size_t>(img.width) * img.height * 3);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = &img.pixels[static_cast<size_t>(cinfo.output_scanline) * img.width * 3];
    api.jpeg_read_scanlines(&cinfo, &row, 1);
  }
  api.jpeg_finish_decompress(&cinfo);
  api.jpeg_destroy_decompress(&cinfo);
  return img;
}

#else  // no libjpeg headers for this architecture

bool RefJpeg_Available() { return false; }
std::vector<uint8_t> RefJpeg_Encode(const RefJpegEncodeOptions &, const std::vector<uint8_t> &) { return {}; }
RefJpegImage RefJpeg_Decode(const std::vector<uint8_t> &, bool) { return {}; }

#endif
