"""Shared-encoder dependency store: how a two-artifact avatar bundle names its encoder base, where
the content store lies, and how a candidate file is verified.

Manifest layout. A bundle's ``manifest.json`` declares its base in the top-level list
``dependencies``; each record is an object, and the record whose ``"id"`` equals
``SHARED_ENC_ID`` names the base by the lowercase hex SHA-256 of its bytes::

    "dependencies": [
        {"id": "mirrant2.shared-enc", "sha256": "<64 hex digits>"}
    ]

Other records and other keys are ignored. The content store keeps a base under its digest as file
name, directly in a store directory (``<store>/<sha>``) or in a sub-directory named after the
digest's first two hex digits (``<store>/<sha[:2]>/<sha>``). Store directories: the one named by
``QUORVANE_DEPS_DIR`` (when set and not empty), then ``~/.quorvane/deps``.
"""

import hashlib
import os

SHARED_ENC_ID = "mirrant2.shared-enc"
DEPS_DIR_ENV = "QUORVANE_DEPS_DIR"
_READ_BYTES = 4 << 20


def base_sha256_of(deps):
    """The declared base's sha256 text from a manifest's ``dependencies`` value, or None."""
    if not isinstance(deps, list):
        return None
    for rec in deps:
        if isinstance(rec, dict) and rec.get("id") == SHARED_ENC_ID:
            sha = rec.get("sha256")
            return sha if isinstance(sha, str) and sha else None
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
    """Paths where a base with digest ``sha`` may lie, in priority order."""
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
