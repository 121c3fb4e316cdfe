#!/usr/bin/env python3
"""Builds a Plovern self-extractor the way sfx-runtime/FORMAT.md lays it out,
independently of the engine, so that the runtime can be tested on its own.

    make_sfx.py RUNTIME ZIP OUT [--no-settings] [--no-adjust] [key=value ...]

--no-settings leaves out the settings block and the anchor (a plain
"cat RUNTIME ZIP"); --no-adjust keeps the zip's offsets counted from the start
of the zip data instead of the start of the file. Damaged zip data whose
offsets cannot be adjusted (or no zip data at all) is carried as it is, so
that the runtime can be tried on it too.
"""
import os
import struct
import sys
import zlib

ANCHOR = b"PlovernSfxAn\x7f\xa5\x3c\x01"
MAGIC = b"PLVSFX02"


def settings_block(text, zip_start, end_record, file_size):
    """Header, key=value text and trailer, with the CRC-32 over all of it."""
    total = 48 + len(text) + 16
    block = bytearray(MAGIC + struct.pack("<QQQQII", len(text), zip_start, end_record, file_size, 0, 0))
    block += text + MAGIC + struct.pack("<Q", total)
    struct.pack_into("<I", block, 40, zlib.crc32(bytes(block)))
    return bytes(block)


def patch_anchor(runtime, block_start):
    at = runtime.find(ANCHOR)
    if at < 0 or runtime.find(ANCHOR, at + 1) >= 0:
        raise ValueError("the runtime has no single anchor")
    return runtime[:at + 16] + struct.pack("<Q", block_start) + runtime[at + 24:]


def escape(value):
    return value.replace("\\", "\\\\").replace("\n", "\\n")


def adjust_offsets(zip_data, start):
    """Makes every offset in the zip's end records and central directory,
    ZIP64 fields included, count from the start of a file in which the zip
    data stands at `start`, whether they counted from the start of the zip
    data or already from the start of its own stub (`zip -A`). A local
    header offset that names a ZIP64 field it does not have, or that would
    not fit 64 bits, is left as it is: it points nowhere either way."""
    data = bytearray(zip_data)
    eocd = data.rfind(b"PK\x05\x06", max(0, len(data) - 65557))
    if eocd < 0:
        raise ValueError("no end of central directory record")
    entries, cd_size, cd_offset = struct.unpack_from("<HII", data, eocd + 10)
    cd_end = eocd
    zip64 = eocd >= 20 and data[eocd - 20:eocd - 16] == b"PK\x06\x07"
    if zip64:
        locator = eocd - 20
        (record,) = struct.unpack_from("<Q", data, locator + 8)
        if data[record:record + 4] != b"PK\x06\x06":
            record = locator - 56  # a stub that was not accounted for
        cd_end = record
        entries, cd_size, cd_offset = struct.unpack_from("<QQQ", data, record + 32)
    # Where the offsets count from in `data`: not 0 after a plain "cat".
    base = cd_end - cd_size - cd_offset
    shift = start + base
    if zip64:
        struct.pack_into("<Q", data, locator + 8, record + start)
        struct.pack_into("<Q", data, record + 48, cd_offset + shift)
    if struct.unpack_from("<I", data, eocd + 16)[0] != 0xFFFFFFFF:
        struct.pack_into("<I", data, eocd + 16, cd_offset + shift)

    pos = cd_offset + base
    end = pos + cd_size
    while pos < end:
        if data[pos:pos + 4] != b"PK\x01\x02":
            raise ValueError("bad central header at %d" % pos)
        csize, usize = struct.unpack_from("<II", data, pos + 20)
        name_len, extra_len, comment_len = struct.unpack_from("<HHH", data, pos + 28)
        (local,) = struct.unpack_from("<I", data, pos + 42)
        if local != 0xFFFFFFFF:
            struct.pack_into("<I", data, pos + 42, local + shift)
        else:
            extra = pos + 46 + name_len
            i = extra
            while i + 4 <= extra + extra_len:
                tag, size = struct.unpack_from("<HH", data, i)
                if tag == 0x0001:
                    field = i + 4 + (8 if usize == 0xFFFFFFFF else 0) + (8 if csize == 0xFFFFFFFF else 0)
                    (value,) = struct.unpack_from("<Q", data, field)
                    if value + shift < 1 << 64:
                        struct.pack_into("<Q", data, field, value + shift)
                    break
                i += 4 + size
        pos += 46 + name_len + extra_len + comment_len
    return bytes(data)


def main(argv):
    flags = [a for a in argv[4:] if a.startswith("--")]
    pairs = [a for a in argv[4:] if not a.startswith("--")]
    runtime_path, zip_path, out_path = argv[1:4]
    with open(runtime_path, "rb") as f:
        runtime = f.read()
    with open(zip_path, "rb") as f:
        zip_data = f.read()

    if "--no-settings" in flags:
        prefix = runtime
    else:
        text = "".join("%s=%s\n" % (k, escape(v)) for k, v in (p.split("=", 1) for p in pairs)).encode("utf-8")
        block_length = 48 + len(text) + 16
        zip_start = len(runtime) + block_length
        if "--no-adjust" not in flags:
            try:
                zip_data = adjust_offsets(zip_data, zip_start)
            except (ValueError, IndexError, OverflowError, struct.error) as problem:
                print("make_sfx.py: zip data carried unadjusted: %s" % problem, file=sys.stderr)
        eocd = zip_data.rfind(b"PK\x05\x06", max(0, len(zip_data) - 65557))
        end_record = zip_start + eocd if eocd >= 0 else 0
        block = settings_block(text, zip_start, end_record, zip_start + len(zip_data))
        prefix = patch_anchor(runtime, len(runtime)) + block

    with open(out_path, "wb") as f:
        f.write(prefix)
        f.write(zip_data)
    os.chmod(out_path, 0o755)


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    main(sys.argv)
