"""Manifests and engine ids of avatars: the package's own stand-in for that service.

``read_manifest(path)`` gives the parsed ``manifest.json`` of an avatar, as a :class:`Manifest` (a
dict that also knows the avatar's member names, ``members``):

- an .imx container: its ``manifest.json`` member, or an empty manifest when it has none (a
  mirrant-2 container packed from model files alone);
- a directory or a zip: its ``manifest.json`` member, or, without one, an empty manifest when it
  holds a mirrant-2 model member, else None;
- any other file (a corvine-1 fixture, for instance): None.

OSError when the path cannot be read (missing, no permission); ValueError for a ``manifest.json``
that is not a JSON object.

``resolve_engine(manifest)``, the engine-id rule, first that applies:

1. the manifest's ``"engine"`` key, when it is a non-empty text, unchanged;
2. "mirrant2" when the avatar holds a mirrant-2 model member (``MIRRANT2_MEMBERS``) or the manifest
   declares the mirrant-2 shared encoder among its ``dependencies``;
3. otherwise ValueError: the manifest names no engine.

``engine_id_for_path(path)``: the engine id of a live-API model file: the ``engine`` of its
``quorvane._core`` fixture header; for an avatar bundle, ``resolve_engine(read_manifest(path))``.
ValueError for a file that is neither.
"""

from __future__ import annotations

import json
import os
import posixpath
import zipfile
from typing import Iterable, Mapping

from ._imx import base_name, by_base, read_toc

MIRRANT2_MEMBERS = frozenset({"combined_litert.tflite", "combined_litert_q8gd.tflite", "identity.tflite"})
_SHARED_ENC_ID = "mirrant2.shared-enc"


class Manifest(dict):
    """A parsed manifest (its JSON object) plus ``members``: the avatar's member names."""

    def __init__(self, data: Mapping, members: Iterable[str]) -> None:
        super().__init__(data)
        self.members = tuple(members)


def _parse(raw: bytes, where: str) -> dict:
    try:
        man = json.loads(raw.decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as e:
        raise ValueError(f"manifest.json of {where} is not valid JSON: {e}") from None
    if not isinstance(man, dict):
        raise ValueError(f"manifest.json of {where} is not a JSON object")
    return man


def read_manifest(path) -> Manifest | None:
    """The manifest of the avatar at ``path``, or None when it has none (see the module text)."""
    path = os.fspath(path)
    if os.path.isdir(path):
        names = os.listdir(path)
        mpath = os.path.join(path, "manifest.json")
        if os.path.isfile(mpath):
            with open(mpath, "rb") as f:
                return Manifest(_parse(f.read(), path), names)
        return Manifest({}, names) if MIRRANT2_MEMBERS.intersection(names) else None
    with open(path, "rb") as f:
        toc = read_toc(f)
        if toc is None:
            return _zip_manifest(f, path)
        names = [base_name(e.name) for e in toc]
        entry = by_base(toc).get("manifest.json")
        if entry is None:
            return Manifest({}, names)
        f.seek(entry.off)
        return Manifest(_parse(f.read(entry.size), path), names)


def _zip_manifest(f, path) -> Manifest | None:
    """The manifest of a zip bundle (members by their base names, as the host reads them), or None
    for a file that is not a zip."""
    if not zipfile.is_zipfile(f):
        return None
    try:
        with zipfile.ZipFile(f) as z:
            infos = [i for i in z.infolist() if not i.is_dir()]
            names = [posixpath.basename(i.filename) for i in infos]
            entry = next((i for i in infos if posixpath.basename(i.filename) == "manifest.json"), None)
            if entry is None:
                return Manifest({}, names) if MIRRANT2_MEMBERS.intersection(names) else None
            return Manifest(_parse(z.read(entry), path), names)
    except (zipfile.BadZipFile, zipfile.LargeZipFile) as e:
        raise ValueError(f"{path} is not a readable zip bundle: {e}") from None


def _declares_shared_encoder(deps) -> bool:
    return isinstance(deps, list) and any(isinstance(d, dict) and d.get("id") == _SHARED_ENC_ID for d in deps)


def resolve_engine(manifest: Mapping) -> str:
    """The engine id of an avatar with this manifest (the rule in the module text)."""
    if not isinstance(manifest, Mapping):
        raise TypeError(f"resolve_engine takes a manifest mapping; got {type(manifest).__name__}")
    engine = manifest.get("engine")
    if isinstance(engine, str) and engine:
        return engine
    members = getattr(manifest, "members", ())
    if MIRRANT2_MEMBERS.intersection(members) or _declares_shared_encoder(manifest.get("dependencies")):
        return "mirrant2"
    raise ValueError("the avatar's manifest names no engine (no \"engine\" key) and it holds no model this "
                     "package knows")


def engine_id_for_path(path) -> str:
    """The engine id of the model file at ``path`` (see the module text)."""
    from . import _core

    path = os.fspath(path)
    if not os.path.isdir(path):
        header = _core.read_fixture_header(path)
        if header is not None:
            return header["engine"]
    man = read_manifest(path)
    if man is None:
        raise ValueError(f"not a model file (neither a quorvane fixture nor an avatar bundle): {path}")
    return resolve_engine(man)
