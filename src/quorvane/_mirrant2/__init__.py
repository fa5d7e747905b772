"""The mirrant-2 engine's package: its model host lives in the extension module ``_tensorhost``.

:class:`Mirrant2Engine` renders a mirrant-2 avatar by starting that host as a child process and
driving it over its frame pipe; ``_apple.bundled_host()`` tells whether the package carries an
Apple host of its own (it does not, here).
"""

from ._engine import Mirrant2Engine

__all__ = ["Mirrant2Engine"]
