#!/usr/bin/env python3
"""Creating the bench corpus's archive as one file and as split sets.

    python3 bench/split_bench.py [--scale S] [--repeat N] [--volumes MB,MB] [--build DIR]

km_create_set makes, from the corpus of make_corpus.py (cached under the
scratch folder), the single-file archive and a split set for each volume
size (default 10 and 100 MB), pelko's settings and flushes in all of them.
The runs take turns (single, 10 MB, 100 MB, single, ...), so that a busy
spell on a shared machine does not fall on one variant only. Each row gives
the median and the best wall time, the median user+sys CPU and the peak
resident size (the largest of the runs) of one creation, and the ratios to
the single-file archive. The goal: a split set within 1.15 x the time of
the single file, and peak memory that does not grow with the volume size.

Every creation is checked: the volumes keep to their size, pelko-cli test
passes the set (when the build has pelko-cli), and each run writes as many
entries as the single file holds, which unzip -tq passes.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from sync_bench import (Failed, built_tools, corpus_counts, pristine_corpus,  # noqa: E402
                        read_all, run_main)

MB = 1 << 20


class Run:
    def __init__(self, wall, cpu, rss_kb):
        self.wall, self.cpu, self.rss_kb = wall, cpu, rss_kb


def create(tool, corpus, archive, volume, logdir, n):
    """One creation in a process of its own: wall, user+sys and peak RSS."""
    cmd = [tool] + (["--volume", str(volume)] if volume else []) + [corpus, archive]
    err_path = os.path.join(logdir, "%03d.err" % n)
    # What an earlier run left dirty is not written back inside this one.
    os.sync()
    with open(err_path, "wb") as err:
        t0 = time.perf_counter()
        p = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=err)
        out = p.stdout.read()
        _, status, usage = os.wait4(p.pid, 0)
        wall = time.perf_counter() - t0
    if os.waitstatus_to_exitcode(status) != 0:
        with open(err_path, errors="replace") as f:
            raise Failed("%s failed: %s" % (" ".join(cmd), f.read()[-2000:]))
    entries = int(out.split()[0])
    # ru_maxrss is in KiB on Linux.
    return Run(wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss), entries


def set_files(folder):
    return sorted(os.path.join(folder, f) for f in os.listdir(folder))


def check(variant, folder, archive, volume, entries, expected, pelko):
    """The volumes keep to their size and the set reads back whole."""
    if entries != expected:
        raise Failed("%s: %d entries written, the single file holds %d" % (variant, entries,
                                                                          expected))
    files = set_files(folder)
    if volume:
        for f in files:
            if os.path.getsize(f) > volume:
                raise Failed("%s: %s holds %d bytes, more than its %d" % (
                    variant, f, os.path.getsize(f), volume))
    else:
        r = subprocess.run(["unzip", "-tq", archive], capture_output=True, text=True,
                           errors="replace")
        if r.returncode != 0:
            raise Failed("unzip -tq %s: %s%s" % (archive, r.stdout[-2000:], r.stderr[-2000:]))
        with zipfile.ZipFile(archive) as z:
            if len(z.infolist()) != entries:
                raise Failed("%s holds %d entries, %d were written" % (archive,
                                                                       len(z.infolist()),
                                                                       entries))
    if pelko:
        r = subprocess.run([pelko, "test", archive], capture_output=True, text=True,
                           errors="replace")
        if r.returncode != 0:
            raise Failed("pelko-cli test %s: %s%s" % (archive, r.stdout[-2000:],
                                                      r.stderr[-2000:]))
    return len(files), sum(os.path.getsize(f) for f in files)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    root = os.path.dirname(HERE)
    p.add_argument("--build", default=os.environ.get("PELKO_BUILD", os.path.join(root, "build")),
                   help="build folder with bin/km_create_set (and bin/pelko-cli for the checks)")
    p.add_argument("--scratch", default="/tmp/pelko-split-bench",
                   help="where the corpus and the archives go")
    p.add_argument("--scale", type=float, default=1.0, help="corpus size factor (1: ~380 MB)")
    p.add_argument("--seed", type=int, default=20240611)
    p.add_argument("--repeat", type=int, default=3, help="runs of each variant")
    p.add_argument("--volumes", default="10,100", help="volume sizes in MB, comma-separated")
    a = p.parse_args()

    tool, = built_tools(p, a.build, ["km_create_set"],
                        "build it (see bench/README.md) or pass --build")
    pelko = os.path.join(a.build, "bin", "pelko-cli")
    if not os.access(pelko, os.X_OK):
        print("no %s: the sets are not read back" % pelko)
        pelko = None
    if not shutil.which("unzip"):
        p.error("unzip not found")
    volumes = [int(float(v) * 1000 * 1000) for v in a.volumes.split(",") if v]

    os.makedirs(a.scratch, exist_ok=True)
    a.scratch = os.path.realpath(a.scratch)
    need = int((2 + len(volumes)) * 380 * MB * a.scale)  # corpus, archives, the temp file
    if shutil.disk_usage(a.scratch).free < need:
        p.error("%s needs about %d MB free" % (a.scratch, need // MB))
    corpus = pristine_corpus(a.scratch, a.scale, a.seed)
    logs = os.path.join(a.scratch, "logs")
    shutil.rmtree(logs, ignore_errors=True)
    os.makedirs(logs)
    files, excluded, dirs, total = corpus_counts(corpus)

    variants = [("single file", 0)] + [("split, %g MB volumes" % (v / 1e6), v) for v in volumes]
    runs = {name: [] for name, _ in variants}
    layout = {}
    expected = None
    print("warming the cache ...", flush=True)
    read_all(corpus)
    n = 0
    for rep in range(a.repeat):
        for k, (name, volume) in enumerate(variants):
            folder = os.path.join(a.scratch, "out%d" % k)
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(folder)
            archive = os.path.join(folder, "data.zip")
            n += 1
            print("%s, run %d ..." % (name, rep + 1), flush=True)
            run, entries = create(tool, corpus, archive, volume, logs, n)
            runs[name].append(run)
            if rep == 0:
                if expected is None:
                    expected = entries
                layout[name] = check(name, folder, archive, volume, entries, expected, pelko)
            shutil.rmtree(folder)

    print()
    print("corpus: %d files (%d skipped by pelko's masks), %d folders, %.1f MB; scale %g, seed %d"
          % (files, excluded, dirs, total / MB, a.scale, a.seed))
    print("%d runs of each, taking turns; %s" % (a.repeat, tool))
    print()
    print("%-24s %9s %9s %9s %9s   %-22s %s" % ("creation", "wall med", "wall best",
                                                "cpu med", "peak RSS", "wall/single med (best)",
                                                "files, MB"))
    base = runs[variants[0][0]]
    base_med = statistics.median(r.wall for r in base)
    base_best = min(r.wall for r in base)
    for name, _ in variants:
        r = runs[name]
        med = statistics.median(x.wall for x in r)
        best = min(x.wall for x in r)
        cpu = statistics.median(x.cpu for x in r)
        rss = max(x.rss_kb for x in r)
        count, size = layout[name]
        print("%-24s %8.2fs %8.2fs %8.2fs %6.1f MB   %5.3f (%5.3f)%9s %d, %.1f" % (
            name, med, best, cpu, rss / 1024, med / base_med, best / base_best, "", count,
            size / MB))
    print()
    print("checks: %s" % ("volumes within their size, every set passed pelko-cli test, the "
                          "single file unzip -tq, %d entries each" % expected if pelko else
                          "volumes within their size, the single file unzip -tq, %d entries "
                          "each" % expected))


if __name__ == "__main__":
    run_main(main)
