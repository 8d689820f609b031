#!/usr/bin/env python3
"""Cost per file: a whole HTTP update of --files files of --size bytes, every one
changed, against curl (--parallel-max 6) + md5sum + cp doing the same job.

On 127.0.0.1 only: the release (version 2) is published with this build's
publisher and served by nginx. Each run starts from a fresh copy of version 1
(the same names, other bytes, with its md5.txt) and is one of

  * `update.exe console` over HTTP (ParallelDownloads=6): check, download with
    verification, backup, replace, journal;
  * the pipeline: curl fetches update.ini, md5.txt and every file into a staging
    folder over 6 parallel transfers, md5sum checks them against the manifest,
    cp puts them in place;

--runs times each. Prints each one's median wall time and peak memory and the
ratio of the medians (targets: at most 1.3 at 10,000 and 50,000 files; peak
under 100 MiB at 50,000). With --changed N only the first N files differ
from the installed ones (target: 10 of 100,000 at most 2). The last row is
the floor under update.exe's transport: Qt's HTTP client alone fetching the
changed files (6 at a time, each body written to a file, nothing checked or
installed).

    python3 bench/perfile_update.py [--build build] [--files 10000] [--size 4096] [--changed N] [--runs 3] [--parent DIR]
"""

import argparse
import hashlib
import os
import shutil
import statistics
import subprocess
import tempfile
import time

from nochange_check import free_port, publish, start_nginx, timed, write_files


def version1(build, work, files, size, port):
    """The template of version 1, with update.exe, host, system.cfg, md5.txt."""
    path = os.path.join(work, "v1")
    write_files(path, files, lambda i: (b"v1 %d " % i).ljust(size, b"."))
    manifest = []
    for folder, _, names in os.walk(path):
        for name in names:
            full = os.path.join(folder, name)
            with open(full, "rb") as f:
                manifest.append("%s\t/%s\r\n" % (hashlib.md5(f.read()).hexdigest(), os.path.relpath(full, path)))
    with open(os.path.join(path, "md5.txt"), "w", newline="") as f:
        f.write("".join(sorted(manifest)))
    os.makedirs(os.path.join(path, "update"))
    with open(os.path.join(path, "update", "update.ini"), "w") as f:
        f.write("[Version]\nVersion=1.0.0\nFolder=v1\n")
    shutil.copy(os.path.join(build, "bin", "update.exe"), path)
    shutil.copy(os.path.join(build, "bin", "fakehost"), os.path.join(path, "host"))
    with open(os.path.join(path, "system.cfg"), "w") as f:
        f.write(f"[Update]\nHostExe=host\nUpdateExe=update.exe\nUpdateHelperExe=host\nHttpEnable=1\n"
                f"URL=http://127.0.0.1:{port}/\nParallelDownloads=6\n[Paths]\nTemp=UpdateTemp/\nBackup=Backup/\n")
    return path


PIPELINE = r"""set -e
cd "$1"; url="$2"
mkdir -p stage/update
curl -sf -o stage/update/update.ini "${url}update.ini"
curl -sf -o stage/md5.txt "${url}v2/md5.txt"
# The lines of the new manifest the installed one does not have: the changed files.
sed 's/\r$//' md5.txt > stage/old
sed 's/\r$//' stage/md5.txt | awk -F'\t' 'NR == FNR { old[$0] = 1; next } !($0 in old)' stage/old - > stage/changed
awk -F'\t' -v u="${url}v2" '{print "url = \"" u $2 "\"\noutput = \"stage" $2 "\""}' stage/changed > stage/list
curl -sf --parallel --parallel-max 6 --create-dirs -K stage/list
awk -F'\t' '{print $1 "  stage" $2}' stage/changed | md5sum -c --quiet
rm stage/list stage/old stage/changed
cp -r --remove-destination stage/. .
rm -r stage
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--files", type=int, default=10000)
    parser.add_argument("--size", type=int, default=4096)
    parser.add_argument("--changed", type=int, default=None,
                        help="files of the release that differ from the installed ones (default: all)")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--parent", default=None, help="folder to work in (default: the temp folder)")
    opts = parser.parse_args()
    build = os.path.abspath(opts.build)
    work = tempfile.mkdtemp(prefix="perfile-", dir=opts.parent)
    nginx = None
    try:
        changed = opts.files if opts.changed is None else opts.changed
        www = publish(build, work, opts.files,
                      lambda i: (b"v2 %d " % i).ljust(opts.size, b"-") if i < changed
                      else (b"v1 %d " % i).ljust(opts.size, b"."))
        port = free_port()
        nginx = start_nginx(work, www, port)
        template = version1(build, work, opts.files, opts.size, port)
        inst = os.path.join(work, "inst")
        # The changed files, for Qt's HTTP client alone: it fetches them next to
        # the installation and installs nothing.
        fetch_list = os.path.join(work, "fetch.list")
        with open(fetch_list, "w") as f:
            for i in range(changed):
                name = f"d{i // 1000:04}/f{i % 1000:04}.dat"
                f.write(f"http://127.0.0.1:{port}/v2/{name}\t{os.path.join(work, 'fetched', name)}\n")
        commands = {
            "update.exe HTTP": lambda: ([os.path.join(inst, "update.exe"), "console"], b'"success":true'),
            "curl + md5sum + cp": lambda: (["sh", "-c", PIPELINE, "sh", inst, f"http://127.0.0.1:{port}/"], b""),
            # The floor under update.exe's transport: no check, no journal, no apply.
            "Qt HTTP client alone": lambda: ([os.path.join(build, "bin", "qtfetch"), fetch_list, "6"], b""),
        }
        # Rounds alternate the two, so both meet the file system in the same
        # state (freed inodes, for one, make creating files slower for a while).
        samples = {name: ([], 0.0) for name in commands}
        for _ in range(opts.runs):
            for name, command in commands.items():
                shutil.rmtree(inst, ignore_errors=True)
                shutil.copytree(template, inst, copy_function=os.link)
                args, expect = command()
                shutil.rmtree(os.path.join(work, "fetched"), ignore_errors=True)
                seconds, out, rss = timed(args, inst)
                if expect not in out:
                    raise SystemExit(f"{name} failed: {out!r}")
                if name == "Qt HTTP client alone":
                    if not os.path.isfile(os.path.join(work, "fetched", "d0000", "f0000.dat")):
                        raise SystemExit(f"{name} fetched nothing")
                else:
                    with open(os.path.join(inst, "d0000", "f0000.dat"), "rb") as f:
                        if not f.read().startswith(b"v2 0 "):
                            raise SystemExit(f"{name} did not install version 2")
                if name.startswith("update.exe"):
                    # The host it starts writes into the installation: let it
                    # finish before the folder is removed.
                    deadline = time.monotonic() + 10
                    while not os.path.exists(os.path.join(inst, "host_started.txt")) and time.monotonic() < deadline:
                        time.sleep(0.05)
                times, peak = samples[name]
                times.append(seconds)
                samples[name] = (times, max(peak, rss))
        rows = {name: (statistics.median(times), peak) for name, (times, peak) in samples.items()}
        reference = rows["curl + md5sum + cp"][0]
        print(f"Whole HTTP update, {changed} of {opts.files} files of {opts.size} bytes changed, {opts.runs} runs each")
        print("what | median s | peak MiB | median / pipeline")
        print("--- | --- | --- | ---")
        for name, (median, peak) in rows.items():
            print(f"{name} | {median:.2f} | {peak:.0f} | {median / reference:.2f}")
    finally:
        if nginx:
            nginx.terminate()
            nginx.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
