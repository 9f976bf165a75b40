// libjpeg-turbo loaded with dlopen; see jpg_ref_libjpeg.h.
#include "jpg_ref_libjpeg.h"

// The -m32 build finds no jconfig.h for its architecture: it gets the stubs at the end.
#if __has_include(<jconfig.h>)
#include <dlfcn.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>

namespace {

struct Api {
  bool loaded = false;
  decltype(&jpeg_std_error) std_error = nullptr;
  decltype(&jpeg_CreateCompress) create_compress = nullptr;
  decltype(&jpeg_set_defaults) set_defaults = nullptr;
  decltype(&jpeg_set_quality) set_quality = nullptr;
  decltype(&jpeg_mem_dest) mem_dest = nullptr;
  decltype(&jpeg_start_compress) start_compress = nullptr;
  decltype(&jpeg_write_scanlines) write_scanlines = nullptr;
  decltype(&jpeg_finish_compress) finish_compress = nullptr;
  decltype(&jpeg_destroy_compress) destroy_compress = nullptr;
  decltype(&jpeg_CreateDecompress) create_decompress = nullptr;
  decltype(&jpeg_mem_src) mem_src = nullptr;
  decltype(&jpeg_read_header) read_header = nullptr;
  decltype(&jpeg_destroy_decompress) destroy_decompress = nullptr;
  decltype(&jpeg_start_decompress) start_decompress = nullptr;
  decltype(&jpeg_read_scanlines) read_scanlines = nullptr;
  decltype(&jpeg_finish_decompress) finish_decompress = nullptr;
};

template <typename T>
bool Bind(void *lib, const char *name, T &slot) {
  slot = reinterpret_cast<T>(dlsym(lib, name));
  return slot != nullptr;
}

const Api &GetApi() {
  static const Api api = [] {
    Api a;
    void *lib = dlopen("libjpeg.so.62", RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
      return a;
    }
    a.loaded = Bind(lib, "jpeg_std_error", a.std_error) &&
               Bind(lib, "jpeg_CreateCompress", a.create_compress) &&
               Bind(lib, "jpeg_set_defaults", a.set_defaults) &&
               Bind(lib, "jpeg_set_quality", a.set_quality) &&
               Bind(lib, "jpeg_mem_dest", a.mem_dest) &&
               Bind(lib, "jpeg_start_compress", a.start_compress) &&
               Bind(lib, "jpeg_write_scanlines", a.write_scanlines) &&
               Bind(lib, "jpeg_finish_compress", a.finish_compress) &&
               Bind(lib, "jpeg_destroy_compress", a.destroy_compress) &&
               Bind(lib, "jpeg_CreateDecompress", a.create_decompress) &&
               Bind(lib, "jpeg_mem_src", a.mem_src) &&
               Bind(lib, "jpeg_read_header", a.read_header) &&
               Bind(lib, "jpeg_destroy_decompress", a.destroy_decompress) &&
               Bind(lib, "jpeg_start_decompress", a.start_decompress) &&
               Bind(lib, "jpeg_read_scanlines", a.read_scanlines) &&
               Bind(lib, "jpeg_finish_decompress", a.finish_decompress);
    return a;
  }();
  return api;
}

// libjpeg reports errors through error_exit, which must not return.
struct ErrorManager {
  jpeg_error_mgr pub;
  jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void ErrorExit(j_common_ptr cinfo) {
  ErrorManager *err = reinterpret_cast<ErrorManager *>(cinfo->err);
  err->pub.format_message(cinfo, err->message);
  longjmp(err->jump, 1);
}

void SilentOutput(j_common_ptr) {}

}  // namespace

bool RefJpeg_Available() { return GetApi().loaded; }

std::vector<uint8_t> RefJpeg_Encode(const RefJpegEncodeOptions &options,
                                    const std::vector<uint8_t> &rgb) {
  const Api &api = GetApi();
  std::vector<uint8_t> out;
  if (!api.loaded) {
    return out;
  }
  jpeg_compress_struct cinfo;
  ErrorManager err;
  unsigned char *buffer = nullptr;
  unsigned long size = 0;
  cinfo.err = api.std_error(&err.pub);
  err.pub.error_exit = ErrorExit;
  err.pub.output_message = SilentOutput;
  if (setjmp(err.jump) != 0) {
    api.destroy_compress(&cinfo);
    free(buffer);
    return {};
  }
  api.create_compress(&cinfo, JPEG_LIB_VERSION, sizeof(cinfo));
  api.mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = static_cast<JDIMENSION>(options.width);
  cinfo.image_height = static_cast<JDIMENSION>(options.height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  api.set_defaults(&cinfo);
  api.set_quality(&cinfo, options.quality, TRUE);
  cinfo.comp_info[0].h_samp_factor = options.h_samp;
  cinfo.comp_info[0].v_samp_factor = options.v_samp;
  cinfo.comp_info[1].h_samp_factor = 1;
  cinfo.comp_info[1].v_samp_factor = 1;
  cinfo.comp_info[2].h_samp_factor = 1;
  cinfo.comp_info[2].v_samp_factor = 1;
  cinfo.restart_interval = static_cast<unsigned>(options.restart_interval);
  api.start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(&rgb[cinfo.next_scanline * options.width * 3]);
    api.write_scanlines(&cinfo, &row, 1);
  }
  api.finish_compress(&cinfo);
  out.assign(buffer, buffer + size);
  api.destroy_compress(&cinfo);
  free(buffer);
  return out;
}

bool RefJpeg_StandardTables(RefHuffTable tables[4]) {
  const Api &api = GetApi();
  if (!api.loaded) {
    return false;
  }
  jpeg_compress_struct cinfo;
  ErrorManager err;
  cinfo.err = api.std_error(&err.pub);
  err.pub.error_exit = ErrorExit;
  err.pub.output_message = SilentOutput;
  if (setjmp(err.jump) != 0) {
    api.destroy_compress(&cinfo);
    return false;
  }
  api.create_compress(&cinfo, JPEG_LIB_VERSION, sizeof(cinfo));
  cinfo.in_color_space = JCS_RGB;
  cinfo.input_components = 3;
  api.set_defaults(&cinfo);
  JHUFF_TBL *source[4] = {cinfo.dc_huff_tbl_ptrs[0], cinfo.dc_huff_tbl_ptrs[1],
                          cinfo.ac_huff_tbl_ptrs[0], cinfo.ac_huff_tbl_ptrs[1]};
  for (int t = 0; t < 4; ++t) {
    int total = 0;
    for (int l = 0; l < 17; ++l) {
      tables[t].counts[l] = source[t]->bits[l];
      total += l == 0 ? 0 : source[t]->bits[l];
    }
    tables[t].symbols.assign(source[t]->huffval, source[t]->huffval + total);
  }
  api.destroy_compress(&cinfo);
  return true;
}

RefJpegHeader RefJpeg_ReadHeader(const std::vector<uint8_t> &data) {
  const Api &api = GetApi();
  RefJpegHeader h;
  if (!api.loaded) {
    h.error = "libjpeg not available";
    return h;
  }
  jpeg_decompress_struct cinfo;
  ErrorManager err;
  cinfo.err = api.std_error(&err.pub);
  err.pub.error_exit = ErrorExit;
  err.pub.output_message = SilentOutput;
  if (setjmp(err.jump) != 0) {
    h.error = err.message;
    api.destroy_decompress(&cinfo);
    return h;
  }
  api.create_decompress(&cinfo, JPEG_LIB_VERSION, sizeof(cinfo));
  api.mem_src(&cinfo, data.data(), data.size());
  api.read_header(&cinfo, TRUE);
  h.width = static_cast<int>(cinfo.image_width);
  h.height = static_cast<int>(cinfo.image_height);
  h.components = cinfo.num_components;
  for (int c = 0; c < cinfo.num_components && c < 4; ++c) {
    h.id[c] = cinfo.comp_info[c].component_id;
    h.h_samp[c] = cinfo.comp_info[c].h_samp_factor;
    h.v_samp[c] = cinfo.comp_info[c].v_samp_factor;
    h.quant_table[c] = cinfo.comp_info[c].quant_tbl_no;
  }
  for (int t = 0; t < 4; ++t) {
    if (cinfo.quant_tbl_ptrs[t] != nullptr) {
      h.has_quant[t] = true;
      std::memcpy(h.quant[t], cinfo.quant_tbl_ptrs[t]->quantval, sizeof(h.quant[t]));
    }
  }
  h.restart_interval = cinfo.restart_interval;
  h.ok = true;
  api.destroy_decompress(&cinfo);
  return h;
}

RefJpegImage RefJpeg_Decode(const std::vector<uint8_t> &data, bool ycbcr) {
  const Api &api = GetApi();
  RefJpegImage img;
  if (!api.loaded) {
    return img;
  }
  jpeg_decompress_struct cinfo;
  ErrorManager err;
  cinfo.err = api.std_error(&err.pub);
  err.pub.error_exit = ErrorExit;
  err.pub.output_message = SilentOutput;
  if (setjmp(err.jump) != 0) {
    api.destroy_decompress(&cinfo);
    return RefJpegImage{};
  }
  api.create_decompress(&cinfo, JPEG_LIB_VERSION, sizeof(cinfo));
  api.mem_src(&cinfo, data.data(), data.size());
  api.read_header(&cinfo, TRUE);
  cinfo.out_color_space = ycbcr ? JCS_YCbCr : JCS_RGB;
  cinfo.do_fancy_upsampling = FALSE;  // chroma replicated, as this decoder does
  cinfo.dct_method = JDCT_ISLOW;
  api.start_decompress(&cinfo);
  img.width = static_cast<int>(cinfo.output_width);
  img.height = static_cast<int>(cinfo.output_height);
  img.pixels.resize(static_cast<size_t>(img.width) * img.height * 3);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = &img.pixels[static_cast<size_t>(cinfo.output_scanline) * img.width * 3];
    api.read_scanlines(&cinfo, &row, 1);
  }
  api.finish_decompress(&cinfo);
  api.destroy_decompress(&cinfo);
  return img;
}

#else  // no libjpeg headers for this architecture

RefJpegImage RefJpeg_Decode(const std::vector<uint8_t> &, bool) { return {}; }

bool RefJpeg_Available() { return false; }
std::vector<uint8_t> RefJpeg_Encode(const RefJpegEncodeOptions &, const std::vector<uint8_t> &) {
  return {};
}
bool RefJpeg_StandardTables(RefHuffTable *) { return false; }
RefJpegHeader RefJpeg_ReadHeader(const std::vector<uint8_t> &) {
  RefJpegHeader h;
  h.error = "libjpeg not available";
  return h;
}

#endif
