#!/usr/bin/env bash
# Builds and runs every test: the format check; the vendored QR module
# against its pinned package; the README's own Release build in a clean
# copy of the tree, with the quick suite; the plain build with the quick
# suite, then the reliability suite (load, faults, time limits, other
# makers' HTTP servers) with its figures; the quick suite again with AddressSanitizer and
# UndefinedBehaviorSanitizer, and with ThreadSanitizer; the browser tests;
# the demo (tools/demo.sh, with and without --login); the TLS reverse proxy
# example of docs/security.md; the Windows build under
# Wine; the packages and the Debian package's checks.
set -euo pipefail
cd "$(dirname "$0")/.."

echo "== format"
command -v clang-format >/dev/null || { echo "clang-format is missing: run tools/setup.sh" >&2; exit 1; }
clang-format --dry-run --Werror src/*.cpp src/*.h tests/*.cpp tests/*.h tests/fuzz/*.cpp bench/*.cpp bench/*.c

echo "== vendored QR module"
cmake -P cmake/web-vendor.cmake

echo "== the README's Release build, in a copy of the tree without node_modules"
# The tree as a clone has it (tracked and new files, nothing ignored), built
# with the README's exact commands: no -Werror, the compiler's Release flags.
readme=build-readme
rm -rf "$readme"
mkdir -p "$readme/src"
git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
    tar --null -T - -cf - | tar -xf - -C "$readme/src"
(cd "$readme/src" && cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null && cmake --build build -j2 >../build.log 2>&1) || {
    cat "$readme/build.log"
    exit 1
}
# It passes with warnings too, but the other builds never see -O3's.
if grep -q 'warning:' "$readme/build.log"; then
    grep -B20 -A3 'warning:' "$readme/build.log"
    echo "the README's Release build warns (above)" >&2
    exit 1
fi
ctest --test-dir "$readme/src/build" -L quick --output-on-failure -j2 | tail -n 3

# build_and_test FOLDER [cmake options...]: configures, builds and runs the
# quick suite; warnings are errors here, never in a user's build.
build_and_test() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DKRV_WERROR=ON "$@" >/dev/null
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

echo "== the demo, as the README starts it"
bash tools/test-demo.sh "$PWD/build"

echo "== TLS reverse proxy example"
bash tools/test-tls-proxy.sh "$PWD/build/krv-webui"

if [ -f tools/build-windows.sh ]; then
    echo "== Windows build under Wine"
    KRV_WERROR=ON bash tools/build-windows.sh
fi

if [ -f tools/package.sh ]; then
    echo "== packages"
    bash tools/package.sh
fi

if [ "$(uname -s)" = Linux ] && [ -f tools/test-deb.sh ]; then
    echo "== Debian package"
    bash tools/test-deb.sh
fi
