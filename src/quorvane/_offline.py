"""Unpacking .imx avatars to a directory: the package's own stand-in for that offline tool.

``unfold_imx(source, dest_dir)`` writes every member of the container ``source`` into
``dest_dir`` under its base name (the part of the stored name after its last "/"; of two members
with one base name the later wins, as the model host reads them), ``manifest.json`` last, so that
its presence means the other members are complete.

Refused with ValueError before anything is written: a file that is not a container, one without a
``manifest.json`` member or whose manifest is not a JSON object, a member whose base name is not a
plain file name (empty, "." or "..", or holding a backslash or a NUL), and a member whose bytes run
past the end of the file. File-system trouble (source unreadable, destination not writable, a
symbolic link where a member goes) raises OSError. Member files are created without following
symbolic links; a file left in ``dest_dir`` by an earlier attempt is overwritten.
"""

from __future__ import annotations

import json
import os

from ._imx import by_base, read_toc

_COPY_BYTES = 1 << 20


def _plain_name(name: str) -> bool:
    return name not in ("", ".", "..") and "\\" not in name and "\0" not in name and "/" not in name


def unfold_imx(source, dest_dir) -> None:
    """Unpack the .imx container at ``source`` into the existing directory ``dest_dir``."""
    source = os.fspath(source)
    dest_dir = os.fspath(dest_dir)
    with open(source, "rb") as f:
        toc = read_toc(f)
        if toc is None:
            raise ValueError(f"not an .imx container: {source}")
        file_size = os.fstat(f.fileno()).st_size
        for e in toc:
            base = e.name.rsplit("/", 1)[-1]
            if not _plain_name(base):
                raise ValueError(f"member name {e.name!r} is not a plain file name")
            if e.off + e.size > file_size:
                raise ValueError(f"member {e.name!r} runs past the end of the container "
                                 f"({e.off} + {e.size} > {file_size} bytes)")
        members = by_base(toc)
        man = members.get("manifest.json")
        if man is None:
            raise ValueError(f"the container holds no manifest.json: {source}")
        f.seek(man.off)
        raw = f.read(man.size)
        try:
            parsed = json.loads(raw.decode("utf-8"))
        except (UnicodeDecodeError, json.JSONDecodeError) as e:
            raise ValueError(f"the container's manifest.json is not valid JSON: {e}") from None
        if not isinstance(parsed, dict):
            raise ValueError("the container's manifest.json is not a JSON object")
        order = [n for n in members if n != "manifest.json"] + ["manifest.json"]
        for name in order:
            _write_member(f, members[name], os.path.join(dest_dir, name))


def _write_member(f, entry, path: str) -> None:
    flags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_BINARY", 0)
    fd = os.open(path, flags, 0o666)
    with os.fdopen(fd, "wb") as out:
        f.seek(entry.off)
        left = entry.size
        while left:
            block = f.read(min(left, _COPY_BYTES))
            if not block:
                raise OSError(f"the container ended while reading member {entry.name!r}")
            out.write(block)
            left -= len(block)
