# Cross-building for 32-bit ARM Linux (armhf) with Debian's clang, on the
# binutils of crossbuild-essential-armhf and its C library and C++ headers,
# or those of CMAKE_SYSROOT when the caller names one; the target flags are
# the ones Debian's armhf GCC takes by default (ARMv7-A, VFPv3-D16,
# hard-float calls, Thumb-2).  Flags of the caller's go in through the CFLAGS
# and CXXFLAGS environment variables, which CMake puts before these: a
# CMAKE_<LANG>_FLAGS of its own would replace them.
include(${CMAKE_CURRENT_LIST_DIR}/arm-linux-gnueabihf.cmake)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET arm-linux-gnueabihf)
set(CMAKE_CXX_COMPILER_TARGET arm-linux-gnueabihf)
set(CMAKE_C_FLAGS_INIT "-march=armv7-a -mfpu=vfpv3-d16 -mfloat-abi=hard -mthumb")
set(CMAKE_CXX_FLAGS_INIT "-march=armv7-a -mfpu=vfpv3-d16 -mfloat-abi=hard -mthumb")
