#!/usr/bin/env bash
# Sets a fresh Debian 12 machine up for Vesk and builds it.
#   tools/setup.sh run    install what is missing, build, start vesk
#   tools/setup.sh test   install what is missing, build (with sanitizers), run the whole test suite
set -euo pipefail
mode=${1:-run}
here=$(cd "$(dirname "$0")/.." && pwd)

packages=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-declarative-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
    libqt6sql6-sqlite libqt6svg6 qt6-qpa-plugins qt6-image-formats-plugins libgl1-mesa-dev
    qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-layouts qml6-module-qtquick-window
    qml6-module-qtqml-workerscript qml6-module-qtquick-templates qml6-module-qtquick-dialogs qml6-module-qttest
    qt6-declarative-dev-tools qml6-module-qtqml qml6-module-qtqml-models qml6-module-qtquick-shapes
    libprotobuf-dev protobuf-compiler libssl-dev libsqlite3-dev
    xvfb xauth dbus iproute2 sqlite3 imagemagick tcpdump python3 python3-cryptography openssl
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

jobs=$(nproc)
case "$mode" in
run)
    cmake -S "$here" -B "$here/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESK_BUILD_TESTS=OFF \
        -DVESK_BUILD_BENCH=OFF
    cmake --build "$here/build" -j "$jobs"
    if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
        echo "No display found: starting vesk on a virtual X server (xvfb-run)."
        exec xvfb-run -a "$here/build/vesk"
    fi
    exec "$here/build/vesk"
    ;;
test)
    cmake -S "$here" -B "$here/build-test" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVESK_SANITIZE=ON
    cmake --build "$here/build-test" -j "$jobs"
    export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    bash "$here/tools/count-lines.sh"
    ctest --test-dir "$here/build-test" --output-on-failure -j "$jobs"
    ;;
*)
    echo "usage: $0 run|test" >&2
    exit 2
    ;;
esac
