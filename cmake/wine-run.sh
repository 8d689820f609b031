#!/usr/bin/env bash
# Runs one Windows program under Wine for CTest. The Wine prefix is private
# to the Windows build (UPDATER_WINEPREFIX, set by scripts/test-windows.sh).
# A test program (tst_*) writes its report to a file that is printed
# afterwards: QTest's own standard output does not reach a pipe under Wine.
set -uo pipefail
export WINEPREFIX=${UPDATER_WINEPREFIX:?UPDATER_WINEPREFIX names the Wine prefix}
export WINEDEBUG=-all
# A crash must fail the test, not open the debugger's dialog and wait.
export WINEDLLOVERRIDES="winedbg.exe=d;winemenubuilder.exe=d"
wine=/usr/lib/wine/wine64
case "$(basename "$1")" in
  tst_*)
    report=$(mktemp --suffix=.txt)
    output=$(mktemp)
    trap 'rm -f "$report" "$output"' EXIT
    # Through a file, not CTest's pipe: the Wine server and the desktop
    # process that the first program starts inherit its streams and outlive
    # it, and CTest would wait for them to close the pipe.
    "$wine" "$@" -o "Z:${report//\//\\},txt" >"$output" 2>&1 </dev/null
    status=$?
    cat "$output" "$report"
    exit $status ;;
  *) exec "$wine" "$@" ;;
esac
