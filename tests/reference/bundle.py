"""Bundle member access written out step by step in plain Python: the oracle for the C++ reader.

Only one choice differs from a literal reading: a member whose range starts past the end of the
file gives b"" for any offset (a literal seek would overflow for offsets of 2**63 and above).
"""

import os
import struct
import zipfile

IMX_MAGIC = b"IMX\x00"


def base_name(stored):
    return stored.rsplit("/", 1)[-1]


def imx_toc(path):
    try:
        with open(path, "rb") as f:
            head = f.read(8)
            if len(head) < 8 or head[:4] != IMX_MAGIC:
                return None
            (n,) = struct.unpack_from("<H", head, 6)
            toc = []
            for _ in range(n):
                raw_len = f.read(2)
                if len(raw_len) < 2:
                    return None
                (name_len,) = struct.unpack("<H", raw_len)
                name = f.read(name_len).decode("utf-8")
                raw_range = f.read(16)
                if len(raw_range) < 16:
                    return None
                off, size = struct.unpack("<QQ", raw_range)
                toc.append((name, off, size))
            return toc
    except (OSError, ValueError):  # UnicodeDecodeError is a ValueError
        return None


def _read_range(f, off, size):
    end = f.seek(0, os.SEEK_END)
    if off >= end:
        return b""
    f.seek(off)
    return f.read(min(size, end - off))


def member_bytes(bundle, names):
    if os.path.isdir(bundle):
        for nm in names:
            p = os.path.join(bundle, nm)
            if os.path.isfile(p):
                with open(p, "rb") as f:
                    return nm, f.read()
        return None, None
    toc = imx_toc(bundle) if os.path.isfile(bundle) else None
    if toc is not None:
        by_base = {base_name(name): (off, size) for name, off, size in toc}
        with open(bundle, "rb") as f:
            for nm in names:
                if nm in by_base:
                    return nm, _read_range(f, *by_base[nm])
        return None, None
    if zipfile.is_zipfile(bundle):
        with zipfile.ZipFile(bundle) as zf:
            entries = {base_name(full): full for full in zf.namelist()}
            for nm in names:
                if nm in entries:
                    return nm, zf.read(entries[nm])
        return None, None
    return None, None


def listing(bundle):
    if os.path.isdir(bundle):
        return os.listdir(bundle)
    toc = imx_toc(bundle) if os.path.isfile(bundle) else None
    if toc is not None:
        return [base_name(name) for name, _, _ in toc]
    if zipfile.is_zipfile(bundle):
        with zipfile.ZipFile(bundle) as zf:
            return [base_name(full) for full in zf.namelist()]
    return []
