#!/usr/bin/env bash
# deb_install.sh SOURCE WORK: builds the .deb from a release build, installs it with dpkg, starts the installed
# program offscreen in a network namespace of its own with a stored alias, checks that it keeps running and loads
# its interface without a QML warning, and removes the package (user data stays). Needs root and dpkg, else 77.
set -uo pipefail
src=${1:?source dir} work=${2:?work dir}
. "$src/tests/support/qml_warnings.sh"
fail() { echo "FAIL: $*"; [ ! -f "$work/vesk.out" ] || cat "$work/vesk.out"; exit 1; }
if [ "$(id -u)" -ne 0 ] || ! command -v dpkg >/dev/null; then
    echo "SKIP: installing a package needs root and dpkg"
    exit 77
fi
if dpkg-query -W -f='${Status}' vesk 2>/dev/null | grep -q "install ok installed"; then
    echo "SKIP: a vesk package is already installed on this machine; not touching it"
    exit 77
fi
command -v unshare >/dev/null || fail "unshare is needed to keep the program off the machine's ports"

set -e
mkdir -p "$work" && rm -f "$work/vesk.out"
# The project's own configuration uses ccache where it is there.
cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESK_BUILD_TESTS=OFF -DVESK_BUILD_BENCH=OFF \
    >"$work/configure.log"
# Niced: the compilers take what CPU the tests running beside this one leave, and some of those time what they watch.
nice -n 10 cmake --build "$work/build" -j "$(nproc)" >"$work/build.log"
(cd "$work/build" && cpack -G DEB >"$work/cpack.log")
deb=$(ls "$work"/build/vesk_*.deb | head -n 1)
dpkg-deb -c "$deb" | awk '{print $6}' >"$work/contents.txt"
for f in ./usr/bin/vesk ./usr/lib/vesk/vesk ./usr/lib/vesk/qml/Vesk/desktop/main.qml \
    ./usr/share/applications/vesk.desktop ./usr/share/icons/hicolor/48x48/apps/vesk.png; do
    grep -qx "$f" "$work/contents.txt" || fail "$f missing from $deb"
done

trap 'dpkg -r vesk >/dev/null 2>&1 || true' EXIT
dpkg -i "$deb" >"$work/dpkg.log"
home="$work/home"
rm -rf "$home" && mkdir -p "$home/.config/Tavimor"
printf '[General]\nuserAlias=Packaged\n' >"$home/.config/Tavimor/Vesk.conf"
set +e
env -u XDG_RUNTIME_DIR HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share" \
    XDG_CACHE_HOME="$home/.cache" QT_QPA_PLATFORM=offscreen VESK_LOG_TO_STDERR=1 \
    unshare -n timeout -s TERM 8 /usr/bin/vesk >"$work/vesk.out" 2>&1
status=$?
set -e
[ "$status" -eq 124 ] || fail "the installed vesk stopped by itself (status $status)" # 124: timeout ended it
grep -q "Vesk interface loaded" "$work/vesk.out" || fail "the installed interface did not finish loading"
qml_warnings "$work/vesk.out" >"$work/problems.txt" || fail "QML warnings or errors: $(cat "$work/problems.txt")"
grep -q "Exec=\"/usr/lib/vesk/vesk\"" "$home/.config/autostart/vesk.desktop" || fail "start-on-login entry wrong"
test -f "$home/.local/share/Tavimor/Vesk/VeskData/vesk.data" || fail "no database created"

dpkg -r vesk >"$work/remove.log"
trap - EXIT
test -f "$home/.local/share/Tavimor/Vesk/VeskData/vesk.data" || fail "removing the package touched user data"
test ! -e /usr/bin/vesk || fail "/usr/bin/vesk left behind"
echo "PASS: the package builds, installs, starts with its interface clean and removes cleanly"
