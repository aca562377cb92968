# Cross build for 64-bit Windows with Debian's mingw-w64 compilers; the
# tests run under wine. Use: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The -posix variants: the default (win32 thread model) has no std::thread
# or std::mutex in GCC 12. C is needed too, for GoogleTest's project.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe that needs only system DLLs (no libstdc++-6.dll,
# libgcc_s_seh-1.dll or libwinpthread-1.dll beside it).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# ctest and test discovery run the Windows programs through wine, quietly
# (missing DLLs are still named), in a prefix of this build folder's own.
if(EXISTS /usr/bin/wine)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      /usr/bin/env WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix WINEDEBUG=-all,err+module
      WINEDLLOVERRIDES=mscoree,mshtml= /usr/bin/wine)
endif()
