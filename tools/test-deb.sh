#!/usr/bin/env bash
# The Debian package, on Linux: builds it, checks its control fields and its
# exact file list, unpacks it into a throw-away root (nothing is installed on
# this machine) and runs the program there through /usr/bin/krv-webui, then
# checks the systemd user unit with systemd-analyze.
set -euo pipefail
cd "$(dirname "$0")/.."

version=$(sed -n 's/^project(krv_webui VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
deb=dist/krv-webui_${version}_${arch}.deb

work=$(mktemp -d)
work=$(readlink -f "$work")
root=$work/root
server_pid=
cleanup() {
    if [ -n "$server_pid" ]; then
        kill -KILL "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

failures=0
fail() {
    echo "test-deb: FAIL: $*" >&2
    failures=$((failures + 1))
}
die() {
    echo "test-deb: FAIL: $*" >&2
    exit 1
}
expect_eq() {
    [ "$2" = "$3" ] || fail "$1: expected \"$3\", got \"$2\""
}

# Waits until FILE holds TEXT while the server runs, at most SECONDS.
wait_for_text() {
    local file=$1 text=$2 deadline=$((SECONDS + $3))
    until grep -qF -- "$text" "$file"; do
        kill -0 "$server_pid" 2>/dev/null || return 1
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

echo "== build $deb"
bash tools/package.sh deb
[ -f "$deb" ] || die "$deb was not built"

echo "== file list"
# Every file with its mode and owner: the program and web/ under
# /opt/krv-webui, the wrapper, the unit and the docs, nothing else.
expected_contents() {
    local d
    for d in opt/ opt/krv-webui/ opt/krv-webui/bin/ opt/krv-webui/web/ usr/ usr/bin/ usr/lib/ usr/lib/systemd/ \
        usr/lib/systemd/user/ usr/share/ usr/share/doc/ usr/share/doc/krv-webui/ usr/share/doc/krv-webui/docs/; do
        echo "drwxr-xr-x root/root ./$d"
    done
    echo "-rwxr-xr-x root/root ./opt/krv-webui/bin/krv-webui"
    echo "-rwxr-xr-x root/root ./usr/bin/krv-webui"
    echo "-rw-r--r-- root/root ./usr/lib/systemd/user/krv-webui.service"
    echo "-rw-r--r-- root/root ./usr/share/doc/krv-webui/README.md"
    (cd web && find . -type f) | sed 's|^\./|-rw-r--r-- root/root ./opt/krv-webui/web/|'
    # Folders inside web/, such as vendor/ that the build fills.
    (cd web && find . -mindepth 1 -type d) | sed 's|^\./\(.*\)$|drwxr-xr-x root/root ./opt/krv-webui/web/\1/|'
    (cd docs && find . -type f) | sed 's|^\./|-rw-r--r-- root/root ./usr/share/doc/krv-webui/docs/|'
}
dpkg-deb --contents "$deb" | awk '{ print $1, $2, $6 }' | sort >"$work/contents"
expected_contents | sort >"$work/expected"
diff -u "$work/expected" "$work/contents" || fail "file list (- expected, + in the package)"

dpkg-deb -x "$deb" "$root"
diff -r web "$root/opt/krv-webui/web" || fail "web/ differs from the source's"
diff -r docs "$root/usr/share/doc/krv-webui/docs" || fail "docs/ differs from the source's"

echo "== control fields"
field() { dpkg-deb --field "$deb" "$1"; }
expect_eq Package "$(field Package)" krv-webui
expect_eq Version "$(field Version)" "$version"
expect_eq Architecture "$(field Architecture)" "$arch"
[[ $(field Maintainer) =~ ^[^\<\>]+\ \<[^\<\>@\ ]+@[^\<\>@\ ]+\>$ ]] ||
    fail "Maintainer: \"$(field Maintainer)\" is not \"Name <address>\""
# Depends must be what dpkg-shlibdeps finds in the shipped binary.
mkdir -p "$work/shlibs/debian"
: >"$work/shlibs/debian/control"
if shlibs=$(cd "$work/shlibs" && dpkg-shlibdeps -O "$root/opt/krv-webui/bin/krv-webui" 2>"$work/shlibs.err"); then
    expect_eq Depends "$(field Depends)" "${shlibs#shlibs:Depends=}"
    # libssl3 holds libcrypto, whose hashes the Digest login uses.
    [[ $(field Depends) == *libc6* && $(field Depends) == *libstdc++6* && $(field Depends) == *libssl3* ]] ||
        fail "Depends: \"$(field Depends)\" lacks libc6, libstdc++6 or libssl3"
else
    fail "dpkg-shlibdeps: $(cat "$work/shlibs.err")"
fi
# dpkg shows the short description on the field's first line and the long
# one, indented, below it; both must be there and fit a terminal.
description=$(field Description)
summary=$(head -n 1 <<<"$description")
if [ -z "$summary" ] || [ ${#summary} -ge 80 ]; then fail "Description: short description \"$summary\""; fi
long=$(tail -n +2 <<<"$description")
[ "$(grep -c '[^ .]' <<<"$long")" -ge 1 ] || fail "Description: no long description"
while IFS= read -r line; do
    [ ${#line} -le 80 ] || fail "Description: line longer than 80 characters: $line"
done <<<"$long"

echo "== the program through the wrapper in the unpacked root"
wrapper=$root/usr/bin/krv-webui
mkdir "$work/home" "$work/elsewhere"
# Also through a link to the wrapper, as from a folder of one's own on PATH.
ln -s "$wrapper" "$work/elsewhere/link"
for command in "$wrapper" "$work/elsewhere/link"; do
    help=$(timeout 10 "$command" --help) || fail "$command --help: exit status $?"
    [[ $help == *"Usage: krv-webui [options]"* ]] || fail "$command --help: no usage text: $help"
done

# From an unrelated folder and with an empty home, so that only the
# program's own path can lead it to the page.
(cd "$work/elsewhere" && exec env HOME="$work/home" "$wrapper" --localhost-only --port 0 >"$work/out" 2>"$work/err") &
server_pid=$!
wait_for_text "$work/out" "Press Ctrl+C to stop." 10 || die "no banner within 10 s: $(cat "$work/out" "$work/err")"
web_dir=$(sed -n 's|^  Web dir:      ||p' "$work/out")
expect_eq "the web folder found" "$(readlink -f "$web_dir")" "$root/opt/krv-webui/web"
port=$(sed -n 's|^  Listening:    http://127\.0\.0\.1:\([0-9]*\)$|\1|p' "$work/out")
[ -n "$port" ] || die "no listening port in the banner: $(cat "$work/out")"

timeout 10 bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$1" && printf "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" >&3 && cat <&3' \
    _ "$port" >"$work/response" || fail "GET / on port $port: no complete answer within 10 s"
page_size=$(stat -c %s web/krv-webui.html)
expect_eq "GET / status line" "$(head -n 1 "$work/response")" $'HTTP/1.1 200 OK\r'
grep -qx $'Content-Length: '"$page_size"$'\r' "$work/response" || fail "GET /: no Content-Length: $page_size"
tail -c "$page_size" "$work/response" | cmp -s - web/krv-webui.html || fail "GET /: the body is not web/krv-webui.html"

# What the unit's stop request sends.
kill -TERM "$server_pid"
deadline=$((SECONDS + 10))
while kill -0 "$server_pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.05; done
kill -0 "$server_pid" 2>/dev/null && die "still running 10 s after SIGTERM"
status=0
wait "$server_pid" || status=$?
server_pid=
expect_eq "exit status after SIGTERM" "$status" 0
expect_eq "last line after SIGTERM" "$(tail -n 1 "$work/out")" "Shutdown."

echo "== systemd user unit"
unit=$root/usr/lib/systemd/user/krv-webui.service
mkdir -m 700 "$work/runtime"
export XDG_RUNTIME_DIR=$work/runtime
# The unit runs /usr/bin/krv-webui, which exists only once the package is
# installed: verify a copy that runs the unpacked root's wrapper instead.
mkdir "$work/verify"
sed "s|^ExecStart=/usr/bin/krv-webui |ExecStart=$root/usr/bin/krv-webui |" "$unit" >"$work/verify/krv-webui.service"
grep -q "^ExecStart=$root/usr/bin/krv-webui " "$work/verify/krv-webui.service" || die "no ExecStart=/usr/bin/krv-webui in the unit"
if verify=$(systemd-analyze verify --user "$work/verify/krv-webui.service" 2>&1); then
    [ -z "$verify" ] || fail "systemd-analyze verify: $verify"
else
    fail "systemd-analyze verify: $verify"
fi
# The exposure level, from 0 (locked down) to 10: kept at 2.9 or lower.
security=$(systemd-analyze security --user --offline=yes --threshold=29 "$unit" 2>&1) ||
    fail "systemd-analyze security: $(grep -F '✗' <<<"$security")"
grep -F 'Overall exposure level' <<<"$security" || fail "systemd-analyze security: $security"

if [ "$failures" -gt 0 ]; then
    echo "test-deb: $failures failure(s)" >&2
    exit 1
fi
echo "test-deb: all passed"
