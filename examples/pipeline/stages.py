"""The three stages and the run that wires them together over Redis.

Each stage is a pipeline module with its own envelope, and each output port
a Redis stream (see ports.py).  The camera's stream is read by the consumer
group "detector", shared by every detector process, so that they split the
frames between them; the detectors' stream is read by the group "sink".

Every stage can run alone (``camera``, ``detector``, ``sink`` below) against
a shared server, on any machine: the stages of one run agree on its name,
which prefixes its keys.  ``run`` starts a camera and N detectors in
processes of their own and runs the sink itself.
"""

import json
import multiprocessing
import os
import signal
import socket
import time
import traceback

import redis

from pemu_sdk.redis import utils
from pemu_sdk.redis.pemu_data import PemuData

from .frames import Scene, find_shapes
from .ports import Consumer, Publisher, Stalled
from .server import DemoError
from .summary import Reorder, Report

CAMERA = {"id": "camera-1", "type": "camera", "name": "Synthetic camera"}
DETECTOR = {"id": "detector-1", "type": "shape-detection", "name": "Shape detector"}
SINK = {"id": "sink-1", "type": "sink", "name": "Report"}
# The exit status of a stage process that lost its server: the run reports it.
LOST_SERVER = 3


class Options:
    """What one run does; the command line fills it.

    ``window`` bounds the entries each port holds, ``reorder`` the frames the
    sink holds back to restore their order, ``claim_idle`` is the time after
    which an entry a consumer took and did not acknowledge is claimed by
    another, ``stall`` the time without progress after which a stage gives up.
    """

    def __init__(self, frames=150, fps=15.0, width=640, height=480, encoder="jpg",
                 with_base64=False, stall=30.0, detectors=2, kill_detector=None,
                 window=32, reorder=31, claim_idle=2.0, name=None):
        self.frames, self.fps = frames, fps
        self.width, self.height = width, height
        self.encoder, self.with_base64 = encoder, with_base64
        self.stall = stall
        self.detectors, self.kill_detector = detectors, kill_detector
        self.window, self.reorder, self.claim_idle = window, reorder, claim_idle
        self.name = name


def connect(url, timeout=3.0):
    """A client for ``url``, checked with PING; DemoError when unreachable."""
    try:
        client = redis.Redis.from_url(url, socket_connect_timeout=timeout,
                                      socket_timeout=timeout + 2, health_check_interval=0)
        client.ping()
    except ValueError as exc:  # a URL that redis-py cannot read
        raise DemoError("bad Redis URL %r: %s" % (url, exc))
    except redis.exceptions.RedisError as exc:
        raise DemoError("cannot reach Redis at %s: %s" % (url, exc))
    return client


def port(prefix, node, index=0):
    """The Redis key of output port ``index`` of ``node``."""
    return "%s:%s:out:%d" % (prefix, node["id"], index)


def consumer_name(stage):
    return "%s-%s-%d" % (stage, socket.gethostname(), os.getpid())


class Steps:
    """Seconds spent per step, summed over the frames of one stage, with the
    codec's own steps folded in."""

    def __init__(self):
        self.total, self.codec, self.frames = {}, {}, 0
        utils.collect_step_times(self.codec)

    def add(self, step, seconds):
        self.total[step] = self.total.get(step, 0.0) + seconds

    def take_codec(self):
        """The codec's seconds since the last call, moved into the totals."""
        seconds = sum(self.codec.values())
        for step, value in self.codec.items():
            self.add("text" if step == "untext" else step, value)
        self.codec.clear()
        return seconds

    def save(self, client, prefix, stage):
        client.hset(prefix + ":steps", "%s:%s" % (stage, consumer_name(stage)),
                    json.dumps(dict(self.total, frames=self.frames)))


# ---- The stages ----

