#!/usr/bin/env bash
# The README's first command, checked: tools/demo.sh (and with --login)
# starts the simulator and the dashboard, the dashboard answers with the
# wallet service online and the demo wallets listed, and a stop request to
# its process group leaves no process behind. Free ports and a folder of its own, so it never
# meets a demo the user is running.
#
#   tools/test-demo.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}

free_port() {
    node -e 'const s = require("net").createServer().listen(0, "127.0.0.1", () => { console.log(s.address().port); s.close(); });'
}

# get PORT PATH: the body of a GET to the dashboard, or nothing.
get() {
    curl -s --max-time 5 "http://127.0.0.1:$1$2" || true
}

check_demo() {
    local data port demo_pid body
    data=$(mktemp -d)
    port=$(free_port)
    KRV_BUILD_DIR=$build KRV_DEMO_DIR=$data KRV_DEMO_PORT=$port KRV_DEMO_WALLET_PORT=$(free_port) \
        KRV_DEMO_DAEMON_PORT=$(free_port) setsid bash "$root/tools/demo.sh" "$@" >"$data/demo.out" 2>&1 &
    demo_pid=$!
    # Ready when the dashboard says the wallet service is online: at most 20 s.
    for _ in $(seq 200); do
        [[ $(get "$port" /health) == '{"status":"ok"}' ]] && break
        kill -0 "$demo_pid" 2>/dev/null || break
        sleep 0.1
    done
    # Any check that fails shows the demo's output and stops the demo's whole group.
    fail() {
        cat "$data/demo.out"
        echo "tools/demo.sh $1" >&2
        kill -TERM -- -"$demo_pid" 2>/dev/null || true
        exit 1
    }
    body=$(get "$port" /health)
    [[ $body == '{"status":"ok"}' ]] || fail "$*: /health answered '$body'"
    body=$(get "$port" /wallets)
    [[ $body == *'"alice"'* && $body == *'"bob"'* ]] || fail "$*: /wallets answered '$body'"
    [[ $(get "$port" /) == *'<title>'* ]] || fail "$*: no page at /"
    # As Ctrl+C reaches the whole group in a terminal; a script's background
    # job ignores SIGINT, so the stop request here is SIGTERM.
    kill -TERM -- -"$demo_pid"
    for _ in $(seq 100); do
        pgrep -g "$demo_pid" >/dev/null || break
        sleep 0.1
    done
    if pgrep -g "$demo_pid" >/dev/null; then
        pgrep -a -g "$demo_pid" >&2
        echo "tools/demo.sh $*: processes left after the stop request" >&2
        kill -KILL -- -"$demo_pid" 2>/dev/null || true
        exit 1
    fi
    rm -rf "$data"
    echo "tools/demo.sh $*: dashboard up with the wallet service online, stopped cleanly"
}

check_demo
check_demo --login
