// What the driver needs from the platform that mingw-w64's DDK headers do not declare.
// Included by sys/platform.h on the target build only, after the DDK headers.
#pragma once
