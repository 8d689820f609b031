#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: once as a normal build, once
# with AddressSanitizer and UndefinedBehaviorSanitizer; then runs every fuzz
# target for a bounded time in a clang build; then cross-builds for Windows and
# runs the suite under Wine (scripts/test-windows.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh build
(cd build && ctest --output-on-failure -j2)

bash scripts/setup.sh build-asan -DUPDATER_SANITIZE=ON -DUPDATER_BENCH=OFF
(cd build-asan && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j2)

# Only the fuzz programs: the rest of the clang build is not needed.
cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DUPDATER_FUZZ=ON -DUPDATER_TESTS=OFF \
  -DUPDATER_BENCH=OFF >/dev/null
cmake --build build-fuzz --target fuzzers
(cd build-fuzz && ASAN_OPTIONS=detect_leaks=0 ctest --output-on-failure -j2)

bash scripts/test-windows.sh
