#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: once as a normal build, once
# with AddressSanitizer and UndefinedBehaviorSanitizer, then cross-built for
# Windows and run under Wine (scripts/test-windows.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh build
(cd build && ctest --output-on-failure -j2)

bash scripts/setup.sh build-asan -DUPDATER_SANITIZE=ON -DUPDATER_BENCH=OFF
(cd build-asan && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j2)

bash scripts/test-windows.sh
