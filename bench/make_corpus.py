#!/usr/bin/env python3
"""Writes a reproducible directory tree to benchmark archiving against.

    python3 bench/make_corpus.py DIR [--scale S] [--folders F] [--seed N] [--digest]

At --scale 1 the tree holds about 380 MB: a few thousand small text files
(source-like, prose, CSV, logs, base64) of varied compressibility in nested
folders, semi-random binaries, already-compressed files (real gzip, zip and
tar.gz made with zlib, and random data named like JPEG, video or RAR), empty
files, empty folders, a few *.tmp files that a backup should skip, names with
spaces and Cyrillic letters, and four large files (a log, a disk image, a
video-like file and a tar). --scale multiplies the file counts and the sizes
of the large files, so the total grows with it. --folders multiplies the
number of folders the files are spread over (default 1), for a tree that is
deep and wide as well as large.

The same arguments give the same bytes and modification times (the standard
library's Mersenne Twister; the gzip, zip and tar.gz contents also depend on
the zlib in use, whose output has been stable for years). --digest prints a
SHA-256 over every name and content, to check that.
"""

import argparse
import base64
import gzip
import hashlib
import io
import math
import os
import random
import sys
import tarfile
import zipfile

MB = 1 << 20
# Every modification time is on an even second (DOS times have 2 s steps).
BASE_TIME = 1685577600  # 2023-06-01 00:00:00 UTC


