#!/usr/bin/env bash
# Builds the release packages into dist/:
#   krv-webui-<version>-windows-x64.zip      (mingw-w64 cross build)
#   krv-webui-<version>-linux-<arch>.tar.gz  (native build)
#   krv-webui_<version>_<arch>.deb            (native build, CPack)
# The zip and the tarball hold bin/krv-webui[.exe], web/ beside bin/ (where
# the program looks for it) and README.txt; the .deb holds the same two
# under /opt/krv-webui (see cmake/packaging.cmake).
# Usage: tools/package.sh [windows|linux|deb|all]   (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."

what=${1:-all}
version=$(sed -n 's/^project(krv_webui VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package: no version in CMakeLists.txt" >&2; exit 1; }
dist=$PWD/dist
mkdir -p "$dist"

# Configures and builds the program alone (no tests, so no wine is needed),
# then installs it into a fresh staging folder named after the package.
stage() {
    local build=$1 name=$2
    shift 2
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF "$@" >/dev/null
    cmake --build "$build" -j2 --target krv-webui
    rm -rf "$build/stage"
    cmake --install "$build" --prefix "$build/stage/$name" >/dev/null
}

package_windows() {
    local name=krv-webui-$version-windows-x64
    stage build-package-win "$name" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
    x86_64-w64-mingw32-strip "build-package-win/stage/$name/bin/krv-webui.exe"
    windows_readme | sed 's/$/\r/' >"build-package-win/stage/$name/README.txt"
    rm -f "$dist/$name.zip"
    (cd build-package-win/stage && zip -qr -X "$dist/$name.zip" "$name")
    echo "package: dist/$name.zip"
}

package_linux() {
    local arch
    arch=$(uname -m)
    case $arch in x86_64) arch=x64 ;; aarch64) arch=arm64 ;; esac
    local name=krv-webui-$version-linux-$arch
    stage build-package "$name"
    strip "build-package/stage/$name/bin/krv-webui"
    linux_readme >"build-package/stage/$name/README.txt"
    tar -C build-package/stage --owner=0 --group=0 -czf "$dist/$name.tar.gz" "$name"
    echo "package: dist/$name.tar.gz"
}

# CPack stages the install rules itself; it builds nothing, so the program
# is built first.
package_deb() {
    local name
    name=krv-webui_${version}_$(dpkg --print-architecture)
    cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
    cmake --build build-package -j2 --target krv-webui
    rm -f "build-package/$name.deb"
    (cd build-package && cpack -G DEB >/dev/null)
    mv "build-package/$name.deb" "$dist/$name.deb"
    echo "package: dist/$name.deb"
}

windows_readme() {
    cat <<EOF
krv-webui $version for Windows (64-bit)
KRV Chain Web Dashboard: a small web server that gives the browser dashboard
one address for the wallet RPC service and the daemon.

Start
  1. Start krv-wallet-rpc (and the daemon) first.
  2. Unpack this zip anywhere, for example to C:\\krv-webui-$version.
     Keep bin\\ and web\\ side by side: the program finds its web folder
     as ..\\web next to bin\\.
  3. Open a Command Prompt or PowerShell and run:
       C:\\krv-webui-$version\\bin\\krv-webui.exe
     or double-click bin\\krv-webui.exe.
  4. Open http://localhost:8880/ in a browser.
  5. Press Ctrl+C in its window to stop it.

Useful options (krv-webui.exe --help lists them all)
  --port <N>            HTTP port (default 8880)
  --rpc-host <IP>       wallet RPC host (default 127.0.0.1)
  --rpc-port <N>        wallet RPC port (default 18083)
  --daemon-port <N>     daemon RPC port (default 18831)
  --wallet-log <path>   the wallet RPC log, for the live log view
  --wallet-dir <path>   the wallets folder, for the wallet list
  --localhost-only      serve this computer only, not the local network

By default the dashboard is reachable from the whole local network; the
first start may bring up a Windows Firewall question. Use --localhost-only
to keep it on this computer.
EOF
}

linux_readme() {
    cat <<EOF
krv-webui $version for Linux
KRV Chain Web Dashboard: a small web server that gives the browser dashboard
one address for the wallet RPC service and the daemon.

Start krv-wallet-rpc (and the daemon) first, then:
    tar -xzf krv-webui-$version-linux-*.tar.gz
    ./krv-webui-$version-linux-*/bin/krv-webui
and open http://localhost:8880/. Ctrl+C stops it. Keep bin/ and web/ side by
side: the program finds its web folder as ../web next to bin/.
bin/krv-webui --help lists the options; --localhost-only keeps the dashboard
on this computer.
EOF
}

case $what in
    windows) package_windows ;;
    linux) package_linux ;;
    deb) package_deb ;;
    all)
        package_linux
        package_windows
        if [ "$(uname -s)" = Linux ]; then package_deb; fi
        ;;
    *)
        echo "usage: tools/package.sh [windows|linux|deb|all]" >&2
        exit 2
        ;;
esac
