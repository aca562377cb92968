#!/usr/bin/env bash
# The dashboard with the wallet simulator behind it, on the default ports:
# wallet RPC 18083, daemon 18831, dashboard http://127.0.0.1:8880/.
# Builds the server first if needed. Ctrl+C stops both.
#
#   tools/demo.sh              dashboard on 127.0.0.1 only
#   tools/demo.sh --lan        dashboard on every interface, for other machines
#   tools/demo.sh --login      the wallet service asks for a Digest login, as a
#                              real one started with a login does: the demo
#                              writes the login file and starts krv-webui with
#                              --rpc-login-file (combines with the others)
#   tools/demo.sh --simulator  the simulator alone, in the foreground: starts it
#                              again beside a running demo after it was stopped
#
# The dashboard keeps running when the simulator stops, so an outage and the
# recovery can be watched: stop the simulator with the command the demo
# prints, then start it again with tools/demo.sh --simulator.
#
# KRV_BUILD_DIR (default build/) and KRV_DEMO_DIR (default build/demo/) move
# the build and the simulator's wallets and log; KRV_DEMO_PORT,
# KRV_DEMO_WALLET_PORT and KRV_DEMO_DAEMON_PORT change the ports.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KRV_BUILD_DIR:-$root/build}
data=${KRV_DEMO_DIR:-$build/demo}
port=${KRV_DEMO_PORT:-8880}
wallet_port=${KRV_DEMO_WALLET_PORT:-18083}
daemon_port=${KRV_DEMO_DAEMON_PORT:-18831}
bind=(--localhost-only)
simulator_only=
login=
for arg in "$@"; do
    case $arg in
        --lan) bind=() ;;
        --simulator) simulator_only=1 ;;
        --login) login=1 ;;
        *) echo "Usage: tools/demo.sh [--lan] [--login] [--simulator]" >&2; exit 2 ;;
    esac
done

mkdir -p "$data"
pid_file=$data/simulator.pid
# The command that starts the simulator alone, with this demo's settings.
again="bash $root/tools/demo.sh --simulator${login:+ --login}"
for name in KRV_DEMO_DIR KRV_DEMO_WALLET_PORT KRV_DEMO_DAEMON_PORT; do
    [[ -n ${!name:-} ]] && again="$name=${!name} $again"
done
sim_args=(--wallet-port "$wallet_port" --daemon-port "$daemon_port"
    --wallet-dir "$data/wallets" --log "$data/krv-wallet-rpc.log")
server_login=()
if [[ -n $login ]]; then
    # As for a real wallet: USER:PASSWORD on the first line of a file only
    # its owner can read. Made once, so a restarted simulator takes it again.
    login_file=$data/rpc-login
    if [[ ! -s $login_file ]]; then
        (umask 077 && printf 'demo:%s\n' "$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')" >"$login_file")
    fi
    sim_args+=(--rpc-login "$(head -n 1 "$login_file")")
    server_login=(--rpc-login-file "$login_file")
fi

if [[ -n $simulator_only ]]; then
    echo "Simulator: wallet RPC 127.0.0.1:$wallet_port, daemon 127.0.0.1:$daemon_port. Ctrl+C stops it."
    echo $$ >"$pid_file"
    exec node "$root/tools/wallet-sim.mjs" "${sim_args[@]}"
fi

if [[ ! -x $build/krv-webui ]]; then
    echo "Building the server in $build ..."
    cmake -S "$root" -B "$build" >/dev/null
    cmake --build "$build" -j2 --target krv-webui
fi

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

node "$root/tools/wallet-sim.mjs" "${sim_args[@]}" --sync-seconds 20 >"$sim_out" &
sim_pid=$!
echo "$sim_pid" >"$pid_file"

# The server should find the wallet service up: wait for the simulator's
# ready line, at most 10 s.
for _ in $(seq 100); do
    grep -q '"wallet_port"' "$sim_out" && break
    kill -0 "$sim_pid" 2>/dev/null || { echo "The simulator did not start (ports $wallet_port/$daemon_port in use?)" >&2; exit 1; }
    sleep 0.1
done
grep -q '"wallet_port"' "$sim_out" || { echo "The simulator is not ready after 10 s" >&2; exit 1; }

echo "Simulator: wallet RPC 127.0.0.1:$wallet_port, daemon 127.0.0.1:$daemon_port, wallets in $data/wallets (password \"demo\")"
[[ -n $login ]] && echo "The wallet RPC service asks for a Digest login; krv-webui gives it from $login_file (mode 600)"
echo "To watch an outage, stop the simulator alone:  kill \$(cat $pid_file)"
echo "and start it again, in another terminal:       $again"
"$build/krv-webui" "${bind[@]}" --port "$port" --rpc-port "$wallet_port" --daemon-port "$daemon_port" --web-dir "$root/web" \
    --wallet-log "$data/krv-wallet-rpc.log" --wallet-dir "$data/wallets" "${server_login[@]}" &
server_pid=$!

# The demo lasts as long as the dashboard server; the simulator may come and go.
while kill -0 "$server_pid" 2>/dev/null; do
    if [[ -n $sim_pid ]]; then
        wait -n "$server_pid" "$sim_pid" || true
        if ! kill -0 "$sim_pid" 2>/dev/null; then
            sim_pid=
            echo "The simulator stopped; the dashboard keeps running. Start it again with: $again"
        fi
    else
        wait "$server_pid" || true
    fi
done
