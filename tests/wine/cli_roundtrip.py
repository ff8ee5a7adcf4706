#!/usr/bin/env python3
"""The Windows pelko-cli.exe, run under Wine, against the Linux peers.

Syncs a tree that holds Cyrillic and CJK names, empty files and folders and
a file larger than a deflate block; the archive must pass `unzip -t`,
`7zz t` and python zipfile with the same names and bytes; a second sync
changes nothing (0/0, the archive byte for byte as it was); `extract` puts
the tree back as it was.

Usage: cli_roundtrip.py WINE_RUN [ARGS...] PELKO_CLI_EXE
Under CI (CI=true) a missing peer fails the test instead of skipping it.
"""
import filecmp
import os
import random
import shutil
import subprocess
import sys
import tempfile
import zipfile

SKIP = 77


def windows_path(path):
    # Wine shows the Linux root as drive Z:.
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run(wine_run, exe, *args, cwd=None):
    result = subprocess.run([*wine_run, exe, *args], cwd=cwd, capture_output=True, timeout=600)
    return result.returncode, result.stdout.decode("utf-8", "replace"), result.stderr.decode(
        "utf-8", "replace")


def make_tree(root):
    rng = random.Random(15)
    files = {
        "readme.txt": b"plain text\r\n" * 50,
        "Документы/отчёт.txt": "Добавлено".encode("utf-8") * 100,
        "中文/数据.bin": rng.randbytes(3000),
        "big/large.bin": rng.randbytes(1 << 20) + b"z" * (3 << 20),
        "empty.txt": b"",
        "deep/a/b/c/d.txt": b"deep",
    }
    for name, data in files.items():
        path = os.path.join(root, *name.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    os.makedirs(os.path.join(root, "empty folder"))
    return files


def unicode_name(info):
    extra = info.extra
    at = 0
    while at + 4 <= len(extra):
        tag = int.from_bytes(extra[at:at + 2], "little")
        size = int.from_bytes(extra[at + 2:at + 4], "little")
        data = extra[at + 4:at + 4 + size]
        # The component's own field: "NUCX", a 32-bit count, UTF-16LE units.
        if tag == 0x554E and data[:4] == b"NUCX" and size >= 8:
            count = int.from_bytes(data[4:8], "little")
            return data[8:8 + 2 * count].decode("utf-16-le")
        at += 4 + size
    if info.flag_bits & 0x800:
        return info.filename
    return info.filename.encode("cp437").decode("cp866")


def trees_equal(left, right):
    compare = filecmp.dircmp(left, right)
    if compare.left_only or compare.right_only or compare.diff_files or compare.funny_files:
        return False
    (_, mismatch, errors) = filecmp.cmpfiles(left, right, compare.common_files, shallow=False)
    if mismatch or errors:
        return False
    return all(trees_equal(os.path.join(left, d), os.path.join(right, d)) for d in compare.common_dirs)


def main():
    wine_run, exe = sys.argv[1:-1], sys.argv[-1]
    on_ci = os.environ.get("CI") == "true"
    missing = [tool for tool in ("unzip", "7zz") if shutil.which(tool) is None]
    if missing:
        print("missing peers: " + ", ".join(missing), file=sys.stderr)
        return 1 if on_ci else SKIP

    failures = []

    def check(ok, what):
        if not ok:
            failures.append(what)
            print("FAILED: " + what, file=sys.stderr)

    with tempfile.TemporaryDirectory(prefix="km-wine-") as work:
        tree = os.path.join(work, "tree")
        os.makedirs(tree)
        files = make_tree(tree)
        archive = os.path.join(work, "backup.zip")

        code, out, err = run(wine_run, exe, "sync", "--base", windows_path(tree), "--archive",
                             windows_path(archive))
        check(code == 0, "first sync exits 0 (got %d: %s)" % (code, err.strip()))
        check("Добавлено:" in out and out.strip().endswith("Удалено: 0"),
              "first sync reports its counts: " + out)

        check(subprocess.run(["unzip", "-tq", archive], capture_output=True).returncode == 0,
              "unzip -t accepts the archive")
        check(subprocess.run(["7zz", "t", archive], capture_output=True).returncode == 0,
              "7zz t accepts the archive")
        with zipfile.ZipFile(archive) as z:
            check(z.testzip() is None, "python zipfile reads every entry")
            # Names outside ASCII are stored in the OEM code page (866, as
            # the locale sets it) with the whole name in the component's
            # unicode-name field, which python does not read: read here.
            names = {}
            for info in z.infolist():
                names[unicode_name(info)] = info
            # Entries are named from the folder synced on.
            for name, data in files.items():
                stored = "tree/" + name
                check(stored in names, "python sees " + stored)
                if stored in names:
                    check(z.read(names[stored]) == data, "python reads the bytes of " + stored)

        with open(archive, "rb") as f:
            before = f.read()
        code, out, err = run(wine_run, exe, "sync", "--base", windows_path(tree), "--archive",
                             windows_path(archive))
        check(code == 0, "second sync exits 0 (got %d: %s)" % (code, err.strip()))
        check(out.strip().endswith("Добавлено: 0    Удалено: 0"), "second sync changes nothing: " + out)
        with open(archive, "rb") as f:
            check(f.read() == before, "second sync leaves the archive byte for byte")

        restored = os.path.join(work, "restored")
        os.makedirs(restored)
        code, out, err = run(wine_run, exe, "extract", windows_path(archive), "--to",
                             windows_path(restored))
        check(code == 0, "extract exits 0 (got %d: %s)" % (code, err.strip()))
        check(trees_equal(tree, os.path.join(restored, "tree")), "the extracted tree is the tree")

    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
