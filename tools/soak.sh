#!/usr/bin/env bash
# The long runs kept out of the test command: the mixed load over every
# route under ThreadSanitizer for 60 s (KRV_SOAK_SECONDS to change it),
# then the load and fault tests once more in that build.
# Usage: tools/soak.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-${KRV_SOAK_SECONDS:-60}}"
build=build-flt-tsan

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKRV_SANITIZE=thread >/dev/null
cmake --build "$build" -j2 --target test_load test_faults krv-webui krv-webui-short

# Any report fails the run: in the tests through their exit status, in the
# server through its standard error, which the tests require to be empty.
export TSAN_OPTIONS="${TSAN_OPTIONS:-}:halt_on_error=0:second_deadlock_stack=1"

echo "== mixed load, ${seconds} s, ThreadSanitizer"
KRV_SOAK_SECONDS="$seconds" "$build/tests/test_load" --gtest_filter='Load.MixedRoutes*'

echo "== load and fault tests, ThreadSanitizer"
"$build/tests/test_load" --gtest_filter='-Load.MixedRoutes*'
"$build/tests/test_faults"
