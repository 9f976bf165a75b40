# Reads the headers and the import table of the linked driver (objdump -p) and fails when the
# driver is not a native-subsystem image, is flagged as a DLL, exports anything, has no base
# relocations, imports anything outside the platform interfaces it is meant to use, or lacks one
# of the interfaces it is expected to use. Run with -DOBJDUMP=... -DIMAGE=... -DSTAMP=... (the
# stamp file is written on success).

cmake_minimum_required(VERSION 3.20)

# module!routine the driver is expected to import.
set(expected
    ntoskrnl.exe!ExAllocatePoolWithTag ntoskrnl.exe!ExFreePool
    ntoskrnl.exe!KeInitializeEvent ntoskrnl.exe!KeSetEvent ntoskrnl.exe!KeClearEvent
    ntoskrnl.exe!KeWaitForSingleObject ntoskrnl.exe!KeWaitForMultipleObjects ntoskrnl.exe!KeDelayExecutionThread
    ntoskrnl.exe!KeEnterCriticalRegion ntoskrnl.exe!KeLeaveCriticalRegion
    ntoskrnl.exe!PsCreateSystemThread ntoskrnl.exe!PsTerminateSystemThread ntoskrnl.exe!PsThreadType
    ntoskrnl.exe!ObReferenceObjectByHandle ntoskrnl.exe!ObfDereferenceObject ntoskrnl.exe!ZwClose
    ntoskrnl.exe!IoOpenDeviceRegistryKey ntoskrnl.exe!ZwCreateKey ntoskrnl.exe!ZwQueryValueKey
    ntoskrnl.exe!ZwSetValueKey ntoskrnl.exe!RtlInitUnicodeString
    ntoskrnl.exe!IoBuildSynchronousFsdRequest ntoskrnl.exe!IofCallDriver
    ntoskrnl.exe!RtlCompareMemory ntoskrnl.exe!DbgPrint
    stream.sys!StreamClassDeviceNotification stream.sys!StreamClassStreamNotification
    Kelvane.sys!USBCAMD_DriverEntry Kelvane.sys!USBCAMD_AdapterReceivePacket
    Kelvane.sys!USBCAMD_InitializeNewInterface Kelvane.sys!USBCAMD_ControlVendorCommand)
# Also allowed: the floating-point state save around the vector forms, the memory routines
# the compiler may call, and the class library's alternate-setting selection.
set(allowed ${expected}
    ntoskrnl.exe!KeSaveFloatingPointState ntoskrnl.exe!KeRestoreFloatingPointState
    ntoskrnl.exe!memcpy ntoskrnl.exe!memset ntoskrnl.exe!memcmp ntoskrnl.exe!memmove
    Kelvane.sys!USBCAMD_SelectAlternateInterface)

execute_process(COMMAND ${OBJDUMP} -p ${IMAGE} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump -p ${IMAGE} failed")
endif()
if(NOT dump MATCHES "Subsystem[ \t]+00000001")
  message(FATAL_ERROR "${IMAGE} is not a native-subsystem image")
endif()

# The image header: a driver is not a DLL (IMAGE_FILE_DLL, 0x2000, clear), exports nothing (no
# export directory, no export table) and can be relocated (a base relocation directory).
set(errors "")
if(NOT dump MATCHES "\nCharacteristics 0x([0-9a-fA-F]+)\n")
  message(FATAL_ERROR "objdump -p ${IMAGE} shows no image characteristics")
endif()
math(EXPR dll_flag "0x${CMAKE_MATCH_1} & 0x2000")
if(NOT dll_flag EQUAL 0)
  string(APPEND errors "  is flagged as a DLL (characteristics 0x${CMAKE_MATCH_1})\n")
endif()
set(export_size "")
if(dump MATCHES "\nEntry 0 [0-9a-fA-F]+ ([0-9a-fA-F]+) Export Directory")
  set(export_size "${CMAKE_MATCH_1}")
endif()
if(NOT export_size MATCHES "^0+$" OR dump MATCHES "The Export Tables")
  string(APPEND errors "  has an export table\n")
endif()
set(reloc_size "")
if(dump MATCHES "\nEntry 5 [0-9a-fA-F]+ ([0-9a-fA-F]+) Base Relocation Directory")
  set(reloc_size "${CMAKE_MATCH_1}")
endif()
if(reloc_size STREQUAL "" OR reloc_size MATCHES "^0+$")
  string(APPEND errors "  has no base relocations\n")
endif()

string(REPLACE "\n" ";" lines "${dump}")
set(module "")
set(imports "")
foreach(line IN LISTS lines)
  if(line MATCHES "DLL Name: (.+)$")
    set(module "${CMAKE_MATCH_1}")
  elseif(module AND line MATCHES "^\t[0-9a-f]+\t +[0-9]+ +([A-Za-z_@0-9]+)$")
    list(APPEND imports "${module}!${CMAKE_MATCH_1}")
  elseif(line MATCHES "^The Export Tables")
    set(module "")
  endif()
endforeach()

foreach(i IN LISTS imports)
  if(NOT i IN_LIST allowed)
    string(APPEND errors "  imports ${i}, which the driver must not use\n")
  endif()
endforeach()
foreach(e IN LISTS expected)
  if(NOT e IN_LIST imports)
    string(APPEND errors "  does not import ${e}\n")
  endif()
endforeach()
if(errors)
  message(FATAL_ERROR "${IMAGE} image check failed:\n${errors}")
endif()
list(JOIN imports "\n  " shown)
message(STATUS "Torvane.sys imports:\n  ${shown}")
file(WRITE ${STAMP} "${shown}\n")
