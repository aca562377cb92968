#!/usr/bin/env bash
# Builds and runs every test: the plain build, the AddressSanitizer +
# UndefinedBehaviorSanitizer build, the browser tests and the Windows
# build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

echo "== format"
if command -v clang-format >/dev/null; then
    clang-format --dry-run --Werror src/*.cpp src/*.h tests/*.cpp tests/*.h tests/fuzz/*.cpp bench/*.cpp bench/*.c
fi

echo "== plain build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2

echo "== sanitizer build (address, undefined)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKRV_SANITIZE=address,undefined >/dev/null
cmake --build build-asan -j2
ctest --test-dir build-asan --output-on-failure -j2

if [ -f package.json ]; then
    echo "== browser tests"
    KRV_WEBUI_BINARY="$PWD/build/krv-webui" npm run --silent test:browser
fi

if [ -f tools/build-windows.sh ]; then
    echo "== Windows build under Wine"
    bash tools/build-windows.sh
fi

if [ -f tools/package.sh ]; then
    echo "== packages"
    bash tools/package.sh
fi
