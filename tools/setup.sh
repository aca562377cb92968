#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build, run and test the
# server: compilers, CMake, GoogleTest, Node.js with npm, Chromium for the
# browser tests, mingw-w64 and Wine for the Windows build, strace for the
# fault tests, dpkg-dev, file and systemd for the Debian package and its
# unit, nginx, openssl and curl for the TLS proxy example, iproute2 for the
# network test, libssl-dev for the Digest login's hashes, Python with
# aiohttp for the tests against other makers' HTTP servers. Only what is
# missing is asked of apt-get.
set -euo pipefail
cd "$(dirname "$0")/.."

# Each line: a command or file that shows the need is met, then the package.
requirements=(
    "cmake cmake"
    "ninja ninja-build"
    "g++ g++"
    "/usr/include/gtest/gtest.h libgtest-dev"
    "/usr/include/benchmark/benchmark.h libbenchmark-dev"
    "node nodejs"
    "npm npm"
    "/usr/bin/chromium chromium"
    "x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64-posix"
    "x86_64-w64-mingw32-gcc-posix gcc-mingw-w64-x86-64-posix"
    "wine wine"
    "/usr/lib/wine/wine64 wine64"
    "zip zip"
    "strace strace"
    "clang-format clang-format"
    "dpkg-shlibdeps dpkg-dev"
    "file file"
    "systemd-analyze systemd"
    "/usr/sbin/nginx nginx"
    "openssl openssl"
    "curl curl"
    "/usr/sbin/ip iproute2"
    "/usr/include/openssl/evp.h libssl-dev"
    "/usr/bin/python3 python3"
    "/usr/lib/python3/dist-packages/aiohttp python3-aiohttp"
)
missing=()
for r in "${requirements[@]}"; do
    what=${r% *}
    package=${r#* }
    if [[ $what == /* ]]; then
        [ -e "$what" ] || missing+=("$package")
    else
        command -v "$what" >/dev/null 2>&1 || missing+=("$package")
    fi
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
