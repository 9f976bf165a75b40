// What the driver needs from the platform that mingw-w64's DDK headers do not declare.
// Included by sys/platform.h on the target build only, after the DDK headers.
#pragma once

// ksmedia.h names the RGB24 subtype GUID only as an object (from uuids.h); the format tables
// need it as an initialiser.
#ifndef STATIC_KSDATAFORMAT_SUBTYPE_RGB24
#define STATIC_KSDATAFORMAT_SUBTYPE_RGB24 0xe436eb7d, 0x524f, 0x11ce, 0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70
#endif
