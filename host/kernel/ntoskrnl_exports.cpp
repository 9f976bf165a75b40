// ntoskrnl.exe as driver images import it: the host kernel's routines by their exported names.
// A routine the driver starts to use is one more line here.
#include <cstring>

#include "host_image.h"
#include "kernel_internal.h"

namespace {

const HostExport kExports[] = {
    HOST_EXPORT(DbgPrint),
    HOST_EXPORT(ExAllocatePool),
    HOST_EXPORT(ExAllocatePoolWithTag),
    HOST_EXPORT(ExFreePool),
    HOST_EXPORT(ExFreePoolWithTag),
    HOST_EXPORT(InterlockedCompareExchange),
    HOST_EXPORT(InterlockedExchange),
    HOST_EXPORT(IoBuildSynchronousFsdRequest),
    HOST_EXPORT(IofCallDriver),
    HOST_EXPORT(IoOpenDeviceRegistryKey),
    HOST_EXPORT(KeClearEvent),
    HOST_EXPORT(KeDelayExecutionThread),
    HOST_EXPORT(KeEnterCriticalRegion),
    HOST_EXPORT(KeInitializeEvent),
    HOST_EXPORT(KeLeaveCriticalRegion),
    HOST_EXPORT(KeReadStateEvent),
    HOST_EXPORT(KeResetEvent),
    HOST_EXPORT(KeRestoreFloatingPointState),
    HOST_EXPORT(KeSaveFloatingPointState),
    HOST_EXPORT(KeSetEvent),
    HOST_EXPORT(KeWaitForMultipleObjects),
    HOST_EXPORT(KeWaitForSingleObject),
    HOST_EXPORT(ObReferenceObjectByHandle),
    HOST_EXPORT(ObfDereferenceObject),
    HOST_EXPORT(PsCreateSystemThread),
    HOST_EXPORT(PsTerminateSystemThread),
    // The exported variable holds the type itself; the image's import slot gets its address.
    {"PsThreadType", &HostKernel_ThreadType, true},
    HOST_EXPORT(RtlCompareMemory),
    HOST_EXPORT(RtlInitUnicodeString),
    HOST_EXPORT(ZwClose),
    HOST_EXPORT(ZwCreateKey),
    HOST_EXPORT(ZwOpenKey),
    HOST_EXPORT(ZwQueryValueKey),
    HOST_EXPORT(ZwSetValueKey),
    // The C library's memory routines, which the compiler may call (cdecl).
    HOST_EXPORT(memcmp),
    HOST_EXPORT(memcpy),
    HOST_EXPORT(memmove),
    HOST_EXPORT(memset),
};

}  // namespace

const HostModuleExports HostNtoskrnl_Exports = HOST_EXPORT_TABLE("ntoskrnl.exe", kExports);
