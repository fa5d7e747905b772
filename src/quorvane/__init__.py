"""quorvane: a talking avatar rendered on your own machine.

``quorvane.open(path)`` opens an avatar for offline renders; ``quorvane.AsyncAvatar`` is the
live-streaming class. Both are loaded on first use, so ``import quorvane`` costs nothing and works
even where their extension modules are not installed.
"""

__all__ = ["open", "AsyncAvatar"]

_LAZY = {"open": ("._open", "open"), "AsyncAvatar": ("._avatar", "AsyncAvatar")}


def __getattr__(name):
    try:
        module, attr = _LAZY[name]
    except KeyError:
        raise AttributeError(f"module 'quorvane' has no attribute {name!r}") from None
    import importlib

    value = getattr(importlib.import_module(module, __name__), attr)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(__all__))
