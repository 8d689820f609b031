#!/usr/bin/env python3
"""Bytes fetched again after a cut: an HTTP update of one file (default 64 MiB)
whose connection is cut at a share of it (default 50 %), then a second run.

A small HTTP server on 127.0.0.1 (this script) serves the release with an ETag
and byte ranges, cuts the first answer for the file after the share, and counts
the body bytes it sends. update.exe (build/bin) runs `console` twice in a fresh
installation; the second run must succeed. Prints the bytes of the file sent in
each run against its size.

    python3 bench/resume_cut.py [--build build] [--mib 64] [--cut 0.5]
"""

import argparse
import hashlib
import http.server
import os
import shutil
import subprocess
import tempfile
import threading

parser = argparse.ArgumentParser()
parser.add_argument("--build", default="build")
parser.add_argument("--mib", type=int, default=64)
parser.add_argument("--cut", type=float, default=0.5)
args = parser.parse_args()

body = os.urandom(args.mib << 20)
cut_at = int(len(body) * args.cut)
digest = hashlib.md5(body).hexdigest()
files = {
    "/update.ini": b"[Version]\nVersion=2.0\nFolder=v2\n",
    "/v2/md5.txt": ("%s\t/big.bin\r\n" % digest).encode(),
    "/v2/big.bin": body,
}
state = {"cut": True, "sent": []}  # body bytes of big.bin per request


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *_):
        pass

    def do_GET(self):
        path = "/" + "/".join(p for p in self.path.split("/") if p)
        data = files.get(path)
        if data is None:
            self.send_error(404)
            return
        start, status = 0, 200
        rng = self.headers.get("Range", "")
        if path.endswith("big.bin") and rng.startswith("bytes=") and self.headers.get("If-Range") == '"v1"':
            start, status = int(rng[6:].rstrip("-")), 206
        self.send_response(status)
        self.send_header("Content-Length", str(len(data) - start))
        self.send_header("ETag", '"v1"')
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, len(data) - 1, len(data)))
        self.send_header("Connection", "close")
        self.end_headers()
        rest = data[start:]
        if path.endswith("big.bin"):
            if state["cut"]:
                state["cut"] = False
                rest = rest[:cut_at]
            state["sent"].append(len(rest))
        self.wfile.write(rest)
        self.wfile.flush()
        self.close_connection = True


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
threading.Thread(target=server.serve_forever, daemon=True).start()
url = "http://127.0.0.1:%d/" % server.server_address[1]

with tempfile.TemporaryDirectory() as root:
    shutil.copy(os.path.join(args.build, "bin", "update.exe"), root)
    os.makedirs(os.path.join(root, "update"))
    with open(os.path.join(root, "update", "update.ini"), "w") as f:
        f.write("[Version]\nVersion=1.0\n")
    with open(os.path.join(root, "system.cfg"), "w") as f:
        f.write("[Update]\nHttpEnable=1\nURL=%s\nUpdateExe=update.exe\nHostExe=host\n"
                "[General]\nVersion=1.0\n[Paths]\nTemp=UpdateTemp/\nBackup=Backup/\n[Project]\nType=1\n" % url)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    codes = []
    for _ in range(2):
        run = subprocess.run([os.path.join(root, "update.exe"), "console"], cwd=root, env=env,
                             capture_output=True, timeout=600)
        codes.append(run.returncode)
    with open(os.path.join(root, "big.bin"), "rb") as f:
        installed = hashlib.md5(f.read()).hexdigest() == digest
server.shutdown()

size = len(body)
first, again = state["sent"][0], sum(state["sent"][1:])
print("file %d MiB, cut after %d bytes (%.0f %%)" % (args.mib, cut_at, 100 * args.cut))
print("run 1: exit %d, %d bytes sent" % (codes[0], first))
print("run 2: exit %d, %d bytes sent (%.1f %% of the file), installed %s" % (
    codes[1], again, 100.0 * again / size, "right" if installed else "WRONG"))
print("bytes fetched again: %d" % (first + again - size))
