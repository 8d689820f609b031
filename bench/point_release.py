#!/usr/bin/env python3
"""Whole update of a point release: patches against today's full files, over HTTP.

Version 1 of the product holds real earlier binaries and version 2 their
point release: libavcodec 5.1.8 -> 5.1.9 (the two Debian packages, fetched
once into --cache), and the libMagickCore and nginx pairs found in apt's
cache (the oldest and newest of each), plus --small-files unchanged small
files. Version 2 is published twice with this build's publisher: plain
(every changed file goes whole) and with --previous the version-1 tree
(patches). `update.exe console` updates a fresh copy of the version-1
installation from nginx at 0 ms and at --rtt-ms, in the network namespace
with the delaying TUN device of latency.py; each installed tree must then
equal version 2 byte for byte.

Prints the changed files' bytes, the bytes nginx sent per run (headers
included, from its access log) and their share of the changed bytes (target
<= 5 %), the best wall time of each and the ratio patched/full (target <=
0.2), and update.exe's peak resident memory. --rate-mbit limits the
--rtt-ms path's rate (tc's token bucket on the TUN device): without it a
whole file costs round trips only. Needs root, nginx, cc, dpkg-deb, tc.

    python3 bench/point_release.py [--build build] [--rtt-ms 50] [--rate-mbit 0] [--runs 3] [--cache /tmp/point-release-cache]
"""

import argparse
import filecmp
import glob
import os
import random
import shutil
import subprocess
import sys

import latency
from latency import run

AVCODEC_VERSIONS = ["5.1.8-0+deb12u1", "5.1.9-0+deb12u1"]
AVCODEC_URL = "http://deb.debian.org/debian/pool/main/f/ffmpeg/libavcodec59_{v}_amd64.deb"
# (package, file inside it, where it goes in the product)
PAIRS = [
    ("libavcodec59", "usr/lib/x86_64-linux-gnu/libavcodec.so.59.37.100", "lib/libavcodec.so.59"),
    ("libmagickcore-6.q16-6", "usr/lib/x86_64-linux-gnu/libMagickCore-6.Q16.so.6.0.0", "lib/libMagickCore.so.6"),
    ("nginx", "usr/sbin/nginx", "bin/nginx"),
]
APT_CACHE = "/var/cache/apt/archives"
WIRE_TARGET = 0.05
TIME_TARGET = 0.2


def fetch_avcodec(cache):
    """The two libavcodec packages, downloaded only when the cache lacks them;
    each must be the package and version its name says."""
    os.makedirs(cache, exist_ok=True)
    debs = []
    for v in AVCODEC_VERSIONS:
        url = AVCODEC_URL.format(v=v)
        path = os.path.join(cache, os.path.basename(url))
        if not os.path.exists(path):
            run(["curl", "-fsS", "-o", path + ".part", url])
            os.rename(path + ".part", path)
        fields = subprocess.run(["dpkg-deb", "-f", path, "Package", "Version"], check=True,
                                capture_output=True, text=True).stdout.split()
        if fields[1] != "libavcodec59" or fields[3].split(":")[-1] != v:
            sys.exit(f"{path} is not libavcodec59 {v}: {fields}")
        debs.append(path)
    return debs


def deb_version(path):
    return subprocess.run(["dpkg-deb", "-f", path, "Version"], check=True, capture_output=True, text=True).stdout.strip()


def apt_pair(package):
    """The oldest and the newest .deb of package in apt's cache, in Debian's version order."""
    debs = glob.glob(os.path.join(APT_CACHE, f"{package}_*.deb"))
    lowest = highest = None
    for deb in debs:
        v = deb_version(deb)
        if lowest is None or subprocess.run(["dpkg", "--compare-versions", v, "lt", deb_version(lowest)]).returncode == 0:
            lowest = deb
        if highest is None or subprocess.run(["dpkg", "--compare-versions", v, "gt", deb_version(highest)]).returncode == 0:
            highest = deb
    if lowest is None or lowest == highest:
        sys.exit(f"apt's cache has fewer than two versions of {package}")
    return [lowest, highest]


