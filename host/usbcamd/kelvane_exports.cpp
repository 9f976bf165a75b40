// Kelvane.sys, the camera class library, as driver images import it (stdcall routines exported
// under their plain names).
#include "host_image.h"

namespace {

const HostExport kExports[] = {
    HOST_EXPORT(USBCAMD_AdapterReceivePacket),
    HOST_EXPORT(USBCAMD_ControlVendorCommand),
    HOST_EXPORT(USBCAMD_DriverEntry),
    HOST_EXPORT(USBCAMD_InitializeNewInterface),
};

}  // namespace

const HostModuleExports HostKelvane_Exports = HOST_EXPORT_TABLE("Kelvane.sys", kExports);
