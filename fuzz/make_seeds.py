#!/usr/bin/env python3
"""Writes the seed corpus of imx_fuzz into fuzz/corpus/ (small, deterministic files)."""

import io
import os
import struct
import zipfile

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def imx(entries, count=None, body=b""):
    out = [b"IMX\0\0\0", struct.pack("<H", len(entries) if count is None else count)]
    for name, off, size in entries:
        out.append(struct.pack("<H", len(name)) + name + struct.pack("<QQ", off, size))
    return b"".join(out) + body


def zipped(members, method):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", method) as zf:
        for name, data in members:
            # A fixed time stamp keeps the seeds byte-identical from run to run.
            zf.writestr(zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0)), data, compress_type=method)
    return buf.getvalue()


def main():
    os.makedirs(HERE, exist_ok=True)
    table_end = 8 + (2 + 11 + 16) + (2 + 10 + 16)
    two = imx([(b"a/canon.bin", table_end, 4), (b"color.json", table_end + 4, 2)], body=b"\0\0\x80?{}")
    seeds = {
        "empty.imx": imx([]),
        "two.imx": two,
        "truncated.imx": two[:20],
        "surrogate.imx": imx([(b"\xed\xa0\x80", 0, 0)]),
        "past_end.imx": imx([(b"canon.bin", 1 << 40, (1 << 64) - 1), (b"manifest.json", 20, 1 << 62)]),
        "stored.zip": zipped([("d/canon.bin", b"\0" * 8), ("d/", b"")], zipfile.ZIP_STORED),
        "deflated.zip": zipped([("color.json", b"{}" * 20)], zipfile.ZIP_DEFLATED),
        "imx_then_zip": imx([], count=3) + zipped([("canon.bin", b"z")], zipfile.ZIP_STORED),
    }
    for name, data in seeds.items():
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
