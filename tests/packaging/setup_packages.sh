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

# Owners of the given paths, in one dpkg query (each query takes most of a second): fills ownerOf[path]. dpkg
# knows a file of merged /usr under the path its package shipped, so both forms of each path are asked.
declare -A ownerOf=()
lookUpOwners() {
    local asked=() path alt line
    for path in "$@"; do
        asked+=("$path" "$(readlink -f "$path")")
        case $path in /usr/lib/*) alt=${path#/usr} ;; /lib/* | /lib64/*) alt=/usr$path ;; *) alt= ;; esac
        [ -n "$alt" ] && asked+=("$alt")
    done
    while IFS= read -r line; do
        ownerOf[${line#*: }]=$(cut -d: -f1 <<<"${line%%: *}")
    done < <(dpkg -S "${asked[@]}" 2>/dev/null || true)
}
owner() {
    local path=$1 alt
    case $path in /usr/lib/*) alt=${path#/usr} ;; /lib/* | /lib64/*) alt=/usr$path ;; *) alt=$path ;; esac
    echo "${ownerOf[$path]:-${ownerOf[$(readlink -f "$path")]:-${ownerOf[$alt]:-}}}"
}

# What setup.sh installs: the listed packages and everything they depend on (installed alternatives only), from
# one dpkg-query over all installed packages.
declare -A installed=()
while read -r p; do installed[$p]=1; done < <(
    dpkg-query -W -f='${db:Status-Abbrev}\t${Package}\t${Depends}, ${Pre-Depends}\n' | awk -F'\t' -v roots="${listed[*]}" '
        $1 ~ /^ii/ { deps[$2] = $3 }
        END {
            n = split(roots, queue, " ")
            for (i = 1; i <= n; i++) {
                p = queue[i]
                if (p in seen) continue
                seen[p] = 1
                print p
                m = split(deps[p], ds, /[,|]/)
                for (j = 1; j <= m; j++) {
                    d = ds[j]
                    sub(/\(.*\)/, "", d); sub(/:any/, "", d); gsub(/ /, "", d)
                    if (d != "" && (d in deps) && !(d in seen)) queue[++n] = d
                }
            }
        }')

scanner=""
for c in /usr/lib/qt6/libexec/qmlimportscanner "$(command -v qmlimportscanner || true)"; do
    [ -x "$c" ] && { scanner=$c; break; }
done
[ -n "$scanner" ] || { echo "FAIL: qmlimportscanner not found (Debian: qt6-declarative-dev-tools)"; exit 1; }
qmlroot=$(qtpaths6 --query QT_INSTALL_QML 2>/dev/null || echo /usr/lib/x86_64-linux-gnu/qt6/qml)

# Modules our own code registers from C++: qmlRegisterType<...>("Uri", ...), or a module the build makes
# (qt_add_qml_module(target URI Uri ...)).
ownModules=$({
    grep -rhoE 'qmlRegister[A-Za-z]*(<[^>]*>)?\("[A-Za-z.]+"' "$src/src" "$src/tests" "$src/bench" 2>/dev/null |
        sed -E 's/.*\("//; s/"$//'
    grep -rhoE --include=CMakeLists.txt 'qt_add_qml_module\([A-Za-z_]+ +URI +[A-Za-z.]+' "$src/src" "$src/tests" 2>/dev/null |
        sed -E 's/.* //'
} | sort -u)

modules=$("$scanner" -rootPath "$src/qml" -rootPath "$src/tests" -rootPath "$src/bench/qml" -importPath "$qmlroot" |
    awk '
        /^    \{/ { name = ""; path = ""; type = "" }
        /^        "name": / { name = $2 }
        /^        "path": / { path = $2 }
        /^        "type": / { type = $2 }
        /^    \}/ { if (type ~ /"module"/) { gsub(/[",]/, "", name); gsub(/[",]/, "", path); print name, path } }')
paths=()
while read -r name path; do [ -n "$path" ] && paths+=("$path/qmldir"); done <<<"$modules"
[ ${#paths[@]} -gt 0 ] && lookUpOwners "${paths[@]}"
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

# The libraries the binaries load, each once, and their owners in one dpkg query (one per library takes minutes).
declare -A usedBy=()
for binary in "$@"; do
    [ -x "$binary" ] || { problem "$binary is not built"; continue; }
    while read -r lib; do
        usedBy[$lib]="${usedBy[$lib]:-}${usedBy[$lib]:+, }$(basename "$binary")"
    done < <(ldd "$binary" | awk '/=> \// { print $3 } /^\t\// { print $1 }')
done
[ ${#usedBy[@]} -gt 0 ] && lookUpOwners "${!usedBy[@]}"
libs=${#usedBy[@]}
for lib in "${!usedBy[@]}"; do
    pkg=$(owner "$lib")
    if [ -z "$pkg" ]; then
        problem "${usedBy[$lib]} loads $lib, which belongs to no Debian package"
    elif [ -z "${installed[$pkg]:-}" ]; then
        problem "${usedBy[$lib]} loads $lib from $pkg, which tools/setup.sh does not install"
    fi
done

echo "checked $count QML modules and $libs libraries against ${#listed[@]} listed packages (${#installed[@]} with their dependencies)"
exit $fail
