/* The captures the Wine stage makes after the property requests, in order, on the host
 * (tests/wine/wine_reference.cpp) and under Wine (win/standins/torvane_wine.c), from the same
 * recorded camera slots: each prints the results of its stream requests and property requests
 * in the same form, and writes every read buffer (320x240x3 bytes) into its frame file.
 * Each capture begins with the camera's recorded slots from their start: where the pump of the
 * capture before stopped is a matter of timing (after the last read it runs on to the next frame
 * it needs a read for, unless the stop comes first), so a replay that went on from there would
 * differ from run to run. For the same reason the still is asked for before the stream runs:
 * asked for while it runs, it lands on whichever frame the pump has reached.
 * Plain C; uses property_script.h's record. */
#ifndef TORVANE_CAPTURE_SCRIPT_H
#define TORVANE_CAPTURE_SCRIPT_H

#include "property_script.h"

enum {
  TORVANE_CAPTURE_OPEN,      /* the camera's slots from their start, then open stream 0 with the
                              * 320x240 RGB24 format; value: the output
                              * format the class library allocates the bandwidth with (0 RGB24,
                              * 1 YUY2, 2 I420, 3 MJPG) */
  TORVANE_CAPTURE_STATE,     /* value: KSSTATE (0 stop, 1 acquire, 2 pause, 3 run) */
  TORVANE_CAPTURE_PROPERTY,  /* the property request */
  TORVANE_CAPTURE_READS,     /* value reads, one at a time */
  TORVANE_CAPTURE_CLOSE
};

typedef struct {
  int action;
  unsigned long value;
  TorvanePropertyStep property;
} TorvaneCaptureStep;

#define TORVANE_CAPTURE_WIDTH 320
#define TORVANE_CAPTURE_HEIGHT 240
#define TORVANE_CAPTURE_BUFFER (320 * 240 * 3)

/* VideoProcAmp ids: brightness 0, contrast 1, saturation 3, sharpness 4. Video control mode
 * (id 3) on the still pin (stream index 1) with the trigger flag (8) asks for a still. */
static const TorvaneCaptureStep kTorvaneCaptureScript[] = {
    /* RGB24 with settings other than the defaults, set once the bandwidth allocation has restored
     * the saved ones, and a still. */
    {TORVANE_CAPTURE_OPEN, 0, {0}},
    {TORVANE_CAPTURE_STATE, 1, {0}},
    {TORVANE_CAPTURE_PROPERTY, 0, {"capture brightness set 70", TORVANE_SET_VIDEOPROCAMP, 0, 2, 40, 40, {70, 2, 0}}},
    {TORVANE_CAPTURE_PROPERTY, 0, {"capture contrast set 35", TORVANE_SET_VIDEOPROCAMP, 1, 2, 40, 40, {35, 2, 0}}},
    {TORVANE_CAPTURE_PROPERTY, 0, {"capture saturation set 80", TORVANE_SET_VIDEOPROCAMP, 3, 2, 40, 40, {80, 2, 0}}},
    {TORVANE_CAPTURE_PROPERTY, 0, {"capture sharpness set 60", TORVANE_SET_VIDEOPROCAMP, 4, 2, 40, 40, {60, 2, 0}}},
    {TORVANE_CAPTURE_PROPERTY, 0, {"capture still trigger", TORVANE_SET_VIDEOCONTROL, 3, 2, 32, 32, {1, 8, 0}}},
    {TORVANE_CAPTURE_STATE, 3, {0}},
    {TORVANE_CAPTURE_READS, 16, {0}},
    {TORVANE_CAPTURE_STATE, 0, {0}},
    {TORVANE_CAPTURE_CLOSE, 0, {0}},
    /* YUY2: the settings the stop saved come back with the next allocation. */
    {TORVANE_CAPTURE_OPEN, 1, {0}},
    {TORVANE_CAPTURE_STATE, 1, {0}},
    {TORVANE_CAPTURE_PROPERTY, 0, {"saved brightness get", TORVANE_SET_VIDEOPROCAMP, 0, 1, 40, 40, {0, 0, 0}}},
    {TORVANE_CAPTURE_PROPERTY, 0, {"saved contrast get", TORVANE_SET_VIDEOPROCAMP, 1, 1, 40, 40, {0, 0, 0}}},
    {TORVANE_CAPTURE_PROPERTY, 0, {"saved saturation get", TORVANE_SET_VIDEOPROCAMP, 3, 1, 40, 40, {0, 0, 0}}},
    {TORVANE_CAPTURE_PROPERTY, 0, {"saved sharpness get", TORVANE_SET_VIDEOPROCAMP, 4, 1, 40, 40, {0, 0, 0}}},
    {TORVANE_CAPTURE_STATE, 3, {0}},
    {TORVANE_CAPTURE_READS, 9, {0}},
    {TORVANE_CAPTURE_STATE, 0, {0}},
    {TORVANE_CAPTURE_CLOSE, 0, {0}},
    /* I420 and MJPG. */
    {TORVANE_CAPTURE_OPEN, 2, {0}},
    {TORVANE_CAPTURE_STATE, 3, {0}},
    {TORVANE_CAPTURE_READS, 9, {0}},
    {TORVANE_CAPTURE_STATE, 0, {0}},
    {TORVANE_CAPTURE_CLOSE, 0, {0}},
    {TORVANE_CAPTURE_OPEN, 3, {0}},
    {TORVANE_CAPTURE_STATE, 3, {0}},
    {TORVANE_CAPTURE_READS, 9, {0}},
    {TORVANE_CAPTURE_STATE, 0, {0}},
    {TORVANE_CAPTURE_CLOSE, 0, {0}},
};

