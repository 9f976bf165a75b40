# The stand-in stream class (stream.sys) and camera class library (Kelvane.sys) that run the
# shipped Torvane.sys under Wine, and the Windows test program that installs and drives it.
# Included from win/target.cmake. The drivers are built as Torvane.sys is: freestanding, no C++
# runtime, native subsystem; they export their routines by plain name, import from ntoskrnl.exe
# only (Kelvane.sys also from stream.sys, as a class library does), and share the stream class's
# and class library's rules with the host (host/shared).
set(TORVANE_STANDIN_DIR ${CMAKE_BINARY_DIR}/standins)
set(TORVANE_STANDIN_FLAGS ${TORVANE_DRIVER_FLAGS} -ffreestanding -fno-asynchronous-unwind-tables
    -fno-stack-protector -O2 -mgeneral-regs-only)
set(TORVANE_STANDIN_INCLUDES ${CMAKE_SOURCE_DIR}/sys ${CMAKE_SOURCE_DIR}/win ${TORVANE_DDK_INCLUDE})
set(TORVANE_STANDIN_LINK -nostdlib -Wl,--subsystem,native -Wl,--kill-at -Wl,--dynamicbase
    -Wl,--enable-reloc-section)

add_library(standin_shared OBJECT ${CMAKE_SOURCE_DIR}/host/shared/property_filter.cpp ${CMAKE_SOURCE_DIR}/host/shared/camera_commands.cpp
            ${CMAKE_SOURCE_DIR}/host/shared/stream_rules.cpp
            ${CMAKE_SOURCE_DIR}/host/shared/camera_interface.cpp)

# Kelvane.sys imports StreamClassRegisterAdapter from stream.sys.
add_custom_command(OUTPUT ${TORVANE_IMPLIB_DIR}/libstream_standin.a
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${TORVANE_IMPLIB_DIR}
                   COMMAND ${TORVANE_DLLTOOL} -k -d ${CMAKE_SOURCE_DIR}/win/standins/stream.def
                           -l ${TORVANE_IMPLIB_DIR}/libstream_standin.a
                   DEPENDS ${CMAKE_SOURCE_DIR}/win/standins/stream.def VERBATIM)
add_custom_target(standin_implibs DEPENDS ${TORVANE_IMPLIB_DIR}/libstream_standin.a)

add_library(standin_stream SHARED ${CMAKE_SOURCE_DIR}/win/standins/stream_class.cpp
            ${CMAKE_SOURCE_DIR}/win/standins/stream.def $<TARGET_OBJECTS:standin_shared>)
target_link_options(standin_stream PRIVATE -Wl,--entry,_StreamEntry@8)
target_link_libraries(standin_stream PRIVATE ntoskrnl gcc)

add_library(standin_kelvane SHARED ${CMAKE_SOURCE_DIR}/win/standins/class_library.cpp
            ${CMAKE_SOURCE_DIR}/win/standins/class_library_streams.cpp
            ${CMAKE_SOURCE_DIR}/win/standins/kelvane.def $<TARGET_OBJECTS:standin_shared>)
add_dependencies(standin_kelvane standin_implibs)
# mingw-w64's usbcamdi.h marks the routines as imports unless this is defined.
target_compile_definitions(standin_kelvane PRIVATE _BATTERYCLASS_)
target_link_options(standin_kelvane PRIVATE -Wl,--entry,_KelvaneEntry@8)
target_link_libraries(standin_kelvane PRIVATE ${TORVANE_IMPLIB_DIR}/libstream_standin.a ntoskrnl gcc)

foreach(t standin_shared standin_stream standin_kelvane)
  target_include_directories(${t} PRIVATE ${TORVANE_STANDIN_INCLUDES})
  target_compile_definitions(${t} PRIVATE _X86_=1 i386=1 STD_CALL)
  target_compile_options(${t} PRIVATE ${TORVANE_STANDIN_FLAGS})
endforeach()
set_target_properties(standin_stream PROPERTIES OUTPUT_NAME stream)
set_target_properties(standin_kelvane PROPERTIES OUTPUT_NAME Kelvane)
foreach(t standin_stream standin_kelvane)
  set_target_properties(${t} PROPERTIES PREFIX "" SUFFIX ".sys" LINKER_LANGUAGE CXX
                        RUNTIME_OUTPUT_DIRECTORY ${TORVANE_STANDIN_DIR} LIBRARY_OUTPUT_DIRECTORY ${TORVANE_STANDIN_DIR}
                        ARCHIVE_OUTPUT_DIRECTORY ${TORVANE_STANDIN_DIR}/implib)
  target_link_options(${t} PRIVATE ${TORVANE_STANDIN_LINK})
endforeach()

add_custom_command(OUTPUT ${TORVANE_STANDIN_DIR}/stream.exports
                   COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${TORVANE_OBJDUMP} -DIMAGE=$<TARGET_FILE:standin_stream>
                           "-DMODULES=ntoskrnl.exe" -DSTAMP=${TORVANE_STANDIN_DIR}/stream.exports
                           "-DEXPORTS=StreamClassRegisterAdapter,StreamClassDeviceNotification,StreamClassStreamNotification"
                           -P ${CMAKE_SOURCE_DIR}/win/standins/check_standin.cmake
                   DEPENDS standin_stream ${CMAKE_SOURCE_DIR}/win/standins/check_standin.cmake VERBATIM)
add_custom_command(OUTPUT ${TORVANE_STANDIN_DIR}/Kelvane.exports
                   COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${TORVANE_OBJDUMP} -DIMAGE=$<TARGET_FILE:standin_kelvane>
                           "-DMODULES=ntoskrnl.exe,stream.sys" -DSTAMP=${TORVANE_STANDIN_DIR}/Kelvane.exports
                           "-DEXPORTS=USBCAMD_DriverEntry,USBCAMD_AdapterReceivePacket,USBCAMD_InitializeNewInterface,USBCAMD_ControlVendorCommand"
                           -P ${CMAKE_SOURCE_DIR}/win/standins/check_standin.cmake
                   DEPENDS standin_kelvane ${CMAKE_SOURCE_DIR}/win/standins/check_standin.cmake VERBATIM)
add_custom_target(standin_checks ALL DEPENDS ${TORVANE_STANDIN_DIR}/stream.exports ${TORVANE_STANDIN_DIR}/Kelvane.exports)

# The Windows test program (user mode, runs under Wine): C, linked statically so that it needs
# nothing beyond the system DLLs of a fresh prefix.
add_executable(torvane_wine ${CMAKE_SOURCE_DIR}/win/standins/torvane_wine.c)
target_compile_options(torvane_wine PRIVATE -Wall -Wextra -O2)
target_link_options(torvane_wine PRIVATE -municode -static)
target_link_libraries(torvane_wine PRIVATE setupapi)
set_target_properties(torvane_wine PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${TORVANE_STANDIN_DIR})
