// What the driver needs from the platform that mingw-w64's DDK headers do not declare.
// Included by sys/platform.h on the target build only, after the DDK headers.
#pragma once

// ksmedia.h names the RGB24 subtype GUID only as an object (from uuids.h); the format tables
// need it as an initialiser.
#ifndef STATIC_KSDATAFORMAT_SUBTYPE_RGB24
#define STATIC_KSDATAFORMAT_SUBTYPE_RGB24 0xe436eb7d, 0x524f, 0x11ce, 0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70
#endif

// The thread object type. ntoskrnl exports PsThreadType as the variable that holds the type
// itself, and drivers pass *PsThreadType, reading that variable through their import slot.
// mingw-w64's wdm.h declares the symbol dllimport, which makes the compiler read one level
// further (the type record's first field) and would make every reference fail with a type
// mismatch; so the import slot is named directly: *PsThreadType is the exported variable.
extern "C" POBJECT_TYPE *LUMAREX_PsThreadTypeSlot __asm__("__imp__PsThreadType");
#define PsThreadType LUMAREX_PsThreadTypeSlot
