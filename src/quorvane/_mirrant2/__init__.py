"""The mirrant-2 engine's package: its model host lives in the extension module ``_tensorhost``.

:class:`Mirrant2Engine` renders a mirrant-2 avatar by starting that host as a child process and
driving it over its frame pipe; ``_apple.bundled_host()`` tells whether the package carries an
Apple host of its own (it does not, here).
"""

__all__ = ["Mirrant2Engine"]


# Loaded on first use: the host program's entry lives in this package too, and must reach its own
# signal set-up without first importing the engine's numeric stack, during which a Ctrl-C would
# surface as a failed import of some extension module instead of as the interrupt it is.
def __getattr__(name):
    if name != "Mirrant2Engine":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from ._engine import Mirrant2Engine

    globals()[name] = Mirrant2Engine
    return Mirrant2Engine
