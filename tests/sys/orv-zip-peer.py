#!/usr/bin/env python3
"""Independent reader and writer of zip archives for the zip tests (Python's zipfile).

list ARCHIVE [PASSWORD [MAXREAD]]: a tab-separated line per entry (see cmd_list), every entry read
up to MAXREAD bytes so its CRC is checked. extract ARCHIVE DIR [PASSWORD]. make KIND ARCHIVE [ARG].
"""
import os
import struct
import sys
import zipfile


def cmd_list(path, password, max_read):
    with open(path, "rb") as f:
        raw = f.read() if os.path.getsize(path) < (1 << 30) else None
    with zipfile.ZipFile(path) as z:
        if password:
            z.setpassword(password.encode())
        for i in z.infolist():
            if i.file_size <= max_read:
                with z.open(i) as f:
                    if sum(len(b) for b in iter(lambda: f.read(1 << 20), b"")) != i.file_size:
                        raise SystemExit("size mismatch in " + i.filename)
            # the local header's extra field length, at offset 28
            lx = struct.unpack_from("<H", raw, i.header_offset + 28)[0] if raw is not None else -1
            print("\t".join(str(x) for x in (
                i.filename, i.flag_bits, i.compress_type, i.create_version | i.create_system << 8,
                i.extract_version, i.external_attr, "%04d-%02d-%02d %02d:%02d:%02d" % i.date_time,
                lx, "x" + i.extra.hex(), i.file_size)))


def cmd_extract(path, out, password):
    with zipfile.ZipFile(path) as z:
        z.extractall(out, pwd=password.encode() if password else None)


def info(name, mode):
    zi = zipfile.ZipInfo(name, (2020, 5, 17, 10, 20, 30))
    zi.create_system = 3
    zi.external_attr = mode << 16
    return zi


def make_modes(z):
    z.writestr(info("suid", 0o104755), b"s")
    z.writestr(info("open", 0o100777), b"o")
    z.writestr(info("plain", 0o100644), b"p")
    z.writestr(info("tool", 0o100755), b"t")
    z.writestr(info("sub/", 0o40755), b"")
    z.writestr(info("sub/link", 0o120777), b"../plain")


def stored(z, name, data):
    zi = zipfile.ZipInfo(name, (2020, 1, 1, 0, 0, 0))
    z.writestr(zi, data, compress_type=zipfile.ZIP_STORED)


def patch(path, fn):
    with open(path, "rb") as f:
        raw = bytearray(f.read())
    fn(raw)
    with open(path, "wb") as f:
        f.write(raw)


def set_sizes(raw, size):
    """Sets the sizes of the first entry in its local header and central record."""
    struct.pack_into("<II", raw, 18, size, size)
    c = raw.find(b"PK\x01\x02")
    struct.pack_into("<II", raw, c + 20, size, size)


def make(kind, path, arg):
    z = zipfile.ZipFile(path, "w")
    data = b"0123456789abcdef" * 64
    names = {"dotdot": "../evil.txt", "absolute": arg, "drive": "C:\\evil.txt",
             "backslash": "a\\..\\..\\b"}
    if kind == "modes":
        make_modes(z)
    elif kind in names:
        stored(z, names[kind], b"x")
    elif kind in ("link-root", "link-up", "link-in"):
        target = {"link-root": b"/", "link-up": b"..", "link-in": b"sub"}[kind]
        if kind == "link-in":
            z.writestr(info("sub/", 0o40755), b"")
        z.writestr(info("link", 0o120777), target)
        stored(z, "link/evil.txt", b"x")
    elif kind == "duplicate":
        stored(z, "same.txt", b"first")
        stored(z, "./same.txt", b"second")
    elif kind in ("smaller", "larger", "crc"):
        stored(z, "data.bin", data)
    elif kind in ("truncated", "short-dir"):
        for i in range(20):
            stored(z, "file%02d.txt" % i, data)
    z.close()
    if kind == "smaller":
        patch(path, lambda raw: set_sizes(raw, len(data) - 3))
    elif kind == "larger":
        patch(path, lambda raw: set_sizes(raw, len(data) + 100))
    elif kind == "crc":
        patch(path, lambda raw: raw.__setitem__(30 + len("data.bin") + 5, ord("X")))
    elif kind == "truncated":
        patch(path, lambda raw: raw.__delitem__(slice(raw.find(b"PK\x01\x02") + 200, None)))
    elif kind == "short-dir":
        # The end record stays but the directory it points to lost its middle.
        def cut(raw):
            c = raw.find(b"PK\x01\x02")
            del raw[c + 150:c + 450]
        patch(path, cut)


def main():
    cmd = sys.argv[1]
    if cmd == "list":
        cmd_list(sys.argv[2], sys.argv[3] if len(sys.argv) > 3 else None,
                 int(sys.argv[4]) if len(sys.argv) > 4 else 1 << 62)
    elif cmd == "extract":
        cmd_extract(sys.argv[2], sys.argv[3], sys.argv[4] if len(sys.argv) > 4 else None)
    elif cmd == "make":
        make(sys.argv[2], sys.argv[3], sys.argv[4] if len(sys.argv) > 4 else "")


if __name__ == "__main__":
    main()
