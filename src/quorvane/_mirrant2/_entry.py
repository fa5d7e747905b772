"""Console entry of the model host: ``render_stream_tensorhost render-stream <bundle> ...``."""

import sys


def run() -> None:
    import os
    import signal

    # Until the host takes these over (it removes its staged files first), a Ctrl-C, SIGTERM or a
    # closed terminal ends the process as it ends any program, with the interpreter's handler out
    # of the way: it would turn one that came while the native module initialises into a failed
    # import. Only the staging directory its parent made for it alone goes first, since a parent
    # that dies of the same signal cannot remove it any more.
    owned = os.environ.get("MIRRANT2_STAGE_DIR", "").strip() if os.environ.get("MIRRANT2_STAGE_DIR_OWNED") == "1" else ""

    def end(sig, _frame):
        if owned:
            try:
                os.rmdir(owned)
            except OSError:
                pass
        signal.signal(sig, signal.SIG_DFL)
        os.kill(os.getpid(), sig)

    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        if sig != signal.SIGHUP or signal.getsignal(sig) != signal.SIG_IGN:
            signal.signal(sig, end if owned else signal.SIG_DFL)
    from quorvane._mirrant2._tensorhost import main

    status = main(sys.argv)
    sys.exit(0 if status is None else status)
