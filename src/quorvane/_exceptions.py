"""Runtime errors of the live-streaming API: the package's own stand-in for that module.

Each is built with one message argument.
"""


class QuorvaneError(Exception):
    """Base of the live API's runtime errors."""


class ModelNotFoundError(QuorvaneError):
    """The model file named by the caller does not exist."""


class RuntimeNotReadyError(QuorvaneError):
    """An operation needs a loaded model and none is loaded."""
