"""The server-side scripts of the ports (the ``scripts/*.lua`` files beside
this module, each with ``lib.lua`` in front), read once when the package
is imported and run by EVALSHA.

Every script takes the run's own hash as its first key and first checks
that the run's keys are still there, failing with GONE otherwise, so that a
stage never writes into, or reports success for, a run whose keys were
removed.  Every script declares every key it touches, all under the run's
hash tag, so each runs in one slot of a Redis Cluster.
"""

import hashlib
import os
from typing import Any, Callable, Dict, List, NamedTuple, Sequence, Tuple, Union

import redis
import redis.exceptions

from .errors import Gone, is_gone

# What a script is called with: keys, and arguments of any of these types.
Arg = Union[str, bytes, int, float]
Script = Callable[[Sequence[str], Sequence[Arg]], Any]

NAMES = ("step", "drop", "trim", "set_aside", "claim", "deliver", "state", "beat", "finish",
         "cleanup", "group")


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
    Script reloads on NOSCRIPT; ``atomic`` runs one again after its
    transaction)."""

    step: Script
    drop: Script
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
        self.client = client
        self.shas: Dict[str, str] = {}
        for name in NAMES:
            self.shas[name] = hashlib.sha1(TEXTS[name].encode()).hexdigest()
            setattr(self, name, _guarded(client.register_script(TEXTS[name])))

    def atomic(self, steps: Sequence["Step"]) -> List[Any]:
        """The replies of ``steps`` (script calls and commands) run in one
        transaction (MULTI/EXEC): one round trip, and no other client's
        command between them.  Payloads go in commands, never through a
        script: the server's script engine hashes every byte of every
        string it is handed.

        A script the server has lost (a restart, a promoted replica, SCRIPT
        FLUSH) fails inside the transaction while the commands around it
        run: it is run again alone right after, once loaded, so each script
        used here must make the same step when it runs after the commands
        that follow it.  GONE from a script raises Gone; another error
        raises as it is."""
        def send() -> List[Any]:
            pipe = self.client.pipeline(transaction=True)
            for step in steps:
                if isinstance(step, Call):
                    pipe.execute_command("EVALSHA", self.shas[step.name], len(step.keys),
                                         *step.keys, *step.args)
                else:
                    pipe.execute_command(*step)
            return pipe.execute(raise_on_error=False)
        # a client that sends its commands again on failures (a SlotClient
        # through a failover, the stages' own) sends the transaction so too
        retried = getattr(self.client, "retried", None)
        replies = retried(send) if retried is not None else send()
        for i, (step, reply) in enumerate(zip(steps, replies)):
            if isinstance(step, Call) and isinstance(reply, redis.exceptions.NoScriptError):
                replies[i] = getattr(self, step.name)(step.keys, step.args)
            elif isinstance(reply, redis.exceptions.ResponseError):
                if is_gone(reply):
                    raise Gone(_first_line(reply))
                raise reply
        return replies


class Call(NamedTuple):
    """A script of the ports, by name, with its keys and arguments."""
    name: str
    keys: Sequence[str]
    args: Sequence[Arg]


# A step of a transaction: a script call, or a command with its arguments.
Step = Union[Call, Tuple[Arg, ...]]


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
