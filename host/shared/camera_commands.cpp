// The simulated camera's own command state, as it answers the requests nobody programmed an
// answer for.
//
// The camera runs one operation at a time. out(6, op) opens it: 0x20 reads the parameter
// memory, 0x90 the 2-byte firmware version, 0xD6 writes the parameter memory, 0x30 is a plain
// command, 0xA0 closes the open one (idle), and any other byte selects a one-byte register.
// in(7, 0) reads the open operation's answer: 0x00 when it is accepted (and when idle), or the
// selected register's value. The bulk pipes carry the operation's data; with no operation open
// a bulk write goes to a scratch FIFO that a bulk read with no operation open gives back.
// out(0x10F0, 0) makes the next bulk read return the 16-byte status block.
#include "shared_rules.h"

namespace {

constexpr USHORT kOperationOpen = 6;
constexpr USHORT kOperationAnswer = 7;
constexpr USHORT kReadyPoll = 0xA0;
constexpr USHORT kStatusRead = 0x10F0;
constexpr UCHAR kIdle = 0xA0;
constexpr UCHAR kReadMemory = 0x20;
constexpr UCHAR kReadVersion = 0x90;
constexpr UCHAR kCommand = 0x30;
constexpr UCHAR kWriteMemory = 0xD6;
constexpr UCHAR kVersion[2] = {1, 2};  // firmware 1.02: major, minor

ULONG Min(ULONG a, ULONG b) { return a < b ? a : b; }

}  // namespace

BOOLEAN TorvaneShared_CameraStartSize(USHORT value, LONG *width, LONG *height) {
  if ((value & 0xFF) != 0x40) return FALSE;
  switch (value >> 8) {
    case 10: *width = 160, *height = 120; return TRUE;
    case 20: *width = 320, *height = 240; return TRUE;
    case 40: *width = 640, *height = 480; return TRUE;
    default: return FALSE;
  }
}

// memcpy and memset with a count of 0: a transfer without data may come with no buffer at all.
inline void CopyBytes(void *to, const void *from, ULONG n) {
  if (n != 0) memcpy(to, from, n);
}
inline void ZeroBytes(void *to, ULONG n) {
  if (n != 0) memset(to, 0, n);
}

void TorvaneShared_CameraReset(TORVANE_CAMERA_COMMANDS *c) {
  memset(c, 0, sizeof(*c));
  c->operation = kIdle;
}

void TorvaneShared_CameraLosePower(TORVANE_CAMERA_COMMANDS *c) {
  c->operation = kIdle;
  c->memoryOffset = 0;
  c->statusPending = FALSE;
}

void TorvaneShared_CameraServe(TORVANE_CAMERA_COMMANDS *c, const TORVANE_CAMERA_STREAM_VIEW *stream, ULONG kind,
                               BOOLEAN deviceToHost, USHORT value, USHORT index, PUCHAR data, ULONG length) {
  switch (kind) {
    case TORVANE_CAMERA_CONTROL:
      if (deviceToHost) {
        if (length == 0) break;  // no data stage (data may then be NULL)
        memset(data, 0, length);
        if (value == kReadyPoll && index == 0) {
          data[0] = 0x04;  // ready
        } else if (value == kOperationAnswer && index == 0) {
          switch (c->operation) {
            case kIdle: case kReadMemory: case kReadVersion: case kCommand: case kWriteMemory:
              data[0] = 0x00;
              break;
            default:
              data[0] = c->registers[c->operation];
              break;
          }
        }
      } else if (value == kOperationOpen) {
        c->operation = (UCHAR)index;
        c->memoryOffset = 0;
      } else if (value == kStatusRead && index == 0) {
        c->statusPending = TRUE;
      }
      // Anything else (start, stop, the block-read end 0xC0, raw commands) is accepted.
      break;

    case TORVANE_CAMERA_BULK_IN:
      ZeroBytes(data, length);
      if (c->statusPending) {
        c->statusPending = FALSE;
        UCHAR block[16];
        memset(block, 0, sizeof(block));
        block[0] = (UCHAR)((stream->streaming ? 1 : 0) | (stream->button ? 2 : 0) | 4);
        block[1] = (UCHAR)(stream->streaming ? stream->width / 16 : 0);  // the start command's size code
        block[2] = c->operation;
        for (int i = 0; i < 4; ++i) block[4 + i] = (UCHAR)(stream->framesSent >> (8 * i));
        block[8] = kVersion[0];
        block[9] = kVersion[1];
        block[10] = (UCHAR)stream->width, block[11] = (UCHAR)(stream->width >> 8);
        block[12] = (UCHAR)stream->height, block[13] = (UCHAR)(stream->height >> 8);
        block[14] = (UCHAR)c->memoryWritten, block[15] = (UCHAR)(c->memoryWritten >> 8);
        CopyBytes(data, block, Min(16, length));
      } else if (c->operation == kReadMemory) {
        ULONG n = Min(length, TORVANE_CAMERA_MEMORY - c->memoryOffset);
        CopyBytes(data, c->memory + c->memoryOffset, n);
        c->memoryOffset += n;
      } else if (c->operation == kReadVersion) {
        CopyBytes(data, kVersion, Min(2, length));
      } else if (c->operation == kIdle) {
        for (ULONG i = 0; i < length && c->scratchCount != 0; ++i) {
          data[i] = c->scratch[c->scratchHead];
          c->scratchHead = (c->scratchHead + 1) % TORVANE_CAMERA_SCRATCH;
          --c->scratchCount;
        }
      }
      break;

    case TORVANE_CAMERA_BULK_OUT:
      if (c->operation == kWriteMemory) {
        ULONG n = Min(length, TORVANE_CAMERA_MEMORY - c->memoryOffset);
        CopyBytes(c->memory + c->memoryOffset, data, n);
        c->memoryOffset += n;
        if (c->memoryOffset > c->memoryWritten) c->memoryWritten = c->memoryOffset;
      } else if (c->operation == kIdle) {
        // The FIFO keeps the newest bytes.
        for (ULONG i = 0; i < length; ++i) {
          if (c->scratchCount == TORVANE_CAMERA_SCRATCH) {
            c->scratchHead = (c->scratchHead + 1) % TORVANE_CAMERA_SCRATCH;
            --c->scratchCount;
          }
          c->scratch[(c->scratchHead + c->scratchCount) % TORVANE_CAMERA_SCRATCH] = data[i];
          ++c->scratchCount;
        }
      }
      break;

    default:
      break;
  }
}
