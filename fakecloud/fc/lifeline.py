"""The stand-in ends when the process that started it dies, however it dies
(SIGKILL included): a test killed at its time-out must not leave a proxy
holding a port and a CPU."""

import ctypes
import os
import signal
import threading
import time

PR_SET_PDEATHSIG = 1


def end_with_parent(stop, every=0.5):
    """Asks the kernel for SIGTERM when the parent dies, and watches the
    parent's pid as a second guard (the kernel's signal follows the thread
    that forked us, and is lost if the parent died before we asked)."""
    parent = os.getppid()
    try:
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)
    except (OSError, AttributeError):
        pass  # no prctl here: the watch alone ends us

    def watch():
        while os.getppid() == parent:
            time.sleep(every)
        stop()

    threading.Thread(target=watch, name="parent-watch", daemon=True).start()
