/* The device property requests the Wine stage makes, in order, through the stand-in stream class
 * under Wine (win/standins/torvane_wine.c) and through the host's stream class
 * (tests/wine/wine_reference.cpp) on the same driver image: both print each request's status,
 * byte count and reply in the same form, and the stage compares the two listings.
 * Plain C: included by the Windows test program and by the host program. */
#ifndef TORVANE_PROPERTY_SCRIPT_H
#define TORVANE_PROPERTY_SCRIPT_H

enum { TORVANE_SET_VIDEOPROCAMP, TORVANE_SET_VIDEOCONTROL, TORVANE_SET_PRIVATE, TORVANE_SET_UNKNOWN };

typedef struct {
  const char *name;
  int set;                     /* TORVANE_SET_* */
  unsigned long id;
  unsigned long flags;         /* KSPROPERTY_TYPE_GET, _SET, _BASICSUPPORT, _DEFAULTVALUES */
  unsigned long propertySize;  /* the input: a KSPROPERTY record and what follows it */
  unsigned long dataSize;      /* the property buffer */
  /* Written at byte 24 (just after the KSPROPERTY), 28 and 32 of both the input and the
   * property buffer (a set's buffer starts as a copy of its input). */
  long words[3];
} TorvanePropertyStep;

/* Sizes of the records (32-bit layouts): KSPROPERTY 24, KSPROPERTY_VIDEOPROCAMP_S 40,
 * KSPROPERTY_VIDEOCONTROL_CAPS_S 32, KSPROPERTY_DESCRIPTION 20. Ids: VideoProcAmp brightness 0,
 * contrast 1, hue 2, saturation 3, sharpness 4; video control caps 0. Flags: get 1, set 2,
 * basic support 0x200, default values 0x10000. Manual flag of a VideoProcAmp set: 2. The private
 * set's items take 32-byte requests and buffers; its reads and writes reach the camera (status
 * block, bulk pipes, operations on its parameter memory). */
static const TorvanePropertyStep kTorvanePropertyScript[] = {
    {"brightness get", TORVANE_SET_VIDEOPROCAMP, 0, 1, 40, 40, {0, 0, 0}},
    {"contrast get", TORVANE_SET_VIDEOPROCAMP, 1, 1, 40, 40, {0, 0, 0}},
    {"saturation get", TORVANE_SET_VIDEOPROCAMP, 3, 1, 40, 40, {0, 0, 0}},
    {"sharpness get", TORVANE_SET_VIDEOPROCAMP, 4, 1, 40, 40, {0, 0, 0}},
    {"hue get (not advertised)", TORVANE_SET_VIDEOPROCAMP, 2, 1, 40, 40, {0, 0, 0}},
    {"brightness set 60", TORVANE_SET_VIDEOPROCAMP, 0, 2, 40, 40, {60, 2, 0}},
    {"brightness get after set", TORVANE_SET_VIDEOPROCAMP, 0, 1, 40, 40, {0, 0, 0}},
    {"contrast set 65", TORVANE_SET_VIDEOPROCAMP, 1, 2, 40, 40, {65, 2, 0}},
    {"saturation set 70", TORVANE_SET_VIDEOPROCAMP, 3, 2, 40, 40, {70, 2, 0}},
    {"sharpness set 101 (out of range)", TORVANE_SET_VIDEOPROCAMP, 4, 2, 40, 40, {101, 2, 0}},
    {"contrast get after set", TORVANE_SET_VIDEOPROCAMP, 1, 1, 40, 40, {0, 0, 0}},
    {"saturation get after set", TORVANE_SET_VIDEOPROCAMP, 3, 1, 40, 40, {0, 0, 0}},
    {"sharpness get after set", TORVANE_SET_VIDEOPROCAMP, 4, 1, 40, 40, {0, 0, 0}},
    {"brightness size query", TORVANE_SET_VIDEOPROCAMP, 0, 1, 40, 0, {0, 0, 0}},
    {"brightness short buffer", TORVANE_SET_VIDEOPROCAMP, 0, 1, 40, 8, {0, 0, 0}},
    {"brightness short input", TORVANE_SET_VIDEOPROCAMP, 0, 1, 24, 40, {0, 0, 0}},
    {"brightness access", TORVANE_SET_VIDEOPROCAMP, 0, 0x200, 40, 4, {0, 0, 0}},
    {"brightness basic support", TORVANE_SET_VIDEOPROCAMP, 0, 0x200, 40, 128, {0, 0, 0}},
    {"brightness default values", TORVANE_SET_VIDEOPROCAMP, 0, 0x10000, 40, 128, {0, 0, 0}},
    {"video control caps, capture pin", TORVANE_SET_VIDEOCONTROL, 0, 1, 32, 32, {0, 0, 0}},
    {"video control caps, still pin", TORVANE_SET_VIDEOCONTROL, 0, 1, 32, 32, {1, 0, 0}},
    {"private status block", TORVANE_SET_PRIVATE, 0, 1, 32, 32, {0, 0, 0}},
    {"private bulk write", TORVANE_SET_PRIVATE, 12, 2, 32, 32, {0x11223344, 0x55667788, 0x7f}},
    {"private bulk read (the written bytes back)", TORVANE_SET_PRIVATE, 3, 1, 32, 32, {0, 0, 0}},
    {"private ready operation", TORVANE_SET_PRIVATE, 4, 2, 32, 32, {0, 0, 0}},
    {"private operation word", TORVANE_SET_PRIVATE, 2, 1, 32, 32, {0, 0, 0}},
    {"private close operation", TORVANE_SET_PRIVATE, 6, 2, 32, 32, {0, 0, 0}},
    {"private block write", TORVANE_SET_PRIVATE, 9, 2, 32, 32, {1, 2, 3}},
    {"private block read", TORVANE_SET_PRIVATE, 1, 1, 32, 32, {0, 0, 0}},
    {"private status block after writes", TORVANE_SET_PRIVATE, 0, 1, 32, 32, {0, 0, 0}},
    {"private get of a set-only item", TORVANE_SET_PRIVATE, 12, 1, 32, 32, {0, 0, 0}},
    {"private unknown item", TORVANE_SET_PRIVATE, 13, 1, 32, 32, {0, 0, 0}},
    {"unknown property set", TORVANE_SET_UNKNOWN, 0, 1, 40, 40, {0, 0, 0}},
};

#endif
