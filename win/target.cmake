# The target build: sys/ and imageproc/ compiled freestanding for 32-bit Windows against
# mingw-w64's DDK headers. Included from the top-level CMakeLists.txt.
set(TORVANE_DDK_INCLUDE "/usr/i686-w64-mingw32/include/ddk" CACHE PATH "mingw-w64 DDK headers")

# The 32-bit kernel stack is 12 KB, shared with the callers of every callback: a routine whose
# frame needs more than 1 KB fails the build. Each object also gets its frame sizes (.su) and
# call graph (.ci) beside it, from which the stack report below follows the deepest chains.
#
# A 32-bit kernel thread may touch the x87, MMX and XMM registers only with its floating-point
# state saved. -mgeneral-regs-only keeps the compiler from using them anywhere on its own (float
# constants, 64-bit moves through x87, vectorised loops); only the vector routines, which carry
# target("sse2"), hold such instructions. The vector check below proves it on the image.
set(TORVANE_TARGET_FLAGS ${TORVANE_DRIVER_FLAGS} -ffreestanding -fno-asynchronous-unwind-tables
    -fno-stack-protector -O2 -fstack-usage -fcallgraph-info=su -Werror=stack-usage=1024
    -mgeneral-regs-only)

add_library(imageproc_target OBJECT ${TORVANE_IMAGEPROC_SOURCES} ${CMAKE_SOURCE_DIR}/win/freestanding_check.cpp)
target_include_directories(imageproc_target PRIVATE ${CMAKE_SOURCE_DIR}/imageproc)
target_compile_options(imageproc_target PRIVATE ${TORVANE_TARGET_FLAGS})

add_library(sys_target OBJECT ${TORVANE_SYS_SOURCES} ${CMAKE_SOURCE_DIR}/win/abi_check.cpp)
target_include_directories(sys_target PRIVATE ${CMAKE_SOURCE_DIR}/sys ${CMAKE_SOURCE_DIR}/imageproc
                           ${CMAKE_SOURCE_DIR}/win ${CMAKE_SOURCE_DIR}/tests/abi ${TORVANE_DDK_INCLUDE})
target_compile_definitions(sys_target PRIVATE _X86_=1 i386=1 STD_CALL)
target_compile_options(sys_target PRIVATE ${TORVANE_TARGET_FLAGS})

# The stack report and the vector check read the call graph (.ci) the compiler writes beside
# each object. A compiler cache restores the object but not that file, which then describes an
# older compile: the driver objects are always compiled afresh.
set_target_properties(imageproc_target sys_target PROPERTIES C_COMPILER_LAUNCHER "" CXX_COMPILER_LAUNCHER "")

# Every driver object, compiled: the build fails when any source does not compile for the target.
add_custom_target(torvane_objects ALL DEPENDS imageproc_target sys_target)

# ---- Torvane.sys ---------------------------------------------------------------------------------
# A PE32 native driver, entry DriverEntry, linked against the kernel, the stream class driver and
# the camera class library. mingw-w64 has no import library for the last two: they are generated
# from the project's module-definition files.
find_program(TORVANE_DLLTOOL NAMES i686-w64-mingw32-dlltool REQUIRED)
find_program(TORVANE_OBJDUMP NAMES i686-w64-mingw32-objdump REQUIRED)
set(TORVANE_IMPLIB_DIR ${CMAKE_BINARY_DIR}/implib)
add_custom_command(OUTPUT ${TORVANE_IMPLIB_DIR}/libstream.a
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${TORVANE_IMPLIB_DIR}
                   COMMAND ${TORVANE_DLLTOOL} -d ${CMAKE_SOURCE_DIR}/win/stream.def -l ${TORVANE_IMPLIB_DIR}/libstream.a
                   DEPENDS ${CMAKE_SOURCE_DIR}/win/stream.def VERBATIM)
# -k: the routines are exported without their stdcall decoration.
add_custom_command(OUTPUT ${TORVANE_IMPLIB_DIR}/libkelvane.a
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${TORVANE_IMPLIB_DIR}
                   COMMAND ${TORVANE_DLLTOOL} -k -d ${CMAKE_SOURCE_DIR}/win/kelvane.def -l ${TORVANE_IMPLIB_DIR}/libkelvane.a
                   DEPENDS ${CMAKE_SOURCE_DIR}/win/kelvane.def VERBATIM)
add_custom_target(torvane_implibs DEPENDS ${TORVANE_IMPLIB_DIR}/libstream.a ${TORVANE_IMPLIB_DIR}/libkelvane.a)

