#!/usr/bin/env python3
"""Download speed of the TCP channel against nginx + curl, measured in the same run.

The same change set (one 512 MiB file, 2,000 files of 256 KiB) is published as
a release folder, served by the reference TCP server (build/bin/tcpserver) and
by nginx from the very same files. For each half of the set:

  * TCP: `update.exe console` on a fresh installation pointed at the TCP
    server; the download phase is read from update.log ("开始迭代下载" to
    "所有文件下载完成"), the whole run (check, download, apply, relaunch) is
    timed as well, and the peak resident memory of update.exe is taken from
    the kernel's accounting of the finished process;
  * HTTP: one curl process fetching the same files from nginx over one
    connection.

Prints the times and the ratio TCP / curl (target <= 1.5) and the peak RSS
(target <= 100 MiB). Needs nginx (nginx-light) and curl; uses 127.0.0.1 only.

    python3 bench/tcp_vs_nginx.py [--build build] [--small-files 2000] [--big-mib 512]
"""

import argparse
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from datetime import datetime

SMALL_SIZE = 256 * 1024


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def write_random(path, size):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(left, 8 * 1024 * 1024)
            f.write(os.urandom(n))
            left -= n


def make_release(root, files):
    """files: list of (relative path, size). Layout of the release publisher."""
    with open(os.path.join(root, "update.ini"), "w") as f:
        f.write("[Version]\nVersion=2.0.0\nFolder=v2\n")
    for rel, size in files:
        write_random(os.path.join(root, "v2", rel), size)
    # Into the page cache, so neither side pays for the first read.
    subprocess.run(["cat"] + [os.path.join(root, "v2", rel) for rel, _ in files],
                   stdout=subprocess.DEVNULL, check=True)


