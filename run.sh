#!/usr/bin/env bash
# Installs what is missing, builds a release build and runs the daemon with the given options.
# With no options it runs a self-contained demo instead.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh

BUILD_DIR=${BUILD_DIR:-build-release}
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DAP_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)" --target access-proxy >/dev/null

if (($# == 0)); then
    exec ./scripts/demo.sh "$BUILD_DIR/access-proxy"
fi
exec "$BUILD_DIR/access-proxy" "$@"
