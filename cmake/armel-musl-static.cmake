# One static binary that needs nothing on the board: Debian's musl wrapper
# around the armel cross compiler. The wrapper adds -nostdinc, so only the C
# library's headers exist; the gcc driver compiles the .cpp files as C++ and
# links without libstdc++.
#   cmake -S . -B build-musl -DCMAKE_TOOLCHAIN_FILE=cmake/armel-musl-static.cmake
include(${CMAKE_CURRENT_LIST_DIR}/armel-common.cmake)

set(CMAKE_C_COMPILER arm-linux-musleabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-musleabi-gcc)
set(CMAKE_FIND_ROOT_PATH /usr/lib/arm-linux-musleabi /usr/include/arm-linux-musleabi)

# Static, stripped, and without the page padding and notes a PC binary carries.
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -static -s -Wl,-z,norelro -Wl,-z,noseparate-code -Wl,--build-id=none")

# Only the product: the simulator and the tests run on the build machine.
set(QN_BUILD_SIM OFF CACHE BOOL "")
set(QN_BUILD_TESTS OFF CACHE BOOL "")