def build_versions(work, debs, small_files):
    """src1 and src2: the changed binaries in their two versions and the same
    small files in both. Returns both paths and [(relative path, label)] of the changed files."""
    srcs = [os.path.join(work, "src1"), os.path.join(work, "src2")]
    changed = []
    for (package, inner, rel), pair in zip(PAIRS, debs):
        for deb, src in zip(pair, srcs):
            unpacked = os.path.join(work, "deb")
            run(["dpkg-deb", "-x", deb, unpacked])
            os.makedirs(os.path.dirname(os.path.join(src, rel)), exist_ok=True)
            shutil.move(os.path.join(unpacked, inner), os.path.join(src, rel))
            shutil.rmtree(unpacked)
        if filecmp.cmp(os.path.join(srcs[0], rel), os.path.join(srcs[1], rel), shallow=False):
            sys.exit(f"{rel} is the same in both versions of {package}")
        changed.append((rel, f"{package} {deb_version(pair[0])}..{deb_version(pair[1])}"))
    # Resources, translations, plug-ins: small files a point release leaves as they are.
    rng = random.Random(1)
    for i in range(small_files):
        rel = os.path.join("share", f"d{i % 10}", f"r{i:04d}.dat")
        data = rng.randbytes(rng.randint(200, 24 * 1024))
        for src in srcs:
            os.makedirs(os.path.dirname(os.path.join(src, rel)), exist_ok=True)
            with open(os.path.join(src, rel), "wb") as f:
                f.write(data)
    return srcs, changed


def release_files(src):
    for folder, _, names in os.walk(src):
        for name in names:
            yield os.path.relpath(os.path.join(folder, name), src)


def byte_exact(src2, www):
    """A check that the installation holds version 2's files, byte for byte, and its manifest."""
    def verify(inst):
        for rel in list(release_files(src2)) + ["md5.txt"]:
            expected = os.path.join(www, "v2", rel) if rel == "md5.txt" else os.path.join(src2, rel)
            if not filecmp.cmp(os.path.join(inst, rel), expected, shallow=False):
                sys.exit(f"installed {rel} differs from version 2")
    return verify


def sent_since(log, offset):
    """Bytes nginx sent (all, and bodies only) and its responses, for those logged after offset."""
    with open(log) as f:
        f.seek(offset)
        lines = [line.split() for line in f if line.strip()]
    return sum(int(fields[1]) for fields in lines), sum(int(fields[0]) for fields in lines), len(lines)


