#!/usr/bin/env bash
# Cross-builds the server and its tests for 64-bit Windows with mingw-w64
# and runs the tests under wine, headless.
# Usage: tools/build-windows.sh [build folder]   (default: build-win)
# Needs: cmake ninja-build g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
#        googletest wine wine64
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-win}
mkdir -p "$build"
build=$(cd "$build" && pwd)

# The same prefix as the toolchain file's emulator: one per build folder,
# so concurrent builds never share (or stop) each other's wine processes.
export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all,err+module  # quiet, but a missing DLL is still named
export WINEDLLOVERRIDES="mscoree,mshtml="  # never offer Mono or Gecko installs
unset DISPLAY WAYLAND_DISPLAY

# KRV_WERROR=ON (the test command sets it) makes warnings errors.
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DKRV_WERROR="${KRV_WERROR:-OFF}" >/dev/null

mkdir -p "$WINEPREFIX"
# One persistent wineserver for the run keeps each program start near 0.05 s;
# stop it, and every process of this prefix, however the script ends.
wineserver -p 2>/dev/null || true  # fails only when one already runs
trap 'wineserver -k 2>/dev/null || true' EXIT
# Create the prefix and start wine's service processes now, detached from
# every pipe: started under ctest or test discovery they would hold its
# output pipe open and hang it.
wineboot -i </dev/null >/dev/null 2>&1

# Test discovery runs each test program under wine as part of the build.
cmake --build "$build" -j2
ctest --test-dir "$build" -L quick --output-on-failure -j2 --timeout 300
