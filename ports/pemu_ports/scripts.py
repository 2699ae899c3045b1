"""The server-side scripts of the ports (the ``scripts/*.lua`` files beside
this module, each with ``lib.lua`` in front), read once when the package
is imported and run by EVALSHA.

Every script takes the run's own hash as its first key and first checks
that the run's keys are still there, failing with GONE otherwise, so that a
stage never writes into, or reports success for, a run whose keys were
removed.  Every script declares every key it touches, all under the run's
hash tag, so each runs in one slot of a Redis Cluster.
"""

import os
from typing import Any, Callable, Dict, Sequence, Union

import redis
import redis.exceptions

from .errors import Gone, is_gone

# What a script is called with: keys, and arguments of any of these types.
Arg = Union[str, bytes, int, float]
Script = Callable[[Sequence[str], Sequence[Arg]], Any]

NAMES = ("step", "trim", "set_aside", "claim", "deliver", "state", "beat", "finish", "cleanup",
         "group")


def _load() -> Dict[str, str]:
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scripts")

    def read(name: str) -> str:
        with open(os.path.join(folder, name + ".lua"), encoding="utf-8") as f:
            return f.read()
    lib = read("lib")
    return {name: lib + read(name) for name in NAMES}


TEXTS = _load()


class Scripts:
    """The scripts of one client; a server that lost them (a restart,
    SCRIPT FLUSH) gets them again without anyone noticing (redis-py's
    Script reloads on NOSCRIPT; no script runs inside a pipeline, where it
    would not)."""

    step: Script
    trim: Script
    set_aside: Script
    claim: Script
    deliver: Script
    state: Script
    beat: Script
    finish: Script
    cleanup: Script
    group: Script

    def __init__(self, client: "redis.Redis") -> None:
        for name in NAMES:
            setattr(self, name, _guarded(client.register_script(TEXTS[name])))


def _guarded(script: Any) -> Script:
    def call(keys: Sequence[str], args: Sequence[Arg]) -> Any:
        try:
            return script(keys, args)
        except redis.exceptions.ResponseError as exc:
            if is_gone(exc):
                raise Gone(_first_line(exc))
            raise
    return call


def _first_line(exc: BaseException) -> str:
    text = str(exc).split(" script: ")[0]
    return text[5:] if text.startswith("GONE ") else text
