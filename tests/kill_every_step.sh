#!/usr/bin/env bash
# The long kill test: the updater and the update helper killed at every
# file-changing step of a real update (about a thousand kills, some two
# hours on two cores). The suite runs a short sample of the same test;
# UPDATER_KILL_POINTS=N in the environment spreads N kills instead.
#   bash tests/kill_every_step.sh [build-dir]
set -euo pipefail
build=${1:-build}
cd "$(dirname "$0")/.."
cmake --build "$build" --target tst_killsteps
UPDATER_KILL_POINTS=${UPDATER_KILL_POINTS:-all} QT_QPA_PLATFORM=offscreen "$build/bin/tst_killsteps"
