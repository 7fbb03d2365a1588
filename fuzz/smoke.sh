#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and fuzzes each one briefly; exits non-zero on any
# finding, and with 77 (a skipped test) when clang or its fuzzing runtime is not installed.
#   fuzz/smoke.sh <build-dir>      (FUZZ_SMOKE_SECONDS overrides the 15 seconds per target)
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:?usage: fuzz/smoke.sh <build-dir>}
out="$build/fuzz"
seconds=${FUZZ_SMOKE_SECONDS:-15}
cxx=${FUZZ_CXX:-clang++}

if ! command -v "$cxx" >/dev/null 2>&1; then
    echo "SKIPPED: $cxx not found; install clang and libclang-rt-dev to run the fuzz smoke test"
    exit 77
fi
mkdir -p "$out"
probe="$out/probe.cpp"
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' \
    >"$probe"
if ! "$cxx" -fsanitize=fuzzer,address,undefined "$probe" -o "$out/probe" 2>/dev/null; then
    echo "SKIPPED: $cxx cannot link libFuzzer targets; install libclang-rt-dev"
    exit 77
fi

if ! bash "$root/fuzz/build.sh" "$out"; then
    echo "FAILED: building the fuzz targets"
    exit 1
fi

source "$root/fuzz/targets.sh"
status=0
for target in $(fuzz_targets); do
    corpus="$out/smoke-corpus/$target"
    artifacts="$out/artifacts/$target/"
    rm -rf "$corpus"
    mkdir -p "$corpus" "$artifacts"
    log="$out/smoke-$target.log"
    if "$out/$target" -max_total_time="$seconds" -max_len="$(fuzz_max_len "$target")" \
        -timeout=10 -print_final_stats=1 -dict="$root/fuzz/$target.dict" \
        -artifact_prefix="$artifacts" "$corpus" "$root/fuzz/corpus/$target" >"$log" 2>&1; then
        echo "$target: no finding, $(grep -o 'number_of_executed_units: [0-9]*' "$log")"
    else
        echo "FINDING in $target (inputs in $artifacts):"
        tail -n 60 "$log"
        status=1
    fi
done
exit $status
