#!/usr/bin/env python3
"""Writes the archives the Windows self-extractor tests need that only
Python's zipfile can make.

    make_archives.py KIND OUT

tree      the names, folders and times of the test tree, UTF-8 names
hostile-* one entry named as KIND says, each trying to leave the folder
"""
import sys
import zipfile


def entry(name, date=(2022, 7, 8, 9, 10, 12), mode=0o100644):
    info = zipfile.ZipInfo(name, date)
    info.create_system = 3
    info.external_attr = (0o40755 if name.endswith("/") else mode) << 16
    info.compress_type = zipfile.ZIP_DEFLATED
    return info


HOSTILE = {
    "hostile-dotdot": "../evil.txt",
    "hostile-backslash": "..\\evil.txt",
    "hostile-drive": "C:\\evil.txt",
    "hostile-drive-relative": "C:evil.txt",
    "hostile-stream": "inside.txt:evil",
    "hostile-device": "docs/NUL.txt",
}


def main(kind, out):
    with zipfile.ZipFile(out, "w") as z:
        if kind == "tree":
            z.writestr(entry("Grüße/"), b"")
            z.writestr(entry("Grüße/naïve café.txt"), "Ça va ?\n".encode())
            z.writestr(entry("日本語/ファイル.txt", (2019, 1, 2, 3, 4, 6)), "こんにちは\n".encode())
            z.writestr(entry("empty/"), b"")
            z.writestr(entry("top.txt"), b"x" * 100000)
        elif kind == "hostile-absolute":
            z.writestr(entry(sys.argv[3]), b"evil\n")
        elif kind in HOSTILE:
            z.writestr(entry(HOSTILE[kind]), b"evil\n")
        else:
            sys.exit("unknown kind " + kind)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
