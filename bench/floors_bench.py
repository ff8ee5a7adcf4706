#!/usr/bin/env python3
"""pelko-cli's read-only runs against their floors and their peers.

    python3 bench/floors_bench.py --build DIR [--rounds R] [--runs N] [--only ROWS]

Three rows, each one hyperfine call per round with pelko-cli, the peer and
the floor together (so the three take turns, a round of --runs each, --rounds
times; hyperfine warms each command up first):

  sync   pelko-cli sync with nothing changed   zip -q -FS -r -5   km_read_floor walk
  list   pelko-cli list, 100,000 entries       unzip -l           km_read_floor list
  test   pelko-cli test --threads 1            bsdtar -xOf        km_read_floor test
  test-tiny  the same on the 100,000 entries

The corpus comes from make_corpus.py (default --scale 2.2 --folders 3.2:
about 8,200 files in about 1,500 folders) and the 100,000-entry archive from
a tree of tiny files made here; both are made once and kept in --scratch. The
corpus archives (pelko's and zip's) are made afresh by every invocation with
the build under test. Peak memory of every command is the largest of three
runs under /usr/bin/time -f %M. --build names the build folder (bin/pelko-cli,
bin/km_read_floor); nothing is built here.
"""

import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import make_corpus  # noqa: E402
from sync_bench import Failed, built_tools, run_main  # noqa: E402

MB = 1 << 20


def run(cmd, **kw):
    r = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, **kw)
    if r.returncode != 0:
        raise Failed("%s exited with %d: %s" % (" ".join(cmd), r.returncode,
                                                r.stderr.decode(errors="replace")[-2000:]))
    return r.stdout.decode(errors="replace")


def cached(stamp, make):
    """Runs make() unless the stamp says it completed before."""
    if not os.path.exists(stamp):
        make()
        open(stamp, "w").close()


def make_tiny_tree(root, entries):
    """entries - entries // 100 tiny files in entries // 100 folders: with the
    folders' own entries, an archive of exactly entries entries."""
    folders = entries // 100
    files = entries - folders
    shutil.rmtree(root, ignore_errors=True)
    for d in range(folders):
        os.makedirs(os.path.join(root, "d%04d" % d))
    t = make_corpus.BASE_TIME
    for k in range(files):
        path = os.path.join(root, "d%04d" % (k % folders), "file%06d.txt" % k)
        with open(path, "wb") as f:
            f.write(b"entry %d\n" % k * (1 + k % 7))
        os.utime(path, (t, t))
    for d in range(folders):
        os.utime(os.path.join(root, "d%04d" % d), (t, t))


def hyperfine(names, cmds, rounds, runs, output, scratch):
    """Every command's wall times over all rounds, and its mean user+sys CPU."""
    times = {n: [] for n in names}
    cpu = {n: [] for n in names}
    for r in range(rounds):
        export = os.path.join(scratch, "hyperfine.json")
        cmd = ["hyperfine", "-N", "--style", "none", "--warmup", "2" if r == 0 else "1",
               "--runs", str(runs), "--output", output, "--export-json", export]
        for n, c in zip(names, cmds):
            cmd += ["--command-name", n, " ".join(c)]
        run(cmd)
        with open(export) as f:
            for result in json.load(f)["results"]:
                times[result["command"]] += result["times"]
                cpu[result["command"]].append(result["user"] + result["system"])
    return ({n: statistics.median(times[n]) for n in names},
            {n: statistics.mean(cpu[n]) for n in names},
            {n: len(times[n]) for n in names})


