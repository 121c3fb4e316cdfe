#!/usr/bin/env python3
"""Writes the zip archives the self-extractor tests need that Info-ZIP zip
cannot make: links, DOS-only metadata, stored entries. (Hostile archives are
committed in tests/fixtures/hostile.)

    make_zip.py KIND OUT
"""
import sys
import zipfile

LINK = 0o120777 << 16


def entry(name, *, link=False, mode=None, date=(2021, 5, 6, 7, 8, 10), system=3):
    info = zipfile.ZipInfo(name, date_time=date)
    info.create_system = system
    if link:
        info.external_attr = LINK
    elif mode is not None:
        info.external_attr = mode << 16
    return info


def write(out, items, compression=zipfile.ZIP_DEFLATED):
    with zipfile.ZipFile(out, "w", compression) as z:
        for info, data in items:
            z.writestr(info, data)


def main(kind, out):
    if kind == "links-inside":
        write(out, [
            (entry("lib/", mode=0o040755), b""),
            (entry("lib/real.txt", mode=0o100644), b"real\n"),
            (entry("lib/link", link=True), b"real.txt"),
            (entry("top", link=True), b"lib/real.txt"),
            (entry("alias/x.txt", mode=0o100644), b"through a link on disk\n"),
        ])
    elif kind == "dos":
        # Made "on MS-DOS": no Unix attributes, no extended timestamp.
        write(out, [
            (entry("dir/", system=0, date=(2019, 7, 1, 12, 30, 44)), b""),
            (entry("dir/summer.txt", system=0, date=(2019, 7, 1, 12, 30, 44)), b"summer\n"),
            (entry("winter.txt", system=0, date=(2019, 1, 15, 8, 0, 2)), b"winter\n"),
        ])
    elif kind == "stored":
        write(out, [
            (entry("first.txt", mode=0o100644), b"first entry\n"),
            (entry("middle.bin", mode=0o100644), b"MIDDLE-" + bytes(range(256)) * 64),
            (entry("last.txt", mode=0o100644), b"last entry\n"),
        ], zipfile.ZIP_STORED)
    elif kind == "run-fallback":
        write(out, [(entry("setup.sh", mode=0o100755), b"#!/bin/sh\necho started > started.txt\nexit 5\n")])
    else:
        sys.exit("unknown kind " + kind)


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    main(*sys.argv[1:])
