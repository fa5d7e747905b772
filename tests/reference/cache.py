"""The avatar cache's keys, cap and eviction plan, transcribed in plain Python (hashlib, os.walk,
float(), sorted) as oracles for the module's own versions."""

import hashlib
import math
import os
import re
import stat
import sys

BLOCK = 4 * 1024 * 1024
# Names match whole (fullmatch): `$` alone would also match before a final newline.
ENTRY_RE = re.compile(r"sha256-[0-9a-f]{32}")
TMP_RE = re.compile(r"sha256-[0-9a-f]{32}\.tmp\.([0-9]+)(?:\.[0-9a-f]{16})?")


class Refused(ValueError):
    """A setting the cache refuses."""


KEY_RECORD = ".quorvane-key"


def identity_text(source, st):
    return (f"{os.path.abspath(source)}\0{st.st_size}\0{st.st_mtime_ns}\0{st.st_ino}\0{st.st_dev}"
            f"\0{st.st_ctime_ns}")


def identity_digest(source, st):
    return hashlib.sha256(os.fsencode(identity_text(source, st))).hexdigest()


def memo_name(source, st):
    return identity_digest(source, st)[:32]


def memo_text(digits, source, st):
    """What a memo of `source` (status `st`) naming `digits` holds."""
    return f"{digits}\n{identity_digest(source, st)}"


def key_digits(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(BLOCK):
            h.update(block)
    return h.hexdigest()[:32]


def content_key(path):
    return "sha256-" + key_digits(path)


def memo_digits(raw, source, st):
    """What a memo file of `source` (status `st`) holding `raw` yields: the digits, or None when
    it is ignored."""
    try:
        text = raw.decode("utf-8").strip()
    except UnicodeDecodeError:
        return None
    digits, sep, named = text[:32], text[32:33], text[33:]
    if all(c in "0123456789abcdef" for c in digits) and len(digits) == 32 and sep == "\n" \
            and named == identity_digest(source, st):
        return digits
    return None


def cap_bytes(value, default_gb=10.0):
    """The cap for an environment value (None = unset); raises Refused for anything but a finite
    number of gigabytes, 0 or more."""
    if not value:
        gb = default_gb
    else:
        try:
            gb = float(value)
        except ValueError:
            raise Refused(value) from None
        if not math.isfinite(gb) or gb < 0:
            raise Refused(value)
    return int(min(gb * 1e9, sys.float_info.max))


def du(path):
    total = 0
    for dirpath, _dirs, files in os.walk(path):
        for name in files:
            try:
                total += os.lstat(os.path.join(dirpath, name)).st_size
            except OSError:
                pass
    return total


def plan(avatars, keep, now, cap, held=(), alive=(), min_idle=3600):
    """(entries removed in order, temporary directories removed) that one sweep of `avatars`
    makes, without removing anything; `held` paths count as in use, `alive` pids as running.
    Only the cache's own names are looked at."""
    entries, total, tmps = [], 0, []
    for name in os.listdir(avatars):
        path = os.path.join(avatars, name)
        if not (ENTRY_RE.fullmatch(name) or TMP_RE.fullmatch(name)) or not stat.S_ISDIR(os.lstat(path).st_mode):
            continue
        idle = now - os.lstat(path).st_mtime
        m = TMP_RE.fullmatch(name)
        if m:
            if idle > min_idle and (idle > 86400 or int(m.group(1)) not in alive):
                tmps.append(path)
            continue
        size = du(path)
        total += size
        if path != keep:
            entries.append((idle, size, path))
    removed = []
    for idle, size, path in sorted(entries, reverse=True):
        if total <= cap:
            break
        if idle < min_idle or path in held:
            continue
        removed.append(path)
        total -= size
    return removed, sorted(tmps)
