"""Console entry of the model host: ``render_stream_tensorhost render-stream <bundle> ...``."""

import sys


def run() -> None:
    from quorvane._mirrant2._tensorhost import main

    status = main(sys.argv)
    sys.exit(0 if status is None else status)