class Corpus:
    def __init__(self, root, scale, seed, folders=1.0):
        self.root = root
        self.scale = scale
        self.folder_scale = folders
        self.rng = random.Random(seed)
        self.vocab, self.cum = self._vocabulary()
        self.used = set()
        self.files = 0
        self.bytes = 0

    # ---- sizes and names -------------------------------------------------

    def count(self, n):
        return max(1, round(n * self.scale))

    def size(self, median, cap):
        """A log-normal size around median bytes, at most cap."""
        s = int(median * math.exp(self.rng.gauss(0, 1.0)))
        return max(16, min(s, cap))

    def _vocabulary(self):
        syllables = ["ka", "vo", "mi", "ll", "pel", "ko", "ar", "chi", "ve", "sy", "nc", "da",
                     "ta", "zip", "fi", "le", "ro", "ot", "de", "fla", "te", "in", "or", "um",
                     "st", "re", "am", "bu", "ff", "er", "lo", "ck", "he", "ad", "tr", "an"]
        words = set()
        while len(words) < 3000:
            words.add("".join(self.rng.choice(syllables) for _ in range(self.rng.randint(1, 4))))
        vocab = sorted(words)
        self.rng.shuffle(vocab)
        cum, total = [], 0.0
        for rank in range(len(vocab)):  # Zipf-like: a few words are everywhere
            total += 1.0 / (rank + 1)
            cum.append(total)
        return vocab, cum

    def words(self, k):
        return self.rng.choices(self.vocab, cum_weights=self.cum, k=k)

    def name(self, folder, stem, ext):
        path = os.path.join(folder, stem + ext)
        n = 1
        while path in self.used:
            n += 1
            path = os.path.join(folder, "%s_%d%s" % (stem, n, ext))
        self.used.add(path)
        return path

    def stem(self):
        return "_".join(self.words(self.rng.randint(1, 3)))

    def write(self, rel, data):
        path = os.path.join(self.root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        t = BASE_TIME + 2 * self.rng.randrange(180 * 24 * 1800)
        os.utime(path, ns=(t * 10**9, t * 10**9))
        self.files += 1
        self.bytes += len(data)

    def folders(self, top, count, depth):
        """count nested folders under top, up to depth levels below it."""
        count = self.count(count * self.folder_scale)
        result = [top]
        while len(result) < count:
            parent = self.rng.choice(result)
            if parent.count("/") - top.count("/") < depth:
                result.append(self.name(parent, self.stem(), ""))
        return result

    # ---- contents ----------------------------------------------------------

    def prose(self, size):
        out, n = [], 0
        while n < size:
            para = []
            for _ in range(self.rng.randint(2, 8)):
                w = self.words(self.rng.randint(5, 22))
                para.append(" ".join(w).capitalize() + self.rng.choice(".....?!"))
            text = " ".join(para) + "\n\n"
            out.append(text)
            n += len(text)
        return "".join(out).encode()

    def source(self, size):
        out, n, indent = [], 0, 0
        kinds = ["decl", "call", "call", "assign", "comment", "if", "close", "blank"]
        while n < size:
            kind = self.rng.choice(kinds)
            w = self.words(4)
            pad = "  " * indent
            if kind == "decl":
                line = "%sstatic int %s_%s(const %s& %s) {" % (pad, w[0], w[1], w[2].title(), w[3])
                indent = min(indent + 1, 6)
            elif kind == "call":
                line = "%s%s(%s, %s, %d);" % (pad, w[0], w[1], w[2], self.rng.randrange(4096))
            elif kind == "assign":
                line = "%sauto %s = %s.%s + 0x%x;" % (pad, w[0], w[1], w[2],
                                                        self.rng.getrandbits(32))
            elif kind == "comment":
                line = "%s// %s" % (pad, " ".join(self.words(self.rng.randint(3, 12))))
            elif kind == "if":
                line = "%sif (%s != %s) {" % (pad, w[0], w[1])
                indent = min(indent + 1, 6)
            elif kind == "close" and indent > 0:
                indent -= 1
                line = "  " * indent + "}"
            else:
                line = ""
            out.append(line + "\n")
            n += len(line) + 1
        return "".join(out).encode()

    def csv(self, size):
        cols = self.words(self.rng.randint(4, 9))
        out, n = [",".join(cols) + "\n"], 0
        bits = self.rng.getrandbits
        while n < size:
            row = "%d,%s,%d.%02d,%d\n" % (bits(20), self.words(1)[0], bits(12), bits(7) % 100,
                                          bits(8) * (len(cols)))
            out.append(row)
            n += len(row)
        return "".join(out).encode()

    def log(self, size):
        levels = ["INFO"] * 12 + ["DEBUG"] * 6 + ["WARN"] * 2 + ["ERROR"]
        out, n, t = [], 0, 1700000000
        while n < size:
            t += self.rng.randrange(3)
            line = "%d %-5s [%s] %s id=%d\n" % (t, self.rng.choice(levels), self.words(1)[0],
                                                 " ".join(self.words(self.rng.randint(3, 10))),
                                                 self.rng.getrandbits(24))
            out.append(line)
            n += len(line)
        return "".join(out).encode()

    def base64ish(self, size):
        # Printable but close to random: deflate gains only the 6-of-8-bit slack.
        return base64.encodebytes(self.rng.randbytes(size * 3 // 4))

    def binary(self, size):
        """Chunks of noise, zeros, repeated records and strings: partly compressible."""
        out, n = [], 0
        while n < size:
            k = self.rng.randrange(4096, 65536)
            kind = self.rng.random()
            if kind < 0.4:
                chunk = self.rng.randbytes(k)
            elif kind < 0.5:
                chunk = bytes(k)
            elif kind < 0.8:
                motif = bytearray(self.rng.randbytes(self.rng.randrange(16, 512)))
                reps = []
                for _ in range(k // len(motif) + 1):
                    motif[self.rng.randrange(len(motif))] = self.rng.getrandbits(8)
                    reps.append(bytes(motif))
                chunk = b"".join(reps)[:k]
            else:
                chunk = ("\0".join(self.words(k // 7)) + "\0").encode()[:k]
            out.append(chunk)
            n += len(chunk)
        return b"".join(out)[:size]

    def noise(self, size, magic=b""):
        return magic + self.rng.randbytes(max(0, size - len(magic)))

    def gzipped(self, size):
        text = self.prose(size * 3) if self.rng.random() < 0.5 else self.source(size * 3)
        return gzip.compress(text, compresslevel=9, mtime=0)

    def zipped(self, size):
        buf = io.BytesIO()
        with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
            done = 0
            while done < size:
                part = self.size(size // 4 + 1, size) * 2
                data = self.source(part) if self.rng.random() < 0.6 else self.binary(part)
                info = zipfile.ZipInfo("%s/%s.dat" % (self.stem(), self.stem()),
                                       date_time=(2023, 5, 17, 12, 30, 0))
                info.compress_type = zipfile.ZIP_DEFLATED
                z.writestr(info, data)
                done += len(data) // 3
        return buf.getvalue()

    def tarred(self, size, compress):
        buf = io.BytesIO()
        with tarfile.open(fileobj=buf, mode="w", format=tarfile.USTAR_FORMAT) as t:
            done = 0
            while done < size:
                part = self.size(size // 8 + 1, size)
                data = self.log(part) if self.rng.random() < 0.5 else self.binary(part)
                info = tarfile.TarInfo("%s/%s.dat" % (self.stem(), self.stem()))
                info.size, info.mtime, info.mode = len(data), BASE_TIME, 0o644
                info.uname = info.gname = "pelko"
                t.addfile(info, io.BytesIO(data))
                done += len(data)
        raw = buf.getvalue()
        return gzip.compress(raw, compresslevel=6, mtime=0) if compress else raw

    # ---- the tree ----------------------------------------------------------

    def build(self):
        r = self.rng
        src = self.folders("src", 120, 4)
        for _ in range(self.count(2500)):
            ext = r.choice([".cpp", ".cpp", ".h", ".h", ".py", ".pas", ".TXT", ".inc"])
            self.write(self.name(r.choice(src), self.stem(), ext),
                       self.source(self.size(6000, 200_000)))

        docs = self.folders("docs", 40, 3)
        for _ in range(self.count(600)):
            self.write(self.name(r.choice(docs), self.stem(), r.choice([".txt", ".md", ".rtf"])),
                       self.prose(self.size(12000, 500_000)))
        for stem in ["Отчёт за 2023 год", "Читай меня", "Список дел", "Smeta 2024 (копия)"]:
            self.write(self.name("docs", stem, ".txt"), self.prose(self.size(20000, 200_000)))

        data = self.folders("data", 20, 2)
        for _ in range(self.count(60)):
            self.write(self.name(r.choice(data), self.stem(), ".csv"),
                       self.csv(self.size(300_000, 3 * MB)))
        for _ in range(self.count(30)):
            self.write(self.name(r.choice(data), self.stem(), ".log"),
                       self.log(self.size(500_000, 4 * MB)))
        for _ in range(self.count(30)):
            self.write(self.name(r.choice(data), self.stem(), ".b64"),
                       self.base64ish(self.size(200_000, 2 * MB)))

        bins = self.folders("bin", 15, 2)
        for _ in range(self.count(200)):
            self.write(self.name(r.choice(bins), self.stem(), r.choice([".dll", ".exe", ".dat",
                                                                       ".bin", ".db"])),
                       self.binary(self.size(150_000, 4 * MB)))

        media = self.folders("media", 12, 2)
        for _ in range(self.count(150)):
            self.write(self.name(r.choice(media), "IMG_%04d" % r.randrange(10000), ".jpg"),
                       self.noise(self.size(150_000, 2 * MB), b"\xff\xd8\xff\xe0\0\x10JFIF\0"))
        for _ in range(self.count(5)):
            self.write(self.name(r.choice(media), self.stem(), ".mp4"),
                       self.noise(self.size(4 * MB, 8 * MB), b"\0\0\0\x20ftypisom"))

        arch = self.folders("archives", 10, 2)
        for _ in range(self.count(60)):
            self.write(self.name(r.choice(arch), self.stem(), r.choice([".gz", ".GZ"])),
                       self.gzipped(self.size(200_000, 2 * MB)))
        for _ in range(self.count(30)):
            self.write(self.name(r.choice(arch), self.stem(), r.choice([".zip", ".ZIP"])),
                       self.zipped(self.size(500_000, 3 * MB)))
        for _ in range(self.count(5)):
            self.write(self.name(r.choice(arch), self.stem(), ".rar"),
                       self.noise(self.size(MB, 4 * MB), b"Rar!\x1a\x07\x00"))
        for _ in range(self.count(5)):
            self.write(self.name(r.choice(arch), self.stem(), ".tgz"),
                       self.tarred(self.size(MB, 4 * MB), compress=True))

        for _ in range(self.count(40)):
            folder = r.choice(src + docs + data)
            self.write(self.name(folder, self.stem(), r.choice(["", ".txt", ".cfg", ".lock"])),
                       b"")
        for _ in range(self.count(3)):
            self.write(self.name(r.choice(src), self.stem(), ".tmp"), self.binary(20_000))
        for _ in range(self.count(15)):
            os.makedirs(os.path.join(self.root, self.name(r.choice(["empty"] + docs + bins),
                                                          "empty_" + self.stem(), "")),
                        exist_ok=True)

        self.write("big/server log.txt", self.log(int(40 * MB * self.scale)))
        self.write("big/disk.img", self.binary(int(32 * MB * self.scale)))
        self.write("big/video.mkv", self.noise(int(20 * MB * self.scale), b"\x1aE\xdf\xa3"))
        self.write("big/backup.tar", self.tarred(int(20 * MB * self.scale), compress=False))
        self.write("README.txt", self.prose(4000))

        # Folder times last: writing a file changes its folder's time.
        for dirpath, _, _ in sorted(os.walk(self.root), reverse=True):
            os.utime(dirpath, ns=(BASE_TIME * 10**9, BASE_TIME * 10**9))


def digest(root):
    h = hashlib.sha256()
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames.sort()
        rel = os.path.relpath(dirpath, root)
        h.update(("D %s\n" % rel).encode())
        for name in sorted(filenames):
            with open(os.path.join(dirpath, name), "rb") as f:
                data = f.read()
            h.update(("F %s %d\n" % (name, len(data))).encode())
            h.update(data)
    return h.hexdigest()


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("dir", help="where to write the tree; must not exist or be empty")
    p.add_argument("--scale", type=float, default=1.0, help="size factor (default 1: ~380 MB)")
    p.add_argument("--folders", type=float, default=1.0,
                   help="folder count factor (default 1)")
    p.add_argument("--seed", type=int, default=20240611)
    p.add_argument("--digest", action="store_true", help="print a SHA-256 of the tree")
    a = p.parse_args()
    if a.scale <= 0 or a.folders <= 0:
        p.error("--scale and --folders must be positive")
    if os.path.exists(a.dir) and os.listdir(a.dir):
        p.error("%s is not empty" % a.dir)
    os.makedirs(a.dir, exist_ok=True)
    c = Corpus(a.dir, a.scale, a.seed, a.folders)
    c.build()
    print("%d files, %.1f MB in %s" % (c.files, c.bytes / MB, a.dir))
    if a.digest:
        print("sha256", digest(a.dir))


if __name__ == "__main__":
    sys.exit(main())
