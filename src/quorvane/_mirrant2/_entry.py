"""Console entry of the model host: ``render_stream_tensorhost render-stream <bundle> ...``."""

import sys


def run() -> None:
    import signal

    # Until the host takes these over (it removes its staged files first), a Ctrl-C or SIGTERM
    # ends the process as it ends any program: the interpreter's handler would turn one that came
    # while the native module initialises into a failed import.
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    from quorvane._mirrant2._tensorhost import main

    status = main(sys.argv)
    sys.exit(0 if status is None else status)
