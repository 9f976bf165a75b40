// The host build's stand-in for the DDK headers: what the driver sees of the platform.
#pragma once

#include "nt_types.h"
#include "nt_status.h"
#include "nt_kernel.h"
#include "nt_io.h"
#include "nt_registry.h"
#include "nt_usb.h"
#include "nt_usbcamd.h"
#include "nt_ks.h"
#include "nt_stream.h"
