#!/usr/bin/env bash
# Fuzzes every target under tests/fuzz with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer: SECONDS_PER_TARGET each (default 600), inputs
# slower than 1 s count as failures. New inputs go to build-fuzz/corpus/,
# crashes to build-fuzz/artifacts/. Not part of the test command; the saved
# corpus is replayed there by every build.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}

if ! command -v clang++-14 >/dev/null || ! ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
    apt-get install -y -qq clang-14 libclang-rt-14-dev
fi

CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKRV_FUZZ=ON -DKRV_SANITIZE=address,undefined >/dev/null
cmake --build build-fuzz -j2

status=0
for src in tests/fuzz/fuzz_*.cpp; do
    name=$(basename "$src" .cpp)
    target=${name#fuzz_}
    mkdir -p "build-fuzz/corpus/$target" "build-fuzz/artifacts/$target"
    # The request reader also needs inputs past the 64 KiB head limit.
    max_len=4096
    [ "$target" = request_reader ] && max_len=70000
    echo "== $target: $seconds s"
    "build-fuzz/tests/fuzz/$name" -max_total_time="$seconds" -timeout=1 -rss_limit_mb=2048 -max_len=$max_len \
        -artifact_prefix="build-fuzz/artifacts/$target/" -print_final_stats=1 \
        "build-fuzz/corpus/$target" "tests/fuzz/corpus/$target" 2>&1 |
        grep -E "^(Done|stat::|==[0-9]+==ERROR|SUMMARY)" || true
    [ -z "$(ls -A "build-fuzz/artifacts/$target")" ] || { echo "$target: failures in build-fuzz/artifacts/$target"; status=1; }
done
exit $status
