#!/usr/bin/env bash
# Builds the libFuzzer targets of the message parsers with clang into <out-dir>.
# Only the parser sources and the logging front-end are compiled, not the core library.
#   fuzz/build.sh <out-dir> [target...]     (default: every target; FUZZ_CXX overrides clang++)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${1:?usage: fuzz/build.sh <out-dir> [target...]}
shift
cxx=${FUZZ_CXX:-clang++}

sources=(
    src/parser/ChunkedBody.cpp
    src/parser/HttpParser.cpp
    src/parser/Inflate.cpp
    src/parser/ParseResult.cpp
    src/parser/RsiScan.cpp
    src/parser/UriParser.cpp
    src/parser/WebSocketParser.cpp
    src/utils/logging/Logger.cpp
    src/utils/logging/LogFile.cpp
)
source "$root/fuzz/targets.sh"
targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
    mapfile -t targets < <(fuzz_targets)
fi

flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined
       -fno-sanitize-recover=undefined -Wall -Wextra -I"$root/src" -I"$root/fuzz")

mkdir -p "$out/obj"
# Two runs started together (one per target) share the objects: build them one at a time.
exec 9>"$out/.build.lock"
flock 9
objects=()
for source in "${sources[@]}"; do
    object="$out/obj/$(basename "${source%.cpp}").o"
    "$cxx" "${flags[@]}" -fsanitize=fuzzer-no-link -c "$root/$source" -o "$object"
    objects+=("$object")
done
for target in "${targets[@]}"; do
    # Renamed into place, so that a fuzzer still running from the old binary is not disturbed.
    "$cxx" "${flags[@]}" -fsanitize=fuzzer "$root/fuzz/${target}_fuzzer.cpp" "${objects[@]}" \
        -lz -o "$out/$target.new"
    mv -f "$out/$target.new" "$out/$target"
done
echo "built ${targets[*]} in $out"
