# Shared settings of the board builds: 32-bit ARM Cortex-A9, soft-float ABI
# (armel), optimised for size for the board's small flash.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(QN_ARM_FLAGS "-march=armv7-a -mtune=cortex-a9 -mthumb -mfloat-abi=soft -ffunction-sections -fdata-sections -fno-asynchronous-unwind-tables -fno-unwind-tables")
set(CMAKE_C_FLAGS_INIT "${QN_ARM_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${QN_ARM_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--gc-sections")
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE MinSizeRel CACHE STRING "")
endif()

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
