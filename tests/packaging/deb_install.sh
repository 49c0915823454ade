#!/usr/bin/env bash
# Builds the .deb from a release build, installs it with dpkg, starts the installed app offscreen with a
# stored alias, checks that it runs and loads its interface without QML errors, and removes the package.
# Needs root and dpkg; exits 77 (skipped) otherwise.
set -uo pipefail
src=${1:?source dir}
work=${2:?work dir}

if [ "$(id -u)" -ne 0 ] || ! command -v dpkg >/dev/null; then
    echo "SKIP: installing a package needs root and dpkg"
    exit 77
fi
if dpkg-query -W -f='${Status}' vesk 2>/dev/null | grep -q "install ok installed"; then
    echo "SKIP: a vesk package is already installed on this machine; not touching it"
    exit 77
fi

set -e
mkdir -p "$work"
cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESK_BUILD_TESTS=OFF -DVESK_BUILD_BENCH=OFF \
    > "$work/configure.log"
cmake --build "$work/build" -j "$(nproc)" > "$work/build.log"
(cd "$work/build" && cpack -G DEB > "$work/cpack.log")
deb=$(ls "$work"/build/vesk_*.deb | head -n 1)
echo "package: $deb"
dpkg-deb -c "$deb" | awk '{print $6}' | sort > "$work/contents.txt"
for f in ./usr/bin/vesk ./usr/lib/vesk/vesk ./usr/lib/vesk/qml/Vesk/desktop/main.qml \
         ./usr/share/applications/vesk.desktop ./usr/share/icons/hicolor/48x48/apps/vesk.png; do
    grep -qx "$f" "$work/contents.txt" || { echo "FAIL: $f missing from the package"; exit 1; }
done

cleanup() { dpkg -r vesk > /dev/null 2>&1 || true; }
trap cleanup EXIT
dpkg -i "$deb" > "$work/dpkg.log"

home="$work/home"
rm -rf "$home"
mkdir -p "$home/.config/Tavimor"
printf '[General]\nuserAlias=Packaged\n' > "$home/.config/Tavimor/Vesk.conf"
# A network namespace of its own keeps the check away from anything else listening on the machine's ports.
netns=()
if command -v unshare >/dev/null && unshare -n true 2>/dev/null; then netns=(unshare -n); fi
HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share" XDG_CACHE_HOME="$home/.cache" \
    QT_QPA_PLATFORM=offscreen VESK_LOG_TO_STDERR=1 "${netns[@]}" /usr/bin/vesk > "$work/vesk.out" 2>&1 &
pid=$!
sleep 6
if ! kill -0 "$pid" 2>/dev/null; then
    echo "FAIL: the installed vesk did not keep running"; cat "$work/vesk.out"; exit 1
fi
kill "$pid"; wait "$pid" 2>/dev/null || true
if grep -Eiq "qml.*(error|warning)|\.qml:[0-9]+" "$work/vesk.out"; then
    echo "FAIL: QML errors or warnings:"; cat "$work/vesk.out"; exit 1
fi
grep -q "Exec=\"/usr/lib/vesk/vesk\"" "$home/.config/autostart/vesk.desktop" \
    || { echo "FAIL: start-on-login entry missing or wrong"; exit 1; }
test -f "$home/.local/share/Tavimor/Vesk/VeskData/vesk.data" || { echo "FAIL: no database created"; exit 1; }

dpkg -r vesk > "$work/remove.log"
trap - EXIT
test -f "$home/.local/share/Tavimor/Vesk/VeskData/vesk.data" || { echo "FAIL: removal touched user data"; exit 1; }
test ! -e /usr/bin/vesk || { echo "FAIL: /usr/bin/vesk left behind"; exit 1; }
echo "PASS: package builds, installs, runs and removes cleanly"
