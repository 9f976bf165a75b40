// The image-process context: its size, and the two initialisation entries with their log
// lines. The library allocates nothing; the driver allocates the context at the size asked
// for here and calls the initialisation at device start, at every bandwidth allocation, at
// a capture start, and between the first frames of a capture.
#include "imageproc.h"
#include "ip_context.h"
#include "ip_dbgprint.h"

static void fill_words(uint32_t *words, const uint32_t *values, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    words[i] = values[i];
  }
}

uint32_t ZRImageProcess_GetContextSize(void) {
  return (uint32_t)sizeof(ImageProc_Context) + IP_CONTEXT_QUERY_EXTRA;
}

void ZRImageProcess_Initialize(void *DeviceContext, void *context) {
  (void)DeviceContext;
  DbgPrint("<ZR417IP>Builded in %s %s\n", __DATE__, __TIME__);
  Init_ZR417_ImageProc_Context(context);
  DbgPrint("ZRImageProcess_Initialize() OUT\n");
}

void ZRImageProcess_AllowVectorForms(void *context, int32_t allow) {
  jpg_allow_vector_forms(ip_context_decoder(context), allow);
}

int32_t ZRImageProcess_VectorForm(void *context) {
  return jpg_vector_form(ip_context_decoder(context));
}

void Init_ZR417_ImageProc_Context(void *context) {
  static const uint32_t stage_params[14] = {400, 24, 0, 0, 4, 200, 20, 20, 50, 0, 0, 0, 0, 139};
  static const uint32_t stage_state[9] = {0, 0, 0, 40, 0, 0, 0, 0, 0};
  ImageProc_Context *c = (ImageProc_Context *)context;

  // The 32-bit figure on every build, as the line has always read.
  DbgPrint("Context of ImageProc             size = %d\n", (int)IP_CONTEXT_REPORTED_SIZE);

  fill_words(c->stage_params.words, stage_params, 14);
  for (int32_t i = 0; i < 4; ++i) {
    c->stage_work_a.tail[i] = 0;
    c->stage_work_b.tail[i] = 0;
  }
  fill_words(c->stage_state.words, stage_state, 9);

  jpg_init(&c->decoder);

  for (int32_t t = 0; t < 4; ++t) {
    for (int32_t i = 0; i < 256; ++i) {
      c->lookup.table[t][i] = (uint8_t)i;
    }
  }
  c->lookup.word0 = 0;
  c->lookup.word1 = 0x80808080u;

  c->levels.flag = 1;
  c->levels.mode = 0;
  c->levels.word = 0;
  for (int32_t i = 0; i < 5; ++i) {
    c->levels.levels[i] = 128;
  }

  c->gains.flag = 1;
  c->gains.level = 128;
  for (int32_t i = 0; i < 4; ++i) {
    c->gains.gains[i] = 128;
  }
  c->gains.last = 0;

  c->block9.first = 0;
  for (int32_t i = 0; i < 7; ++i) {
    c->block10.tail[i] = 0;
  }
  c->block11.first = 0;

  DbgPrint("Init_ZR417_ImageProc_Context() OUT\n");
}