def camera(url, prefix, opts):
    """Makes the frames and publishes one payload per frame, paced at
    ``opts.fps`` (as fast as it can when 0)."""
    client = connect(url)
    out = port(prefix, CAMERA)
    if client.exists(out + ":end"):
        raise DemoError("the run %s has ended already: give another name with --run"
                        % prefix.split(":", 1)[-1])
    publisher = Publisher(client, out, ["detector"], opts.window, opts.stall)
    scene = Scene(opts.width, opts.height)
    envelope = PemuData(0, CAMERA, CAMERA, 0)  # its own output 0 is the source
    steps = Steps()
    started = time.monotonic()
    for i in range(opts.frames):
        if opts.fps > 0:
            delay = started + i / opts.fps - time.monotonic()
            if delay > 0:
                time.sleep(delay)
        captured = time.time()
        t0 = time.perf_counter()
        image, truth = scene.frame(i, captured)
        t1 = time.perf_counter()
        envelope.meta.update_source({"frame_id": i, "ts": captured})
        payload = envelope.create_pemu_data(
            ext_info={"truth": truth}, frame=image,
            encoder=opts.encoder, with_base64=opts.with_base64)
        text = json.dumps(payload).encode()
        t2 = time.perf_counter()
        steps.add("render", t1 - t0)
        steps.add("publish", t2 - t1 - steps.take_codec())
        publish, wait = publisher.publish(text)
        steps.add("publish", publish)
        steps.add("wait", wait)
        steps.frames += 1
    steps.save(client, prefix, "camera")
    publisher.close()


def detector(url, prefix, opts):
    """Finds the shapes of each frame it receives and publishes them, with
    the frame's source metadata, the truth it came with and its own timings;
    stops when the camera's stream has ended and the detectors have
    answered all of it."""
    client = connect(url)
    envelope = PemuData(0, DETECTOR, CAMERA, 0)
    inbox = Consumer(client, port(prefix, CAMERA), "detector", consumer_name("detector"),
                     opts.claim_idle)
    publisher = Publisher(client, port(prefix, DETECTOR), ["sink"], opts.window, opts.stall)
    steps = Steps()
    while True:
        try:
            entries = inbox.take()
        except redis.exceptions.ResponseError as exc:
            if "NOGROUP" in str(exc) or "no longer exists" in str(exc):
                return  # the run's keys are gone: it is over
            raise
        if not entries:
            end = inbox.finished()
            if end is not None:
                steps.save(client, prefix, "detector")
                publisher.close(end)
                return
            continue
        for entry_id, text, reclaimed in entries:
            started = time.perf_counter()
            received = envelope.parse_pemu_data(text)
            decoded = time.perf_counter()
            codec = steps.take_codec()
            shapes = find_shapes(received["frame"])
            found = time.perf_counter()
            payload = envelope.create_pemu_data(result=shapes, ext_info={
                "truth": received["meta"]["truth"],
                "camera_bytes": len(text),
                "detect_ms": (found - decoded) * 1e3,
                "reclaimed": reclaimed,
                "detector": os.getpid(),
            })
            out = json.dumps(payload).encode()
            steps.add("parse", decoded - started - codec)
            steps.add("detect", found - decoded)
            publish, wait = publisher.publish(out, ack=(inbox, entry_id))
            steps.add("publish", time.perf_counter() - found - wait)
            steps.add("wait", wait)
            steps.frames += 1


def _stage(target, url, prefix, opts):
    """A stage's process under ``run``: its failure ends it with status 1
    (LOST_SERVER when the server went away, for the run to report)."""
    try:
        target(url, prefix, opts)
    except redis.exceptions.ConnectionError:
        os._exit(LOST_SERVER)
    except redis.exceptions.TimeoutError:
        os._exit(LOST_SERVER)
    except (DemoError, Stalled) as exc:
        print("%s: %s" % (target.__name__, exc), flush=True)
        os._exit(1)
    except BaseException:
        traceback.print_exc()
        os._exit(1)


def run_stage(target, url, opts):
    """Runs one stage alone in this process, until its stream ends."""
    prefix = "pemu-demo:" + opts.name
    try:
        target(url, prefix, opts)
    except (redis.exceptions.ConnectionError, redis.exceptions.TimeoutError) as exc:
        raise DemoError("lost the connection to Redis at %s: %s" % (url, exc))
    except Stalled as exc:
        raise DemoError(str(exc))


# ---- The sink ----

