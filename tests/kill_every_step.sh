#!/usr/bin/env bash
# The long kill test: the updater and the update helper killed at every
# file-changing step of a real update (hundreds of kills; about an hour on
# two cores). The suite runs a short sample of the same test.
#   bash tests/kill_every_step.sh [build-dir]
set -euo pipefail
build=${1:-build}
cd "$(dirname "$0")/.."
cmake --build "$build" --target tst_killsteps
UPDATER_KILL_POINTS=all QT_QPA_PLATFORM=offscreen "$build/bin/tst_killsteps"
