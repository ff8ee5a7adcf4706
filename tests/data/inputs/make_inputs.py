#!/usr/bin/env python3
"""Writes the archives of other ZIP tools that the tests read, into this folder.

The tests run on Linux and, under Wine, on Windows, where the Linux tools
cannot run: so the archives they read are made once here and committed.
Run it on Linux with python3, Info-ZIP zip 3.0 and 7-Zip (7zz) installed:

    python3 tests/data/inputs/make_inputs.py

and commit what changed. Times are fixed and the contents are fixed bytes,
so a rerun gives the same entries; only the 12 random bytes that start each
ZipCrypto entry differ from run to run, which no test looks at.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile

OUT = os.path.dirname(os.path.abspath(__file__))
WHEN = (2020, 5, 17, 10, 20, 30)
# 2021-03-04 05:06:08 UTC, the time of every file the tools archive.
FILE_TIME = 1614834368
ENV = dict(os.environ, TZ='UTC', LC_ALL='C')


def out(name):
    return os.path.join(OUT, name)


def run(args, cwd):
    subprocess.run(args, cwd=cwd, env=ENV, check=True, stdout=subprocess.DEVNULL)


def write_tree(root, files):
    """files: {relative name: bytes}; every file and folder gets FILE_TIME."""
    for name, data in files.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'wb') as f:
            f.write(data)
    for base, dirs, names in os.walk(root, topdown=False):
        for n in dirs + names:
            os.utime(os.path.join(base, n), (FILE_TIME, FILE_TIME))


def entry(name, data, method=zipfile.ZIP_STORED, attr=0):
    info = zipfile.ZipInfo(name, WHEN)
    info.compress_type = method
    info.external_attr = attr
    return info, data


# ---- Archiver extraction (tests/archiver/ExtractTest.cpp)

def extract_archives():
    # good.zip: a stored file, a deflated one, a folder and a file in it.
    files = [
        entry('a.txt', b'alpha\n' * 50),
        entry('big.bin', bytes(range(256)) * 400 + b'tail', zipfile.ZIP_DEFLATED),
        entry('sub/', b'', attr=0x10),
        entry('sub/c.txt', b'gamma gamma gamma\n' * 20, zipfile.ZIP_DEFLATED),
    ]
    with zipfile.ZipFile(out('extract-good.zip'), 'w') as z:
        for info, data in files:
            z.writestr(info, data)
    # bad.zip: the same with one data byte of a.txt flipped; its CRC fails.
    raw = bytearray(open(out('extract-good.zip'), 'rb').read())
    with zipfile.ZipFile(out('extract-good.zip')) as z:
        raw[z.getinfo('a.txt').header_offset + 30 + len('a.txt') + 7] ^= 0xFF
    open(out('extract-bad.zip'), 'wb').write(raw)
    # evil.zip: names that point outside the destination, and one that does not.
    with zipfile.ZipFile(out('extract-evil.zip'), 'w') as z:
        for name in ['../evil.txt', '/abs.txt', 'C:/x.txt', 'a/../../b.txt', 'ok.txt']:
            z.writestr(zipfile.ZipInfo(name, WHEN), b'payload')


# ---- pelko-cli test and extract (tests/cli/CliTestExtractTest.cpp)

def small_tree(root):
    write_tree(root, {
        'a.txt': b'alpha\n',
        'sub/big.txt': b''.join(b'line %d\n' % i for i in range(5000)),
        'sub/z.txt': b'zulu\n',
    })


def cli_archives(work):
    tree = os.path.join(work, 'small')
    small_tree(tree)
    # Info-ZIP's own archive of the tree, plain and with passwords.
    for name, options in [('small.zip', []), ('small-secret.zip', ['-P', 'open sesame']),
                          ('small-asked.zip', ['-P', 's3cr3t-W0rd'])]:
        # Named one by one: a recursive run would read the folder and change
        # its access time, which goes into the archive.
        run(['zip', '-q'] + options + [out(name), 'a.txt', 'sub', 'sub/big.txt', 'sub/z.txt'], tree)

    # One byte flipped in the middle of sub/big.txt's deflated data.
    data = bytearray(open(out('small.zip'), 'rb').read())
    info = zipfile.ZipFile(out('small.zip')).getinfo('sub/big.txt')
    n, e = struct.unpack('<HH', data[info.header_offset + 26:info.header_offset + 30])
    data[info.header_offset + 30 + n + e + info.compress_size // 2] ^= 0x5A
    open(out('small-damaged.zip'), 'wb').write(data)

    # sub/big.txt's local header offset moved far beyond the end of the file.
    data = bytearray(open(out('small.zip'), 'rb').read())
    at = data.find(b'PK\x01\x02')
    while at >= 0:
        n = struct.unpack('<H', data[at + 28:at + 30])[0]
        if data[at + 46:at + 46 + n] == b'sub/big.txt':
            struct.pack_into('<I', data, at + 42, 0x7FFF0000)
        at = data.find(b'PK\x01\x02', at + 4)
    open(out('small-badoffset.zip'), 'wb').write(data)

    # 7-Zip: big.txt in Deflate64, small.txt in Deflate.
    tree = os.path.join(work, 'd64')
    write_tree(tree, {
        'big.txt': b''.join(b'deflate64 line %d\n' % i for i in range(2000)),
        'small.txt': b'small\n',
    })
    if os.path.exists(out('deflate64.zip')):
        os.remove(out('deflate64.zip'))
    for name, method in [('big.txt', 'Deflate64'), ('small.txt', 'Deflate')]:
        run(['7zz', 'a', '-tzip', '-mm=' + method, '-mtc=off', '-bso0', '-bsp0',
             out('deflate64.zip'), name], tree)

    # Names that leave the target: up, absolute, a drive, up through a
    # folder, up with a backslash; and one good name.
    with zipfile.ZipFile(out('hostile.zip'), 'w') as z:
        for name in ['../evil.txt', '/tmp/km-hostile-abs.txt', 'C:/x.txt', 'a/../../b.txt',
                     '..\\back.txt', 'ok.txt']:
            z.writestr(zipfile.ZipInfo(name, WHEN), b'written from ' + name.encode())

    # An entry of empty name between two good ones; and the same archive
    # cut before its central directory.
    with zipfile.ZipFile(out('nameless.zip'), 'w', zipfile.ZIP_DEFLATED) as z:
        z.writestr(entry('a.txt', b'alpha\n' * 100, zipfile.ZIP_DEFLATED)[0], b'alpha\n' * 100)
        z.writestr(entry('', b'', zipfile.ZIP_DEFLATED)[0], b'no name\n')
        z.writestr(entry('b.txt', b'', zipfile.ZIP_DEFLATED)[0], b'bravo\n' * 100)
    with zipfile.ZipFile(out('nameless.zip')) as z:
        start = z.start_dir
    open(out('nameless-cut.zip'), 'wb').write(open(out('nameless.zip'), 'rb').read()[:start])


# ---- Single entries for the lower layers

class Unseekable:
    """A file python cannot seek back in: it writes data descriptors."""

    def __init__(self, f):
        self.f = f

    def write(self, b):
        return self.f.write(b)

    def flush(self):
        self.f.flush()


def other_archives(work):
    # ZipCrypto by Info-ZIP, stored: tests/support/ZipCryptoTest.cpp.
    tree = os.path.join(work, 'crypt')
    write_tree(tree, {'plain.txt': bytes(ord('a') + i % 26 for i in range(3000))})
    run(['zip', '-q', '-0', '-P', 'pass word', out('zipcrypto-stored.zip'), 'plain.txt'], tree)

    # Deflated entries with data descriptors (flag bit 3): RebuildTest.cpp.
    with open(out('descriptors.zip'), 'wb') as f:
        with zipfile.ZipFile(Unseekable(f), 'w', zipfile.ZIP_DEFLATED) as z:
            for i in range(3):
                info, _ = entry('f%d.txt' % i, b'', zipfile.ZIP_DEFLATED)
                z.writestr(info, ('entry %d ' % i) * 500)

    # Three deflated entries: DecompressTest.cpp damages the middle one.
    with zipfile.ZipFile(out('three-deflated.zip'), 'w') as z:
        for i in range(3):
            info, _ = entry('e%d' % i, b'', zipfile.ZIP_DEFLATED)
            z.writestr(info, (b'entry %d ' % i) * 20000)


def main():
    for tool in ['zip', '7zz']:
        if shutil.which(tool) is None:
            sys.exit(tool + ' is needed')
    with tempfile.TemporaryDirectory() as work:
        extract_archives()
        cli_archives(work)
        other_archives(work)


if __name__ == '__main__':
    main()
