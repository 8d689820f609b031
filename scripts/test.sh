#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: once as a normal build, once
# with AddressSanitizer and UndefinedBehaviorSanitizer. The Windows leg
# (scripts/test-windows.sh) is not part of it yet: the apply transaction's
# tests still need their Windows counterparts.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh build
(cd build && ctest --output-on-failure -j2)

bash scripts/setup.sh build-asan -DUPDATER_SANITIZE=ON -DUPDATER_BENCH=OFF
(cd build-asan && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j2)
