#!/usr/bin/env bash
# Sets up and builds, then shows the updater at work on demo installations of
# version 1, served version 2 from local servers on 127.0.0.1:
#   1. the HTTP road: version 2 published with the publisher tool, served by nginx;
#   2. the TCP road: the same release served by the reference TCP server;
#   3. the self-update road: a release that also carries a new update.exe.
# With --window http|tcp|self only that road runs, as a normal run whose
# progress window appears on the current display; the servers send slowly so
# the window can be watched.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

window_road=""
if [ "${1:-}" = "--window" ]; then
  window_road=${2:-}
  case "$window_road" in http|tcp|self) ;; *) echo "usage: $0 [--window http|tcp|self]" >&2; exit 2 ;; esac
  if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "--window needs a display (DISPLAY or WAYLAND_DISPLAY)" >&2; exit 2
  fi
fi
slow=()
rate=""
if [ -n "$window_road" ]; then
  slow=(--chunk-size 8192 --chunk-delay 150)
  rate="limit_rate 50k;"
  # The self road's release carries the whole updater (megabytes): at the
  # rate above its window would stay for minutes.
  if [ "$window_road" = self ]; then rate="limit_rate 4m;"; fi
fi

bash scripts/setup.sh build
bin=$repo/build/bin
demo=$(mktemp -d /tmp/updater-demo.XXXXXX)
chmod 755 "$demo"   # nginx workers run as an unprivileged user
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# --- the releases -----------------------------------------------------------
write_tree() {  # folder version
  mkdir -p "$1/lib" "$1/docs"
  printf 'Demo application %s\r\n' "$2" > "$1/app.txt"
  head -c 300000 /dev/zero | tr '\0' "${2:0:1}" > "$1/lib/core.dll"
  printf 'Read me (unchanged)\r\n' > "$1/docs/readme.txt"
}
# Releases are signed; the installations trust the public key.
"$bin/publisher" keygen "$demo/signing.key" > "$demo/signing.pub"
public_key=$(cat "$demo/signing.pub")
write_tree "$demo/src-v2" 2.0
mkdir -p "$demo/src-v2/plugins"; printf 'new in 2.0\r\n' > "$demo/src-v2/plugins/new.dll"
"$bin/publisher" --key "$demo/signing.key" "$demo/src-v2" "$demo/pub/http" 2.0 v2

cp -r "$demo/src-v2" "$demo/src-self"
{ cat "$bin/update.exe"; printf '\nupdater of release 2.0\n'; } > "$demo/src-self/update.exe"
chmod +x "$demo/src-self/update.exe"
"$bin/publisher" --key "$demo/signing.key" "$demo/src-self" "$demo/pub/self" 2.0 v2

# --- the servers ------------------------------------------------------------
http_port=$(free_port)
mkdir -p "$demo/nginx/tmp"
cat > "$demo/nginx/nginx.conf" <<CONF
daemon off;
pid $demo/nginx/nginx.pid;
error_log $demo/nginx/error.log;
events {}
http {
  access_log off;
  client_body_temp_path $demo/nginx/tmp;
  proxy_temp_path $demo/nginx/tmp;
  fastcgi_temp_path $demo/nginx/tmp;
  uwsgi_temp_path $demo/nginx/tmp;
  scgi_temp_path $demo/nginx/tmp;
  server { listen 127.0.0.1:$http_port; root $demo/pub; $rate }
}
CONF
/usr/sbin/nginx -p "$demo/nginx" -c "$demo/nginx/nginx.conf" -e "$demo/nginx/error.log" &
pids+=($!)

