"""A private redis-server on a Unix socket in a temporary folder."""

import os
import shutil
import subprocess
import tempfile
import time

import redis
import redis.exceptions


class DemoError(Exception):
    """A failure to report in one line, without a traceback."""


class PrivateRedis:
    """Starts Debian's redis-server with no TCP port, persistence off, and
    stops it (and removes its folder) on leaving the ``with`` block.

    ``url`` is the server's address for redis-py.  ``config`` adds
    arguments of redis-server (such as ``--requirepass``, ``--user``).
    """

    def __init__(self, executable=None, start_timeout=10.0, config=()):
        self.executable = executable or shutil.which("redis-server") or "/usr/bin/redis-server"
        self.start_timeout = start_timeout
        self.config = list(config)
        self.folder = self.process = self.url = None

    def __enter__(self):
        if not os.access(self.executable, os.X_OK):
            raise DemoError("redis-server not found: install it (apt-get install redis-server) "
                            "or give an existing server with --redis URL")
        self.folder = tempfile.mkdtemp(prefix="pemu-redis-")
        socket = os.path.join(self.folder, "redis.sock")
        log = os.path.join(self.folder, "redis.log")
        self.process = process = subprocess.Popen(
            [self.executable, "--port", "0", "--unixsocket", socket, "--unixsocketperm", "700",
             "--dir", self.folder, "--save", "", "--appendonly", "no", "--daemonize", "no",
             "--logfile", log] + self.config,
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT,
            # a session of its own: Ctrl-C at the terminal is the demo's to
            # handle, which stops the server last
            start_new_session=True)
        self.url = "unix://" + socket
        try:
            self._wait_ready(process, socket, log)
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def _wait_ready(self, process, socket, log):
        deadline = time.monotonic() + self.start_timeout
        while True:
            if process.poll() is not None:
                raise DemoError("redis-server exited with status %d at start: %s"
                                % (process.returncode, _tail(log)))
            if os.path.exists(socket):
                try:
                    redis.Redis(unix_socket_path=socket, socket_timeout=1).ping()
                    return
                except redis.exceptions.AuthenticationError:
                    return  # it answers, and wants a password
                except redis.exceptions.ConnectionError:
                    pass
            if time.monotonic() > deadline:
                raise DemoError("redis-server did not answer within %.0f s: %s"
                                % (self.start_timeout, _tail(log)))
            time.sleep(0.02)

    def __exit__(self, *exc):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.folder is not None:
            shutil.rmtree(self.folder, ignore_errors=True)
        return False


def _tail(path):
    try:
        with open(path) as f:
            lines = f.read().strip().splitlines()
    except OSError:
        return "(no log)"
    return lines[-1] if lines else "(empty log)"
