#!/usr/bin/env python3
"""pelko-cli sync against Info-ZIP zip and the deflate floor, side by side.

    python3 bench/sync_bench.py [--scale S] [--repeat N] [--build DIR] [--scratch DIR]

On a corpus from make_corpus.py (cached under the scratch folder, copied
fresh for every run) it times, as the median of --repeat runs:
  create     pelko-cli sync into a new archive, zip -q -r -5, km_deflate_floor
  no change  pelko-cli sync again, zip -q -FS -r -5
  append     one new file added to the corpus, then both again
  change     one file near the middle of pelko's archive changed, then both again
Append and change are timed with pelko's flushes and with --no-flush. After
every step both archives must pass unzip -tq and hold one entry per folder
and file (pelko skips its exclusion masks, *.tmp and the like), and the table
says whether and how each archive file was written.

A second table sets what the crash-safe commit costs against budgets made
of those figures and of its flushes (the journal's, its folder's and the
archive's) timed alone on files of the same sizes. With strace, one more
unmeasured run of each kind shows which files pelko created, wrote, cut and
flushed, and the sizes of the journal and of the rewritten tail.

Binaries come from --build (default: build/ under the repository, or
$PELKO_BUILD): bin/pelko-cli and bin/km_deflate_floor.
"""

import argparse
import fnmatch
import hashlib
import os
import re
import shutil
import statistics
import struct
import subprocess
import sys
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import make_corpus  # noqa: E402

MB = 1 << 20
# pelko's exclusion masks (frontend/ArchiverSetup.cpp), as far as the corpus has such names.
PELKO_EXCLUDED = ["*.tmp", "*.~*", "*.dmp", "_istmp*.*", "chklist.*", "~*.*", "*._mp", "*.gid"]
# The extensions pelko stores rather than deflates (its no-compression masks).
PELKO_STORED = "pk3,pk_,rar,tar,tgz,uue,uu,war,xxe,z,zip,zoo"
NO_CHANGE_RUNS_PER_REPEAT = 5


class Failed(Exception):
    pass


def run_main(main):
    """Exits with main's status; a failed check prints FAILED and exits with 1."""
    try:
        sys.exit(main())
    except Failed as e:
        print("FAILED: %s" % e, file=sys.stderr)
        sys.exit(1)


def built_tools(parser, build, names, hint):
    """The paths of the named programs in build/bin; a usage error for the
    first one missing, with hint on how to get it."""
    paths = [os.path.join(build, "bin", name) for name in names]
    for path in paths:
        if not os.access(path, os.X_OK):
            parser.error("%s not found: %s" % (path, hint))
    return paths


# ---- running and timing ------------------------------------------------------

class Sample:
    def __init__(self, wall, cpu):
        self.wall, self.cpu = wall, cpu


def median(samples):
    if not samples:
        return None
    return Sample(statistics.median(s.wall for s in samples),
                  statistics.median(s.cpu for s in samples))