def sink(client, prefix, report, on_frame=None, watch=None):
    """Takes the detectors' payloads until their stream has ended and all of
    it is in, in frame order, without duplicates.  ``on_frame(record,
    report)`` is called per frame; ``watch()`` between takes (it may raise)."""
    opts = report.opts
    envelope = PemuData(0, SINK, DETECTOR, 0)
    # the sink's reorder buffer holds entries unacknowledged while it waits for
    # a gap to fill: it must not claim them back from itself
    inbox = Consumer(client, port(prefix, DETECTOR), "sink", consumer_name("sink"), None)
    reorder = Reorder(opts.reorder)
    progress = time.monotonic()

    def emit(items):
        for entry_id, received, text, parse_s in items:
            # arrival is when the frame leaves the reorder buffer, in order
            record = report.add(received, text, time.time(), time.monotonic(), parse_s)
            inbox.ack(entry_id)
            if on_frame is not None:
                on_frame(record, report)

    while True:
        entries = inbox.take()
        now = time.monotonic()
        if watch is not None:
            watch()
        if not entries:
            end, untaken, _ = inbox.state()
            if end is not None and untaken == 0:
                emit(reorder.flush())
                report.sent = end
                break
            if now - progress > opts.stall:
                raise DemoError("nothing arrived for %.0f s" % opts.stall)
            continue
        progress = now
        for entry_id, text, _ in entries:
            started = time.perf_counter()
            received = envelope.parse_pemu_data(text)
            parse_s = time.perf_counter() - started
            frame_id = received["meta"]["source"]["frame_id"]
            before = reorder.duplicates
            items = reorder.push(frame_id, (entry_id, received, text, parse_s))
            if reorder.duplicates > before:
                inbox.ack(entry_id)
            emit(items)
    report.duplicates, report.late = reorder.duplicates, reorder.late
    return report


def run_sink(url, opts, on_frame=None):
    """The sink alone, for a run whose other stages run elsewhere; removes
    the run's keys at the end."""
    prefix = "pemu-demo:" + opts.name
    client = connect(url)
    report = Report(opts)
    try:
        sink(client, prefix, report, on_frame)
        report.read_steps(client, prefix)
        report.left = _entries_left(client, prefix)
        client.delete(*_keys(prefix))
    except (redis.exceptions.ConnectionError, redis.exceptions.TimeoutError) as exc:
        raise DemoError("lost the connection to Redis at %s: %s" % (url, exc))
    return report


# ---- The whole run ----

def _keys(prefix):
    ports = [port(prefix, CAMERA), port(prefix, DETECTOR)]
    return ports + [p + ":end" for p in ports] + [prefix + ":steps"]


def _entries_left(client, prefix):
    return sum(client.xlen(p) for p in (port(prefix, CAMERA), port(prefix, DETECTOR)))


def run(url, opts, on_frame=None):
    """Runs the camera and ``opts.detectors`` detectors in processes of their
    own and the sink here, against the Redis server at ``url``, until the
    end of the stream.  With ``opts.kill_detector`` = K, the first detector
    is killed (SIGKILL) once the sink has received K frames.

    ``on_frame(record, report)`` is called for each frame the sink takes.
    Returns the Report.  Raises DemoError when the server cannot be reached
    or goes away, a stage fails, or nothing arrives for ``opts.stall`` seconds.
    """
    client = connect(url)
    prefix = "pemu-demo:%d:%s" % (os.getpid(), os.urandom(4).hex())
    report = Report(opts)
    context = multiprocessing.get_context("fork")
    stages = [context.Process(target=_stage, args=(camera, url, prefix, opts),
                              name="camera", daemon=True)]
    stages += [context.Process(target=_stage, args=(detector, url, prefix, opts),
                               name="detector", daemon=True) for _ in range(opts.detectors)]
    killed = []

    def watch():
        for stage in stages:
            if stage.exitcode == LOST_SERVER:
                raise redis.exceptions.ConnectionError("the %s stage lost it" % stage.name)
            if stage.exitcode not in (None, 0) and stage not in killed:
                raise DemoError("the %s stage failed (exit status %d)"
                                % (stage.name, stage.exitcode))

    def frame_in(record, report):
        if (opts.kill_detector is not None and not killed
                and len(report.records) >= opts.kill_detector):
            victim = stages[1]
            os.kill(victim.pid, signal.SIGKILL)
            killed.append(victim)
            report.fault = (len(report.records), time.monotonic())
        if on_frame is not None:
            on_frame(record, report)

    for stage in stages:
        stage.start()
    try:
        sink(client, prefix, report, frame_in, watch)
        for stage in stages:
            stage.join(10)
        watch()
        report.read_steps(client, prefix)
        report.left = _entries_left(client, prefix)
    except (redis.exceptions.ConnectionError, redis.exceptions.TimeoutError) as exc:
        raise DemoError("lost the connection to Redis at %s: %s" % (url, exc))
    finally:
        for stage in stages:
            if stage.is_alive():
                stage.terminate()
                stage.join()
        try:
            client.delete(*_keys(prefix))
        except redis.exceptions.RedisError:
            pass
    return report
