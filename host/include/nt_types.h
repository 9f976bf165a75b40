// Basic NT types for the host build. Every type has the width it has on 32-bit Windows,
// so the -m32 build lays records out exactly as the target does. On the 64-bit host only
// pointer-sized types grow.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#if defined(__i386__)
#define NTAPI __attribute__((stdcall))
#define __cdecl __attribute__((cdecl))
#define FASTCALL __attribute__((fastcall))
#else
#define NTAPI
#define __cdecl
#define FASTCALL
#endif

#define IN
#define OUT
#define OPTIONAL
#define VOID void
#define CONST const

#ifdef __cplusplus
#define TORVANE_EXTERN_C extern "C"
#else
#define TORVANE_EXTERN_C extern
#endif

typedef char CHAR, *PCHAR, CCHAR;
typedef unsigned char UCHAR, *PUCHAR;
typedef short SHORT, *PSHORT, CSHORT;
typedef unsigned short USHORT, *PUSHORT;
typedef int32_t LONG, *PLONG;
typedef uint32_t ULONG, *PULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR, *PULONG_PTR;
typedef ULONG_PTR SIZE_T, *PSIZE_T;
typedef UCHAR BOOLEAN, *PBOOLEAN;
typedef void *PVOID, **PPVOID;
typedef PVOID HANDLE, *PHANDLE;
typedef const char *PCSTR;
typedef char *PSTR;
// WCHAR is 16 bits on Windows; wchar_t is 32 bits on Linux, so the host uses char16_t.
typedef char16_t WCHAR, *PWCHAR, *PWSTR;
typedef const WCHAR *PCWSTR;
typedef LONG NTSTATUS, *PNTSTATUS;
typedef ULONG ACCESS_MASK;
typedef ULONG DEVICE_TYPE;
typedef UCHAR KIRQL, *PKIRQL;
typedef CCHAR KPROCESSOR_MODE;

#define TRUE 1
#define FALSE 0

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
} GUID, *PGUID;
typedef const GUID *LPCGUID;

typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY *Flink;
  struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define MAXULONG 0xffffffffUL
#define RTL_NUMBER_OF(a) (sizeof(a) / sizeof((a)[0]))
#define ARRAYSIZE(a) RTL_NUMBER_OF(a)
#define UNREFERENCED_PARAMETER(p) ((void)(p))

#define RtlCopyMemory(d, s, n) memcpy((d), (s), (n))
#define RtlMoveMemory(d, s, n) memmove((d), (s), (n))
#define RtlFillMemory(d, n, v) memset((d), (v), (n))
#define RtlZeroMemory(d, n) memset((d), 0, (n))
#define RtlEqualMemory(a, b, n) (memcmp((a), (b), (n)) == 0)
