/* The isochronous slots of a camera stream as a file: written on the host from the simulated
 * camera (tests/wine/wine_reference.cpp), replayed by the host's class library
 * (HostSimCamera::ScriptSlots) and by the Wine stand-in class library (win/standins), so that
 * the driver sees the same packets on both. Plain C.
 *
 * The file: the 8 magic bytes "TVSLOTS1", then one record per slot, little-endian:
 *   u8 sync byte, u32 sync length (0: the sync packet carried no byte), u32 sync status,
 *   u32 data status, u64 camera frame (0: no frame data), u32 data length, the data bytes. */
#ifndef TORVANE_SLOT_FILE_H
#define TORVANE_SLOT_FILE_H

#define TORVANE_SLOT_MAGIC "TVSLOTS1"
#define TORVANE_SLOT_MAGIC_SIZE 8
#define TORVANE_SLOT_RECORD_SIZE 25 /* before the data bytes */

#endif
