#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and UndefinedBehaviorSanitizer, and runs
# every test. Exits non-zero if anything fails.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh

# The release configuration of the whole tree, tests included, is built (not run) so that warnings
# only the optimiser finds cannot creep back in.
RELEASE_DIR=${RELEASE_DIR:-build-test-release}
cmake -S . -B "$RELEASE_DIR" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$RELEASE_DIR" -j"$(nproc)"

BUILD_DIR=${BUILD_DIR:-build-test}
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Debug -DAP_SANITIZE=ON
cmake --build "$BUILD_DIR" -j"$(nproc)"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# End-to-end tests share network namespaces and fixed proxy ports, so tests run one at a time.
ctest --test-dir "$BUILD_DIR" --output-on-failure --timeout 900

# The unit tests and the daemon once more under ThreadSanitizer: the handler threads, the
# establishers and the library threads share queues, flags and the loggers (the fuzz targets,
# which hold no threads, are not part of this build).
TSAN_DIR=${TSAN_DIR:-build-test-tsan}
cmake -S . -B "$TSAN_DIR" -DCMAKE_BUILD_TYPE=Debug -DAP_TSAN=ON >/dev/null
cmake --build "$TSAN_DIR" -j"$(nproc)"
TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1} \
    ctest --test-dir "$TSAN_DIR" --output-on-failure --timeout 900

