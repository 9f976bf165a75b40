# The target build: sys/ and imageproc/ compiled freestanding for 32-bit Windows against
# mingw-w64's DDK headers. Included from the top-level CMakeLists.txt.
set(TORVANE_DDK_INCLUDE "/usr/i686-w64-mingw32/include/ddk" CACHE PATH "mingw-w64 DDK headers")

set(TORVANE_TARGET_FLAGS ${TORVANE_DRIVER_FLAGS} -ffreestanding -fno-asynchronous-unwind-tables
    -fno-stack-protector -O2)

add_library(imageproc_target OBJECT ${TORVANE_IMAGEPROC_SOURCES} ${CMAKE_SOURCE_DIR}/win/freestanding_check.cpp)
target_include_directories(imageproc_target PRIVATE ${CMAKE_SOURCE_DIR}/imageproc)
target_compile_options(imageproc_target PRIVATE ${TORVANE_TARGET_FLAGS})

add_library(sys_target OBJECT ${TORVANE_SYS_SOURCES} ${CMAKE_SOURCE_DIR}/win/abi_check.cpp)
target_include_directories(sys_target PRIVATE ${CMAKE_SOURCE_DIR}/sys ${CMAKE_SOURCE_DIR}/imageproc
                           ${CMAKE_SOURCE_DIR}/win ${CMAKE_SOURCE_DIR}/tests/abi ${TORVANE_DDK_INCLUDE})
target_compile_definitions(sys_target PRIVATE _X86_=1 i386=1 STD_CALL)
target_compile_options(sys_target PRIVATE ${TORVANE_TARGET_FLAGS})

# Every driver object, compiled: the build fails when any source does not compile for the target.
add_custom_target(torvane_objects ALL DEPENDS imageproc_target sys_target)
