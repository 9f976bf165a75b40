// hal.dll as driver images import it: the IRQL routines, which the x86 kernel keeps in its HAL.
#include "host_image.h"

namespace {

const HostExport kExports[] = {
    HOST_EXPORT(KeGetCurrentIrql),
    HOST_EXPORT(KfLowerIrql),
    HOST_EXPORT(KfRaiseIrql),
};

}  // namespace

const HostModuleExports HostHal_Exports = HOST_EXPORT_TABLE("hal.dll", kExports);
