"""Shared-encoder dependency store: how a two-artifact avatar bundle names its encoder base, where
the content store lies, and how a candidate file is verified.

Manifest layout. A bundle's ``manifest.json`` declares its base in the top-level list
``dependencies``; each record is an object, and the record whose ``"id"`` equals
``SHARED_ENC_ID`` names the base by the lowercase hex SHA-256 of its bytes::

    "dependencies": [
        {"id": "mirrant2.shared-enc", "sha256": "<64 hex digits>"}
    ]

Other records and other keys are ignored. A digest is 64 lowercase hex digits and nothing else:
whatever else the record holds is handed on as text for the host to refuse, and only a digest is
ever joined to a store directory. The content store keeps a base under its digest as file name, directly in a store directory (``<store>/<sha>``) or in a sub-directory named after the
digest's first two hex digits (``<store>/<sha[:2]>/<sha>``). Store directories: the one named by
``QUORVANE_DEPS_DIR`` (when set and not empty), then ``~/.quorvane/deps``.
"""

import hashlib
import json
import os
import re

SHARED_ENC_ID = "mirrant2.shared-enc"
DEPS_DIR_ENV = "QUORVANE_DEPS_DIR"
_READ_BYTES = 4 << 20
_DIGEST = re.compile("[0-9a-f]{64}")


def is_digest(sha):
    """Whether ``sha`` is a sha256 digest as manifests write it: 64 lowercase hex digits."""
    return isinstance(sha, str) and _DIGEST.fullmatch(sha) is not None


def base_sha256_of(deps):
    """The declared base's sha256 from a manifest's ``dependencies`` value, or None when no record
    names the base or its ``sha256`` is missing or empty. A value that is not text comes back as
    its JSON text, so that it is refused as no digest rather than taken for no base at all."""
    if not isinstance(deps, list):
        return None
    for rec in deps:
        if isinstance(rec, dict) and rec.get("id") == SHARED_ENC_ID:
            sha = rec.get("sha256")
            if sha is None or sha == "":
                return None
            return sha if isinstance(sha, str) else json.dumps(sha)
    return None


def dependency_store_dirs():
    """The content-store directories, in the order they are searched."""
    dirs = []
    env = os.environ.get(DEPS_DIR_ENV, "")
    if env:
        dirs.append(env)
    dirs.append(os.path.expanduser(os.path.join("~", ".quorvane", "deps")))
    return dirs


def store_candidates(sha, dirs):
    """Paths where a base with digest ``sha`` may lie, in priority order. ValueError when ``sha``
    is no digest: any other text could name a path outside the store."""
    if not is_digest(sha):
        raise ValueError(f"not a sha256 digest (64 lowercase hex digits): {sha!r}")
    out = []
    for d in dirs:
        out.append(os.path.join(d, sha))
        out.append(os.path.join(d, sha[:2], sha))
    return out


def verify_base(path, sha):
    """True exactly when the file's bytes hash to ``sha`` (streamed; never held whole)."""
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while True:
            b = f.read(_READ_BYTES)
            if not b:
                break
            h.update(b)
    return h.hexdigest() == sha
