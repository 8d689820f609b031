#!/usr/bin/env python3
"""Bytes fetched again after a cut: an HTTP update of FILES files of MIB MiB
each (default one of 64 MiB) whose server stops answering once a share of the
release has been sent (default 50 %), then a second run.

A small HTTP server on 127.0.0.1 (this script) serves the release with an ETag
and byte ranges, counts the body bytes it sends, and at the cut ends every
reply in flight and drops every request after it, as a server that is stopped
would. update.exe (build/bin) runs `console` twice in a fresh installation per
cut; the second run must succeed. Prints one table row per cut: the bytes sent
in each run against the release size and the bytes fetched again.

    python3 bench/resume_cut.py [--build build] [--files 1] [--mib 64] [--cuts 0.5]
    python3 bench/resume_cut.py --mib 1024 --cuts 0.1,0.5,0.9
    python3 bench/resume_cut.py --files 1000 --mib 1 --cuts 0.1,0.5,0.9
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
parser.add_argument("--files", type=int, default=1)
parser.add_argument("--mib", type=int, default=64)
parser.add_argument("--cuts", default="0.5")
args = parser.parse_args()

bodies = {"/v2/f%04d.bin" % i: os.urandom(args.mib << 20) for i in range(args.files)}
release_size = sum(len(b) for b in bodies.values())
manifest = "".join("%s\t%s\r\n" % (hashlib.md5(b).hexdigest(), p[3:]) for p, b in bodies.items())
files = dict(bodies)
files["/update.ini"] = b"[Version]\nVersion=2.0\nFolder=v2\n"
files["/v2/md5.txt"] = manifest.encode()
lock = threading.Lock()
state = {"cut_at": None, "sent": 0}  # body bytes of release files sent in this run


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
        counted = path in bodies
        with lock:
            stopped = counted and state["cut_at"] is not None and state["sent"] >= state["cut_at"]
        if stopped:
            self.close_connection = True
            return
        start, status = 0, 200
        rng = self.headers.get("Range", "")
        if counted and rng.startswith("bytes=") and self.headers.get("If-Range") == '"v1"':
            start, status = int(rng[6:].rstrip("-")), 206
        self.send_response(status)
        self.send_header("Content-Length", str(len(data) - start))
        self.send_header("ETag", '"v1"')
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, len(data) - 1, len(data)))
        self.send_header("Connection", "close")
        self.end_headers()
        rest = memoryview(data)[start:]
        # In pieces, so that at the cut every reply in flight stops, as they
        # would when the server is stopped.
        for at in range(0, len(rest), 65536):
            piece = rest[at:at + 65536]
            if counted:
                with lock:
                    if state["cut_at"] is not None:
                        piece = piece[:max(0, state["cut_at"] - state["sent"])]
                    state["sent"] += len(piece)
            if not piece:
                break
            self.wfile.write(piece)
        self.wfile.flush()
        self.close_connection = True


def run_twice(cut):
    """Bytes sent in the run that is cut and in the run after it, exit codes and
    whether the release was installed right."""
    sent, codes = [], []
    with tempfile.TemporaryDirectory() as root:
        shutil.copy(os.path.join(args.build, "bin", "update.exe"), root)
        os.makedirs(os.path.join(root, "update"))
        with open(os.path.join(root, "update", "update.ini"), "w") as f:
            f.write("[Version]\nVersion=1.0\n")
        with open(os.path.join(root, "system.cfg"), "w") as f:
            f.write("[Update]\nHttpEnable=1\nURL=%s\nUpdateExe=update.exe\nHostExe=host\n"
                    "[General]\nVersion=1.0\n[Paths]\nTemp=UpdateTemp/\nBackup=Backup/\n[Project]\nType=1\n" % url)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        for cut_at in (int(release_size * cut), None):
            with lock:
                state["cut_at"], state["sent"] = cut_at, 0
            run = subprocess.run([os.path.join(root, "update.exe"), "console"], cwd=root, env=env,
                                 capture_output=True, timeout=1800)
            codes.append(run.returncode)
            sent.append(state["sent"])
        right = True
        for path, body in bodies.items():
            with open(os.path.join(root, path[4:]), "rb") as f:
                right = right and f.read() == body
    return sent, codes, right


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
threading.Thread(target=server.serve_forever, daemon=True).start()
url = "http://127.0.0.1:%d/" % server.server_address[1]

print("release: %d file(s) of %d MiB, %d bytes" % (args.files, args.mib, release_size))
print("| cut | run 1 sent | exit | run 2 sent | exit | installed | fetched again |")
print("|---:|---:|---:|---:|---:|---|---:|")
for cut in (float(c) for c in args.cuts.split(",")):
    (first, second), codes, right = run_twice(cut)
    print("| %.0f %% | %d | %d | %d | %d | %s | %d |" % (
        100 * cut, first, codes[0], second, codes[1], "right" if right else "WRONG", first + second - release_size))
server.shutdown()
