#!/usr/bin/env python3
"""Writes the seed archives of fuzz_open_archive into a directory.

    make_seeds.py SEED_DIR            well-formed archives of every shape the
                                      reader has a path for
    make_seeds.py --broken DIR        small archives with one fault each, named
                                      by the fault (tests/data/fuzz-regressions)

Everything is deterministic: fixed dates, fixed contents.
"""
import io
import os
import struct
import sys
import zipfile

DATE = (2021, 6, 15, 12, 30, 44)


def info(name, method=zipfile.ZIP_STORED):
    i = zipfile.ZipInfo(name, DATE)
    i.compress_type = method
    i.external_attr = 0x20
    return i


def archive(entries, method=zipfile.ZIP_STORED, comment=b''):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, 'w') as zf:
        zf.comment = comment
        for name, data in entries:
            zf.writestr(info(name, method), data)
    return buf.getvalue()


class Unseekable(io.RawIOBase):
    """Python writes data descriptors (flag bit 3) when it cannot seek back."""

    def __init__(self):
        self.data = bytearray()

    def writable(self):
        return True

    def write(self, b):
        self.data += b
        return len(b)


def with_descriptors():
    out = Unseekable()
    with zipfile.ZipFile(out, 'w', zipfile.ZIP_DEFLATED) as zf:
        for name, data in [('a.txt', b'alpha ' * 50), ('dir/', b''), ('dir/b.txt', b'beta')]:
            with zf.open(info(name, zipfile.ZIP_DEFLATED), 'w') as w:
                w.write(data)
    return bytes(out.data)


def local_header(name, data, flags=0, extra=b'', sizes=None):
    crc = zipfile.crc32(data)
    csize, usize = sizes if sizes else (len(data), len(data))
    return struct.pack('<IHHHHHIIIHH', 0x04034B50, 20, flags, 0, 0x6000, 0x52CF, crc, csize,
                       usize, len(name), len(extra)) + name + extra + data


def central_header(name, data, offset, flags=0, extra=b'', sizes=None, offset32=None,
                   attr=0x20):
    crc = zipfile.crc32(data)
    csize, usize = sizes if sizes else (len(data), len(data))
    return struct.pack('<IHHHHHHIIIHHHHHII', 0x02014B50, 45, 45, flags, 0, 0x6000, 0x52CF, crc,
                       csize, usize, len(name), len(extra), 0, 0, 0, attr,
                       offset if offset32 is None else offset32) + name + extra


def end_record(count, size, offset, comment=b'', count16=None):
    n = count if count16 is None else count16
    return struct.pack('<IHHHHIIH', 0x06054B50, 0, 0, n, n, size, offset, len(comment)) + comment


def zip64_central():
    """Sizes and offset in a Zip64 extra field, counts in a Zip64 end record."""
    body = b''
    cdir = b''
    for name, data in [(b'big.txt', b'zip64 sizes' * 3), (b'second.txt', b'x')]:
        offset = len(body)
        body += local_header(name, data)
        extra = struct.pack('<HHQQQ', 1, 24, len(data), len(data), offset)
        cdir += central_header(name, data, offset, extra=extra, sizes=(0xFFFFFFFF, 0xFFFFFFFF),
                               offset32=0xFFFFFFFF)
    start = len(body)
    z64 = struct.pack('<IQHHIIQQQQ', 0x06064B50, 44, 45, 45, 0, 0, 2, 2, len(cdir), start)
    locator = struct.pack('<IIQI', 0x07064B50, 0, start + len(cdir), 1)
    return body + cdir + z64 + locator + end_record(0, 0xFFFFFFFF, 0xFFFFFFFF, count16=0xFFFF)


def unicode_name_extra():
    """A name stored in the code page plus its UTF-16 form in the NUCX field."""
    wide = 'Отчёт.txt'
    data = b'NUCX' + struct.pack('<I', len(wide)) + wide.encode('utf-16-le')
    extra = struct.pack('<HH', 0x554E, len(data)) + data
    name = wide.encode('cp866')
    content = b'report'
    local = local_header(name, content, extra=extra)
    cdir = central_header(name, content, 0, extra=extra)
    return local + cdir + end_record(1, len(cdir), len(local))


