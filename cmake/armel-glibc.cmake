# Dynamic build against Debian's armel glibc, with the board simulator built
# for ARM too, so the end-to-end tests can run the ARM binaries under
# qemu-arm -L /usr/arm-linux-gnueabi. time_t is 32 bits here, as on the board.
#   cmake -S . -B build-armel -DCMAKE_TOOLCHAIN_FILE=cmake/armel-glibc.cmake
include(${CMAKE_CURRENT_LIST_DIR}/armel-common.cmake)

set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabi)

set(QN_BUILD_SIM ON CACHE BOOL "")
set(QN_BUILD_TESTS OFF CACHE BOOL "")