def peak_kb(cmd):
    """The largest resident size of three runs, in KiB."""
    peaks = []
    for _ in range(3):
        with tempfile.NamedTemporaryFile("r") as f:
            subprocess.run(["/usr/bin/time", "-f", "%M", "-o", f.name] + cmd,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            peaks.append(int(f.read().split()[-1]))
    return max(peaks)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--build", required=True, help="build folder with bin/pelko-cli")
    p.add_argument("--scratch", default="/tmp/pelko-floors-bench")
    p.add_argument("--scale", type=float, default=2.2)
    p.add_argument("--folders", type=float, default=3.2)
    p.add_argument("--seed", type=int, default=20240611)
    p.add_argument("--entries", type=int, default=100000, help="entries of the list archive")
    p.add_argument("--rounds", type=int, default=6, help="hyperfine calls per row")
    p.add_argument("--runs", type=int, default=5, help="runs of each command per round")
    p.add_argument("--only", default="sync,list,test,test-tiny", help="rows to run")
    a = p.parse_args()

    pelko, floor = built_tools(p, a.build, ["pelko-cli", "km_read_floor"],
                               "build pelko-cli and km_read_floor (bench/README.md)")
    for tool in ("hyperfine", "zip", "unzip", "bsdtar", "/usr/bin/time"):
        if not shutil.which(tool):
            p.error("%s not found (scripts/deps.sh installs it)" % tool)
    rows = a.only.split(",")

    os.makedirs(a.scratch, exist_ok=True)
    scratch = os.path.realpath(a.scratch)
    if " " in scratch:
        p.error("the scratch path must not hold spaces (commands run without a shell)")
    corpus = os.path.join(scratch, "corpus-%g-%g-%d" % (a.scale, a.folders, a.seed))
    tiny = os.path.join(scratch, "tiny-%d" % a.entries)
    tiny_zip = tiny + ".zip"
    pelko_zip = os.path.join(scratch, "corpus-pelko.zip")
    zip_zip = os.path.join(scratch, "corpus-zip.zip")

    def make_corpus_tree():
        shutil.rmtree(corpus, ignore_errors=True)
        print("generating the corpus in %s ..." % corpus, flush=True)
        run([sys.executable, make_corpus.__file__, corpus, "--scale", str(a.scale),
             "--folders", str(a.folders), "--seed", str(a.seed)])

    def make_tiny():
        print("making %d tiny entries in %s ..." % (a.entries, tiny_zip), flush=True)
        make_tiny_tree(tiny, a.entries)
        if os.path.exists(tiny_zip):
            os.remove(tiny_zip)
        run([pelko, "sync", "--base", tiny, "--archive", tiny_zip, "--no-flush"])

    cached(corpus + ".done", make_corpus_tree)
    if "list" in rows or "test-tiny" in rows:
        cached(tiny_zip + ".done", make_tiny)
    files = folders = 0
    for _, dirs, names in os.walk(corpus):
        folders += len(dirs)
        files += len(names)
    print("corpus: %d files in %d folders; %s" % (files, folders, corpus))

    if "sync" in rows or "test" in rows:
        for path in (pelko_zip, zip_zip):
            if os.path.exists(path):
                os.remove(path)
        print("creating the corpus archives ...", flush=True)
        run([pelko, "sync", "--base", corpus, "--archive", pelko_zip, "--no-flush"])
        run(["zip", "-q", "-r", "-5", zip_zip, corpus])

    # The page cache holds everything before anything is timed.
    for path in (pelko_zip, zip_zip, tiny_zip):
        if os.path.exists(path):
            with open(path, "rb") as f:
                while f.read(4 * MB):
                    pass

    table = []
    goals = []

    def row(label, names, cmds, output):
        med, cpu, count = hyperfine(names, cmds, a.rounds, a.runs, output, scratch)
        peaks = {n: peak_kb(c) for n, c in zip(names, cmds)}
        table.append((label, names, med, cpu, count, peaks))
        return med, peaks

    if "sync" in rows:
        before = os.stat(pelko_zip)
        out = run([pelko, "sync", "--base", corpus, "--archive", pelko_zip])
        if re.findall(r"\d+", out) != ["0", "0"]:
            raise Failed("sync found changes: %s" % out)
        med, _ = row("sync, nothing changed",
                     ["pelko-cli sync", "zip -FS", "floor walk+lstat+dir"],
                     [[pelko, "sync", "--base", corpus, "--archive", pelko_zip],
                      ["zip", "-q", "-FS", "-r", "-5", zip_zip, corpus],
                      [floor, "walk", corpus, pelko_zip]], "null")
        after = os.stat(pelko_zip)
        if (before.st_mtime_ns, before.st_size, before.st_ino) != (
                after.st_mtime_ns, after.st_size, after.st_ino):
            raise Failed("a sync with nothing changed wrote the archive")
        s, z, f = (med[n] for n in ["pelko-cli sync", "zip -FS", "floor walk+lstat+dir"])
        goals.append(("sync <= 0.6 x zip -FS", s / z, 0.6))
        goals.append(("sync <= 1.5 x floor", s / f, 1.5))

    if "list" in rows:
        lines = run([pelko, "list", tiny_zip]).count("\n")
        if lines != a.entries:
            raise Failed("pelko-cli list printed %d lines for %d entries" % (lines, a.entries))
        med, peaks = row("list, %d entries" % a.entries,
                         ["pelko-cli list", "unzip -l", "floor parse+print"],
                         [[pelko, "list", tiny_zip], ["unzip", "-l", tiny_zip],
                          [floor, "list", tiny_zip]], "pipe")
        goals.append(("list <= 0.1 x unzip -l", med["pelko-cli list"] / med["unzip -l"], 0.1))
        goals.append(("list peak memory < 30 MB", peaks["pelko-cli list"] / 1024, 30))

    def test_row(label, archive, key):
        out = run([pelko, "test", archive])
        if not out.strip().endswith(" 0 failed"):
            raise Failed("pelko-cli test: %s" % out)
        med, _ = row(label, ["pelko-cli test", "bsdtar -xOf", "floor inflate+crc"],
                     [[pelko, "test", archive, "--threads", "1"], ["bsdtar", "-xOf", archive],
                      [floor, "test", archive]], "null")
        goals.append((key, med["pelko-cli test"] / med["floor inflate+crc"], 1.03))

    if "test" in rows:
        test_row("test, corpus", pelko_zip, "test <= 1.03 x floor")
    if "test-tiny" in rows:
        test_row("test, %d entries" % a.entries, tiny_zip, "test (tiny) <= 1.03 x floor")

    print()
    print("| row | command | median s | user+sys s | runs | x floor | peak MB |")
    print("|---|---|---|---|---|---|---|")
    for label, names, med, cpu, count, peaks in table:
        f = med[names[2]]
        for n in names:
            peak = "%.1f" % (peaks[n] / 1024) if n in peaks else ""
            print("| %s | %s | %.4f | %.4f | %d | %.2f | %s |" % (label, n, med[n], cpu[n],
                                                                  count[n], med[n] / f, peak))
    print()
    print("| goal | measured | limit | met |")
    print("|---|---|---|---|")
    for key, value, limit in goals:
        print("| %s | %.3f | %g | %s |" % (key, value, limit, "yes" if value <= limit else "NO"))
    return 0


if __name__ == "__main__":
    run_main(main)
