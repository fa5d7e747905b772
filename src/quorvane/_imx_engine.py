"""Manifests and engine ids of avatars: the package's own stand-in for that service.

``read_manifest(path)`` gives the parsed ``manifest.json`` of an avatar, as a :class:`Manifest` (a
dict that also knows the avatar's member names, ``members``):

- an .imx container: its ``manifest.json`` member, or an empty manifest when it has none (a
  mirrant-2 container packed from model files alone);
- a directory or a zip: its ``manifest.json`` member, or, without one, an empty manifest when it
  holds a mirrant-2 model member, else None;
- any other file (a corvine-1 fixture, for instance): None.

OSError when the path cannot be read (missing, no permission); :class:`BadManifest` (an
``InvalidAvatar`` that is also a ValueError) for a ``manifest.json`` that is not a JSON object, is
larger than ``MANIFEST_CAP_BYTES``, is nested deeper than ``MANIFEST_MAX_DEPTH``, or is declared
past the end of its container. A manifest is a few kB: no more than the cap is ever read or
inflated, whatever the container declares.

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
import re
import zipfile
import zlib
from typing import Iterable, Mapping

from ._errors import InvalidAvatar
from ._imx import base_name, by_base, read_toc

MANIFEST_CAP_BYTES = 1 << 20
MANIFEST_MAX_DEPTH = 64
MIRRANT2_MEMBERS = frozenset({"combined_litert.tflite", "combined_litert_q8gd.tflite", "identity.tflite"})
_SHARED_ENC_ID = "mirrant2.shared-enc"


class Manifest(dict):
    """A parsed manifest (its JSON object) plus ``members``: the avatar's member names."""

    def __init__(self, data: Mapping, members: Iterable[str]) -> None:
        super().__init__(data)
        self.members = tuple(members)


class BadManifest(InvalidAvatar, ValueError):
    """A ``manifest.json`` that cannot be this package's manifest; the message says why."""


class _NotStrictJson(ValueError):
    pass


def _no_constant(name: str):
    raise _NotStrictJson(f"{name} is not a JSON value")


_STRICT_JSON = json.JSONDecoder(parse_constant=_no_constant)  # made once: json.loads(**kw) makes one a call


# Text decoded as strict UTF-8 holds no surrogate: only a \u escape in the JSON can make one.
_SURROGATE_ESCAPE = re.compile(rb"\\u[dD][89a-fA-F]")
_FLOAT_EDGE = float(1 << 1023)


def _strict_depth(value, strings: bool) -> int:
    """How deeply JSON arrays and objects nest in ``value`` (0 for a scalar), without recursion;
    _NotStrictJson for a number beyond a double's range (read as an int or as an infinite float)
    or, when ``strings``, a text (a key or a value) holding a surrogate that pairs with nothing.
    One walk does all: it runs on every open()."""
    deepest, stack = 0, [(value, 1)]
    while stack:
        node, depth = stack.pop()
        kind = type(node)
        if kind is dict or kind is list:
            deepest = max(deepest, depth)
            if kind is dict:
                if strings:
                    stack.extend((k, depth) for k in node)
                stack.extend((v, depth + 1) for v in node.values())
            else:
                stack.extend((v, depth + 1) for v in node)
        elif kind is int:
            if not -_FLOAT_EDGE < node < _FLOAT_EDGE:
                try:
                    float(node)
                except OverflowError:
                    raise _NotStrictJson("a number overflows a double") from None
        elif kind is float:
            if node in (float("inf"), float("-inf")):
                raise _NotStrictJson("a number overflows a double")
        elif strings and kind is str:
            try:
                node.encode("utf-8")
            except UnicodeEncodeError as e:
                raise _NotStrictJson(f"a string holds the lone surrogate \\u{ord(node[e.start]):04x}") from None
    return deepest


def _parse(raw: bytes, where: str) -> dict:
    """The manifest in ``raw``, at most ``MANIFEST_CAP_BYTES`` + 1 bytes of it read by the caller.

    Read as strict JSON, by the rules of the model host's own reading: NaN, Infinity, a number
    beyond a double's range and a lone surrogate are refused, never read as values the host would
    not see (it would then take the manifest for one declaring nothing)."""
    if len(raw) > MANIFEST_CAP_BYTES:
        raise BadManifest(f"manifest.json of {where} is larger than {MANIFEST_CAP_BYTES} bytes")
    try:
        man = _STRICT_JSON.decode(raw.decode("utf-8"))
        too_deep = _strict_depth(man, _SURROGATE_ESCAPE.search(raw) is not None) > MANIFEST_MAX_DEPTH
    except RecursionError:
        too_deep = True  # deeper than the parser goes, so far deeper than the limit
    except ValueError as e:  # not UTF-8, not JSON, not strict JSON, an int past the digit limit
        raise BadManifest(f"manifest.json of {where} is not valid JSON: {e}") from None
    if too_deep:
        raise BadManifest(f"manifest.json of {where} nests deeper than {MANIFEST_MAX_DEPTH} levels")
    if not isinstance(man, dict):
        raise BadManifest(f"manifest.json of {where} is not a JSON object")
    return man


def read_manifest(path) -> Manifest | None:
    """The manifest of the avatar at ``path``, or None when it has none (see the module text)."""
    path = os.fspath(path)
    if os.path.isdir(path):
        names = os.listdir(path)
        mpath = os.path.join(path, "manifest.json")
        if os.path.isfile(mpath):
            with open(mpath, "rb") as f:
                return Manifest(_parse(f.read(MANIFEST_CAP_BYTES + 1), path), names)
        return Manifest({}, names) if MIRRANT2_MEMBERS.intersection(names) else None
    with open(path, "rb") as f:
        toc = read_toc(f)
        if toc is None:
            return _zip_manifest(f, path)
        names = [base_name(e.name) for e in toc]
        entry = by_base(toc).get("manifest.json")
        if entry is None:
            return Manifest({}, names)
        if entry.off + entry.size > os.fstat(f.fileno()).st_size:
            raise BadManifest(f"manifest.json of {path} is declared as {entry.size} bytes at offset {entry.off}, "
                              "past the end of the file")
        f.seek(entry.off)
        return Manifest(_parse(f.read(min(entry.size, MANIFEST_CAP_BYTES + 1)), path), names)


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
            # Inflated only as far as the cap: the declared size of a member proves nothing.
            with z.open(entry) as member:
                raw = member.read(MANIFEST_CAP_BYTES + 1)
            return Manifest(_parse(raw, path), names)
    except (zipfile.BadZipFile, zipfile.LargeZipFile, NotImplementedError, EOFError, zlib.error) as e:
        raise BadManifest(f"{path} is not a readable zip bundle: {e}") from None


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