def seeds():
    plain = [('a.txt', b'hello\n'), ('dir/', b''), ('dir/b.txt', b'b' * 300), ('empty', b'')]
    stored = archive(plain)
    return {
        'stored.zip': stored,
        'deflated.zip': archive(plain, zipfile.ZIP_DEFLATED),
        'comment.zip': archive(plain, comment=b'an archive comment'),
        'prefix.zip': b'MZ' + b'\0' * 998 + stored,
        'empty.zip': end_record(0, 0, 0),
        'descriptor.zip': with_descriptors(),
        'zip64.zip': zip64_central(),
        'unicode-name.zip': unicode_name_extra(),
    }


def broken():
    stored = archive([('a.txt', b'hello\n'), ('b.txt', b'world\n')])
    cd_size, cd_offset = struct.unpack('<II', stored[-10:-2])
    name = b'x.txt'
    # An extra field that claims 100 bytes where 10 remain.
    short_extra = struct.pack('<HH', 0x7777, 100) + b'\0' * 6
    local = local_header(name, b'x')
    cdir = central_header(name, b'x', 0, extra=short_extra)
    # An extra area of 3 bytes: a field header cut in the middle.
    cut_extra = central_header(name, b'x', 0, extra=b'\x01\x00\x08')
    # Zip64 sizes announced by sentinels but missing from the extra field.
    no_zip64 = central_header(name, b'x', 0, sizes=(0xFFFFFFFF, 0xFFFFFFFF),
                              offset32=0xFFFFFFFF)
    inner = archive([('inner.txt', b'in')])
    return {
        'incons-extra-overrun.zip': local + cdir + end_record(1, len(cdir), len(local)),
        'incons-extra-cut-header.zip': local + cut_extra + end_record(1, len(cut_extra),
                                                                      len(local)),
        'incons-zip64-sentinels-without-extra.zip':
            local + no_zip64 + end_record(1, len(no_zip64), len(local)),
        'incons-count-ffff-without-zip64.zip': stored[:-12] + struct.pack('<HH', 0xFFFF, 0xFFFF)
                                               + stored[-8:],
        'incons-count-beyond-directory.zip': stored[:-12] + struct.pack('<HH', 5000, 5000)
                                             + stored[-8:],
        'incons-dirsize-beyond-file.zip': stored[:-10] + struct.pack('<I', 0x7FFFFFF0)
                                          + stored[-6:],
        'incons-trailing-bytes.zip': stored + b'\0\0\0',
        'incons-truncated-directory.zip': stored[:cd_offset + cd_size // 2] + stored[-22:],
        'incons-zip64-locator-past-end.zip':
            stored[:-22] + struct.pack('<IIQI', 0x07064B50, 0, 1 << 40, 1) + stored[-22:],
        'incons-stored-inner-zip-no-directory.zip': local_header(b'inner.zip', inner),
        'incons-name-nul-byte.zip': (lambda l, c: l + c + end_record(1, len(c), len(l)))(
            local_header(b'a\0b.txt', b'z'), central_header(b'a\0b.txt', b'z', 0)),
        'incons-duplicate-empty-names.zip': (lambda l, c: l + c + c + end_record(2, 2 * len(c),
                                                                                 len(l)))(
            local_header(b'', b'z'), central_header(b'', b'z', 0)),
    }


def main(argv):
    if len(argv) == 3 and argv[1] == '--broken':
        target, files = argv[2], broken()
    elif len(argv) == 2:
        target, files = argv[1], seeds()
    else:
        sys.exit(__doc__)
    os.makedirs(target, exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(target, name), 'wb') as f:
            f.write(data)


if __name__ == '__main__':
    main(sys.argv)
