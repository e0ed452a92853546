# A board vendor's own cross toolchain, named by its prefix:
#   cmake -S . -B build-vendor -DCMAKE_TOOLCHAIN_FILE=cmake/armel-vendor.cmake \
#         -DQN_CROSS_PREFIX=arm-hisiv100nptl-linux- [-DQN_CROSS_ROOT=/opt/sdk/sysroot]
# The product is C++11 and needs a compiler that takes -std=c++11 (gcc 4.7 on;
# 4.8 for the whole language). Only the product is built.
include(${CMAKE_CURRENT_LIST_DIR}/armel-common.cmake)

set(QN_CROSS_PREFIX "arm-linux-gnueabi-" CACHE STRING "Prefix of the vendor's compiler, e.g. arm-hisiv100nptl-linux-")
set(QN_CROSS_ROOT "" CACHE PATH "Sysroot of the vendor's toolchain (optional)")
set(CMAKE_C_COMPILER ${QN_CROSS_PREFIX}gcc)
set(CMAKE_CXX_COMPILER ${QN_CROSS_PREFIX}g++)
if(QN_CROSS_ROOT)
  set(CMAKE_SYSROOT ${QN_CROSS_ROOT})
  set(CMAKE_FIND_ROOT_PATH ${QN_CROSS_ROOT})
endif()

set(QN_BUILD_SIM OFF CACHE BOOL "")
set(QN_BUILD_TESTS OFF CACHE BOOL "")
