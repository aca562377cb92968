#!/usr/bin/env bash
# The dashboard with the wallet simulator behind it, on the default ports:
# wallet RPC 18083, daemon 18831, dashboard http://127.0.0.1:8880/.
# Builds the server first if needed. Ctrl+C stops both.
#
#   tools/demo.sh          dashboard on 127.0.0.1 only
#   tools/demo.sh --lan    dashboard on every interface, for other machines
#
# KRV_BUILD_DIR (default build/) and KRV_DEMO_DIR (default build/demo/) move
# the build and the simulator's wallets and log.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KRV_BUILD_DIR:-$root/build}
data=${KRV_DEMO_DIR:-$build/demo}
bind=(--localhost-only)
if [[ ${1:-} == --lan ]]; then bind=(); fi

if [[ ! -x $build/krv-webui ]]; then
    echo "Building the server in $build ..."
    cmake -S "$root" -B "$build" >/dev/null
    cmake --build "$build" -j2 --target krv-webui
fi

mkdir -p "$data"
sim_out=$data/simulator.out
: >"$sim_out"
sim_pid=
server_pid=

stop() {
    trap - EXIT INT TERM
    # Background jobs of a script ignore SIGINT, so they get SIGTERM.
    [[ -n $server_pid ]] && kill -TERM "$server_pid" 2>/dev/null || true
    [[ -n $sim_pid ]] && kill -TERM "$sim_pid" 2>/dev/null || true
    wait 2>/dev/null || true
}
trap stop EXIT
trap 'exit 130' INT TERM

node "$root/tools/wallet-sim.mjs" --wallet-port 18083 --daemon-port 18831 \
    --wallet-dir "$data/wallets" --log "$data/krv-wallet-rpc.log" --sync-seconds 20 >"$sim_out" &
sim_pid=$!

# The server should find the wallet service up: wait for the simulator's
# ready line, at most 10 s.
for _ in $(seq 100); do
    grep -q '"wallet_port"' "$sim_out" && break
    kill -0 "$sim_pid" 2>/dev/null || { echo "The simulator did not start (ports 18083/18831 in use?)" >&2; exit 1; }
    sleep 0.1
done
grep -q '"wallet_port"' "$sim_out" || { echo "The simulator is not ready after 10 s" >&2; exit 1; }

echo "Simulator: wallet RPC 127.0.0.1:18083, daemon 127.0.0.1:18831, wallets in $data/wallets (password \"demo\")"
"$build/krv-webui" "${bind[@]}" --port 8880 --rpc-port 18083 --daemon-port 18831 --web-dir "$root/web" \
    --wallet-log "$data/krv-wallet-rpc.log" --wallet-dir "$data/wallets" &
server_pid=$!

# Whichever ends first ends the demo.
wait -n "$sim_pid" "$server_pid" || true
