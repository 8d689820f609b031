#!/usr/bin/env python3
"""A crowd of clients against the TCP update server, with nginx as the yardstick.

One asyncio load client (this script) on 127.0.0.1 drives, in the same run:

  * the TCP update server of this build (build/bin/tcpserver),
  * optionally an older build of it (--old path/to/tcpserver), for before/after,
  * nginx serving the very same release folder over HTTP (update.ini and files).

Measures (every wait bounded by --timeout; every count bounded):

  checks    version checks with N clients at once (one connection each, the
            client already up to date): p99 latency and how many were never
            answered within the time-out; for nginx a GET of update.ini.
  cpu       server CPU time per check (from /proc) for releases of 10, 1,000
            and 10,000 files, checks sent 20 at a time.
  download  N clients each fetching one file of --file-mib at once: total
            MiB/s and the server's peak resident memory (sampled); the best
            of --download-rounds rounds, alternating between the servers.
  hostile   --hostile connections of each misbehaving kind (oversize message
            announced, 50 pipelined checks never read, idle, slow drip) held
            against the server while 100 normal clients check: server peak
            memory, the normal clients' p99, and how many hostile connections
            the server closed within its idle time-out plus 5 s.

Prints one table per measure with the ratio to nginx (latency and CPU: lower
is better; throughput: higher is better).

    python3 bench/server_load.py [--build build] [--old /path/to/old/tcpserver]
        [--clients 100,1000,5000] [--downloads 50,200] [--file-mib 10] [--download-rounds 3]
        [--hostile 1000] [--timeout 60]
"""

import argparse
import asyncio
import os
import resource
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time

MAGIC = 0x12345678
HEADER = struct.Struct("<IIIiI")
VERSION_CHECK, FILE_DOWNLOAD = 2, 3
VERSION_REPLY, FILE_DATA, ERROR_REPLY = 0x8002, 0x8003, 0xFFFF
VERSION = "2.0.0"


def field(text, width):
    data = text.encode()[: width - 1]
    return data + b"\0" * (width - len(data))


def message(kind, payload):
    return HEADER.pack(MAGIC, len(payload), kind, 1, 0) + payload


def version_check(version=VERSION):
    return message(VERSION_CHECK, field(version, 32) + field("bench", 32) + struct.pack("<I", 1) + b"\0" * 16)


def file_request(path, name):
    return message(FILE_DOWNLOAD, field(path, 128) + field(name, 32) + b"\0" * 16)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_release(root, files, file_mib):
    shutil.rmtree(root, ignore_errors=True)
    folder = os.path.join(root, "v2")
    os.makedirs(os.path.join(folder, "many"))
    with open(os.path.join(folder, "big.bin"), "wb") as f:
        f.write(os.urandom(file_mib * 1024 * 1024))
    for i in range(files):
        with open(os.path.join(folder, "many", f"f{i}.dat"), "wb") as f:
            f.write(b"x")
    with open(os.path.join(root, "update.ini"), "w") as f:
        f.write(f"[Version]\nVersion={VERSION}\nFolder=v2\n")


