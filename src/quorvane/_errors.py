"""The package's avatar errors: what a user of :func:`quorvane.open` and ``Avatar.render`` catches.

This is the package's own small stand-in for its error service. Every error carries a short
``message`` meant for the person running the program and a ``detail`` meant for whoever reads the
log or files the bug (a text, or the exception that caused the error). ``str(err)`` is the message.

- :class:`AvatarError`: the base of them all.
- :class:`InvalidAvatar`: the avatar is missing or unusable.
- :class:`NotSupported`: the avatar cannot run on this machine.
- :class:`Failed`: something else went wrong.
- :class:`_Outdated`: the avatar was made for an older version; it carries a ``code``.

:func:`refuse` builds an error of a given class with a message and a detail and returns it; the
caller raises it (``raise refuse(Failed, "could not read that audio", exc)``).
"""

from __future__ import annotations

__all__ = ["AvatarError", "InvalidAvatar", "NotSupported", "Failed", "refuse"]


class AvatarError(Exception):
    """Base of the package's avatar errors.

    ``message`` (str) is for the user; ``detail`` (str, an exception, or None) is for the log.
    """

    def __init__(self, message: str, detail: str | BaseException | None = None) -> None:
        super().__init__(message)
        self.message = message
        self.detail = detail

    def __str__(self) -> str:
        return str(self.message)

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.message!r}, detail={self.detail!r})"


class InvalidAvatar(AvatarError):
    """The avatar is missing, or it is not an avatar this package can use."""


class NotSupported(AvatarError):
    """The avatar is fine, but it cannot run on this machine."""


class Failed(AvatarError):
    """Something went wrong while preparing or rendering an avatar."""


class _Outdated(InvalidAvatar):
    """The avatar was made for an older version of its engine. ``code`` says which check failed."""

    def __init__(self, message: str, code: object, detail: str | BaseException | None = None) -> None:
        super().__init__(message, detail)
        self.code = code


def refuse(cls: type[AvatarError], message: str, detail: str | BaseException | None) -> AvatarError:
    """An instance of ``cls`` (a subclass of :class:`AvatarError`) carrying ``message`` and
    ``detail``. It is returned, not raised. Raises TypeError when ``cls`` is not such a class."""
    if not (isinstance(cls, type) and issubclass(cls, AvatarError)):
        raise TypeError(f"refuse() needs an AvatarError class; got {cls!r}")
    if cls is _Outdated:
        return _Outdated(message, None, detail)
    return cls(message, detail)
