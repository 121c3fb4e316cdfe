#!/usr/bin/env python3
"""Writes the archives whose structure every reader must refuse into FOLDER:

    make_structure.py FOLDER [NAME]   (all of them, or the one named)

takeover.zip     readme.txt in the real central directory; payload.sh after
                 it, named only by a second directory and end record in the
                 archive comment whose offset is 4,096 bytes past the real
                 position, so that it holds once a stub of that size or more
                 stands in front
overlap.zip      outer.txt (stored) whose data holds the whole of inner.bin,
                 local header and deflated data, which the directory lists
                 as an entry of its own
shared.zip       20 central entries of one name pointing at one local header
nul-name.zip     a.txt and "a.txt\\0hidden"
comment-signature.zip
                 sound: an archive comment holding "PK\\5\\6" that is no end
                 record ending the file
methods.zip      text.txt deflated in its local header, stored (sizes and CRC
                 of the raw bytes) in its central header
"""
import io
import os
import struct
import sys
import zipfile
import zlib


def local_header(name, method, crc, csize, size):
    return struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, method, 0, 0x21, crc, csize, size, len(name), 0) + name


def central_header(name, method, crc, csize, size, offset):
    return struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 0x031E, 20, 0, method, 0, 0x21, crc, csize, size,
                       len(name), 0, 0, 0, 0, 0o100644 << 16, offset) + name


def end_record(count, cd_size, cd_offset, comment=b""):
    return struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, cd_size, cd_offset, len(comment)) + comment


def entry(name, data, method):
    body = zlib.compress(data, 9)[2:-4] if method == 8 else data
    return zlib.crc32(data), body


def takeover():
    readme_data = b"Read me first.\n"
    payload_data = b"#!/bin/sh\necho taken > \"$(dirname \"$0\")/../owned\"\n"
    out = bytearray()
    crc, body = entry(b"readme.txt", readme_data, 0)
    readme_at = len(out)
    out += local_header(b"readme.txt", 0, crc, len(body), len(readme_data)) + body
    pcrc, pbody = entry(b"payload.sh", payload_data, 0)
    payload_at = len(out)
    out += local_header(b"payload.sh", 0, pcrc, len(pbody), len(payload_data)) + pbody
    real_cd = central_header(b"readme.txt", 0, crc, len(body), len(readme_data), readme_at)
    cd_at = len(out)
    # The comment: a directory naming payload.sh, then its end record, both
    # counting 4,096 bytes more than they stand at.
    fake_cd_at = cd_at + len(real_cd) + 22
    fake_cd = central_header(b"payload.sh", 0, pcrc, len(pbody), len(payload_data), payload_at + 4096)
    comment = fake_cd + end_record(1, len(fake_cd), fake_cd_at + 4096)
    out += real_cd + end_record(1, len(real_cd), cd_at, comment)
    return bytes(out)


def overlap():
    inner_data = b"z" * 200000
    icrc, ibody = entry(b"inner.bin", inner_data, 8)
    inner = local_header(b"inner.bin", 8, icrc, len(ibody), len(inner_data)) + ibody
    outer_name = b"outer.txt"
    ocrc = zlib.crc32(inner)
    out = local_header(outer_name, 0, ocrc, len(inner), len(inner)) + inner
    inner_at = 30 + len(outer_name)
    cd = central_header(outer_name, 0, ocrc, len(inner), len(inner), 0)
    cd += central_header(b"inner.bin", 8, icrc, len(ibody), len(inner_data), inner_at)
    return out + cd + end_record(2, len(cd), len(out))


def shared():
    data = b"0" * 100000
    crc, body = entry(b"same.bin", data, 8)
    out = local_header(b"same.bin", 8, crc, len(body), len(data)) + body
    cd = central_header(b"same.bin", 8, crc, len(body), len(data), 0) * 20
    return out + cd + end_record(20, len(cd), len(out))


def patched_zip(entries, patch):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        for name, data, method in entries:
            archive.writestr(zipfile.ZipInfo(name, (2020, 1, 1, 0, 0, 0)), data, compress_type=method)
    data = bytearray(buffer.getvalue())
    patch(data)
    return bytes(data)


def nul_name():
    def patch(data):
        at = data.find(b"a.txt#hidden")
        while at >= 0:
            data[at + 5] = 0
            at = data.find(b"a.txt#hidden", at + 1)

    return patched_zip([("a.txt", b"first\n", zipfile.ZIP_STORED), ("a.txt#hidden", b"second\n", zipfile.ZIP_STORED)],
                       patch)


def methods():
    text = b"".join(b"line %d of a text that deflates well\n" % (i % 3) for i in range(9))

    def patch(data):
        at = data.find(b"PK\x01\x02")
        (csize,) = struct.unpack_from("<I", data, at + 20)
        local_name = struct.unpack_from("<H", data, 26)[0]
        raw = bytes(data[30 + local_name:30 + local_name + csize])
        struct.pack_into("<H", data, at + 10, 0)
        struct.pack_into("<I", data, at + 16, zlib.crc32(raw))
        struct.pack_into("<I", data, at + 24, csize)

    return patched_zip([("text.txt", text, zipfile.ZIP_DEFLATED)], patch)


def comment_signature():
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        archive.writestr("note.txt", b"note\n")
        archive.comment = b"see PK\x05\x06 and more" + bytes(30)
    return buffer.getvalue()


def main():
    folder = sys.argv[1]
    wanted = sys.argv[2] if len(sys.argv) > 2 else None
    for name, make in (("takeover.zip", takeover), ("overlap.zip", overlap), ("shared.zip", shared),
                       ("nul-name.zip", nul_name), ("methods.zip", methods),
                       ("comment-signature.zip", comment_signature)):
        if wanted not in (None, name):
            continue
        with open(os.path.join(folder, name), "wb") as out:
            out.write(make())


if __name__ == "__main__":
    main()
