"""The whole run: a camera and detectors in processes of their own, the
sink in this one."""

import copy
import multiprocessing
import os
import signal
import time

import redis.exceptions

from pemu_ports import Busy, Gone, Run, Stalled

from .camera import camera
from .client import connect
from .detector import detector
from .failures import Upstream, describe
from .runs import open_run
from .server import DemoError
from .sink import finish_report, sink
from .stages import LOST_SERVER, run_stage_process
from .summary import Report


def run(url, opts, on_frame=None, name=None):
    """Runs the camera and ``opts.detectors`` detectors in processes of their
    own and the sink here, against the Redis server at ``url``, until the
    end of the stream.  With ``opts.kill_detector`` = K, the first detector
    is killed (SIGKILL) once the sink has received K frames.

    ``on_frame(record, report)`` is called for each frame the sink takes.
    ``name`` names the run (a fresh one when None).  Returns the Report.
    Raises DemoError when the server cannot be reached or goes away, a stage
    fails, or nothing arrives for ``opts.stall`` seconds.
    Every stage process is gone, and every key of the run, when it returns.
    """
    client = connect(url)
    name = name or "%d-%s" % (os.getpid(), os.urandom(4).hex())
    report = Report(opts)
    context = multiprocessing.get_context("fork")
    stages, pipes = [], {}

    def start(target, stage_name):
        receive, send = context.Pipe(duplex=False)
        mine = copy.copy(opts)
        mine.metrics_offset = len(stages)  # camera, detectors, then the sink
        process = context.Process(target=run_stage_process, args=(target, url, name, mine, send),
                                  name=stage_name, daemon=True)
        stages.append(process)
        pipes[process] = receive

    start(camera, "camera")
    for _ in range(opts.detectors):
        start(detector, "detector")
    killed = []

    def watch():
        for stage in stages:
            if stage.exitcode not in (None, 0) and stage not in killed:
                why = pipes[stage].recv() if pipes[stage].poll(1) else "no word from it"
                if stage.exitcode == LOST_SERVER:
                    raise DemoError(why)
                raise DemoError("the %s stage failed (exit status %d): %s"
                                % (stage.name, stage.exitcode, why))

    def frame_in(record, report):
        if (opts.kill_detector is not None and not killed
                and report.received >= opts.kill_detector):
            victim = stages[1]
            os.kill(victim.pid, signal.SIGKILL)
            killed.append(victim)
            report.fault = (report.received, time.time())
        if on_frame is not None:
            on_frame(record, report)

    for stage in stages:
        stage.start()
    opts.metrics_offset = len(stages)
    try:
        sink(client, name, report, frame_in, watch)
        # every frame is answered: the stages end within a take (a stage
        # stopped with SIGSTOP never does, and is killed below)
        deadline = time.monotonic() + opts.alive_ttl
        for stage in stages:
            stage.join(max(0.0, deadline - time.monotonic()))
        watch()
        finish_report(open_run(client, name, opts), report)
    except (redis.exceptions.RedisError, Gone, Stalled, Upstream, Busy) as exc:
        raise DemoError(describe(exc, url, name))
    finally:
        stop(stages)
        try:
            doomed = open_run(client, name, opts)
            doomed.client.delete(doomed.key, *([doomed.alive(s) for s in Run.STAGES] + doomed.keys()))
        except redis.exceptions.RedisError:
            pass  # the server is gone: so are the keys, or they expire
    return report


def stop(processes, grace=1.0):
    """Ends each process still running: SIGTERM, then SIGKILL for one that
    does not stop within ``grace`` seconds (one stopped with SIGSTOP).
    Every wait is bounded."""
    for process in processes:
        if process.is_alive():
            process.terminate()
    deadline = time.monotonic() + grace
    for process in processes:
        process.join(max(0.0, deadline - time.monotonic()))
        if process.is_alive():
            process.kill()
            process.join(grace)
