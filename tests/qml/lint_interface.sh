#!/usr/bin/env bash
# lint_interface.sh [qmllint] [import dir]: qmllint over every QML and JavaScript file of the interface; fails on any
# warning. The import dir holds the type description of the program's own module (Vesk.Core), written by the build.
# qmllint needs the type descriptions of the QtQml module (Debian: qml6-module-qtqml): without them it reports
# Connections and Timer as unknown types, and this check fails too.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
qmllint="${1:-qmllint}"
imports=()
[ -z "${2:-}" ] || imports=(-I "$2")
command -v "$qmllint" >/dev/null || { echo "FAIL: $qmllint not found (Debian: qt6-declarative-dev-tools)"; exit 1; }
cd "$here/../../qml/Vesk/desktop"
out="$(mktemp)"
trap 'rm -f "$out"' EXIT
status=0
"$qmllint" "${imports[@]}" ./*.qml ./*.js >"$out" 2>&1 || status=$?
cat "$out"
if [ "$status" -ne 0 ] || grep -q '^Warning' "$out"; then
    echo "FAIL: qmllint reports $(grep -c '^Warning' "$out") warning(s) (exit status $status)"
    exit 1
fi
echo "qmllint: no warnings in $(ls ./*.qml ./*.js | wc -l) files"
