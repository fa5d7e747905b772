"""Builders of bundle files for the tests: .imx containers (through scripts/make_imx.py, or byte by
byte for broken ones), zip archives and directories."""

import importlib.util
import io
import os
import pathlib
import struct
import zipfile

_SCRIPT = pathlib.Path(__file__).resolve().parents[1] / "scripts" / "make_imx.py"
_spec = importlib.util.spec_from_file_location("make_imx", _SCRIPT)
make_imx = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(make_imx)
write_imx = make_imx.write_imx

KINDS = ("dir", "imx", "zip")


def raw_imx(entries, *, count=None, reserved=b"\0\0", body=b""):
    """Container bytes with a hand-written table: `entries` are (name bytes, off, size), written as
    given; `count` overrides the entry count; `body` follows the table."""
    out = [b"IMX\0", reserved, struct.pack("<H", len(entries) if count is None else count)]
    for name, off, size in entries:
        out.append(struct.pack("<H", len(name)) + name + struct.pack("<QQ", off, size))
    return b"".join(out) + body


def zip_bytes(members, method=zipfile.ZIP_STORED):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", method) as zf:
        for name, data in members:
            zf.writestr(name, data)
    return buf.getvalue()


def make_bundle(root, kind, members, name="bundle"):
    """A bundle of `kind` under `root` holding `members` (stored name, bytes); returns its path.
    A directory bundle stores a name with "/" in a subdirectory."""
    path = os.path.join(root, name if kind == "dir" else f"{name}.{kind}")
    if kind == "dir":
        os.makedirs(path)
        for stored, data in members:
            full = os.path.join(path, stored)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "wb") as f:
                f.write(data)
    elif kind == "imx":
        write_imx(path, members)
    else:
        with open(path, "wb") as f:
            f.write(zip_bytes(members))
    return path


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return os.fspath(path)