def measure(opts, work, tundelay, index, rtt_ms, template, root, log, src2):
    """Best seconds, bytes sent and peak memory of each kind of release on a path of rtt_ms."""
    path_proc, local, peer = latency.open_path(tundelay, index, rtt_ms // 2)
    if opts.rate_mbit and rtt_ms:
        # The link's rate, both directions together: what makes whole files
        # cost their bytes and not only their round trips.
        latency.run(["tc", "qdisc", "add", "dev", f"lat{index}", "root", "tbf", "rate", f"{opts.rate_mbit}mbit",
                     "burst", "64kb", "latency", "2s"])
    server = latency.start_nginx(work, root, local, access_log=log)
    inst = os.path.join(work, "run")
    result = {}
    for round_no in range(opts.runs):
        for kind in ("full", "patched"):
            www = os.path.join(root, kind)
            config = latency.http_config(peer, opts.parallel).replace(
                f":{latency.HTTP_PORT}/", f":{latency.HTTP_PORT}/{kind}/")
            offset = os.path.getsize(log) if os.path.exists(log) else 0
            seconds, peak = latency.update_time(template, inst, config, www, verify=byte_exact(src2, www))
            sent, body, requests = sent_since(log, offset)
            print(f"  {rtt_ms} ms, round {round_no + 1}: {kind} {seconds:.2f} s, {sent} bytes sent", flush=True)
            best = result.setdefault(kind, {"seconds": seconds, "sent": sent, "body": body, "requests": requests,
                                                 "peak": peak})
            best["seconds"] = min(best["seconds"], seconds)
            best["peak"] = max(best["peak"], peak)
            if sent != best["sent"]:
                print(f"  note: {kind} sent {sent} bytes this round, {best['sent']} before", flush=True)
    latency.stop(server)
    latency.stop(path_proc)
    return result


def report(opts, rtts, results, changed, changed_bytes, src1, src2):
    print()
    print(f"changed files ({opts.small_files} small files unchanged), best of {opts.runs} rounds, "
          f"TCP congestion control {opts.congestion}:")
    for rel, label in changed:
        print(f"  {rel:<26} {os.path.getsize(os.path.join(src1, rel)):>10} -> "
              f"{os.path.getsize(os.path.join(src2, rel)):>10} bytes  ({label})")
    print(f"  changed files' bytes (version 2): {changed_bytes}")
    print()
    print(f"{'':<10}{'rtt':>7}{'requests':>10}{'sent (bytes)':>15}{'bodies':>13}{'share':>9}{'time':>9}"
          f"{'peak MiB':>10}")
    for r in rtts:
        for kind in ("full", "patched"):
            row = results[r][kind]
            print(f"{kind:<10}{r:>5}ms{row['requests']:>10}{row['sent']:>15}{row['body']:>13}{row['sent'] / changed_bytes:>8.1%}"
                  f"{row['seconds']:>8.2f}s{row['peak']:>10.1f}")
    print()
    share = results[rtts[-1]]["patched"]["sent"] / changed_bytes
    print(f"patched bytes sent / changed files' bytes: {share:.2%} "
          f"(target <= {WIRE_TARGET:.0%}: {'within target' if share <= WIRE_TARGET else 'over target'})")
    for r in rtts:
        ratio = results[r]["patched"]["seconds"] / results[r]["full"]["seconds"]
        verdict = ""
        if r and r == rtts[-1]:
            verdict = f"  (target <= {TIME_TARGET}: {'within target' if ratio <= TIME_TARGET else 'over target'})"
        print(f"time patched / full at {r} ms: {ratio:.2f}{verdict}")


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    latency.add_path_options(parser, "update.exe, publisher, fakehost")
    parser.add_argument("--cache", default="/tmp/point-release-cache", help="folder of the downloaded .debs")
    parser.add_argument("--small-files", type=int, default=300)
    parser.add_argument("--parallel", type=int, default=6, help="ParallelDownloads")
    parser.add_argument("--runs", type=int, default=3, help="rounds on each path; the best time counts")
    parser.add_argument("--rate-mbit", type=int, default=0,
                        help="limit the --rtt-ms path to this many Mbit/s (0: no limit)")
    opts = latency.parse_path_options(parser)
    opts.cache = os.path.abspath(opts.cache)
    return opts


def main():
    opts = parse_args()
    # The network namespace has no way out: the packages are fetched first.
    if not os.environ.get(latency.INSIDE_MARK):
        fetch_avcodec(opts.cache)
    latency.enter_bench(opts)
    work = latency.make_workdir()
    try:
        debs = [fetch_avcodec(opts.cache)] + [apt_pair(package) for package, _, _ in PAIRS[1:]]
        (src1, src2), changed = build_versions(work, debs, opts.small_files)
        changed_bytes = sum(os.path.getsize(os.path.join(src2, rel)) for rel, _ in changed)
        tundelay = latency.build_tundelay(work)
        template = latency.make_installation(opts.build, work, src1)
        root = os.path.join(work, "www")
        latency.publish(opts.build, src2, os.path.join(root, "full"), "2.0.0", "v2")
        latency.publish(opts.build, src2, os.path.join(root, "patched"), "2.0.0", "v2", ["--previous", src1])
        log = os.path.join(work, "access.log")
        rtts = sorted({0, opts.rtt_ms})
        results = {r: measure(opts, work, tundelay, i, r, template, root, log, src2) for i, r in enumerate(rtts)}
        report(opts, rtts, results, changed, changed_bytes, src1, src2)
    finally:
        latency.stop_all()
        latency.remove_workdir(work)


if __name__ == "__main__":
    main()
