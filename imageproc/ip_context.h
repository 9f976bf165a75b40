// The image-process context: the library's whole state, allocated by the driver. Eleven
// blocks in a fixed order; the JPEG decoder state (block 5) is the only one the decode path
// reads or writes. The others belong to processing stages this driver never runs; the
// initialiser still gives them their fixed starting values. Not a public header: the driver
// sees the context only as a block of ZRImageProcess_GetContextSize() bytes.
#pragma once

#include "jpg_decoder.h"

enum {
  IP_CONTEXT_REPORTED_SIZE = 325644, // the size the initialiser prints (32-bit target)
  IP_CONTEXT_QUERY_EXTRA = 4,        // the size query asks for four bytes more
};

// Block 1: parameters of an unused stage, ending in fourteen words.
typedef struct IpStageParams {
  uint8_t reserved[200];
  uint32_t words[14];
} IpStageParams;

// Blocks 2 and 3: work areas of an unused stage, ending in four words.
typedef struct IpStageWork {
  uint8_t data[23456];
  uint32_t tail[4];
} IpStageWork;

// Block 4: small state of an unused stage with a run of nine words.
typedef struct IpStageState {
  uint32_t lead[4];
  uint32_t words[9];
  uint32_t trail[3];
} IpStageState;

// Block 6: four 256-entry byte look-up tables, then two words.
typedef struct IpLookupTables {
  uint8_t table[4][256];
  uint32_t word0;
  uint32_t word1;
} IpLookupTables;

// Block 7: two bytes, a word, five words.
typedef struct IpLevels {
  uint8_t flag;
  uint8_t mode;
  uint32_t word;
  uint32_t levels[5];
} IpLevels;

// Block 8: two bytes, four words, one word.
typedef struct IpGains {
  uint8_t flag;
  uint8_t level;
  uint32_t gains[4];
  uint32_t last;
} IpGains;

// Block 9: begins with a word.
typedef struct IpBlock9 {
  uint32_t first;
  uint8_t data[1020];
} IpBlock9;

// Block 10: ends in seven words.
typedef struct IpBlock10 {
  uint8_t data[1024];
  uint32_t tail[7];
} IpBlock10;

// Block 11: begins with a byte.
typedef struct IpBlock11 {
  uint8_t first;
  uint8_t data[255];
} IpBlock11;

typedef struct ImageProc_Context {
  IpStageParams stage_params;  // 1
  IpStageWork stage_work_a;    // 2
  IpStageWork stage_work_b;    // 3
  IpStageState stage_state;    // 4
  JpgDecoder decoder;          // 5
  IpLookupTables lookup;       // 6
  IpLevels levels;             // 7
  IpGains gains;               // 8
  IpBlock9 block9;             // 9
  IpBlock10 block10;           // 10
  IpBlock11 block11;           // 11
} ImageProc_Context;

#if defined(__i386__)
static_assert(sizeof(IpLevels) == 28 && sizeof(IpGains) == 24, "small blocks");
static_assert(sizeof(ImageProc_Context) == IP_CONTEXT_REPORTED_SIZE,
              "the context is 325644 bytes on the 32-bit target");
static_assert(sizeof(ImageProc_Context) + IP_CONTEXT_QUERY_EXTRA == 325648,
              "the size query returns 325648 on the 32-bit target");
#endif

// The JPEG decoder state inside a context.
inline JpgDecoder *ip_context_decoder(void *context) {
  return &((ImageProc_Context *)context)->decoder;
}
