"""A parent of the host program that is killed at a chosen moment, and the supervisor that kills it.

    python dying_parent.py <moment> <stderr> <log path> <bundle>

Run so, the script is the supervisor: it makes itself the subreaper of its descendants, starts a
copy of itself as the parent, which starts the host and drives it up to `moment`, then kills the
parent with SIGKILL. The orphaned host becomes the supervisor's child, so its real exit status can
be waited for. Prints one JSON object: {"status": <host exit status>} or {"hung": true} when the
host did not end in time (it is then killed).

moment:  "starting"  killed right after the host was started, before its READY line
         "idle"      killed while the host waits for its next word
         "writing"   killed while the host is blocked writing frame records nobody reads
stderr:  "file"      the host's standard error is the log file (it outlives the parent)
         "pipe"      a pipe that only the parent reads (its reader dies with the parent); the log
                     file then stays empty
"""

import ctypes
import json
import os
import select
import signal
import subprocess
import sys
import time

import numpy as np

from pipe_client import FLUSH, Reader, host_command, pipe_filled, step

PR_SET_CHILD_SUBREAPER = 36
DEADLINE_S = 60.0


def readline(fd, deadline):
    buf = b""
    while not buf.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            raise TimeoutError("the parent never reported " + repr(buf))
        chunk = os.read(fd, 1)
        if not chunk:
            raise EOFError("the parent ended before reporting " + repr(buf))
        buf += chunk
    return buf.decode().strip()


def parent(moment, stderr_kind, log_path, bundle):
    err = open(log_path, "wb") if stderr_kind == "file" else subprocess.PIPE
    host = subprocess.Popen(host_command(bundle), stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err)
    print(host.pid, flush=True)
    if moment != "starting":
        Reader(host, timeout=DEADLINE_S).line()
    if moment == "writing":
        rng = np.random.default_rng(7)
        host.stdin.write(step(0.3 * rng.standard_normal(30000)) + FLUSH)
        host.stdin.flush()
        pipe_filled(host.stdout.fileno(), DEADLINE_S)
    print("now", flush=True)
    time.sleep(DEADLINE_S)


def supervise(args):
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")
    deadline = time.monotonic() + DEADLINE_S
    par = subprocess.Popen([sys.executable, __file__, "--parent", *args], stdout=subprocess.PIPE)
    try:
        host_pid = int(readline(par.stdout.fileno(), deadline))
        readline(par.stdout.fileno(), deadline)
    finally:
        par.kill()
        par.wait()
    while time.monotonic() < deadline:
        pid, status = os.waitpid(host_pid, os.WNOHANG)
        if pid:
            print(json.dumps({"status": os.waitstatus_to_exitcode(status)}))
            return
        time.sleep(0.01)
    os.kill(host_pid, signal.SIGKILL)
    os.waitpid(host_pid, 0)
    print(json.dumps({"hung": True}))


if __name__ == "__main__":
    if sys.argv[1] == "--parent":
        parent(*sys.argv[2:])
    else:
        supervise(sys.argv[1:])
