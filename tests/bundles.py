"""Test bundles in the three forms, built from the committed test models."""

import hashlib
import json
import os
import sys
import zipfile
from pathlib import Path

DATA = Path(__file__).parent / "data"
sys.path.insert(0, str(Path(__file__).parent.parent / "scripts"))
from make_imx import write_imx  # noqa: E402

CANON = (DATA / "canon.bin").read_bytes()
COMBINED = (DATA / "combined_litert.tflite").read_bytes()
Q8GD = (DATA / "combined_litert_q8gd.tflite").read_bytes()
SHARED_ENC = (DATA / "shared-enc.tflite").read_bytes()
IDENTITY = (DATA / "identity.tflite").read_bytes()


def sha(b):
    return hashlib.sha256(b).hexdigest()


def manifest(**kw):
    return json.dumps(kw).encode()


def make(tmp_path, kind, members, name="avatar"):
    """A bundle holding `members` ({name: bytes}) as a directory, a .imx container or a zip."""
    if kind == "dir":
        d = tmp_path / name
        d.mkdir()
        for nm, data in members.items():
            p = d / nm
            p.parent.mkdir(parents=True, exist_ok=True)
            p.write_bytes(data)
        return str(d)
    if kind == "imx":
        p = tmp_path / (name + ".imx")
        write_imx(str(p), list(members.items()))
        return str(p)
    if kind == "zip":
        p = tmp_path / (name + ".zip")
        with zipfile.ZipFile(p, "w") as z:
            for nm, data in members.items():
                z.writestr(nm, data)
        return str(p)
    raise ValueError(kind)


KINDS = ("dir", "imx", "zip")