# Nothing of the Win32 user-mode libraries the toolchain links by default.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")
# Linked as an image of its own, not as a DLL: a DLL link exports every global symbol when nothing
# is marked for export and sets the DLL flag, while a driver exports nothing. The loader places
# a driver at any address, so the image keeps its base relocations.
add_executable(torvane_driver $<TARGET_OBJECTS:sys_target> $<TARGET_OBJECTS:imageproc_target>)
add_dependencies(torvane_driver torvane_implibs)
set_target_properties(torvane_driver PROPERTIES PREFIX "" OUTPUT_NAME Torvane SUFFIX ".sys" LINKER_LANGUAGE CXX)
target_link_options(torvane_driver PRIVATE -nostdlib -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8
                    -Wl,--image-base,0x10000 -Wl,--exclude-all-symbols -Wl,--dynamicbase
                    -Wl,--enable-reloc-section)
target_link_libraries(torvane_driver PRIVATE ${TORVANE_IMPLIB_DIR}/libkelvane.a ${TORVANE_IMPLIB_DIR}/libstream.a
                      ntoskrnl hal)

# The import check: part of the default build, so the target build fails when it fails.
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/Torvane.imports
                   COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${TORVANE_OBJDUMP} -DIMAGE=$<TARGET_FILE:torvane_driver>
                           -DSTAMP=${CMAKE_BINARY_DIR}/Torvane.imports -P ${CMAKE_SOURCE_DIR}/win/check_imports.cmake
                   DEPENDS torvane_driver ${CMAKE_SOURCE_DIR}/win/check_imports.cmake VERBATIM)
add_custom_target(torvane_import_check ALL DEPENDS ${CMAKE_BINARY_DIR}/Torvane.imports)

# The stack report: the deepest chain of driver frames from the decode worker and from each
# camera callback, written to Torvane.stack. The build fails when a chain needs more than 3 KB
# (a quarter of the kernel stack; the kernel routines and the callers take the rest) or the
# call graphs show recursion.
find_program(TORVANE_PYTHON NAMES python3)
if(TORVANE_PYTHON)
  # The driver's objects only: the stand-ins built beside it (standins.cmake) are not the driver.
  set(TORVANE_DRIVER_OBJECT_DIRS
      "${CMAKE_BINARY_DIR}/CMakeFiles/imageproc_target.dir:${CMAKE_BINARY_DIR}/CMakeFiles/sys_target.dir")
  set(TORVANE_STACK_ROOTS DriverEntry LUMAREX_ReceiveDevicePacket LUMAREX_ReceiveStreamCtrlPacket
      LUMAREX_DecodeWorker CamProcessRawVideoFrameEx CamProcessRawVideoFrame CamProcessUSBPacketEx
      CamProcessUSBPacket CamInitialize CamUnInitialize CamConfigureEx CamAllocateBandwidthEx
      CamFreeBandwidthEx CamStartCaptureEx CamStopCaptureEx)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/Torvane.stack
                     COMMAND ${TORVANE_PYTHON} ${CMAKE_SOURCE_DIR}/win/stack_chains.py --limit 3072
                             --out ${CMAKE_BINARY_DIR}/Torvane.stack ${TORVANE_DRIVER_OBJECT_DIRS}
                             ${TORVANE_STACK_ROOTS}
                     DEPENDS torvane_driver ${CMAKE_SOURCE_DIR}/win/stack_chains.py VERBATIM)
  add_custom_target(torvane_stack_report ALL DEPENDS ${CMAKE_BINARY_DIR}/Torvane.stack)
else()
  message(STATUS "python3 not found: no stack report")
endif()

# The vector check: every x87/MMX/SSE instruction of the image lies in one of these routines,
# and every chain of callers reaching them passes through LUMAREX_DecodeFrame, which saves the
# floating-point state (win/vector_check.py). The build fails naming the routine otherwise;
# Torvane.vector lists the routines and their instruction counts.
if(TORVANE_PYTHON)
  set(TORVANE_VECTOR_ROUTINES idct_8x8_sse2 idct_blocks_sse2 colour_bgr_half_line_sse2 colour_bgr_full16_sse2
      copy_line_sse2 AdjustSse2 Yuy2Sse2 I420Sse2 AdjustMmx Yuy2Mmx I420Mmx
      idct_8x8_mmx idct_blocks_mmx colour_bgr_half_line_mmx colour_bgr_full16_mmx copy_line_mmx)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/Torvane.vector
                     COMMAND ${TORVANE_PYTHON} ${CMAKE_SOURCE_DIR}/win/vector_check.py --objdump ${TORVANE_OBJDUMP}
                             --image $<TARGET_FILE:torvane_driver> --saver LUMAREX_DecodeFrame
                             --out ${CMAKE_BINARY_DIR}/Torvane.vector ${TORVANE_DRIVER_OBJECT_DIRS}
                             ${TORVANE_VECTOR_ROUTINES}
                     DEPENDS torvane_driver ${CMAKE_SOURCE_DIR}/win/vector_check.py
                             ${CMAKE_SOURCE_DIR}/win/stack_chains.py VERBATIM)
  add_custom_target(torvane_vector_check ALL DEPENDS ${CMAKE_BINARY_DIR}/Torvane.vector)
endif()
include(${CMAKE_SOURCE_DIR}/win/standins/standins.cmake)
