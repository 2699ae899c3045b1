"""The stages as processes: a stage alone in this process, or a stage in a
process of its own under a whole run.

Each stage is a pipeline module with its own envelope, and each output port
a Redis stream (the pemu_ports package, ports/).  The camera's stream is read
by the consumer group "detector", shared by every detector process, so that
they split the frames between them; the detectors' stream is read by the
group "sink".

Every stage can run alone (camera.py, detector.py, sink.py) against a
shared server, on any machine: the stages of one run agree on its name,
which tags its keys.  Each stage marks itself alive and watches its
upstream: a stage whose upstream is gone and left nothing to take stops
with one line.  What a stage cannot read or process is set aside to the
port's dead letters; the sink learns of set-aside frames from there and
does not wait for them.
"""

import os
import signal

import redis.exceptions

from pemu_ports import Busy, Gone, Stalled

from .camera import camera
from .client import connect
from .detector import detector
from .failures import Upstream, describe, say_as
from .server import DemoError

# The exit status of a stage process that lost its server: the run reports it.
LOST_SERVER = 3


STAGE_FUNCTIONS = {"camera": camera, "detector": detector}


def run_stage_process(target, url, name, opts, pipe):
    """A stage's process under ``run``: its failure ends it with status 1
    (LOST_SERVER when the server went away), its one line sent to the run.
    SIGINT is the run's to handle; SIGTERM ends it at once."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    try:
        target(connect(url), name, opts)
    except BaseException as exc:
        pipe.send(describe(exc, url, name))
        lost = isinstance(exc, (redis.exceptions.ConnectionError,
                                redis.exceptions.TimeoutError))
        os._exit(LOST_SERVER if lost else 1)
    os._exit(0)


def run_stage(stage, url, opts):
    """Runs one stage alone in this process, until its stream ends."""
    client = connect(url)
    try:
        STAGE_FUNCTIONS[stage](client, opts.name, opts, say=say_as(stage))
    except (redis.exceptions.RedisError, Gone, Stalled, Upstream, Busy) as exc:
        raise DemoError(describe(exc, url, opts.name))
