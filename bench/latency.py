#!/usr/bin/env python3
"""Update time under network latency: update.exe on both roads against curl, in one run.

A release of many small changed files plus one big file (default 2,000 files of
16 KiB and one of 32 MiB, random content) is published with build/bin/publisher
and served by nginx (HTTP) and by the reference TCP server (build/bin/tcpserver).
Everything runs in a private network namespace in which a TUN device
(bench/tundelay.c, built here with cc) sends every packet back after half the
round-trip time with its addresses swapped: a client connecting from
198.18.N.1 to 198.18.N.2 reaches the servers listening on 198.18.N.1, and each
packet is held once per direction. The files live on a tmpfs mounted in a
private mount namespace. For 0 ms and for --rtt-ms it measures:

  * `update.exe console` over HTTP from nginx, `[Update] ParallelDownloads`;
  * `update.exe console` over TCP from tcpserver, `[Server] Connections`;
  * one curl process fetching the files one at a time on one keep-alive connection;
  * one curl process with `--parallel --parallel-max N`.

update.exe is timed over its whole run (check, download, apply); its peak
resident memory comes from the kernel's accounting of the finished process.
Prints the table, the ratios of both updates to curl --parallel-max N with
their targets, and the peak memory. Needs root (the namespace and the TUN
device), nginx, curl and cc.

    python3 bench/latency.py [--build build] [--rtt-ms 50] [--small-files 2000] [--big-mib 32]
"""

import argparse
import filecmp
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

from tcp_vs_nginx import write_random  # this folder is on the path of a script run from it

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
INSIDE_MARK = "UPDATER_LATENCY_BENCH_NETNS"  # set once the script runs in its own namespace
HTTP_PORT = 8080
TCP_PORT = 9000
# (row key, label); the update rows' labels get the setting's value.
ROWS = [
    ("http", "update.exe over HTTP (nginx), ParallelDownloads={n}"),
    ("tcp", "update.exe over TCP (tcpserver), Connections={n}"),
    ("curl1", "curl, one at a time on one connection"),
    ("curlN", "curl --parallel --parallel-max {n}"),
]
TARGETS = {"http": 1.2, "tcp": 1.3}
PEAK_TARGET_MIB = 100

started = []  # every process this run started, ended in reverse order on exit


def enter_namespace():
    """Re-executes this script in new network and mount namespaces, which
    vanish with its last process: nothing to clean up in the machine's own
    network, and the work folder's tmpfs is mounted for this run alone."""
    if os.environ.get(INSIDE_MARK):
        return
    script = os.path.abspath(sys.argv[0])  # the bench that imported this one re-runs itself
    if os.geteuid() != 0:
        sys.exit(f"{os.path.basename(script)} needs root: it creates a network namespace and a TUN device")
    os.environ[INSIDE_MARK] = "1"
    os.execvp("unshare", ["unshare", "--net", "--mount", "--propagation", "private", "--",
                          sys.executable, script] + sys.argv[1:])


def start(args, **kwargs):
    proc = subprocess.Popen(args, **kwargs)
    started.append(proc)
    return proc