tcp_port=$(free_port)
config() {  # version url tcp-port
  printf '[Update]\nHostExe=host\nUpdateExe=update.exe\nUpdateHelperExe=updatehelper\nHttpEnable=1\nURL=%s\nPublicKey=%s\n' "$2" "$public_key"
  printf '[Server]\nUpdateServer=%s\nUpdatePort=%s\n' "${3:+127.0.0.1}" "$3"
  printf '[General]\nVersion=%s\n[Paths]\nTemp=UpdateTemp/\nBackup=Backup/\n[Project]\nType=1\n' "$1"
}
# The TCP road records the installed version in system.cfg itself: its
# release is the same as the HTTP one.
"$bin/tcpserver" --root "$demo/pub/http" --port "$tcp_port" "${slow[@]}" > "$demo/tcpserver.log" &
pids+=($!)
for _ in $(seq 50); do
  if grep -q listening "$demo/tcpserver.log" 2>/dev/null && (exec 3<>/dev/tcp/127.0.0.1/$http_port) 2>/dev/null; then break; fi
  sleep 0.1
done

# --- one installation of version 1 per road ------------------------------------
install_v1() {  # folder url tcp-port
  write_tree "$1" 1.0
  mkdir -p "$1/update"
  printf '[Version]\nVersion=1.0\nFolder=v1\n' > "$1/update/update.ini"
  cp "$bin/update.exe" "$bin/updatehelper" "$1/"
  cp "$bin/fakehost" "$1/host"
  config 1.0 "$2" "$3" > "$1/system.cfg"
}

run_road() {  # name folder
  echo
  local before; before=$(cd "$2" && find . -type f ! -name '*.log' -exec md5sum {} + | sort -k2)
  if [ -n "$window_road" ]; then
    echo "== $1: update.exe in $2, its window on the display"
    (cd "$2" && ./update.exe 2>/dev/null) && echo "   exit code 0" || echo "   exit code $?"
  else
    echo "== $1: update.exe console in $2"
    (cd "$2" && ./update.exe console 2>/dev/null) | sed 's/^/   printed: /'
  fi
  for _ in $(seq 100); do [ -s "$2/host_started.txt" ] && break; sleep 0.1; done
  sleep 1
  echo "   changed files:"
  diff <(echo "$before") <(cd "$2" && find . -type f ! -name '*.log' ! -name host_started.txt -exec md5sum {} + | sort -k2) \
    | sed -n 's/^> [0-9a-f]*  \.\//     /p' || true
  echo "   installed version: $(grep '^Version=' "$2/update/update.ini"), system.cfg: $(grep '^Version=' "$2/system.cfg")"
  echo "   app.txt now says:  $(tr -d '\r' < "$2/app.txt")"
  echo "   signed release: $(grep -c '发布声明已验证' "$2/update.log" || true) statement check(s) passed, recorded sequence $(sed -n 's/^sequence\t//p' "$2/update/release.statement" 2>/dev/null)"
  echo "   host program started $(grep -c started "$2/host_started.txt" 2>/dev/null || echo 0) time(s)"
}

if [ -z "$window_road" ] || [ "$window_road" = http ]; then
  install_v1 "$demo/http-road" "http://127.0.0.1:$http_port/http/" ""
  run_road "HTTP road (nginx on 127.0.0.1:$http_port)" "$demo/http-road"
fi

if [ -z "$window_road" ] || [ "$window_road" = tcp ]; then
  install_v1 "$demo/tcp-road" "" "$tcp_port"
  run_road "TCP road (reference server on 127.0.0.1:$tcp_port)" "$demo/tcp-road"
fi

if [ -n "$window_road" ] && [ "$window_road" != self ]; then
  echo; echo "== demo folders are in $demo"; exit 0
fi
install_v1 "$demo/self-road" "http://127.0.0.1:$http_port/self/" ""
run_road "Self-update road (release with a new update.exe)" "$demo/self-road"
for _ in $(seq 50); do [ ! -e "$demo/self-road/UpdateTmp/update.exe" ] && break; sleep 0.1; done
if cmp -s "$demo/self-road/update.exe" "$demo/src-self/update.exe"; then
  echo "   update.exe is now the release's new updater; UpdateTmp/ holds no old copy"
else
  echo "   update.exe was NOT replaced"; exit 1
fi
echo
echo "== demo folders are in $demo"
