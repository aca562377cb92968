#!/usr/bin/env bash
# The side-by-side benchmark of krv-webui and nginx on loopback (about 6
# minutes): builds a Release server in build-bench and the fast upstream,
# then runs bench/bench.py, which prints the table and writes it to
# build-bench/benchmarks-table.md. Options go to bench.py (--help).
set -euo pipefail
cd "$(dirname "$0")/.."

for tool in nginx wrk python3 cc cmake ninja; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is missing (apt-get install nginx wrk ...)" >&2; exit 1; }
done
# Workload 7 holds 2000 idle connections open on each side of loopback.
ulimit -n 20000 2>/dev/null || ulimit -n "$(ulimit -Hn)"

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j2 --target krv-webui
cc -O2 -Wall -Wextra -Werror -o build-bench/bench-upstream bench/upstream.c
exec python3 bench/bench.py "$@"
