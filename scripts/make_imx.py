#!/usr/bin/env python3
"""Write .imx avatar containers.

Library use::

    from make_imx import write_imx
    write_imx("avatar.imx", [("manifest.json", b"{}"), ("canon.bin", canon_bytes)])

Command line::

    make_imx.py out.imx canon.bin models/combined_litert.tflite color.json=assets/colour.json

Each member is stored under its file's base name, or under NAME when given as NAME=PATH (an
argument that names an existing file is always taken as a path). The container is written to a
temporary file beside its destination and renamed into place, so a reader never sees half of one.

Layout (little-endian, no padding): b"IMX\\0", two reserved zero bytes, u16 entry count, then per
entry u16 name length, the UTF-8 name, u64 offset and u64 size; member bytes follow the table raw,
in table order.
"""

from __future__ import annotations

import os
import struct
import sys
import tempfile
from typing import Iterable, Sequence

MAGIC = b"IMX\0"
HEADER_BYTES = 8
MAX_ENTRIES = 0xFFFF
MAX_NAME_BYTES = 0xFFFF


def imx_layout(members: Sequence[tuple[str, bytes]]) -> tuple[bytes, list[bytes]]:
    """The header plus table of contents, and the member payloads in the order they follow it."""
    if len(members) > MAX_ENTRIES:
        raise ValueError(f"an .imx container holds at most {MAX_ENTRIES} members, got {len(members)}")
    encoded = []
    for name, data in members:
        if not isinstance(name, str):
            raise TypeError(f"member name must be str, not {type(name).__name__}")
        raw = name.encode("utf-8")
        if len(raw) > MAX_NAME_BYTES:
            raise ValueError(f"member name is {len(raw)} bytes in UTF-8, at most {MAX_NAME_BYTES} fit: {name[:40]!r}...")
        encoded.append((raw, memoryview(data).cast("B")))
    off = HEADER_BYTES + sum(2 + len(raw) + 16 for raw, _ in encoded)
    head = [MAGIC, b"\0\0", struct.pack("<H", len(encoded))]
    for raw, data in encoded:
        head.append(struct.pack("<H", len(raw)) + raw + struct.pack("<QQ", off, len(data)))
        off += len(data)
    return b"".join(head), [bytes(d) for _, d in encoded]


def write_imx(path: str | os.PathLike, members: Iterable[tuple[str, bytes]]) -> None:
    """Write `members` (name, bytes) to a new container at `path`, replacing any file there
    atomically. Raises ValueError for too many members or an over-long name."""
    head, payloads = imx_layout(list(members))
    path = os.fspath(path)
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(dir=directory, prefix="." + os.path.basename(path) + ".", suffix=".part")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(head)
            for data in payloads:
                f.write(data)
            f.flush()
            os.fsync(f.fileno())
        # mkstemp makes the file private; a container gets the mode any new file would get.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        raise


def _member_arg(arg: str) -> tuple[str, str]:
    if "=" in arg and not os.path.exists(arg):
        name, path = arg.split("=", 1)
        return name, path
    return os.path.basename(arg), arg


def main(argv: list[str]) -> int:
    if len(argv) < 2 or argv[0] in ("-h", "--help"):
        print("usage: make_imx.py OUT.imx [NAME=]PATH ...", file=sys.stderr)
        return 2
    members = []
    for arg in argv[1:]:
        name, path = _member_arg(arg)
        with open(path, "rb") as f:
            members.append((name, f.read()))
    write_imx(argv[0], members)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
