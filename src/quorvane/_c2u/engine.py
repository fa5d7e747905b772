"""The unified corvine-2 engine: the package's own stand-in for that engine module.

No unified runtime ships with this package, so :class:`C2UEngine` always raises
:class:`C2UUnavailable`. The two exception classes carry their message as the first argument.
"""


class C2UUnavailable(Exception):
    """The unified engine cannot run on this machine."""


class C2UInvalid(Exception):
    """The unpacked avatar is not one the unified engine can use."""


class C2UEngine:
    """The unified engine over an unpacked avatar directory (``bundle``). Not available here."""

    def __init__(self, bundle) -> None:
        raise C2UUnavailable("the unified engine is not available on this machine")