/* The next run, on the same device (its settings in the registry kept from the run before, as
 * Windows keeps a device's driver key when the camera is unplugged and plugged in again, or the
 * machine restarts): the settings the first run's captures saved come back with the allocation. */
static const TorvaneCaptureStep kTorvaneNextRunScript[] = {
    {TORVANE_CAPTURE_OPEN, 0, {0}},
    {TORVANE_CAPTURE_STATE, 1, {0}},
    {TORVANE_CAPTURE_PROPERTY, 0, {"next run brightness get", TORVANE_SET_VIDEOPROCAMP, 0, 1, 40, 40, {0, 0, 0}}},
    {TORVANE_CAPTURE_PROPERTY, 0, {"next run contrast get", TORVANE_SET_VIDEOPROCAMP, 1, 1, 40, 40, {0, 0, 0}}},
    {TORVANE_CAPTURE_PROPERTY, 0, {"next run saturation get", TORVANE_SET_VIDEOPROCAMP, 3, 1, 40, 40, {0, 0, 0}}},
    {TORVANE_CAPTURE_PROPERTY, 0, {"next run sharpness get", TORVANE_SET_VIDEOPROCAMP, 4, 1, 40, 40, {0, 0, 0}}},
    {TORVANE_CAPTURE_STATE, 3, {0}},
    {TORVANE_CAPTURE_READS, 9, {0}},
    {TORVANE_CAPTURE_STATE, 0, {0}},
    {TORVANE_CAPTURE_CLOSE, 0, {0}},
};

/* The allocation format of an output format: the RGB24 format with the bitmap header's
 * compression and bit count changed (biBitCount at byte 126, biCompression at 128 of a
 * KS_DATAFORMAT_VIDEOINFOHEADER). Empty (0) for RGB24. */
static unsigned long TorvaneAllocationFormat(unsigned long output, unsigned char *format, unsigned long size) {
  static const unsigned long fourcc[4] = {0, 0x32595559 /* YUY2 */, 0x30323449 /* I420 */, 0x47504A4D /* MJPG */};
  static const unsigned short bits[4] = {24, 16, 12, 24};
  if (output == 0 || output > 3 || size < 132) return 0;
  format[126] = (unsigned char)bits[output];
  format[127] = (unsigned char)(bits[output] >> 8);
  for (int i = 0; i < 4; ++i) format[128 + i] = (unsigned char)(fourcc[output] >> (8 * i));
  return size;
}

#endif
