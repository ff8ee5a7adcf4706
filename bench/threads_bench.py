#!/usr/bin/env python3
"""Creating an archive of a whole tree with one and with two threads.

    python3 bench/threads_bench.py [--scale S] [--folders F] [--repeat N] [--build DIR] [--scratch DIR]

On the make_corpus.py tree (cached under the scratch folder; by default
--scale 2.2 --folders 3.2: about 8,200 files in about 1,500 folders) it times, as
the median of --repeat runs each, every run into a new archive:
  pelko 1      pelko-cli sync --threads 1 (flushed, as by default)
  pelko 2      pelko-cli sync --threads 2
  pelko 2 nf   pelko-cli sync --threads 2 --no-flush
  floor        km_deflate_floor: every file read once, zlib level 5 in 1 MiB
               blocks with sync flushes, plus crc32, on one thread
  floor store  the same, storing what pelko stores (*.zip and the like)
  zip          zip -q -r -5 (Info-ZIP, one thread)
  7-Zip 2      7zz a -tzip -mx5 -mmt2 (deflate on two threads)
and prints wall seconds, user+sys CPU seconds, peak resident memory and the
ratio of each wall time to the floor's. Then, on the 1-thread archive:
  test 1       pelko-cli test --threads 1
  test 2       pelko-cli test --threads 2
  floor        km_read_floor test: every entry's data read, inflated and
               its CRC-32 checked, on one thread
  unzip        unzip -tq (Info-ZIP, one thread)
  bsdtar       bsdtar -xOf ARCHIVE >/dev/null (libarchive, one thread)
  7-Zip 2      7zz t -mmt2
with each wall time's ratio to that floor. The 1- and 2-thread archives must
hold the same bytes (folder entries aside, which take the time of their run)
and pass unzip -tq; the script says FAILED otherwise.

Binaries come from --build (default: build/ under the repository, or
$PELKO_BUILD): bin/pelko-cli, bin/km_deflate_floor and bin/km_read_floor;
configure it with -DCMAKE_BUILD_TYPE=Release -DKM_BUILD_BENCH=ON. Needs zip,
unzip, bsdtar and 7zz (7zip), and about 3 GB free in the scratch folder.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True
import sync_bench  # noqa: E402  (the corpus cache and the stored extensions)


def run(cmd, cwd=None):
    """Wall seconds, user+sys seconds and peak resident KiB of one run."""
    os.sync()
    # The peak comes from /usr/bin/time: a child forked from this script
    # starts with the script's own resident size, which wait4 would report.
    fd, peak_file = tempfile.mkstemp()
    os.close(fd)
    try:
        t0 = time.perf_counter()
        p = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", peak_file] + cmd, cwd=cwd,
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE)
        _, status, usage = os.wait4(p.pid, 0)
        wall = time.perf_counter() - t0
        err = p.stderr.read().decode(errors="replace")
        code = os.waitstatus_to_exitcode(status)
        if code != 0:
            raise SystemExit("FAILED: %s exited with %d: %s" % (" ".join(cmd), code, err[-2000:]))
        with open(peak_file) as f:
            peak = int(f.read().split()[-1])
    finally:
        os.remove(peak_file)
    return wall, usage.ru_utime + usage.ru_stime, peak


def warm(root):
    for folder, _, files in os.walk(root):
        for name in files:
            with open(os.path.join(folder, name), "rb") as f:
                while f.read(1 << 20):
                    pass


def file_entries(path):
    """Name, CRC, sizes and raw data of every file entry, in order."""
    out = []
    with zipfile.ZipFile(path) as z, open(path, "rb") as raw:
        for info in z.infolist():
            if info.is_dir():
                continue
            raw.seek(info.header_offset + 26)
            n, m = int.from_bytes(raw.read(2), "little"), int.from_bytes(raw.read(2), "little")
            raw.seek(info.header_offset + 30 + n + m)
            out.append((info.filename, info.CRC, info.compress_size, info.file_size,
                        raw.read(info.compress_size)))
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--scale", type=float, default=2.2)
    ap.add_argument("--folders", type=float, default=3.2)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--build", default=os.environ.get("PELKO_BUILD",
                                                      os.path.join(HERE, "..", "build")))
    ap.add_argument("--scratch", default="/tmp/pelko-threads-bench")
    a = ap.parse_args()

    pelko = os.path.abspath(os.path.join(a.build, "bin", "pelko-cli"))
    floor = os.path.abspath(os.path.join(a.build, "bin", "km_deflate_floor"))
    read_floor = os.path.abspath(os.path.join(a.build, "bin", "km_read_floor"))
    for tool in (pelko, floor, read_floor):
        if not os.path.exists(tool):
            raise SystemExit("missing %s (build it: see bench/README.md)" % tool)
    for tool in ("zip", "unzip", "bsdtar", "7zz", "/usr/bin/time"):
        if not shutil.which(tool):
            raise SystemExit("missing %s" % tool)

    os.makedirs(a.scratch, exist_ok=True)
    corpus = sync_bench.pristine_corpus(a.scratch, a.scale, a.seed, a.folders)
    files = sum(len(f) for _, _, f in os.walk(corpus))
    folders = sum(len(d) for _, d, _ in os.walk(corpus))
    size = sum(os.path.getsize(os.path.join(r, n)) for r, _, f in os.walk(corpus) for n in f)
    out = os.path.join(a.scratch, "out")
    os.makedirs(out, exist_ok=True)
    warm(corpus)

    def target(name):
        path = os.path.join(out, name)
        if os.path.exists(path):
            os.remove(path)
        return path

    parent, leaf = os.path.split(corpus)
    variants = [
        ("pelko 1", lambda: [pelko, "sync", "--base", corpus, "--archive", target("p1.zip"),
                             "--threads", "1"], None),
        ("pelko 2", lambda: [pelko, "sync", "--base", corpus, "--archive", target("p2.zip"),
                             "--threads", "2"], None),
        ("pelko 2 nf", lambda: [pelko, "sync", "--base", corpus, "--archive",
                                target("p2nf.zip"), "--threads", "2", "--no-flush"], None),
        ("floor", lambda: [floor, corpus], None),
        ("floor store", lambda: [floor, "--store", sync_bench.PELKO_STORED, corpus], None),
        ("zip", lambda: ["zip", "-q", "-r", "-5", target("zip.zip"), leaf], parent),
        ("7-Zip 2", lambda: ["7zz", "a", "-tzip", "-mx5", "-mmt2", target("7z.zip"), leaf],
         parent),
    ]
    samples = {name: [] for name, _, _ in variants}
    for _ in range(a.repeat):
        for name, cmd, cwd in variants:  # interleaved, so drift hits all alike
            samples[name].append(run(cmd(), cwd))

    for name in ("p1.zip", "p2.zip"):
        if subprocess.run(["unzip", "-tq", os.path.join(out, name)],
                          stdout=subprocess.DEVNULL).returncode != 0:
            raise SystemExit("FAILED: unzip -t %s" % name)
    if file_entries(os.path.join(out, "p1.zip")) != file_entries(os.path.join(out, "p2.zip")):
        raise SystemExit("FAILED: the 1- and 2-thread archives differ")

    archive = os.path.join(out, "p1.zip")
    tests = [
        ("test 1", [pelko, "test", archive, "--threads", "1"]),
        ("test 2", [pelko, "test", archive, "--threads", "2"]),
        ("floor", [read_floor, "test", archive]),
        ("unzip", ["unzip", "-tq", archive]),
        ("bsdtar", ["bsdtar", "-xOf", archive]),
        ("7-Zip 2", ["7zz", "t", "-mmt2", archive]),
    ]
    tested = {name: [] for name, _ in tests}
    for _ in range(a.repeat):
        for name, cmd in tests:
            tested[name].append(run(cmd))

    print("corpus: %d files in %d folders, %.0f MB (scale %g, folders %g); median of %d runs;"
          " %d cores" % (files, folders, size / 1e6, a.scale, a.folders, a.repeat, os.cpu_count()))
    for title, table, order in (("create", samples, [n for n, _, _ in variants]),
                                ("test", tested, [n for n, _ in tests])):
        floor_wall = statistics.median(s[0] for s in table["floor"])
        print("%-12s %8s %8s %9s %9s" % (title, "wall s", "cpu s", "peak MB", "/floor"))
        for name in order:
            wall = statistics.median(s[0] for s in table[name])
            cpu = statistics.median(s[1] for s in table[name])
            peak = max(s[2] for s in table[name]) / 1024
            print("%-12s %8.3f %8.3f %9.1f %9.2f" % (name, wall, cpu, peak, wall / floor_wall))


if __name__ == "__main__":
    main()
