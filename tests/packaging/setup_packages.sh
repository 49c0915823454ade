#!/usr/bin/env bash
# setup_packages.sh <source dir> <binary>...: every Debian package the program and its tests use at run time is
# one that tools/setup.sh installs.
#
# A machine that has built Vesk before keeps packages that a fresh one lacks, so a missing QML module shows up only
# for a new user. This asks the tools themselves what is used:
#   - QML: qmlimportscanner over the interface, the tests' and the benches' QML. Each module must resolve to a folder
#     owned by a package named in setup.sh's list (QML modules are run-time plugins: nothing else pulls them in).
#     A module that resolves nowhere fails, unless our own C++ registers it.
#   - Libraries: what the given binaries load (ldd). Each must come from a listed package or from one those depend
#     on, which apt installs with them.
set -euo pipefail
src=$1
shift

fail=0
problem() { echo "FAIL: $*"; fail=1; }

# The package list as setup.sh has it.
mapfile -t listed < <(sed -n '/^packages=(/,/^)/p' "$src/tools/setup.sh" | sed '1d;$d' | tr ' ' '\n' | grep -v '^$')
[ ${#listed[@]} -gt 10 ] || { echo "FAIL: no package list found in tools/setup.sh"; exit 1; }
declare -A inList=()
for p in "${listed[@]}"; do inList[$p]=1; done

owner() { # path -> owning package without the architecture, or nothing
    # dpkg knows a file by the path its package put it at: a library found under /lib (merged into /usr/lib) is
    # unknown there, which must not end the script (pipefail) before the resolved path is tried.
    { dpkg -S "$1" 2>/dev/null || true; } | head -n1 | cut -d: -f1
}

# What setup.sh installs: the listed packages and everything they depend on (installed alternatives only). One
# dpkg-query for all installed packages: asking per package takes minutes.
declare -A depsOf=()
while IFS=$'\t' read -r name deps; do
    depsOf[$name]=$deps
done < <(dpkg-query -W -f='${db:Status-Abbrev}\t${Package}\t${Depends}, ${Pre-Depends}\n' | awk -F'\t' '$1 ~ /^ii/ { print $2 "\t" $3 }')
declare -A installed=()
queue=("${listed[@]}")
while [ ${#queue[@]} -gt 0 ]; do
    p=${queue[0]}
    queue=("${queue[@]:1}")
    [ -n "${installed[$p]:-}" ] && continue
    installed[$p]=1
    for d in $(echo "${depsOf[$p]:-}" | tr ',|' '\n\n' | sed -E 's/\(.*\)//; s/:any//; s/^ +| +$//g' | grep -v '^$'); do
        [ -n "${depsOf[$d]+x}" ] && queue+=("$d")
    done
done

scanner=""
for c in /usr/lib/qt6/libexec/qmlimportscanner "$(command -v qmlimportscanner || true)"; do
    [ -x "$c" ] && { scanner=$c; break; }
done
[ -n "$scanner" ] || { echo "FAIL: qmlimportscanner not found (Debian: qt6-declarative-dev-tools)"; exit 1; }
qmlroot=$(qtpaths6 --query QT_INSTALL_QML 2>/dev/null || echo /usr/lib/x86_64-linux-gnu/qt6/qml)

# Modules our own code registers from C++ (qmlRegisterType<...>("Uri", ...)).
ownModules=$(grep -rhoE 'qmlRegister[A-Za-z]*(<[^>]*>)?\("[A-Za-z.]+"' "$src/src" "$src/tests" "$src/bench" 2>/dev/null |
    sed -E 's/.*\("//; s/"$//' | sort -u)

modules=$("$scanner" -rootPath "$src/qml" -rootPath "$src/tests" -rootPath "$src/bench/qml" -importPath "$qmlroot" |
    python3 -c '
import json, sys
for e in json.load(sys.stdin):
    if e.get("type") == "module":
        print(e["name"], e.get("path", ""))
')
count=0
while read -r name path; do
    count=$((count + 1))
    if [ -z "$path" ]; then
        grep -qxF "$name" <<<"$ownModules" || problem "QML module $name is imported but resolves nowhere (its package is not installed)"
        continue
    fi
    pkg=$(owner "$path/qmldir")
    if [ -z "$pkg" ]; then
        problem "QML module $name at $path belongs to no Debian package"
    elif [ -z "${inList[$pkg]:-}" ]; then
        problem "QML module $name comes from $pkg, which tools/setup.sh does not install"
    fi
done <<<"$modules"
[ "$count" -gt 0 ] || problem "qmlimportscanner found no QML module at all"

libs=0
for binary in "$@"; do
    [ -x "$binary" ] || { problem "$binary is not built"; continue; }
    while read -r lib; do
        libs=$((libs + 1))
        real=$(readlink -f "$lib")
        pkg=$(owner "$lib")
        [ -n "$pkg" ] || pkg=$(owner "$real")
        if [ -z "$pkg" ]; then
            problem "$(basename "$binary") loads $lib, which belongs to no Debian package"
        elif [ -z "${installed[$pkg]:-}" ]; then
            problem "$(basename "$binary") loads $lib from $pkg, which tools/setup.sh does not install"
        fi
    done < <(ldd "$binary" | awk '/=> \// { print $3 } /^\t\// { print $1 }' | grep -v '^$' | sort -u)
done

echo "checked $count QML modules and $libs libraries against ${#listed[@]} listed packages (${#installed[@]} with their dependencies)"
exit $fail
