#!/usr/bin/env bash
# Sets up, builds and runs the updater on a demo installation.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh build
demo=$(mktemp -d /tmp/updater-demo.XXXXXX)
cp build/bin/update.exe "$demo/"
cat > "$demo/system.cfg" <<'CFG'
[Update]
HostExe=host
UpdateExe=update.exe
HttpEnable=0
[Paths]
Temp=UpdateTemp/
Backup=Backup/
CFG
echo "== demo installation: $demo"
echo "== update.exe console prints:"
(cd "$demo" && ./update.exe console 2>/dev/null)
echo "== first line of update.log:"
head -n 1 "$demo/update.log"