def start_nginx(work, root):
    port = free_port()
    conf = os.path.join(work, "nginx.conf")
    with open(conf, "w") as f:
        f.write(f"""
worker_processes 1;
daemon off;
pid {work}/nginx.pid;
error_log {work}/nginx-error.log;
events {{ worker_connections 64; }}
http {{
    access_log off;
    sendfile on;
    keepalive_requests 100000;
    client_body_temp_path {work}/body;
    proxy_temp_path {work}/proxy;
    server {{
        listen 127.0.0.1:{port};
        root {root};
    }}
}}
""")
    proc = subprocess.Popen(["/usr/sbin/nginx", "-c", conf, "-p", work],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return proc, port
        except OSError:
            time.sleep(0.05)
    proc.kill()
    sys.exit("nginx did not start")


def start_tcpserver(build, root):
    proc = subprocess.Popen([os.path.join(build, "bin", "tcpserver"), "--root", root, "--port", "0"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line = proc.stdout.readline().strip()  # "listening on 127.0.0.1:<port>"
    if not line.startswith("listening on "):
        proc.kill()
        sys.exit("tcpserver did not start: " + line)
    # Keep its request lines from filling the pipe.
    subprocess.Popen(["cat"], stdin=proc.stdout, stdout=subprocess.DEVNULL)
    return proc, int(line.rsplit(":", 1)[1])


def curl_time(work, port, files, label):
    """Seconds for one curl process to fetch files into a fresh folder (left
    in place: removing it before the other side runs would make that side's
    file creations slower)."""
    out = os.path.join(work, "curl-" + label)
    os.makedirs(out)
    cfg = out + ".cfg"
    with open(cfg, "w") as f:
        for i, (rel, _) in enumerate(files):
            f.write(f'url = "http://127.0.0.1:{port}/v2/{rel}"\noutput = "{out}/{i}"\n')
    start = time.monotonic()
    subprocess.run(["curl", "-sS", "--fail", "-K", cfg], check=True)
    return time.monotonic() - start


LOG_TIME = re.compile(r"^\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})\]")


def log_time(lines, marker):
    for line in lines:
        if marker in line:
            return datetime.strptime(LOG_TIME.match(line).group(1), "%Y-%m-%d %H:%M:%S.%f")
    return None


def tcp_run(build, work, port, label):
    inst = os.path.join(work, "install-" + label)
    os.makedirs(os.path.join(inst, "update"))
    shutil.copy(os.path.join(build, "bin", "update.exe"), inst)
    shutil.copy(os.path.join(build, "bin", "fakehost"), os.path.join(inst, "host"))
    with open(os.path.join(inst, "system.cfg"), "w") as f:
        f.write("[Update]\nHostExe=host\nUpdateExe=update.exe\nUpdateHelperExe=host\nHttpEnable=0\n"
                f"[Server]\nUpdateServer=127.0.0.1\nUpdatePort={port}\n"
                "[General]\nVersion=1.0.0\n[Paths]\nTemp=UpdateTemp/\nBackup=Backup/\n[Project]\nType=1\n")
    with open(os.path.join(inst, "update", "update.ini"), "w") as f:
        f.write("[Version]\nVersion=1.0.0\nFolder=v1\n")

    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    start = time.monotonic()
    proc = subprocess.Popen([os.path.join(inst, "update.exe"), "console"], cwd=inst, env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    whole = time.monotonic() - start
    if proc.returncode != 0 or b'"success":true' not in out:
        sys.exit(f"update.exe failed ({proc.returncode}): {out!r}")

    lines = []
    for name in sorted(os.listdir(inst), reverse=True):  # update.3.log ... update.log: oldest first
        if name.startswith("update") and name.endswith(".log"):
            with open(os.path.join(inst, name), encoding="utf-8", errors="replace") as f:
                lines += f.readlines()
    begin = log_time(lines, "开始迭代下载")
    end = log_time(lines, "所有文件下载完成")
    if begin is None or end is None:
        sys.exit("download markers missing in update.log")
    return (end - begin).total_seconds(), whole, usage.ru_maxrss / 1024.0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    parser.add_argument("--small-files", type=int, default=2000)
    parser.add_argument("--big-mib", type=int, default=512)
    parser.add_argument("--runs", type=int, default=2, help="measurements per side; the best counts")
    args = parser.parse_args()
    build = os.path.abspath(args.build)

    work = tempfile.mkdtemp(prefix="tcpbench.")
    os.chmod(work, 0o755)  # nginx's workers do not run as the owner
    procs = []
    try:
        sets = {
            "big": [("big.bin", args.big_mib * 1024 * 1024)],
            "small": [(f"small/f{i:04d}.bin", SMALL_SIZE) for i in range(args.small_files)],
        }
        results = {}
        peak = 0.0
        for label, files in sets.items():
            root = os.path.join(work, "release-" + label)
            os.makedirs(root)
            make_release(root, files)
            nginx_work = os.path.join(work, "nginx-" + label)
            os.makedirs(nginx_work)
            nginx, http_port = start_nginx(nginx_work, root)
            tcpserver, tcp_port = start_tcpserver(build, root)
            procs += [nginx, tcpserver]

            curls, tcps = [], []
            for run in range(args.runs):
                # Alternate who goes first; clean up only after both.
                tag = f"{label}{run}"
                if run % 2 == 0:
                    curls.append(curl_time(work, http_port, files, tag))
                    tcps.append(tcp_run(build, work, tcp_port, tag))
                else:
                    tcps.append(tcp_run(build, work, tcp_port, tag))
                    curls.append(curl_time(work, http_port, files, tag))
                shutil.rmtree(os.path.join(work, "curl-" + tag))
                shutil.rmtree(os.path.join(work, "install-" + tag))
            best = min(tcps)
            results[label] = (min(curls), best[0], best[1])
            peak = max([peak] + [t[2] for t in tcps])
            for p in (nginx, tcpserver):
                p.terminate()
                p.wait()
            shutil.rmtree(root)

        total = {k: sum(s for _, s in v) / 2**20 for k, v in sets.items()}
        print(f"{'set':<34} {'curl+nginx':>11} {'TCP download':>13} {'ratio':>7} {'TCP whole run':>14}")
        for label, (curl, download, whole) in results.items():
            name = f"{label} ({len(sets[label])} files, {total[label]:.0f} MiB)"
            print(f"{name:<34} {curl:>10.2f}s {download:>12.2f}s {download / curl:>6.2f}x {whole:>13.2f}s")
        print(f"peak resident memory of update.exe: {peak:.1f} MiB (target <= 100 MiB)")
        print("ratio target: TCP download / curl <= 1.5")
    finally:
        for p in procs:
            if p and p.poll() is None:
                p.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
