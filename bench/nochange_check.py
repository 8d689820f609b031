#!/usr/bin/env python3
"""A check that finds no change, on a large installation, against curl of update.ini.

On 127.0.0.1 only: a release of --files small files is published with this
build's publisher and served by this build's tcpserver and by nginx; an
installation of the same files at the release's version runs

  * `update.exe console` over TCP (HttpEnable=0),
  * `update.exe console` over HTTP from nginx (no TCP server configured),
  * `curl` fetching update.ini from nginx, the yardstick,

each --runs times, a fresh process every time. Prints each one's median and
worst wall time, update.exe's peak memory, how many runs did not report
"no update" (a check the server did not answer in time among them), and the
ratio of each road's median to curl's (target: at most 2). The last row is the floor under both: a program
that only makes and ends a QApplication.

    python3 bench/nochange_check.py [--build build] [--files 100000] [--runs 10]
"""

import argparse
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, proc, what):
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and proc.poll() is None:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return
        except OSError:
            time.sleep(0.05)
    sys.exit(f"{what} did not start")


def write_files(root, files, content):
    """files files named d<k>/f<j>.dat below root, 1,000 a folder; content(i)
    gives the bytes of the i-th."""
    per_folder = 1000
    for i in range(files):
        folder = os.path.join(root, f"d{i // per_folder:04}")
        if i % per_folder == 0:
            os.makedirs(folder)
        with open(os.path.join(folder, f"f{i % per_folder:04}.dat"), "wb") as f:
            f.write(content(i))


def publish(build, work, files, content=lambda i: b"file %d\n" % i):
    src = os.path.join(work, "src")
    write_files(src, files, content)
    www = os.path.join(work, "www")
    subprocess.run([os.path.join(build, "bin", "publisher"), src, www, "2.0.0", "v2"], check=True,
                   stdout=subprocess.DEVNULL)
    shutil.rmtree(src)
    return www


def make_installation(build, www, path, config):
    """The release's files at its version; hard links, nothing is written."""
    shutil.copytree(os.path.join(www, "v2"), path, copy_function=os.link)
    os.makedirs(os.path.join(path, "update"))
    shutil.copy(os.path.join(www, "update.ini"), os.path.join(path, "update", "update.ini"))
    shutil.copy(os.path.join(build, "bin", "update.exe"), path)
    shutil.copy(os.path.join(build, "bin", "fakehost"), os.path.join(path, "host"))
    with open(os.path.join(path, "system.cfg"), "w") as f:
        f.write(config)


def start_nginx(work, www, port):
    conf = os.path.join(work, "nginx.conf")
    with open(conf, "w") as f:
        f.write(f"""daemon off; master_process off; worker_processes 1; pid {work}/nginx.pid;
error_log {work}/error.log;
events {{ worker_connections 256; }}
http {{ access_log off; sendfile on; default_type application/octet-stream;
  client_body_temp_path {work}/cb; proxy_temp_path {work}/p; fastcgi_temp_path {work}/f;
  uwsgi_temp_path {work}/u; scgi_temp_path {work}/s;
  server {{ listen 127.0.0.1:{port}; root {www}; }} }}
""")
    proc = subprocess.Popen(["nginx", "-p", work, "-c", conf, "-e", f"{work}/error.log"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_listening(port, proc, "nginx")
    return proc


def start_tcpserver(build, work, www, port):
    # Its line per request goes to a file: a pipe nobody reads would stall it.
    with open(os.path.join(work, "tcpserver.log"), "w") as log:
        proc = subprocess.Popen([os.path.join(build, "bin", "tcpserver"), "--root", www, "--port", str(port)],
                                stdout=log, stderr=subprocess.STDOUT)
    wait_listening(port, proc, "tcpserver")
    return proc


def timed(args, cwd=None):
    """Wall seconds, standard output and peak resident MiB of one run."""
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    start = time.monotonic()
    proc = subprocess.Popen(args, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    out = proc.stdout.read()
    _, _, usage = os.wait4(proc.pid, 0)
    return time.monotonic() - start, out, usage.ru_maxrss / 1024.0


def measure(args, runs, cwd=None, expect=None):
    times, peak, wrong = [], 0.0, []
    for _ in range(runs):
        seconds, out, rss = timed(args, cwd)
        times.append(seconds)
        peak = max(peak, rss)
        if expect is not None and expect not in out:
            wrong.append(out.decode("utf-8", "replace").strip())
    return times, peak, wrong


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--files", type=int, default=100000)
    parser.add_argument("--runs", type=int, default=10)
    opts = parser.parse_args()
    build = os.path.abspath(opts.build)
    work = tempfile.mkdtemp(prefix="nochange-")
    procs = []
    try:
        www = publish(build, work, opts.files)
        http_port, tcp_port = free_port(), free_port()
        procs.append(start_nginx(work, www, http_port))
        procs.append(start_tcpserver(build, work, www, tcp_port))
        base = "[Update]\nHostExe=host\nUpdateExe=update.exe\nUpdateHelperExe=host\n"
        paths = "[Paths]\nTemp=UpdateTemp/\nBackup=Backup/\n"
        tcp_inst, http_inst = os.path.join(work, "tcp"), os.path.join(work, "http")
        make_installation(build, www, tcp_inst,
                          base + f"HttpEnable=0\n[Server]\nUpdateServer=127.0.0.1\nUpdatePort={tcp_port}\n"
                          "[General]\nVersion=2.0.0\n" + paths + "[Project]\nType=1\n")
        make_installation(build, www, http_inst,
                          base + f"HttpEnable=1\nURL=http://127.0.0.1:{http_port}/\n" + paths)
        quiet = b'"success":true,"update":false'
        commands = {
            "curl update.ini": (["curl", "-sf", "-o", "/dev/null", f"http://127.0.0.1:{http_port}/update.ini"], None,
                                None),
            "update.exe TCP": ([os.path.join(tcp_inst, "update.exe"), "console"], tcp_inst, quiet),
            "update.exe HTTP": ([os.path.join(http_inst, "update.exe"), "console"], http_inst, quiet),
            # The floor: a program that only makes and ends a QApplication.
            "QApplication alone": ([os.path.join(build, "bin", "qtfloor")], None, None),
        }
        # One run each first, so no side pays for the first read from disk.
        for args, cwd, _ in commands.values():
            measure(args, 1, cwd)
        rows = {name: measure(args, opts.runs, cwd, expect) for name, (args, cwd, expect) in commands.items()}
        curl = statistics.median(rows["curl update.ini"][0])
        print(f"No-change check, installation and release of {opts.files} files, {opts.runs} runs each")
        print("what | median s | worst s | peak MiB | not 'no update' | median / curl")
        print("--- | --- | --- | --- | --- | ---")
        for name, (times, peak, wrong) in rows.items():
            median = statistics.median(times)
            print(f"{name} | {median:.3f} | {max(times):.3f} | {peak:.0f} | {len(wrong)} | {median / curl:.2f}")
        for name, (_, _, wrong) in rows.items():
            for line in sorted(set(wrong)):
                print(f"{name}: {line}")
    finally:
        for proc in procs:
            proc.terminate()
            proc.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
