#!/usr/bin/env bash
# Fuzzes one target for a given time:
#   fuzz/run.sh <target> <seconds> [out-dir, default build-fuzz]
# Targets: fuzz/<target>_fuzzer.cpp.
# Builds the target first. New inputs go to <out-dir>/corpus/<target> (the stored corpus under
# fuzz/corpus is only read); a finding is written to <out-dir>/artifacts/<target>/ and makes the
# script exit non-zero. Copy findings worth keeping into fuzz/corpus/<target>/ once fixed.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
target=${1:?usage: fuzz/run.sh <target> <seconds> [out-dir]}
seconds=${2:?usage: fuzz/run.sh <target> <seconds> [out-dir]}
out=${3:-$root/build-fuzz}

if [[ ! -f "$root/fuzz/${target}_fuzzer.cpp" ]]; then
    echo "unknown fuzz target: $target" >&2
    exit 2
fi
bash "$root/fuzz/build.sh" "$out" "$target" >/dev/null

mkdir -p "$out/corpus/$target" "$out/artifacts/$target"
source "$root/fuzz/targets.sh"
exec "$out/$target" -max_total_time="$seconds" -max_len="$(fuzz_max_len "$target")" -timeout=10 \
    -print_final_stats=1 -dict="$root/fuzz/$target.dict" \
    -artifact_prefix="$out/artifacts/$target/" "$out/corpus/$target" "$root/fuzz/corpus/$target"