class Runner:
    def __init__(self, logdir):
        self.logdir = logdir
        self.n = 0

    def run(self, cmd, cwd=None, ok=(0,)):
        """Runs cmd with its output in log files; returns its wall and user+sys time."""
        self.n += 1
        out_path = os.path.join(self.logdir, "%03d.out" % self.n)
        err_path = os.path.join(self.logdir, "%03d.err" % self.n)
        # Nothing another run left dirty may be written back inside this one:
        # a flush would wait for it.
        os.sync()
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            t0 = time.perf_counter()
            p = subprocess.Popen(cmd, cwd=cwd, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
            _, status, usage = os.wait4(p.pid, 0)
            wall = time.perf_counter() - t0
        p.returncode = os.waitstatus_to_exitcode(status)
        if p.returncode not in ok:
            with open(err_path, errors="replace") as f:
                raise Failed("%s exited with %d: %s" % (" ".join(cmd), p.returncode,
                                                        f.read()[-2000:]))
        with open(out_path, errors="replace") as f:
            self.last_output = f.read()
        return Sample(wall, usage.ru_utime + usage.ru_stime)


# The syscalls that tell what a run did to files; -y names the file behind every fd.
TRACED_CALLS = ("openat,open,creat,unlink,unlinkat,rename,renameat,renameat2,write,writev,"
                "pwrite64,pwritev,pwritev2,copy_file_range,sendfile,splice,lseek,ftruncate,"
                "fsync,fdatasync,sync_file_range")
STRACE_LINE = re.compile(r"^(?:\d+\s+)?(\w+)\((.*)\)\s+=\s+(-?\d+)")
FD_ARG = re.compile(r"(\d+)<([^>]*)>")


class Trace:
    """What one run did to files, from an strace -f -y log: the files it
    created (opened with O_CREAT), deleted and renamed, how far it wrote into
    each, where it cut each, and what it flushed, in order."""

    def __init__(self, path):
        self.created, self.deleted, self.renamed, self.flushed = [], [], [], []
        self.extent = {}   # path -> end of the farthest write
        self.written = {}  # path -> bytes written
        self.cuts = {}     # path -> ftruncate lengths, in order
        pos = {}           # fd -> file position
        with open(path, errors="replace") as f:
            for line in f:
                m = STRACE_LINE.match(line)
                if not m or int(m.group(3)) < 0:
                    continue
                call, args, ret = m.group(1), m.group(2), int(m.group(3))
                fds = FD_ARG.findall(args)
                quoted = re.findall(r'"((?:[^"\\]|\\.)*)"', args)
                if call in ("openat", "open", "creat"):
                    pos[ret] = 0
                    if (call == "creat" or "O_CREAT" in args) and quoted:
                        self._add(self.created, quoted[0])
                elif call in ("unlink", "unlinkat") and quoted:
                    self.deleted.append(quoted[0])
                elif call.startswith("rename") and len(quoted) >= 2:
                    self.renamed.append((quoted[0], quoted[1]))
                elif call == "lseek" and fds:
                    pos[int(fds[0][0])] = ret
                elif call in ("write", "writev") and fds:
                    fd = int(fds[0][0])
                    self._wrote(fds[0][1], pos.get(fd, 0), ret)
                    pos[fd] = pos.get(fd, 0) + ret
                elif call.startswith("pwrite") and fds:
                    self._wrote(fds[0][1], int(args.rsplit(",", 1)[1].strip()), ret)
                elif call in ("copy_file_range", "splice") and len(fds) >= 2:
                    # (in, off_in, out, off_out, ...): an explicit offset leaves the position
                    out_off = re.search(r"<[^>]*>, (NULL|\[(\d+))[^,]*, \d+<[^>]*>, (NULL|\[(\d+))",
                                        args)
                    fd = int(fds[1][0])
                    if out_off and out_off.group(4):
                        self._wrote(fds[1][1], int(out_off.group(4)), ret)
                    else:
                        self._wrote(fds[1][1], pos.get(fd, 0), ret)
                        pos[fd] = pos.get(fd, 0) + ret
                elif call == "sendfile" and fds:
                    fd = int(fds[0][0])
                    self._wrote(fds[0][1], pos.get(fd, 0), ret)
                    pos[fd] = pos.get(fd, 0) + ret
                elif call == "ftruncate" and fds:
                    self.cuts.setdefault(fds[0][1], []).append(int(args.rsplit(",", 1)[1]))
                elif call in ("fsync", "fdatasync", "sync_file_range") and fds:
                    self.flushed.append(fds[0][1])

    @staticmethod
    def _add(names, name):
        if name not in names:
            names.append(name)

    def _wrote(self, path, at, count):
        self.extent[path] = max(self.extent.get(path, 0), at + count)
        self.written[path] = self.written.get(path, 0) + count


def traced(cmd, logdir, name):
    """Runs cmd under strace; its Trace, or None without strace."""
    if not shutil.which("strace"):
        return None
    log = os.path.join(logdir, "strace-%s.txt" % name)
    # Its output into pipes, not files, so that every file it writes is its own doing.
    strace = ["strace", "-f", "-qq", "-y", "-e", "trace=" + TRACED_CALLS, "-o", log]
    r = subprocess.run(strace + cmd, stdin=subprocess.DEVNULL, capture_output=True,
                       errors="replace")
    if r.returncode != 0:
        raise Failed("%s under strace exited with %d: %s" % (" ".join(cmd), r.returncode,
                                                             r.stderr[-2000:]))
    return Trace(log)


# ---- flushes timed alone ----------------------------------------------------------

JOURNAL_HEADER = 64  # the journal's header, before the saved bytes (archiver/Journal.h)
FLUSH_PARTS = ("journal", "header", "folder", "archive", "delete")


def fsync_folder(folder):
    fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def write_bytes(fd, count, block):
    while count > 0:
        count -= os.write(fd, block[:min(count, len(block))])


def time_flushes(folder, journal_bytes, archive_bytes, block):
    """The flushes of one commit, made on files of their own in the archive's
    folder: a new journal of journal_bytes, its header rewritten, the folder,
    archive_bytes newly written into an existing file, and the folder again
    after the journal is deleted. Only the flushes (and the delete) are
    timed: the writes before them are in pelko's --no-flush run as well.
    Returns {part: seconds}."""
    journal = os.path.join(folder, "flush-probe-journal")
    archive = os.path.join(folder, "flush-probe-archive")
    for path in (journal, archive):
        if os.path.exists(path):
            os.remove(path)
    # The archive is an old file: made and flushed before anything is timed.
    fd_a = os.open(archive, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
    os.fsync(fd_a)
    fsync_folder(folder)
    os.sync()  # nothing else dirty that a flush could end up waiting for
    t = {}

    def timed(part, action):
        t0 = time.perf_counter()
        action()
        t[part] = time.perf_counter() - t0

    fd_j = os.open(journal, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o644)
    try:
        write_bytes(fd_j, journal_bytes, block)
        timed("journal", lambda: os.fsync(fd_j))
        os.pwrite(fd_j, block[:JOURNAL_HEADER], 0)
        timed("header", lambda: os.fsync(fd_j))
    finally:
        os.close(fd_j)
    timed("folder", lambda: fsync_folder(folder))
    try:
        write_bytes(fd_a, archive_bytes, block)
        timed("archive", lambda: os.fsync(fd_a))
    finally:
        os.close(fd_a)

    def delete():
        os.remove(journal)
        fsync_folder(folder)

    timed("delete", delete)
    os.remove(archive)
    return t


def dd_fsync(folder, nbytes):
    """Writing nbytes to a new file and flushing it, as `dd conv=fsync` does:
    what flushing that many bytes costs on its own, writes included."""
    probe = os.path.join(folder, "dd-probe")
    os.sync()
    t0 = time.perf_counter()
    subprocess.run(["dd", "if=/dev/zero", "of=" + probe, "bs=1M",
                    "count=%d" % max(1, (nbytes + MB - 1) // MB), "conv=fsync", "status=none"],
                   check=True)
    elapsed = time.perf_counter() - t0
    os.remove(probe)
    return elapsed


def touched(trace):
    """Whether the run created, deleted, renamed, wrote or flushed any file."""
    def a_file(path):
        return path.startswith("/") and not path.startswith(("/dev/", "/proc/"))
    return bool(trace.created or trace.deleted or trace.renamed or trace.flushed or
                any(a_file(path) for path in trace.written))


def describe(trace, archive, folder):
    """One line on what a traced run did to the archive, its journal and its folder."""
    def short(path):
        if path == folder:
            return "the folder"
        return os.path.relpath(path, folder) if path.startswith(folder + os.sep) else path

    def names(paths):
        return ", ".join(short(p) for p in paths) or "nothing"

    said = ["created " + names([p for p in trace.created if p != archive]),
            "deleted " + names(trace.deleted)]
    if trace.renamed:
        said.append("renamed " + ", ".join("%s to %s" % (short(x), short(y))
                                          for x, y in trace.renamed))
    journal = archive + "-journal"
    if journal in trace.extent:
        said.append("journal %.2f MB" % (trace.extent[journal] / MB))
    if archive in trace.cuts:
        said.append("archive's length set to %.2f MB, %.2f MB written into it"
                    % (trace.cuts[archive][-1] / MB, trace.written.get(archive, 0) / MB))
    elif archive in trace.written:
        said.append("%.2f MB written into the archive" % (trace.written[archive] / MB))
    else:
        said.append("archive not written")
    counts = {}
    for path in trace.flushed:
        counts[short(path)] = counts.get(short(path), 0) + 1
    said.append("flushed " + (", ".join("%s %dx" % c for c in counts.items()) or "nothing"))
    return "; ".join(said)


# ---- archive files -------------------------------------------------------------

def central_directory_offset(path):
    with open(path, "rb") as f:
        f.seek(0, 2)
        size = f.tell()
        f.seek(max(0, size - 65557))
        tail = f.read()
    at = tail.rfind(b"PK\x05\x06")
    if at < 0:
        raise Failed("%s: no end of central directory" % path)
    offset = struct.unpack_from("<I", tail, at + 16)[0]
    locator = tail.rfind(b"PK\x06\x07", 0, at)
    if offset == 0xFFFFFFFF and locator >= 0:
        with open(path, "rb") as f:
            f.seek(struct.unpack_from("<Q", tail, locator + 8)[0])
            offset = struct.unpack_from("<Q", f.read(56), 48)[0]
    return offset


class Snapshot:
    """What is needed to tell whether and where a file was written."""

    def __init__(self, path):
        st = os.stat(path)
        self.ino, self.size, self.mtime = st.st_ino, st.st_size, st.st_mtime_ns
        self.chunks = []
        with open(path, "rb") as f:
            while True:
                block = f.read(MB)
                if not block:
                    break
                self.chunks.append(hashlib.sha1(block).digest())
        self.cd_offset = central_directory_offset(path)

    def first_difference(self, other):
        """Offset of the first differing MiB, or None when the bytes are the same."""
        for i, (a, b) in enumerate(zip(self.chunks, other.chunks)):
            if a != b:
                return i * MB
        if len(self.chunks) != len(other.chunks) or self.size != other.size:
            return min(len(self.chunks), len(other.chunks)) * MB
        return None


def how_written(before, after):
    diff = before.first_difference(after)
    if after.ino != before.ino:
        return "replaced by a new file" + (", same bytes" if diff is None else "")
    if diff is None:
        return "not written" if after.mtime == before.mtime else "rewritten, same bytes"
    if diff >= (before.cd_offset // MB) * MB:
        return "in place, entries before kept (append)"
    return "in place from %.0f%% of the old file on" % (100.0 * diff / before.size)


def check_archive(path, expected_entries):
    r = subprocess.run(["unzip", "-tq", path], capture_output=True, text=True, errors="replace")
    if r.returncode != 0:
        raise Failed("unzip -tq %s: %s%s" % (path, r.stdout[-2000:], r.stderr[-2000:]))
    with zipfile.ZipFile(path) as z:
        count = len(z.infolist())
    if count != expected_entries:
        raise Failed("%s holds %d entries, expected %d" % (path, count, expected_entries))
    return count


# ---- the corpus ------------------------------------------------------------------

def corpus_counts(root):
    files = excluded = dirs = size = 0
    for dirpath, dirnames, filenames in os.walk(root):
        dirs += len(dirnames)
        for name in filenames:
            files += 1
            size += os.path.getsize(os.path.join(dirpath, name))
            if any(fnmatch.fnmatch(name.lower(), m) for m in PELKO_EXCLUDED):
                excluded += 1
    return files, excluded, dirs, size


def read_all(root):
    """A warm cache for all three contenders."""
    for dirpath, _, filenames in os.walk(root):
        for name in filenames:
            with open(os.path.join(dirpath, name), "rb") as f:
                while f.read(4 * MB):
                    pass


def pristine_corpus(scratch, scale, seed, folders=None):
    """The generated tree, made once per scale, seed, folder factor and
    generator version."""
    with open(make_corpus.__file__, "rb") as f:
        version = hashlib.sha1(f.read()).hexdigest()[:12]
    shape = "%g" % scale if folders is None else "%g-f%g" % (scale, folders)
    path = os.path.join(scratch, "pristine-%s-%d-%s" % (shape, seed, version))
    stamp = path + ".done"
    if not os.path.exists(stamp):
        shutil.rmtree(path, ignore_errors=True)
        print("generating the corpus in %s ..." % path, flush=True)
        extra = [] if folders is None else ["--folders", str(folders)]
        subprocess.run([sys.executable, make_corpus.__file__, path, "--scale", str(scale),
                        "--seed", str(seed)] + extra, check=True)
        open(stamp, "w").close()
    return path


def entry_offset(archive, name):
    with zipfile.ZipFile(archive) as z:
        return z.getinfo(name).header_offset


def middle_file(archive, corpus):
    """The file whose entry starts nearest the middle of the archive's bytes,
    so that about half of the archive comes after it."""
    with zipfile.ZipFile(archive) as z:
        entries = sorted(z.infolist(), key=lambda i: i.header_offset)
    top = os.path.basename(corpus) + "/"
    half = central_directory_offset(archive) // 2
    mid = min(range(len(entries)), key=lambda i: abs(entries[i].header_offset - half))
    for step in range(len(entries)):
        for i in (mid - step, mid + step):
            if not 0 <= i < len(entries):
                continue
            e = entries[i]
            if e.is_dir() or e.file_size < 4096 or not e.filename.isascii():
                continue
            if not e.filename.startswith(top):
                continue
            path = os.path.join(corpus, e.filename[len(top):])
            if os.path.isfile(path):
                return path, i, len(entries), e.header_offset
    raise Failed("no file to change in %s" % archive)


# ---- the benchmark ---------------------------------------------------------------

def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    root = os.path.dirname(HERE)
    p.add_argument("--build", default=os.environ.get("PELKO_BUILD", os.path.join(root, "build")),
                   help="build folder with bin/pelko-cli and bin/km_deflate_floor")
    p.add_argument("--scratch", default="/tmp/pelko-sync-bench",
                   help="where the corpus and the archives go")
    p.add_argument("--scale", type=float, default=1.0, help="corpus size factor (1: ~380 MB)")
    p.add_argument("--seed", type=int, default=20240611)
    p.add_argument("--repeat", type=int, default=3, help="runs per measurement (median)")
    p.add_argument("--append-mb", type=float, default=5.0, help="size of the appended file")
    p.add_argument("--keep", action="store_true", help="keep the working corpus and archives")
    a = p.parse_args()

    pelko, floor = built_tools(p, a.build, ["pelko-cli", "km_deflate_floor"],
                               "build it (see bench/README.md) or pass --build")
    for tool in ("zip", "unzip"):
        if not shutil.which(tool):
            p.error("%s not found" % tool)

    os.makedirs(a.scratch, exist_ok=True)
    # strace names files by their real paths; so does everything here.
    a.scratch = os.path.realpath(a.scratch)
    need = int(5 * 380 * MB * a.scale)  # cached corpus, working copy, two archives, a temp
    if shutil.disk_usage(a.scratch).free < need:
        p.error("%s needs about %d MB free" % (a.scratch, need // MB))
    pristine = pristine_corpus(a.scratch, a.scale, a.seed)
    corpus = os.path.join(a.scratch, "corpus")
    archive_a = os.path.join(a.scratch, "A-pelko.zip")
    archive_b = os.path.join(a.scratch, "B-zip.zip")
    journal_a = archive_a + "-journal"
    logs = os.path.join(a.scratch, "logs")
    for path in (corpus, logs):
        shutil.rmtree(path, ignore_errors=True)
    for path in (archive_a, archive_b):
        if os.path.exists(path):
            os.remove(path)
    os.makedirs(logs)
    subprocess.run(["cp", "-a", pristine, corpus], check=True)

    runner = Runner(logs)
    sync_cmd = [pelko, "sync", "--base", corpus, "--archive", archive_a]
    create_cmd = ["zip", "-q", "-r", "-5", archive_b, "."]
    # -5 so that replaced and added files are deflated like pelko's.
    update_cmd = ["zip", "-q", "-FS", "-r", "-5", archive_b, "."]
    times = {}   # step -> {contender: Sample}
    states = {}  # step -> (pelko text, zip text)
    sizes = {}   # step -> (pelko bytes, zip bytes)
    notes = []
    traces = {}   # (step, pelko variant) -> Trace of one unmeasured run
    layouts = {}  # step -> (old size, cut, new size) of pelko's archive in its last flushed run
    flushes = {}  # step -> (journal bytes, rewritten bytes, {part: seconds, "total": seconds})

    files, excluded, dirs, total = corpus_counts(corpus)
    summary = ("corpus: %d files (%d skipped by pelko's masks), %d folders, %.1f MB; scale %g, "
               "seed %d" % (files, excluded, dirs, total / MB, a.scale, a.seed))
    zip_expected = files + dirs
    pelko_expected = files - excluded + dirs

    def measure(step, cmds, runs=None):
        """Runs each command --repeat (or runs) times, interleaved.

        cmds: {name: (prepare, cmd, cwd)}."""
        samples = {name: [] for name in cmds}
        for _ in range(runs or a.repeat):
            for name, (prepare, cmd, cwd) in cmds.items():
                if prepare:
                    prepare()
                samples[name].append(runner.run(cmd, cwd=cwd))
        times[step] = {name: median(s) for name, s in samples.items()}

    # An update is timed with pelko's flushes and without them (zip flushes nothing).
    variants = {"pelko": sync_cmd, "pelko --no-flush": sync_cmd + ["--no-flush"]}
    # With strace, one more unmeasured round of each: what pelko did to which file.
    have_strace = shutil.which("strace") is not None

    def measure_rounds(step, change, cut_at, reset=None):
        """Times each pelko variant, then zip, after change(k): --repeat rounds of each (so zip
        runs twice as often), then the traced rounds. reset() comes before every round but the
        first; cut_at() is where pelko should cut the archive as it is before the change.
        Returns the archives' snapshots from before the last round."""
        samples = {name: [] for name in list(variants) + ["zip"]}
        plan = [(name, False) for _ in range(a.repeat) for name in variants]
        plan += [(name, True) for name in variants] if have_strace else []
        for k, (name, trace) in enumerate(plan):
            if k and reset:
                reset()
            before = Snapshot(archive_a), Snapshot(archive_b)
            cut = cut_at()
            change(k)
            if trace:
                traces[step, name] = traced(variants[name], logs,
                                            step + ("-no-flush" if "--no-flush" in name else ""))
            else:
                samples[name].append(runner.run(variants[name]))
            if name == "pelko":
                layouts[step] = (before[0].size, cut, os.path.getsize(archive_a))
            if trace:
                runner.run(update_cmd, cwd=corpus)
            else:
                samples["zip"].append(runner.run(update_cmd, cwd=corpus))
        times[step] = {name: median(s) for name, s in samples.items()}
        return before

    def commit_bytes(step):
        """The journal's size and the bytes written into the archive from the cut on, in
        pelko's last flushed run: as strace saw them, else from the archive's layout."""
        old_size, cut, new_size = layouts[step]
        journal = JOURNAL_HEADER + old_size - cut
        t = traces.get((step, "pelko"))
        if not t:
            return journal, new_size - cut, "from the archive layout"
        seen_journal = t.extent.get(journal_a)
        if seen_journal is None:
            notes.append("%s: strace saw no journal; flushes timed for the layout's sizes" % step)
            return journal, new_size - cut, "from the archive layout"
        # The rewrite goes over the archive from the cut on, which the journal's
        # size tells: it holds the old bytes from there to the old end.
        seen_cut = old_size - (seen_journal - JOURNAL_HEADER)
        if seen_journal != journal or seen_cut != cut:
            notes.append("%s: strace saw a %d byte journal and a cut at %d; the layout says %d "
                         "and %d" % (step, seen_journal, seen_cut, journal, cut))
        return seen_journal, new_size - seen_cut, "seen by strace"

    block = os.urandom(MB)

    def measure_flushes(step):
        journal, rewritten, source = commit_bytes(step)
        runs = [time_flushes(a.scratch, journal, rewritten, block) for _ in range(a.repeat)]
        cost = {part: statistics.median(r[part] for r in runs) for part in FLUSH_PARTS}
        cost["total"] = statistics.median(sum(r.values()) for r in runs)
        cost["dd"] = statistics.median(dd_fsync(a.scratch, journal + rewritten)
                                       for _ in range(a.repeat))
        flushes[step] = (journal, rewritten, cost, source)

    def verify(step, before_a=None, before_b=None):
        check_archive(archive_a, pelko_expected)
        check_archive(archive_b, zip_expected)
        sizes[step] = (os.path.getsize(archive_a), os.path.getsize(archive_b))
        if before_a:
            states[step] = (how_written(before_a, Snapshot(archive_a)),
                            how_written(before_b, Snapshot(archive_b)))
        else:
            states[step] = ("created", "created")

    def remove(path):
        def go():
            if os.path.exists(path):
                os.remove(path)
        return go

    print("warming the cache ...", flush=True)
    read_all(corpus)
    runner.run([floor, corpus])
    floor_out = int(runner.last_output.split()[5])

    # (a) a new archive of the whole tree.
    print("create ...", flush=True)
    measure("create", {
        "pelko": (remove(archive_a), sync_cmd, None),
        "zip": (remove(archive_b), create_cmd, corpus),
        "floor": (None, [floor, corpus], None),
        "floor stored": (None, [floor, "--store", PELKO_STORED, corpus], None),
    })
    verify("create")

    # (b) nothing changed: the archive should not even be written.
    print("no change ...", flush=True)
    before_a, before_b = Snapshot(archive_a), Snapshot(archive_b)
    # A run of a few hundredths of a second: more runs against the noise.
    measure("no change", {"pelko": (None, sync_cmd, None), "zip": (None, update_cmd, corpus)},
            runs=NO_CHANGE_RUNS_PER_REPEAT * a.repeat)
    if have_strace:
        traces["no change", "pelko"] = traced(sync_cmd, logs, "no-change")
    verify("no change", before_a, before_b)

    # (c) one new file, sorting last; each run adds it to the unchanged tree.
    print("append ...", flush=True)
    new_file = os.path.join(corpus, "zz_new_file.bin")
    gen = make_corpus.Corpus(None, 1.0, a.seed + 1)
    new_data = gen.binary(int(a.append_mb * MB))

    def add_new_file(k):
        with open(new_file, "wb") as f:
            f.write(new_data)

    def take_it_out_again():  # back to the tree without it, unmeasured
        os.remove(new_file)
        runner.run(sync_cmd)
        runner.run(update_cmd, cwd=corpus)

    before_a, before_b = measure_rounds("append", add_new_file,
                                        lambda: central_directory_offset(archive_a),
                                        take_it_out_again)
    measure_flushes("append")
    zip_expected += 1
    pelko_expected += 1
    times["append"]["floor"] = median([runner.run([floor, new_file]) for _ in range(a.repeat)])
    verify("append", before_a, before_b)

    # (d) one file in the middle of pelko's archive order changed, a new
    # content and modification time in every run.
    print("change ...", flush=True)
    target, index, count, offset = middle_file(archive_a, corpus)
    notes.append("changed file: %s (entry %d of %d, at %.0f%% of the pelko archive, %.2f MB)"
                 % (os.path.relpath(target, corpus), index + 1, count,
                    100.0 * offset / os.path.getsize(archive_a), os.path.getsize(target) / MB))
    original_mtime = os.stat(target).st_mtime_ns // 10**9
    target_name = "%s/%s" % (os.path.basename(corpus),
                             os.path.relpath(target, corpus).replace(os.sep, "/"))

    def change_target(k):
        size = os.path.getsize(target)
        with open(target, "r+b") as f:
            f.seek(size // 2)
            f.write(gen.rng.randbytes(min(4096, size - size // 2)))
        t = original_mtime + 1002 * (k + 1)  # on even seconds, distinct from every earlier one
        os.utime(target, (t, t))

    before_a, before_b = measure_rounds("change", change_target,
                                        lambda: entry_offset(archive_a, target_name))
    measure_flushes("change")
    times["change"]["floor"] = median([runner.run([floor, target]) for _ in range(a.repeat)])
    verify("change", before_a, before_b)

    # ---- the report ----
    load = os.getloadavg()
    zip_version = subprocess.run(["zip", "-v"], capture_output=True, text=True).stdout.split("\n")
    zip_version = next((line.split(" (")[0][len("This is "):] for line in zip_version
                        if line.startswith("This is Zip")), "zip")
    print()
    print(summary)
    print("median of %d runs (%d with nothing changed, %d of zip after append and change); "
          "seconds of wall time, user+sys CPU (and its ratio) in brackets; %d CPUs, load average "
          "now %.2f %.2f %.2f" % (a.repeat, NO_CHANGE_RUNS_PER_REPEAT * a.repeat,
                                  len(variants) * a.repeat, os.cpu_count(), *load))
    print("pelko: %s; zip: %s; floor: zlib level 5, 1 MiB blocks + crc32 (%s)"
          % (pelko, zip_version, floor))
    print()
    labels = {"create": "create", "no change": "nothing changed",
              "append": "append %.1f MB file" % a.append_mb, "change": "change 1 mid-archive"}
    zip_names = {"create": "zip -r -5", "no change": "zip -FS", "append": "zip -FS",
                 "change": "zip -FS"}

    def cell(s):
        if not s:
            return "%16s" % "-"
        # Short runs get a third digit, or their ratio could not be checked.
        return ("%7.3f (%6.3f)" if s.wall < 1 else "%7.2f (%6.2f)") % (s.wall, s.cpu)

    def ratio(x, y):
        if not x or not y or y.wall <= 0 or y.cpu <= 0:
            return "%14s" % "-"
        return "%6.2f (%5.2f)" % (x.wall / y.wall, x.cpu / y.cpu)

    print("%-32s %-16s %-16s %-16s %14s %14s" % ("step (zip command)", "     pelko sync",
                                                 "      zip", "     floor", "pelko/floor ",
                                                 "pelko/zip   "))
    rows = [("create", "pelko"), ("no change", "pelko"), ("append", "pelko"),
            ("append", "pelko --no-flush"), ("change", "pelko"), ("change", "pelko --no-flush")]
    for step, variant in rows:
        t = times[step]
        label = ("%s (%s)" % (labels[step], zip_names[step]) if variant == "pelko"
                 else "  the same, pelko --no-flush")
        print("%-32s %s %s %s %14s %14s" % (label, cell(t[variant]), cell(t["zip"]),
                                           cell(t.get("floor")), ratio(t[variant], t.get("floor")),
                                           ratio(t[variant], t["zip"])))
    t = times["create"]
    print("  floor: of the whole tree for create, of the new or changed file alone after.")
    print("  floor storing what pelko stores (%s) for create: %s, pelko/floor %s"
          % (PELKO_STORED.replace(",", " "), cell(t["floor stored"]).strip(),
             ratio(t["pelko"], t["floor stored"]).strip()))
    print()
    print("%-32s %9s %9s   %-40s %s" % ("archive after", "pelko MB", "zip MB",
                                         "pelko archive file", "zip archive file"))
    for step in ("create", "no change", "append", "change"):
        print("%-32s %9.1f %9.1f   %-40s %s" % (labels[step], sizes[step][0] / MB,
                                                 sizes[step][1] / MB, states[step][0],
                                                 states[step][1]))
    print("  (floor's deflate output for the tree: %.1f MB)" % (floor_out / MB))
    for note in notes:
        print(note)
    for (step, variant), t in traces.items():
        print("seen by strace, %s%s: %s" % (labels[step], variant[len("pelko"):],
                                           describe(t, archive_a, a.scratch)))
    print("checks: unzip -tq passed and the entry counts matched after every step "
          "(pelko %d, zip %d at the end)" % (pelko_expected, zip_expected))

    # ---- what the crash-safe commit costs ----
    def verdict(ok):
        return "yes" if ok else "NO"

    print()
    print("%-34s %9s %9s  %-6s  %s" % ("commit safety (wall seconds)", "pelko", "budget",
                                        "within", "the budget"))
    nothing, append, change = times["no change"], times["append"], times["change"]
    print("%-34s %9.3f %9.3f  %-6s  zip -FS" % (
        labels["no change"], nothing["pelko"].wall, nothing["zip"].wall,
        verdict(nothing["pelko"].wall <= nothing["zip"].wall)))
    t = traces.get(("no change", "pelko"))
    untouched = states["no change"][0] == "not written" and (not t or not touched(t))
    print("%-34s %9s %9s  %-6s  archive's bytes, inode and mtime kept%s" % (
        "  the same, files written", "none" if untouched else "some", "none", verdict(untouched),
        "; strace: no file created, deleted, renamed, written or flushed" if t else
        " (no strace: files created beside it not checked)"))
    floor_part = 1.3 * append["floor"].wall
    budget = nothing["pelko"].wall + floor_part + flushes["append"][2]["total"]
    print("%-34s %9.3f %9.3f  %-6s  nothing changed %.3f + 1.3 x floor %.3f + flushes %.3f" % (
        labels["append"], append["pelko"].wall, budget, verdict(append["pelko"].wall <= budget),
        nothing["pelko"].wall, floor_part, flushes["append"][2]["total"]))
    print("%-34s %9.3f %9.3f  %-6s  zip -FS" % (
        labels["change"] + ", --no-flush", change["pelko --no-flush"].wall, change["zip"].wall,
        verdict(change["pelko --no-flush"].wall <= change["zip"].wall)))
    budget = change["zip"].wall + flushes["change"][2]["dd"]
    print("%-34s %9.3f %9.3f  %-6s  zip -FS %.3f + dd conv=fsync of the same bytes %.3f" % (
        labels["change"], change["pelko"].wall, budget, verdict(change["pelko"].wall <= budget),
        change["zip"].wall, flushes["change"][2]["dd"]))
    budget = change["zip"].wall + flushes["change"][2]["total"]
    print("%-34s %9.3f %9.3f  %-6s  stricter: zip -FS %.3f + the flushes alone %.3f" % (
        "", change["pelko"].wall, budget, verdict(change["pelko"].wall <= budget),
        change["zip"].wall, flushes["change"][2]["total"]))
    print()
    print("%-34s %8s %9s %8s %7s %7s %8s %7s %7s %10s %7s" % (
        "flushes timed alone (seconds)", "journal", "rewritten", "journal", "header", "folder",
        "archive", "delete", "total", "in pelko", "dd"))
    for step in ("append", "change"):
        journal, rewritten, cost, source = flushes[step]
        seen = times[step]["pelko"].wall - times[step]["pelko --no-flush"].wall
        print("%-34s %5.2f MB %6.2f MB %8.3f %7.3f %7.3f %8.3f %7.3f %7.3f %10.3f %7.3f" % (
            labels[step], journal / MB, rewritten / MB, cost["journal"], cost["header"],
            cost["folder"], cost["archive"], cost["delete"], cost["total"], seen, cost["dd"]))
    print("  journal and rewritten bytes %s; each flush on files of its own beside the archive, "
          "median of %d;" % (flushes["append"][3], a.repeat))
    print("  in pelko: pelko's run less its --no-flush run; dd: `dd conv=fsync` of journal + "
          "rewritten bytes into a new file (writes included)")

    if not a.keep:
        shutil.rmtree(corpus, ignore_errors=True)
        for path in (archive_a, archive_b):
            os.remove(path)
    return 0


if __name__ == "__main__":
    run_main(main)
