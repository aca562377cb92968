#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build, run and test the
# server: compilers, CMake, GoogleTest, Node.js with npm, Chromium for the
# browser tests, mingw-w64 and Wine for the Windows build.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ libgtest-dev libbenchmark-dev nodejs npm chromium
          g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine wine64 zip curl)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi

if [ -f package-lock.json ]; then
    npm ci --no-audit --no-fund --loglevel=error
fi
