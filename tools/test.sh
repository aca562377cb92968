#!/usr/bin/env bash
# Builds and runs every test: the format check; the plain build with the
# quick suite, then the reliability suite (load, faults, time limits) with
# its figures; the quick suite again with AddressSanitizer and
# UndefinedBehaviorSanitizer, and with ThreadSanitizer; the browser tests;
# the TLS reverse proxy example of docs/security.md; the Windows build under
# Wine; the packages and the Debian package's checks.
set -euo pipefail
cd "$(dirname "$0")/.."

echo "== format"
command -v clang-format >/dev/null || { echo "clang-format is missing: run tools/setup.sh" >&2; exit 1; }
clang-format --dry-run --Werror src/*.cpp src/*.h tests/*.cpp tests/*.h tests/fuzz/*.cpp bench/*.cpp bench/*.c

# build_and_test FOLDER [cmake options...]: configures, builds and runs the quick suite.
build_and_test() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir" -j2
    ctest --test-dir "$dir" -L quick --output-on-failure -j2
}

echo "== plain build"
build_and_test build -DCMAKE_BUILD_TYPE=RelWithDebInfo

echo "== reliability suite (plain build)"
# Run alone and verbose: each test prints its figures as "[figure] ...".
ctest --test-dir build -L reliability --output-on-failure -V >build/reliability.log 2>&1 || {
    cat build/reliability.log
    exit 1
}
grep -o '\[figure\].*' build/reliability.log || true
grep -E '^[0-9]+% tests passed' build/reliability.log

echo "== sanitizer build (address, undefined)"
build_and_test build-asan -DCMAKE_BUILD_TYPE=Debug -DKRV_SANITIZE=address,undefined

echo "== sanitizer build (thread)"
build_and_test build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKRV_SANITIZE=thread

if [ -f package.json ]; then
    echo "== browser tests"
    KRV_WEBUI_BINARY="$PWD/build/krv-webui" npm run --silent test:browser
fi

echo "== TLS reverse proxy example"
bash tools/test-tls-proxy.sh "$PWD/build/krv-webui"

if [ -f tools/build-windows.sh ]; then
    echo "== Windows build under Wine"
    bash tools/build-windows.sh
fi

if [ -f tools/package.sh ]; then
    echo "== packages"
    bash tools/package.sh
fi

if [ "$(uname -s)" = Linux ] && [ -f tools/test-deb.sh ]; then
    echo "== Debian package"
    bash tools/test-deb.sh
fi
