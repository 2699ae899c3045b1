"""How a stage stops on a signal."""

import signal


class Terminated(BaseException):
    """SIGTERM arrived."""


def on_signal(signum, frame):
    """SIGTERM raises Terminated, SIGINT KeyboardInterrupt, once: the
    clean-up that follows runs undisturbed by the next one."""
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    raise Terminated() if signum == signal.SIGTERM else KeyboardInterrupt()
