#!/usr/bin/env python3
"""Makes the Debian package of a build, unpacks it into a scratch root and
runs the programs from there.

Usage: deb_test.py --cpack CPACK --build-dir DIR --version X.Y.Z [--app] [--man]
--app: the build has the window (pelko, its desktop entry and icon);
--man: the build installs pelko-cli's manual page.
Exits 77 (skipped) when a packaging tool is missing; under CI (CI=true) it
fails instead.
"""
import argparse
import glob
import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

SKIP = 77
TOOLS = ("dpkg-deb", "dpkg-shlibdeps", "file", "lintian", "desktop-file-validate")


def run(*args, cwd=None, env=None):
    return subprocess.run(args, cwd=cwd, env=env, capture_output=True, text=True, timeout=300)


def expected_files(app):
    files = {"usr/bin/pelko-cli", "usr/share/doc/pelko/copyright",
             "usr/share/doc/pelko/changelog.gz", "usr/share/man/man1/pelko-cli.1.gz"}
    if app:
        files |= {"usr/bin/pelko", "usr/share/applications/pelko.desktop",
                  "usr/share/icons/hicolor/scalable/apps/pelko.svg",
                  "usr/share/man/man1/pelko.1.gz"}
    return files


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cpack", required=True)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--app", action="store_true")
    opts = parser.parse_args()

    missing = [tool for tool in TOOLS if shutil.which(tool) is None]
    if missing:
        print("missing packaging tools: " + ", ".join(missing), file=sys.stderr)
        return 1 if os.environ.get("CI") == "true" else SKIP

    failures = []

    def check(ok, what):
        if not ok:
            failures.append(what)
            print("FAILED: " + what, file=sys.stderr)
        return ok

    # The modes in the package are the ones its files get on disk.
    os.umask(0o022)
    scratch = tempfile.mkdtemp(prefix="pelko-deb-")
    try:
        # The package goes to the scratch folder, so that runs never share
        # cpack's staging tree or leave a package in the build.
        env = dict(os.environ)
        env.pop("DESTDIR", None)
        made = run(opts.cpack, "-G", "DEB", "-B", os.path.join(scratch, "out"), "--config",
                   "CPackConfig.cmake", cwd=opts.build_dir, env=env)
        if not check(made.returncode == 0, "cpack makes the package"):
            print(made.stdout + made.stderr, file=sys.stderr)
            return 1
        debs = glob.glob(os.path.join(scratch, "out", "*.deb"))
        if not check(len(debs) == 1, "cpack makes one package: %s" % debs):
            return 1
        deb = debs[0]
        arch = run("dpkg", "--print-architecture").stdout.strip()
        check(os.path.basename(deb) == "pelko_%s_%s.deb" % (opts.version, arch),
              "package file name: " + os.path.basename(deb))

        # The control fields, and the libraries the programs need.
        fields = {name: run("dpkg-deb", "-f", deb, name).stdout.strip()
                  for name in ("Package", "Version", "Architecture", "Depends")}
        check([fields["Package"], fields["Version"], fields["Architecture"]] ==
              ["pelko", opts.version, arch], "control fields: %s" % fields)
        depends = {re.split(r"[\s(]", d.strip())[0] for d in fields["Depends"].split(",")}
        wanted = {"zlib1g", "libc6", "libstdc++6"}
        if opts.app:
            wanted |= {"libqt6widgets6", "libqt6core6", "qt6-qpa-plugins"}
        check(wanted <= depends, "Depends names %s: %s" % (sorted(wanted), fields["Depends"]))

        # Exactly the programs and their data, root's, with the usual modes:
        # no library, header, test or benchmark slips in.
        listing = run("dpkg-deb", "-c", deb).stdout.splitlines()
        files = set()
        for line in listing:
            mode, owner, _size, _date, _time, path = line.split(None, 5)
            path = path.split(" -> ")[0]
            path = path[2:] if path.startswith("./") else path
            check(owner == "root/root", "%s is root's: %s" % (path, owner))
            if mode.startswith("d"):
                check(mode == "drwxr-xr-x", "directory %s is 0755: %s" % (path, mode))
                continue
            check(mode[0] == "-", "%s is a regular file: %s" % (path, mode))
            files.add(path)
            program = path.startswith("usr/bin/")
            want = "-rwxr-xr-x" if program else "-rw-r--r--"
            check(mode == want, "%s has mode %s: %s" % (path, want, mode))
        expected = expected_files(opts.app)
        check(files == expected, "package holds %s, not %s" % (sorted(expected), sorted(files)))

        root = os.path.join(scratch, "root")
        unpacked = run("dpkg-deb", "-x", deb, root)
        if not check(unpacked.returncode == 0, "dpkg-deb -x: " + unpacked.stderr):
            return 1

        # Manual page and changelog: gzip without a name or time, as lintian
        # and reproducible builds want; the changelog's latest entry is this
        # version.
        gzipped = ["usr/share/doc/pelko/changelog.gz", "usr/share/man/man1/pelko-cli.1.gz"]
        if opts.app:
            gzipped.append("usr/share/man/man1/pelko.1.gz")
        for path in gzipped:
            with open(os.path.join(root, path), "rb") as f:
                header = f.read(10)
            check(header[:2] == b"\x1f\x8b" and header[3] & 0x08 == 0 and header[4:8] == bytes(4),
                  path + " is gzip without a name or time")
        with gzip.open(os.path.join(root, gzipped[0]), "rt", encoding="utf-8") as f:
            head = f.readline()
        check(head.startswith("pelko (%s) " % opts.version), "changelog's latest entry: " + head)

        # The installed program works from where the package puts it.
        cli = os.path.join(root, "usr/bin/pelko-cli")
        version = run(cli, "--version")
        check(version.returncode == 0 and re.search(r"\d+\.\d+", version.stdout),
              "pelko-cli --version: %d %r %r" % (version.returncode, version.stdout,
                                                 version.stderr))
        if opts.app:
            # The window's program starts and answers without a display.
            window = run(os.path.join(root, "usr", "bin", "pelko"), "--help")
            check(window.returncode == 0 and window.stdout.startswith("Usage: pelko [FOLDER]"),
                  "pelko --help: %d %r" % (window.returncode, window.stdout + window.stderr))
        tree = os.path.join(scratch, "tree")
        os.makedirs(os.path.join(tree, "sub"))
        contents = {"a.txt": b"hello from the package test\n" * 50,
                    "sub/b.bin": bytes(range(256)) * 64}
        for name, data in contents.items():
            with open(os.path.join(tree, name), "wb") as f:
                f.write(data)
        archive = os.path.join(scratch, "x.zip")
        synced = run(cli, "sync", "--base", tree, "--archive", archive)
        if check(synced.returncode == 0,
                 "pelko-cli sync: %d %s" % (synced.returncode, synced.stderr)):
            tested = run(cli, "test", archive)
            check(tested.returncode == 0,
                  "pelko-cli test: %d %s" % (tested.returncode, tested.stderr))
            with zipfile.ZipFile(archive) as z:
                check(z.testzip() is None, "python's zipfile reads every entry")
                for name, data in contents.items():
                    check(z.read("tree/" + name) == data, "tree/%s holds its file" % name)

        if opts.app:
            entry = os.path.join(root, "usr/share/applications/pelko.desktop")
            valid = run("desktop-file-validate", entry)
            check(valid.returncode == 0 and not valid.stdout.strip(),
                  "desktop-file-validate: " + valid.stdout + valid.stderr)

        # lintian: errors fail, warnings are only shown.
        linted = run("lintian", deb)
        report = (linted.stdout + linted.stderr).strip()
        if report:
            print(report)
        errors = [line for line in report.splitlines() if line.startswith("E: ")]
        check(not errors, "lintian reports no error")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