class Server:
    """A server process: the TCP server or nginx, with its /proc figures."""

    def __init__(self, name, args, port, workdir=None):
        self.name, self.port, self.workdir = name, port, workdir
        self.proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError(f"{name} did not start")

    def cpu(self):
        """Seconds on a CPU, summed over the threads (nanosecond counts)."""
        total = 0
        for task in os.listdir(f"/proc/{self.proc.pid}/task"):
            try:
                with open(f"/proc/{self.proc.pid}/task/{task}/schedstat") as f:
                    total += int(f.read().split()[0])
            except OSError:
                pass
        return total / 1e9

    def rss_mib(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024
        return 0.0

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def tcp_server(name, binary, root, idle=None):
    port = free_port()
    # Limits lifted where the old build has no such option: one address
    # (127.0.0.1) is the whole crowd here. The idle time-out is shortened
    # only for the hostile crowds: under a crowd of checks this client itself
    # may take seconds to send a request on a connection it opened.
    extra = [] if name == "old" else ["--max-per-address", "0", "--max-connections", "0"]
    if idle and name != "old":
        extra += ["--idle-timeout", str(idle)]
    return Server(name, [binary, "--root", root, "--port", str(port)] + extra, port)


def nginx_server(root, work):
    port = free_port()
    conf = os.path.join(work, "nginx.conf")
    with open(conf, "w") as f:
        f.write(f"""daemon off; master_process off; worker_processes 1; pid {work}/nginx.pid;
error_log {work}/error.log; worker_rlimit_nofile 65536;
events {{ worker_connections 30000; }}
http {{ access_log off; sendfile on; keepalive_requests 100000;
  client_body_temp_path {work}/cb; proxy_temp_path {work}/p; fastcgi_temp_path {work}/f;
  uwsgi_temp_path {work}/u; scgi_temp_path {work}/s; default_type application/octet-stream;
  server {{ listen 127.0.0.1:{port} backlog=4096; root {root}; }} }}
""")
    return Server("nginx", ["nginx", "-p", work, "-c", conf, "-e", f"{work}/error.log"], port)


async def read_message(reader):
    header = await reader.readexactly(HEADER.size)
    magic, length, kind, _, _ = HEADER.unpack(header)
    if magic != MAGIC:
        raise ValueError("bad magic")
    return kind, await reader.readexactly(length)


async def one_check(server):
    reader, writer = await asyncio.open_connection("127.0.0.1", server.port)
    try:
        if server.name == "nginx":
            writer.write(b"GET /update.ini HTTP/1.1\r\nHost: b\r\nConnection: close\r\n\r\n")
            data = await reader.read()
            return data.startswith(b"HTTP/1.1 200")
        writer.write(version_check())
        kind, _ = await read_message(reader)
        return kind == VERSION_REPLY
    finally:
        writer.close()


async def timed(coroutine_factory, timeout):
    start = time.perf_counter()
    try:
        ok = await asyncio.wait_for(coroutine_factory(), timeout)
    except (asyncio.TimeoutError, OSError, ValueError, asyncio.IncompleteReadError):
        ok = False
    return (time.perf_counter() - start) if ok else None


def p99(times):
    done = sorted(t for t in times if t is not None)
    return done[min(len(done) - 1, int(len(done) * 0.99))] if done else float("nan")


async def checks_at_once(server, count, timeout):
    times = await asyncio.gather(*(timed(lambda: one_check(server), timeout) for _ in range(count)))
    return p99(times), sum(t is None for t in times)


async def cpu_per_check(server, count):
    before = server.cpu()
    sem = asyncio.Semaphore(20)

    async def limited():
        async with sem:
            await one_check(server)

    await asyncio.gather(*(limited() for _ in range(count)))
    return (server.cpu() - before) / count * 1000


async def one_download(server, size):
    reader, writer = await asyncio.open_connection("127.0.0.1", server.port, limit=1 << 20)
    try:
        if server.name == "nginx":
            writer.write(b"GET /v2/big.bin HTTP/1.1\r\nHost: b\r\nConnection: close\r\n\r\n")
            got = 0
            while chunk := await reader.read(1 << 20):
                got += len(chunk)
            return got >= size
        writer.write(file_request("", "big.bin"))
        # Read in large blocks, as for nginx, and only the messages' fixed
        # parts are looked at: data bytes are counted, never copied out, so
        # this client costs about as much per byte for either server.
        got, head, left, last = 0, b"", 0, False
        while True:
            data = await reader.read(1 << 20)
            if not data:
                return False
            i = 0
            while i < len(data):
                if left:
                    n = min(left, len(data) - i)
                    i, left, got = i + n, left - n, got + n
                else:
                    take = (HEADER.size if len(head) < HEADER.size else HEADER.size + 173) - len(head)
                    head += data[i:i + take]
                    i += take
                    if len(head) == HEADER.size:
                        magic, length, kind, _, _ = HEADER.unpack(head)
                        if magic != MAGIC or kind != FILE_DATA or length < 173:
                            return False
                    if len(head) < HEADER.size + 173:
                        continue
                    last, left, head = head[HEADER.size + 168] != 0, length - 173, b""
                if not left and last:
                    return got == size
    finally:
        writer.close()


async def sample_rss(server, stop, peak):
    while not stop.is_set():
        peak[0] = max(peak[0], server.rss_mib())
        await asyncio.sleep(0.05)


async def downloads(server, count, size, timeout):
    stop, peak = asyncio.Event(), [server.rss_mib()]
    sampler = asyncio.ensure_future(sample_rss(server, stop, peak))
    start = time.perf_counter()
    results = await asyncio.gather(*(timed(lambda: one_download(server, size), timeout) for _ in range(count)))
    elapsed = time.perf_counter() - start
    stop.set()
    await sampler
    done = sum(r is not None for r in results)
    return done * size / (1 << 20) / elapsed, peak[0], count - done


async def hostile_connection(server, kind, closed, hold):
    """Opens one misbehaving connection; records whether the server closed it."""
    try:
        reader, writer = await asyncio.open_connection("127.0.0.1", server.port, limit=1)
    except OSError:
        closed.append(True)  # refused outright counts as held off
        return
    sock = writer.get_extra_info("socket")
    if kind == "pipelined":
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    try:
        if kind == "oversize":
            writer.write(HEADER.pack(MAGIC, 64 << 20, FILE_DOWNLOAD, 1, 0) + b"x" * (4 << 20))
        elif kind == "pipelined":
            writer.write(version_check("0") * 50)
        deadline = time.perf_counter() + hold
        check = version_check()
        i = 0
        while time.perf_counter() < deadline:
            if kind == "drip":
                writer.write(check[i % len(check): i % len(check) + 1])
                i += 1
            if kind != "pipelined":
                try:
                    if await asyncio.wait_for(reader.read(1), 0.5) == b"":
                        closed.append(True)
                        return
                except asyncio.TimeoutError:
                    pass
            else:
                # Never reads: the end shows in the kernel's state of the
                # socket (the peer's FIN: CLOSE_WAIT; a reset: CLOSE).
                await asyncio.sleep(0.5)
                state = sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 8)[0]
                if state in (7, 8):
                    closed.append(True)
                    return
    except (OSError, asyncio.IncompleteReadError):
        closed.append(True)
        return
    finally:
        writer.close()


