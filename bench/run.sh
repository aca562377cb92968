#!/usr/bin/env bash
# The side-by-side benchmark of krv-webui and nginx on loopback (about 6
# minutes): builds a Release server in build-bench and the fast upstream,
# then runs bench/bench.py, which prints the table and writes it to
# build-bench/benchmarks-table.md. Options go to bench.py (--help).
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
for pair in nginx:nginx wrk:wrk python3:python3 cc:gcc cmake:cmake ninja:ninja-build; do
    command -v "${pair%%:*}" >/dev/null || missing+=("${pair#*:}")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi
# Workload 7 holds 2000 idle connections open on each side of loopback.
ulimit -n 20000 2>/dev/null || ulimit -n "$(ulimit -Hn)"

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j2 --target krv-webui
cc -O2 -Wall -Wextra -Werror -o build-bench/bench-upstream bench/upstream.c
exec python3 bench/bench.py "$@"
