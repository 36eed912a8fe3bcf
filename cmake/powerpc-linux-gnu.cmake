# Toolchain for the unit's processor, a 32-bit big-endian PowerPC, with
# Debian's cross compiler (g++-powerpc-linux-gnu). Test binaries run under
# user-mode emulation (qemu-ppc), which CTest and test discovery use through
# CMAKE_CROSSCOMPILING_EMULATOR.
#
#   cmake -S . -B build/cross -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake \
#         -DUPG_TARGET_PREFIX=<folder with zlib and GoogleTest built for the target> \
#         -DUPG_BUILD_TOOLS=OFF
#
# scripts/test-cross.sh builds those libraries and runs everything.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(UPG_TARGET_TRIPLE powerpc-linux-gnu)
set(CMAKE_C_COMPILER ${UPG_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${UPG_TARGET_TRIPLE}-g++)

# The target's C library and the libraries built for it; programs (tar, the
# compilers' helpers) are the host's.
set(UPG_TARGET_PREFIX "" CACHE PATH "Folder holding libraries built for the target (lib/, include/)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES UPG_TARGET_PREFIX)
set(CMAKE_FIND_ROOT_PATH /usr/${UPG_TARGET_TRIPLE})
if(UPG_TARGET_PREFIX)
  list(APPEND CMAKE_FIND_ROOT_PATH ${UPG_TARGET_PREFIX})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc -L /usr/${UPG_TARGET_TRIPLE})