def stop(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    if proc in started:
        started.remove(proc)


def stop_all():
    for proc in reversed(list(started)):
        stop(proc)


def run(args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL)


def make_workdir():
    """A tmpfs: the update's flushes to disk then wait for no one else's
    writes, which on a shared machine made the same run vary several-fold."""
    work = tempfile.mkdtemp(prefix="latbench.")
    try:
        run(["mount", "-t", "tmpfs", "-o", "size=2g,mode=0700", "latbench", work])
    except subprocess.CalledProcessError:
        os.rmdir(work)
        raise
    return work


def remove_workdir(work):
    subprocess.run(["umount", "-l", work])
    os.rmdir(work)


def set_congestion(name):
    """Chooses the namespace's TCP congestion control. Returns the one in force:
    a namespace may only choose what the machine allows, else it keeps the machine's."""
    path = "/proc/sys/net/ipv4/tcp_congestion_control"
    try:
        with open(path, "w") as f:
            f.write(name)
    except OSError:
        pass
    with open(path) as f:
        return f.read().strip()


def build_tundelay(work):
    exe = os.path.join(work, "tundelay")
    run(["cc", "-O2", "-Wall", "-o", exe, os.path.join(BENCH_DIR, "tundelay.c")])
    return exe


def open_path(tundelay, index, delay_ms):
    """A TUN device holding each packet delay_ms per direction; returns the
    process and the (server, client-side) addresses."""
    dev = f"lat{index}"
    proc = start([tundelay, dev, str(delay_ms)], stdout=subprocess.PIPE, text=True)
    if proc.stdout.readline().strip() != "ready":
        sys.exit("tundelay did not start")
    local, peer = f"198.18.{index}.1", f"198.18.{index}.2"
    run(["ip", "addr", "add", local + "/24", "dev", dev])
    # The default queue of 500 packets overflows while the delaying program
    # waits for a core on a busy machine; drops would be counted as latency.
    run(["ip", "link", "set", dev, "txqueuelen", "10000", "up"])
    return proc, local, peer


def write_version(src, files):
    for rel, size in files:
        write_random(os.path.join(src, rel), size)


def publish(build, src, out, version, folder, options=()):
    run([os.path.join(build, "bin", "publisher"), *options, src, out, version, folder])


def make_template(build, work, files):
    """An installation of version 1 holding the same file names with other
    content, so every file of the release is a changed file."""
    src = os.path.join(work, "src1")
    write_version(src, files)
    template = make_installation(build, work, src)
    shutil.rmtree(src)
    return template


def make_installation(build, work, src):
    """An installation of version 1.0.0 holding the files below src, with
    its md5.txt, update.exe and the host program."""
    published = os.path.join(work, "www1")
    publish(build, src, published, "1.0.0", "v1")
    template = os.path.join(work, "install")
    shutil.copytree(os.path.join(published, "v1"), template)
    shutil.rmtree(published)
    os.makedirs(os.path.join(template, "update"))
    with open(os.path.join(template, "update", "update.ini"), "w") as f:
        f.write("[Version]\nVersion=1.0.0\nFolder=v1\n")
    shutil.copy(os.path.join(build, "bin", "update.exe"), template)
    shutil.copy(os.path.join(build, "bin", "fakehost"), os.path.join(template, "host"))
    return template


def make_release(build, work, files):
    src = os.path.join(work, "src2")
    write_version(src, files)
    www = os.path.join(work, "www")
    publish(build, src, www, "2.0.0", "v2")
    shutil.rmtree(src)
    # Into the page cache, so no side pays for the first read.
    run(["cat"] + [os.path.join(www, "v2", rel) for rel, _ in files])
    return www


def wait_listening(address, port, proc, what):
    for _ in range(200):
        if proc.poll() is not None:
            break
        try:
            socket.create_connection((address, port), timeout=0.2).close()
            return
        except OSError:
            time.sleep(0.05)
    sys.exit(f"{what} did not start")


def start_nginx(work, www, address, access_log=None):
    """nginx serving www on address; with access_log, one line per response
    there: the body's bytes, all bytes sent (headers too) and the URI."""
    conf_dir = os.path.join(work, f"nginx-{address}")
    logging = "access_log off;"
    if access_log:
        logging = ("log_format sent '$body_bytes_sent $bytes_sent $uri';\n"
                   f"    access_log {access_log} sent;")
    os.makedirs(conf_dir)
    conf = os.path.join(conf_dir, "nginx.conf")
    # One process running as the caller: no worker needs to read our private folders.
    with open(conf, "w") as f:
        f.write(f"""
daemon off;
master_process off;
worker_processes 1;
pid {conf_dir}/nginx.pid;
error_log {conf_dir}/error.log;
events {{ worker_connections 256; }}
http {{
    {logging}
    default_type application/octet-stream;
    sendfile on;
    keepalive_requests 100000;
    client_body_temp_path {conf_dir}/body;
    proxy_temp_path {conf_dir}/proxy;
    fastcgi_temp_path {conf_dir}/fastcgi;
    uwsgi_temp_path {conf_dir}/uwsgi;
    scgi_temp_path {conf_dir}/scgi;
    server {{
        listen {address}:{HTTP_PORT};
        root {www};
    }}
}}
""")
    proc = start(["/usr/sbin/nginx", "-c", conf, "-p", conf_dir],
                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_listening(address, HTTP_PORT, proc, "nginx")
    return proc


def start_tcpserver(build, work, www, address):
    # Its line per request goes to a file: a pipe nobody reads would stall it.
    log = open(os.path.join(work, f"tcpserver-{address}.log"), "w")
    proc = start([os.path.join(build, "bin", "tcpserver"), "--root", www, "--listen", address,
                  "--port", str(TCP_PORT)], stdout=log, stderr=subprocess.STDOUT)
    log.close()
    wait_listening(address, TCP_PORT, proc, "tcpserver")
    return proc


def http_config(peer, parallel):
    return ("[Update]\nHostExe=host\nUpdateExe=update.exe\nUpdateHelperExe=host\nHttpEnable=1\n"
            f"URL=http://{peer}:{HTTP_PORT}/\nParallelDownloads={parallel}\n"
            "[Paths]\nTemp=UpdateTemp/\nBackup=Backup/\n")


def tcp_config(peer, parallel):
    return ("[Update]\nHostExe=host\nUpdateExe=update.exe\nUpdateHelperExe=host\nHttpEnable=0\n"
            f"[Server]\nUpdateServer={peer}\nUpdatePort={TCP_PORT}\nConnections={parallel}\n"
            "[General]\nVersion=1.0.0\n[Paths]\nTemp=UpdateTemp/\nBackup=Backup/\n[Project]\nType=1\n")


def wait_for_host(inst):
    """The updater starts the host a second after it exits; until then the
    folder cannot be removed, and the start would fall into the next row."""
    marker = os.path.join(inst, "host_started.txt")
    deadline = time.monotonic() + 10
    while not os.path.exists(marker):
        if time.monotonic() > deadline:
            sys.exit("the host program was not started after the update")
        time.sleep(0.1)


def timed_child(args, **kwargs):
    """Runs a program to its end. Returns its seconds, exit code and peak
    resident memory in MiB, from the kernel's accounting of the finished
    process. Until then it counts as started, so an interrupt ends it too."""
    start_time = time.monotonic()
    proc = start(args, **kwargs)
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.monotonic() - start_time
    proc.returncode = os.waitstatus_to_exitcode(status)
    started.remove(proc)
    return seconds, proc.returncode, usage.ru_maxrss / 1024.0


def update_time(template, inst, config, www, verify=None):
    """Seconds of one whole `update.exe console` run on a fresh copy of the
    installation, and its peak resident memory in MiB. verify, if given, is
    called with the updated installation's path before it is removed."""
    shutil.copytree(template, inst)
    with open(os.path.join(inst, "system.cfg"), "w") as f:
        f.write(config)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    out_path, err_path = inst + ".out", inst + ".err"
    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        seconds, code, peak = timed_child([os.path.join(inst, "update.exe"), "console"], cwd=inst, env=env,
                                          stdout=out, stderr=err)
    with open(out_path, "rb") as f:
        line = f.read()
    if code != 0 or b'"update":true' not in line:
        with open(err_path, "rb") as f:
            tail = f.read()[-2000:].decode("utf-8", "replace")
        sys.exit(f"update.exe failed ({code}): {line!r}\n{tail}")
    # A quick proof the whole release arrived: the installed manifest is the release's.
    if not filecmp.cmp(os.path.join(inst, "md5.txt"), os.path.join(www, "v2", "md5.txt"), shallow=False):
        sys.exit("update.exe reported success but md5.txt is not the release's")
    wait_for_host(inst)
    if verify:
        verify(inst)
    shutil.rmtree(inst)
    os.remove(out_path)
    os.remove(err_path)
    return seconds, peak


def curl_time(work, peer, files, parallel):
    """Seconds for one curl process to fetch every file into a fresh folder,
    one at a time (parallel None) or up to `parallel` at once."""
    out = tempfile.mkdtemp(prefix="curl.", dir=work)
    cfg = out + ".cfg"
    with open(cfg, "w") as f:
        for i, (rel, _) in enumerate(files):
            f.write(f'url = "http://{peer}:{HTTP_PORT}/v2/{rel}"\noutput = "{out}/{i}"\n')
    args = ["curl", "--no-progress-meter", "--fail", "--noproxy", "*", "-K", cfg]
    if parallel:
        args += ["--parallel", "--parallel-max", str(parallel)]
    seconds, code, _ = timed_child(args)
    if code != 0:
        sys.exit(f"curl failed ({code})")
    shutil.rmtree(out)
    os.remove(cfg)
    return seconds


def measure_path(opts, work, tundelay, index, rtt_ms, rounds, template, www, files):
    """Best time of each row over `rounds` rounds on a path of rtt_ms, and
    each update road's highest peak memory."""
    path_proc, local, peer = open_path(tundelay, index, rtt_ms // 2)
    servers = [start_nginx(work, www, local), start_tcpserver(opts.build, work, www, local)]
    n = opts.parallel
    inst = os.path.join(work, "run")
    jobs = {
        "http": lambda: update_time(template, inst, http_config(peer, n), www),
        "tcp": lambda: update_time(template, inst, tcp_config(peer, n), www),
        "curl1": lambda: (curl_time(work, peer, files, None), 0.0),
        "curlN": lambda: (curl_time(work, peer, files, n), 0.0),
    }
    best, peaks = {}, {}
    for round_no in range(rounds):
        for key, _ in ROWS:
            seconds, rss = jobs[key]()
            print(f"  {rtt_ms} ms, round {round_no + 1}: {key} {seconds:.2f} s", flush=True)
            best[key] = min(best.get(key, seconds), seconds)
            peaks[key] = max(peaks.get(key, rss), rss)
    for proc in servers + [path_proc]:
        stop(proc)
    return best, {key: peaks[key] for key in TARGETS}


def report(opts, rtts, results, peaks, total_mib):
    n = opts.parallel
    print()
    rounds = f"best of {opts.zero_runs} rounds at 0 ms" + (f" and {opts.runs} at {rtts[-1]} ms" if rtts[-1] else "")
    print(f"change set: {opts.small_files} files of {opts.small_kib} KiB + 1 file of {opts.big_mib} MiB "
          f"({total_mib:.1f} MiB), {rounds}, TCP congestion control {opts.congestion}")
    width = 52
    print(f"{'':<{width}}" + "".join(f"{f'{r} ms':>10}" for r in rtts))
    for key, label in ROWS:
        print(f"{label.format(n=n):<{width}}" + "".join(f"{results[r][key]:>9.2f}s" for r in rtts))
    print()
    for key, target in TARGETS.items():
        for r in rtts:
            ratio = results[r][key] / results[r]["curlN"]
            verdict = ""
            # The targets are set for a real network's latency; at 0 ms the
            # update's own work per file dominates and no target applies.
            if r and r == rtts[-1]:
                verdict = f"  (target <= {target}: {'within target' if ratio <= target else 'over target'})"
            print(f"{key.upper()} update / curl --parallel-max {n} at {r} ms: {ratio:.2f}{verdict}")
    verdict = "within target" if max(peaks.values()) < PEAK_TARGET_MIB else "over target"
    print(f"peak resident memory of update.exe: HTTP {peaks['http']:.1f} MiB, TCP {peaks['tcp']:.1f} MiB "
          f"(target < {PEAK_TARGET_MIB} MiB: {verdict})")


def add_path_options(parser, programs):
    """--build (holding bin/ programs), --rtt-ms and --congestion, shared by
    the benches that run in this namespace."""
    parser.add_argument("--build", default=os.path.join(BENCH_DIR, "..", "build"),
                        help=f"build tree holding bin/{programs}")
    parser.add_argument("--rtt-ms", type=int, default=50, help="round-trip time added to the path (0 ms runs too)")
    # Most servers run cubic, which a namespace may not choose; reno behaves
    # like it for these transfers (same slow start, no pacing). bbr paces each
    # response on an idle connection at its low bandwidth estimate, which adds
    # about 16 ms to every 16 KiB file at 50 ms.
    parser.add_argument("--congestion", default="reno", help="TCP congestion control in the namespace")


def parse_path_options(parser):
    opts = parser.parse_args()
    opts.build = os.path.abspath(opts.build)
    if opts.rtt_ms < 0 or opts.rtt_ms % 2:
        parser.error("--rtt-ms must be even and not negative (half of it is added per direction)")
    return opts


def enter_bench(opts):
    """Runs the rest of the bench in its own namespaces, lo up and the chosen
    congestion control in force (opts.congestion becomes the one in force)."""
    enter_namespace()
    # A terminated run cleans up like an interrupted one.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    run(["ip", "link", "set", "lo", "up"])
    opts.congestion = set_congestion(opts.congestion)


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    add_path_options(parser, "update.exe, publisher, tcpserver, fakehost")
    parser.add_argument("--small-files", type=int, default=2000)
    parser.add_argument("--small-kib", type=int, default=16)
    parser.add_argument("--big-mib", type=int, default=32)
    parser.add_argument("--parallel", type=int, default=6,
                        help="ParallelDownloads, Connections and curl's --parallel-max")
    parser.add_argument("--runs", type=int, default=1, help="rounds at --rtt-ms; the best time counts")
    # Without delay a round takes seconds and the times vary most with the
    # machine's other load, so the best of several is cheap and steadier.
    parser.add_argument("--zero-runs", type=int, default=3, help="rounds at 0 ms; the best time counts")
    return parse_path_options(parser)


def main():
    opts = parse_args()
    enter_bench(opts)
    work = make_workdir()
    try:
        files = [(f"small/f{i:05d}.bin", opts.small_kib * 1024) for i in range(opts.small_files)]
        files.append(("big.bin", opts.big_mib * 1024 * 1024))
        tundelay = build_tundelay(work)
        template = make_template(opts.build, work, files)
        www = make_release(opts.build, work, files)
        rtts = sorted({0, opts.rtt_ms})
        results, peaks = {}, {key: 0.0 for key in TARGETS}
        for index, rtt in enumerate(rtts):
            rounds = opts.runs if rtt else opts.zero_runs
            results[rtt], path_peaks = measure_path(opts, work, tundelay, index, rtt, rounds, template, www, files)
            peaks = {key: max(peaks[key], path_peaks[key]) for key in TARGETS}
        report(opts, rtts, results, peaks, sum(size for _, size in files) / 2**20)
    finally:
        stop_all()
        remove_workdir(work)


if __name__ == "__main__":
    main()
