#!/usr/bin/env bash
# Runs the TLS reverse proxy example of docs/security.md for real: nginx
# with a self-signed certificate for wallet.example and a password, in
# front of the server on 127.0.0.1, and the wallet simulator behind it;
# then checks through curl that the wallet answers through the proxy with
# the password and the page's header, that nothing answers without them,
# and that a foreign page is still refused. Everything runs on loopback and
# is removed at the end.
# Usage: tools/test-tls-proxy.sh [server binary]   (default: build/krv-webui)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# nginx lives in /usr/sbin, outside an ordinary user's PATH.
export PATH="$PATH:/usr/sbin"
binary=${1:-$root/build/krv-webui}
for need in nginx openssl curl node; do
    command -v "$need" >/dev/null || { echo "test-tls-proxy: $need is missing (tools/setup.sh installs it)" >&2; exit 1; }
done
[ -x "$binary" ] || { echo "test-tls-proxy: no server at $binary" >&2; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    [ -f "$work/nginx.pid" ] && kill -QUIT "$(cat "$work/nginx.pid")" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
# nginx's workers run as another user when it is started as root.
chmod 755 "$work"
mkdir -m 777 "$work/body" "$work/proxy"

# Waits up to 10 s for a line matching $2 in file $1.
wait_for() {
    for _ in $(seq 100); do grep -qE "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
    echo "test-tls-proxy: not ready: $1" >&2
    cat "$1" >&2
    return 1
}
fail() { echo "test-tls-proxy: $*" >&2; exit 1; }

node "$root/tools/wallet-sim.mjs" --wallet-port 0 --daemon-port 0 --wallet-dir "$work/wallets" \
    --log "$work/wallet.log" --sync-seconds 0 >"$work/sim.out" 2>&1 &
pids+=($!)
wait_for "$work/sim.out" '"wallet_port"'
wallet_port=$(grep -o '"wallet_port":[0-9]*' "$work/sim.out" | cut -d: -f2)
daemon_port=$(grep -o '"daemon_port":[0-9]*' "$work/sim.out" | cut -d: -f2)

# The proxy's port, and the name and address its users open.
proxy_port=$(node -e 'const s=require("net").createServer().listen(0,"127.0.0.1",()=>{console.log(s.address().port);s.close()})')
origin="https://wallet.example:$proxy_port"

# The example's server options: loopback only (the proxy is the way in),
# the proxy's name and the page's https origin allowed.
"$binary" --localhost-only --port 0 --rpc-port "$wallet_port" --daemon-port "$daemon_port" \
    --web-dir "$root/web" --wallet-dir "$work/wallets" --wallet-log "$work/wallet.log" \
    --allow-host wallet.example --allow-origin "$origin" >"$work/server.out" 2>&1 &
pids+=($!)
wait_for "$work/server.out" 'Press Ctrl\+C to stop'
server_port=$(grep -o 'Listening: *http://127.0.0.1:[0-9]*' "$work/server.out" | grep -o '[0-9]*$')

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=wallet.example" \
    -addext "subjectAltName=DNS:wallet.example" -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
printf 'me:%s\n' "$(openssl passwd -apr1 'correct horse')" >"$work/htpasswd"
chmod 644 "$work/htpasswd"

# The example's nginx configuration, with this run's paths and ports.
sed -e "s|@PROXY_PORT@|$proxy_port|g" -e "s|@SERVER_PORT@|$server_port|g" -e "s|@WORK@|$work|g" <<'CONF' >"$work/nginx.conf"
pid @WORK@/nginx.pid;
error_log @WORK@/error.log;
events {}
http {
    access_log off;
    client_body_temp_path @WORK@/body;
    proxy_temp_path @WORK@/proxy;
    server {
        listen 127.0.0.1:@PROXY_PORT@ ssl;
        server_name wallet.example;
        ssl_certificate     @WORK@/cert.pem;
        ssl_certificate_key @WORK@/key.pem;
        # The proxy's users are the proxy's to authenticate: the server sees
        # only the proxy, on loopback, and asks it for no key.
        auth_basic "krv-webui";
        auth_basic_user_file @WORK@/htpasswd;
        client_max_body_size 32m;
        location / {
            proxy_pass http://127.0.0.1:@SERVER_PORT@;
            proxy_set_header Host $host;
            proxy_read_timeout 600s;
        }
    }
}
CONF
nginx -c "$work/nginx.conf" -p "$work" 2>"$work/nginx.err" || { cat "$work/nginx.err" >&2; fail "nginx did not start"; }
for _ in $(seq 100); do [ -s "$work/nginx.pid" ] && break; sleep 0.1; done

call() {
    curl -s --max-time 10 --cacert "$work/cert.pem" --resolve "wallet.example:$proxy_port:127.0.0.1" "$@"
}
rpc='{"jsonrpc":"2.0","id":1,"method":"get_balance"}'

status=$(call -o /dev/null -w '%{http_code}' "https://wallet.example:$proxy_port/json_rpc" -d "$rpc")
[ "$status" = 401 ] || fail "without the password: status $status, expected 401"

# The page's own calls, as a browser at https://wallet.example sends them.
page_call() {
    call -u 'me:correct horse' "https://wallet.example:$proxy_port/json_rpc" -H 'Content-Type: application/json' \
        -H "Origin: $origin" -H 'Sec-Fetch-Site: same-origin' -H 'X-Requested-With: krv-webui' -d "$1"
}
answer=$(page_call '{"jsonrpc":"2.0","id":1,"method":"open_wallet","params":{"filename":"alice","password":"demo"}}')
[ "$answer" = '{"jsonrpc":"2.0","id":1,"result":{}}' ] || fail "open_wallet through the proxy: $answer"
answer=$(page_call "$rpc")
echo "$answer" | grep -q '"unlocked_balance"' || fail "get_balance through the proxy: $answer"

page=$(call -u 'me:correct horse' -D - -o /dev/null "https://wallet.example:$proxy_port/")
echo "$page" | grep -qi "^content-security-policy: default-src 'self'; frame-ancestors 'none'" ||
    fail "the page through the proxy lacks its policy: $page"

refused=$(call -u 'me:correct horse' -o /dev/null -w '%{http_code}' "https://wallet.example:$proxy_port/json_rpc" \
    -H 'Origin: https://evil.example' -H 'Sec-Fetch-Site: cross-site' -H 'X-Requested-With: krv-webui' -d "$rpc")
[ "$refused" = 403 ] || fail "a foreign page through the proxy: status $refused, expected 403"

# A name is no address: a request by it without the page's header (an <img>
# on some site) is refused, with the password or without.
refused=$(call -u 'me:correct horse' "https://wallet.example:$proxy_port/rpc/get_height")
echo "$refused" | grep -q '"error":"A request by host name needs the header X-Requested-With' ||
    fail "a request by name without the page's header: $refused"

echo "test-tls-proxy: all passed (nginx with TLS and a password in front of 127.0.0.1:$server_port)"