async def hostile(server, kind, count, hold, timeout):
    stop, peak = asyncio.Event(), [server.rss_mib()]
    sampler = asyncio.ensure_future(sample_rss(server, stop, peak))
    closed = []
    crowd = asyncio.gather(*(hostile_connection(server, kind, closed, hold) for _ in range(count)))
    await asyncio.sleep(1)
    normal = [await timed(lambda: one_check(server), timeout) for _ in range(100)]
    await crowd
    stop.set()
    await sampler
    return peak[0], p99(normal), len(closed)


def table(title, header, rows):
    print(f"\n{title}")
    print(" | ".join(header))
    print(" | ".join("---" for _ in header))
    for row in rows:
        print(" | ".join(row))


async def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--old", help="an older tcpserver binary, measured beside this build's")
    parser.add_argument("--clients", default="100,1000,5000")
    parser.add_argument("--downloads", default="50,200")
    parser.add_argument("--file-mib", type=int, default=10)
    parser.add_argument("--download-rounds", type=int, default=3)
    parser.add_argument("--release-files", default="10,1000,10000")
    parser.add_argument("--cpu-checks", type=int, default=200)
    parser.add_argument("--hostile", type=int, default=1000)
    parser.add_argument("--timeout", type=float, default=60)
    args = parser.parse_args()
    clients = [int(c) for c in args.clients.split(",") if c]
    download_counts = [int(c) for c in args.downloads.split(",") if c]

    # Room for the crowd in this process and in the servers it starts
    # (they inherit the limit); above the hard limit only as root.
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(hard, 65536), max(hard, 65536)))
    except (ValueError, OSError):
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    work = tempfile.mkdtemp(prefix="serverload-")
    root = os.path.join(work, "www")
    binaries = [("new", os.path.join(args.build, "bin", "tcpserver"))]
    if args.old:
        binaries.insert(0, ("old", args.old))
    names = [n for n, _ in binaries] + ["nginx"]
    try:
        # Version checks at once, and CPU per check by release size.
        sizes = [int(n) for n in args.release_files.split(",")]
        cpu = {}
        checks = {}
        for files in sizes:
            make_release(root, files, args.file_mib)
            servers = [tcp_server(n, b, root) for n, b in binaries] + [nginx_server(root, work)]
            try:
                for s in servers:
                    await one_check(s)  # warm
                    cpu[(s.name, files)] = await cpu_per_check(s, args.cpu_checks)
                if files == sizes[0]:
                    for count in clients:
                        for s in servers:
                            checks[(s.name, count)] = await checks_at_once(s, count, args.timeout)
                            await asyncio.sleep(1)
            finally:
                for s in servers:
                    s.stop()
        table("Version checks at once (p99 s, unanswered)", ["clients"] + names + [f"{n}/nginx" for n in names[:-1]],
              [[str(c)] + [f"{checks[(n, c)][0]:.3f} ({checks[(n, c)][1]})" for n in names]
               + [f"{checks[(n, c)][0] / checks[('nginx', c)][0]:.2f}" for n in names[:-1]]
               for c in clients])
        table("Server CPU per check (ms)", ["release files"] + names,
              [[str(f)] + [f"{cpu[(n, f)]:.3f}" for n in names] for f in sizes])

        # Downloads, and hostile crowds, on the smallest release.
        make_release(root, sizes[0], args.file_mib)
        size = args.file_mib * 1024 * 1024
        rows = []
        for count in download_counts:
            row = [str(count)]
            # Rounds alternate between the servers and each keeps its best
            # total (its highest memory, all its failures): on a shared
            # machine a single round mostly measures the neighbours.
            figures = {}
            for _ in range(args.download_rounds):
                for n, b in binaries + [("nginx", None)]:
                    s = nginx_server(root, work) if n == "nginx" else tcp_server(n, b, root)
                    try:
                        rate, peak, failed = await downloads(s, count, size, args.timeout)
                    finally:
                        s.stop()
                    best = figures.get(n, (0.0, 0.0, 0))
                    figures[n] = (max(best[0], rate), max(best[1], peak), best[2] + failed)
            row += [f"{figures[n][0]:.0f} MiB/s, {figures[n][1]:.0f} MiB, {figures[n][2]} failed" for n in names]
            row += [f"{figures[n][0] / figures['nginx'][0]:.2f}" for n in names[:-1]]
            rows.append(row)
        if rows:
            table(f"Downloads of {args.file_mib} MiB at once (total, server peak RSS)",
                  ["clients"] + names + [f"{n}/nginx" for n in names[:-1]], rows)

        rows = []
        for kind in ("oversize", "pipelined", "idle", "drip") if args.hostile > 0 else ():
            row = [kind]
            for n, b in binaries:
                s = tcp_server(n, b, root, idle=5)
                try:
                    peak, normal, closed = await hostile(s, kind, args.hostile, 10, args.timeout)
                finally:
                    s.stop()
                row.append(f"{peak:.0f} MiB, normal p99 {normal * 1000:.0f} ms, {closed}/{args.hostile} closed")
            rows.append(row)
        if rows:
            table(f"{args.hostile} hostile connections held 10 s (new server: idle time-out 5 s)", ["kind"] + names[:-1], rows)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    asyncio.run(main())
