"""One line for each failure of a stage."""

import re
import sys

import redis.exceptions

from pemu_ports import Busy, Gone, Stalled

from .server import DemoError
from .urls import scrub, shown


class Upstream(Exception):
    """The stage a consumer waits for is gone and left nothing to take."""


def describe(exc, url, name):
    """One line for a failure of a stage of run ``name`` at ``url``, which
    names the server without its password."""
    text = " ".join(str(exc).split(" script: ")[0].split())
    # the server's answer, not the command of a transaction that got it
    text = scrub(re.sub(r"^Command # \d+ \(.*?\) of pipeline caused error: ", "", text), url)
    url = shown(url)
    if isinstance(exc, Gone):
        return "the keys of run %s are gone (flushed, expired or removed): %s" % (name, text)
    if isinstance(exc, redis.exceptions.ConnectionError):
        return "lost the connection to Redis at %s: %s" % (url, text)
    if isinstance(exc, redis.exceptions.TimeoutError):
        return "Redis at %s did not answer in time: %s" % (url, text)
    if isinstance(exc, redis.exceptions.ReadOnlyError) or text.startswith("READONLY"):
        return "Redis at %s is a read-only replica: %s" % (url, text)
    if isinstance(exc, redis.exceptions.OutOfMemoryError) or text.startswith("OOM"):
        return "Redis at %s is out of memory: %s" % (url, text)
    if isinstance(exc, redis.exceptions.RedisError):
        return "Redis at %s refused: %s" % (url, text)
    if isinstance(exc, (DemoError, Stalled, Upstream, Busy)):
        return text
    return "%s: %s" % (type(exc).__name__, text)


def say_as(stage):
    """Says ``text`` on standard error as ``stage``, in one line."""
    def say(text):
        print("%s: %s" % (stage, text), file=sys.stderr, flush=True)
    return say
