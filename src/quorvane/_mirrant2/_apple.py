"""Probe for a model host bundled for Apple machines. This package ships none."""


def bundled_host():
    """The bundled Apple host program, or None when the package carries none (always, here)."""
    return None
