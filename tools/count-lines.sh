#!/usr/bin/env bash
# Prints how many lines of tests there are against lines of product code, and their ratio.
#
# Counting rule: `wc -l` of hand-written source files, blank lines and comments included.
#   tests:   everything under tests/ ending in .cpp .h .qml .js .sh .py
#   product: src/ ending in .cpp .h .sh .proto, and qml/ ending in .qml .js
# Not counted: CMakeLists.txt, generated files (they live in build directories), images, translations, tools/,
# bench/ and docs/.
set -euo pipefail
cd "$(dirname "$0")/.."

lines() { # folder, then name patterns
    local folder=$1
    shift
    local expr=() first=1
    for pattern in "$@"; do
        [[ $first == 1 ]] || expr+=(-o)
        expr+=(-name "$pattern")
        first=0
    done
    find "$folder" -type f \( "${expr[@]}" \) -print0 | xargs -0 -r cat | wc -l
}

tests_cpp=$(lines tests '*.cpp' '*.h')
tests_qml=$(lines tests '*.qml' '*.js')
tests_sh=$(lines tests '*.sh' '*.py')
src_cpp=$(lines src '*.cpp' '*.h' '*.sh' '*.proto')
qml=$(lines qml '*.qml' '*.js')
tests=$((tests_cpp + tests_qml + tests_sh))
product=$((src_cpp + qml))

printf 'tests    %6d lines (C++ %d, QML %d, shell %d)\n' "$tests" "$tests_cpp" "$tests_qml" "$tests_sh"
printf 'product  %6d lines (src %d, qml %d)\n' "$product" "$src_cpp" "$qml"
awk -v t="$tests" -v p="$product" 'BEGIN { printf "ratio    %6.2f (tests / product; the aim is 0.25 to 0.33)\n", t / p }'
