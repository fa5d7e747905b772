"""The mirrant-2 engine's package: its model host lives in the extension module ``_tensorhost``."""
