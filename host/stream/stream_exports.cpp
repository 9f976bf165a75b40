// stream.sys as driver images import it: the stream class's notifications (cdecl).
#include "host_image.h"

namespace {

const HostExport kExports[] = {
    HOST_EXPORT(StreamClassDeviceNotification),
    HOST_EXPORT(StreamClassStreamNotification),
};

}  // namespace

const HostModuleExports HostStreamClass_Exports = HOST_EXPORT_TABLE("stream.sys", kExports);
