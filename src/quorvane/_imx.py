"""The .imx avatar container's table of contents, read the way the model host reads it.

Layout (little-endian, no padding): the magic b"IMX\\0", two bytes not interpreted, u16 entry
count N, then N entries of u16 name length L, L bytes of UTF-8 name, u64 offset, u64 size. Member
bytes lie at [offset, offset + size) of the file, stored as they are.
"""

from __future__ import annotations

import struct
from typing import BinaryIO, NamedTuple

MAGIC = b"IMX\0"


class Entry(NamedTuple):
    """One member: its stored ``name``, the file position ``off`` of its first byte, its ``size``."""

    name: str
    off: int
    size: int


def read_toc(f: BinaryIO) -> list[Entry] | None:
    """The entries of the container open in ``f`` (positioned at its start), in stored order, or
    None when it is not a container: no magic, a table cut short, or a name that is not UTF-8.
    Read errors of ``f`` itself propagate."""
    head = f.read(8)
    if len(head) < 8 or head[:4] != MAGIC:
        return None
    (n,) = struct.unpack_from("<H", head, 6)
    toc = []
    for _ in range(n):
        raw = f.read(2)
        if len(raw) < 2:
            return None
        (length,) = struct.unpack("<H", raw)
        name = f.read(length)
        if len(name) < length:
            return None
        pos = f.read(16)
        if len(pos) < 16:
            return None
        try:
            text = name.decode("utf-8")
        except UnicodeDecodeError:
            return None
        off, size = struct.unpack("<QQ", pos)
        toc.append(Entry(text, off, size))
    return toc


def base_name(stored: str) -> str:
    """The member name a stored name answers to: the part after its last "/"."""
    return stored.rsplit("/", 1)[-1]


def by_base(toc: list[Entry]) -> dict[str, Entry]:
    """Entries by base name; of two entries with one base name the later one wins."""
    return {base_name(e.name): e for e in toc}
