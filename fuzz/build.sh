#!/usr/bin/env bash
# Builds the libFuzzer targets of the message parsers with clang into <out-dir>.
# Only the parser sources and the logging front-end are compiled, not the core library.
#   fuzz/build.sh <out-dir>        (FUZZ_CXX overrides clang++)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${1:?usage: fuzz/build.sh <out-dir>}
cxx=${FUZZ_CXX:-clang++}

sources=(
    src/parser/BoundedNumber.cpp
    src/parser/HttpParser.cpp
    src/parser/ParseResult.cpp
    src/parser/RsiScan.cpp
    src/parser/UriParser.cpp
    src/utils/logging/Logger.cpp
    src/utils/logging/LogFile.cpp
)
targets=(http_request rsi_event)

flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined
       -fno-sanitize-recover=undefined -Wall -Wextra -I"$root/src" -I"$root/fuzz")

mkdir -p "$out/obj"
objects=()
for source in "${sources[@]}"; do
    object="$out/obj/$(basename "${source%.cpp}").o"
    "$cxx" "${flags[@]}" -fsanitize=fuzzer-no-link -c "$root/$source" -o "$object"
    objects+=("$object")
done
for target in "${targets[@]}"; do
    "$cxx" "${flags[@]}" -fsanitize=fuzzer "$root/fuzz/${target}_fuzzer.cpp" "${objects[@]}" \
        -lz -o "$out/$target"
done
echo "built ${targets[*]} in $out"
