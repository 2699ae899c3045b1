"""The three stages and the run that wires them together over Redis.

Each stage is a pipeline module with its own envelope, and each output port
a Redis stream (the pemu_ports package, ports/).  The camera's stream is read by the consumer
group "detector", shared by every detector process, so that they split the
frames between them; the detectors' stream is read by the group "sink".

Every stage can run alone (``camera``, ``detector``, ``sink`` below) against
a shared server, on any machine: the stages of one run agree on its name,
which tags its keys.  ``run`` starts a camera and N detectors in processes
of their own and runs the sink itself.

Each stage marks itself alive and watches its upstream: a stage whose
upstream is gone and left nothing to take stops with one line.  What a stage
cannot read or process is set aside to the port's dead letters; the sink
learns of set-aside frames from there and does not wait for them.
"""

import copy
import json
import multiprocessing
import os
import signal
import socket
import sys
import time
from typing import Optional

import redis
import redis.exceptions
from redis.backoff import NoBackoff
from redis.retry import Retry

from pemu_sdk.redis import utils
from pemu_sdk.redis.pemu_data import PemuData
from pemu_ports import (BLOCK, DROP_OLDEST, FRAME, FIELD, Busy, Consumer, Gone, Member,
                        Publisher, Run, Stalled, dead_key, drop_key, end_key)

from . import metrics as stage_metrics
from .frames import find_shapes
from .server import DemoError
from .sources import MotionFinder, SourceError, SourceStopped, is_live, open_source
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
    another, ``stall`` the time without progress after which a stage gives
    up, ``max_deliveries`` the deliveries after which an entry is set aside,
    ``keep`` the seconds the keys of a run outlive its last stage,
    ``alive_ttl`` the lifetime of a stage's sign of life.

    ``source`` names the camera's source (None: the synthetic scene; see
    sources.py), ``frames`` None reads it to its end; ``overflow`` is the
    ports' policy (None: drop-oldest for a live source, block otherwise);
    ``detector`` is "shapes" or "motion" (None: shapes for the scene, motion
    for footage); ``detect_delay`` seconds are added to each detection (a
    slow detector, on purpose); ``metrics`` = (host, port) serves each
    stage's metrics, the stages of a whole run on consecutive ports from
    there (camera, detectors, sink).
    """

    def __init__(self, frames: Optional[int] = 150, fps=15.0, width=640, height=480,
                 encoder="jpg", with_base64=False, stall=30.0, detectors=2, kill_detector=None,
                 window=32, reorder=31, claim_idle=2.0, name=None, max_deliveries=3,
                 keep=3600.0, alive_ttl=3.0, source=None, overflow=None, detector=None,
                 detect_delay=0.0, metrics=None):
        self.frames, self.fps = frames, fps
        self.width, self.height = width, height
        self.encoder, self.with_base64 = encoder, with_base64
        self.stall = stall
        self.detectors, self.kill_detector = detectors, kill_detector
        self.window, self.reorder, self.claim_idle = window, reorder, claim_idle
        self.name = name
        self.max_deliveries, self.keep, self.alive_ttl = max_deliveries, keep, alive_ttl
        self.source = source
        self.overflow = overflow or (DROP_OLDEST if is_live(source) else BLOCK)
        self.detector = detector or ("shapes" if source in (None, "scene", "scene:live")
                                     else "motion")
        self.detect_delay, self.metrics = detect_delay, metrics
        self.metrics_offset = 0  # this stage's port: metrics[1] + offset

    def metrics_at(self):
        """Where this stage serves its metrics: (host, port) or None."""
        if self.metrics is None:
            return None
        host, port = self.metrics
        return host, (port + self.metrics_offset if port else 0)


class Upstream(Exception):
    """The stage a consumer waits for is gone and left nothing to take."""


class Terminated(BaseException):
    """SIGTERM arrived."""


def on_signal(signum, frame):
    """SIGTERM raises Terminated, SIGINT KeyboardInterrupt, once: the
    clean-up that follows runs undisturbed by the next one."""
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    raise Terminated() if signum == signal.SIGTERM else KeyboardInterrupt()


class Client(redis.Redis):
    """A client that sends a command again on a new connection while its
    connection breaks, for up to ``reconnect`` seconds: a server restarted
    in that time goes unnoticed.  Every step is safe to repeat (at worst a
    frame comes twice, and the sink drops it)."""

    reconnect = 5.0  # none once the server was given up on, or before it answered

    def execute_command(self, *args, **options):
        deadline = None
        while True:
            try:
                return super().execute_command(*args, **options)
            except redis.exceptions.ConnectionError:
                now = time.monotonic()
                deadline = deadline or now + self.reconnect
                if now >= deadline:
                    self.reconnect = 0.0  # what follows (the clean-up) fails at once
                    raise
                time.sleep(0.05)


def connect(url, timeout=3.0):
    """A client for ``url``, checked with PING; DemoError when unreachable."""
    try:
        client = Client.from_url(url, socket_connect_timeout=timeout,
                                 socket_timeout=timeout + 2, health_check_interval=0,
                                 retry=Retry(NoBackoff(), 0))
        assert isinstance(client, Client)  # from_url makes one of the class it is called on
        client.reconnect = 0.0
        client.ping()
        client.reconnect = Client.reconnect
    except ValueError as exc:  # a URL that redis-py cannot read
        raise DemoError("bad Redis URL %r: %s" % (url, exc))
    except redis.exceptions.RedisError as exc:
        raise DemoError("cannot reach Redis at %s: %s" % (url, exc))
    return client


def describe(exc, url, name):
    """One line for a failure of a stage of run ``name`` at ``url``."""
    text = " ".join(str(exc).split(" script: ")[0].split())
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


PORTS = ("camera-1:out:0", "detector-1:out:0")


def open_run(client, name, opts):
    """The keys of run ``name``, with the hash of the settings the camera
    made it at (``run.extra["settings"]``)."""
    return Run(client, name, PORTS, keep=opts.keep, alive_ttl=opts.alive_ttl,
               extra=("settings",))


def publish_settings(run, opts):
    """The camera's settings, written with the run for the sink to report:
    the sink's own options describe the sink, not the run it serves."""
    settings = run.extra["settings"]
    with run.client.pipeline() as pipe:
        pipe.hset(settings, mapping={
            "frames": "" if opts.frames is None else opts.frames, "fps": repr(float(opts.fps)),
            "width": opts.width, "height": opts.height, "encoder": opts.encoder,
            "with_base64": int(bool(opts.with_base64)), "source": opts.source or "",
            "overflow": opts.overflow})
        pipe.pexpire(settings, run.keep_ms)
        pipe.execute()


def read_settings(run):
    """The settings the camera published with the run, or None when there
    are none (the camera never started)."""
    raw = {k.decode(): v.decode() for k, v in run.client.hgetall(run.extra["settings"]).items()}
    if not raw:
        return None
    return {"frames": int(raw["frames"]) if raw["frames"] else None, "fps": float(raw["fps"]),
            "width": int(raw["width"]), "height": int(raw["height"]),
            "encoder": raw["encoder"], "with_base64": raw["with_base64"] == "1",
            "source": raw["source"] or None, "overflow": raw["overflow"]}


def consumer_name(stage):
    return "%s-%s-%d" % (stage, socket.gethostname(), os.getpid())


class Steps:
    """Seconds spent per step, summed over the frames of one stage, with the
    codec's own steps folded in."""

    def __init__(self, metrics=None):
        self.total, self.codec, self.frames = {}, {}, 0
        self.metrics = metrics or stage_metrics.NoMetrics()
        utils.collect_step_times(self.codec)

    def add(self, step, seconds):
        self.total[step] = self.total.get(step, 0.0) + seconds
        self.metrics.step(step, seconds)

    def take_codec(self):
        """The codec's seconds since the last call, moved into the totals."""
        seconds = sum(self.codec.values())
        for step, value in self.codec.items():
            self.add("text" if step == "untext" else step, value)
        self.codec.clear()
        return seconds

    def json(self):
        return json.dumps(dict(self.total, frames=self.frames))


class Waiting:
    """What a consumer does when it has nothing to take: upstream gone (seen
    once, no longer alive) for ``grace`` seconds is an Upstream failure; an
    upstream never seen is said once after ``notice`` seconds (``say``)."""

    def __init__(self, what, run_name, grace, notice=5.0, say=None):
        self.what, self.run_name, self.grace = what, run_name, grace
        self.notice, self.say = notice, say
        self.gone_since = None
        self.idle_since = time.monotonic()
        self.said = False

    def busy(self):
        self.gone_since = None
        self.idle_since = time.monotonic()

    def idle(self, left, live, seen):
        now = time.monotonic()
        if seen and live == 0 and not left:
            if self.gone_since is None:
                self.gone_since = now
            elif now - self.gone_since > self.grace:
                raise Upstream("the %s of run %s %s gone and left nothing to take"
                               % (self.what, self.run_name,
                                  "is" if self.what == "camera" else "are"))
        else:
            self.gone_since = None
        if (not seen and not self.said and self.say is not None
                and now - self.idle_since > self.notice):
            self.said = True
            self.say("waiting for the %s of run %s to start" % (self.what, self.run_name))


# ---- The stages ----

def camera(client, name, opts, say=None):
    """Reads the frames of ``opts.source`` (the synthetic scene, paced at
    ``opts.fps``, when None) and publishes one payload per frame.  A camera
    restarted in a run resumes after the last frame published.  A live
    source that stops delivering ends the camera's stream where it stopped,
    said in one line."""
    run = open_run(client, name, opts)
    out = run.ports[0]
    if client.exists(end_key(out)):
        raise DemoError("the run %s has ended already: give another name with --run" % name)
    member = Member(run, "camera", consumer_name("camera"), exclusive=True)
    member.join()
    metrics = source = None
    try:
        publish_settings(run, opts)
        metrics = stage_metrics.start("camera", run, opts.metrics_at())
        publisher = Publisher(run, out, ["detector"], opts.window, opts.stall, member=member,
                              say=say, overflow=opts.overflow)
        first = int(client.hget(run.key, "next") or 0)
        try:
            source = open_source(opts.source, opts.width, opts.height, opts.frames, opts.fps,
                                 first)
        except SourceError as exc:
            raise DemoError(str(exc))
        envelope = PemuData(0, CAMERA, CAMERA, 0)  # its own output 0 is the source
        steps = Steps(metrics)
        count = first
        while True:
            source.pace()
            member.beat()
            t0 = time.perf_counter()
            try:
                frame = source.read()
            except SourceStopped as exc:
                (say or _say("camera"))(str(exc))
                break
            if frame is None:
                break
            i, image, captured, truth = frame
            t1 = time.perf_counter()
            envelope.meta.update_source({"frame_id": i, "ts": captured})
            payload = envelope.create_pemu_data(
                ext_info={"truth": truth}, frame=image,
                encoder=opts.encoder, with_base64=opts.with_base64)
            text = json.dumps(payload).encode()
            t2 = time.perf_counter()
            steps.add("render", t1 - t0)
            prepare = t2 - t1 - steps.take_codec()
            dropped = publisher.dropped
            publish, wait = publisher.publish(text, i, next_frame=i + 1)
            metrics.published.inc()
            metrics.drops.inc(publisher.dropped - dropped)
            steps.add("publish", prepare + publish)
            steps.add("wait", wait)
            steps.frames += 1
            count = i + 1
        if not member.finish(steps.json(), out, count):
            raise Gone("the keys of the run are gone")
    finally:
        if source is not None:
            source.close()
        if metrics is not None:
            metrics.close()
        member.leave()


def detect(envelope, fields, reclaimed, steps, find=find_shapes, delay=0.0, finder="shapes"):
    """The detector's work on one entry: its output payload, the frame id
    and when the shapes were found (by ``find``, named ``finder`` in the
    payload, ``delay`` seconds later)."""
    started = time.perf_counter()
    text = fields[FIELD]
    received = envelope.parse_pemu_data(text)
    decoded = time.perf_counter()
    codec = steps.take_codec()
    image = received["frame"]
    shapes = find(image)
    if delay > 0:
        time.sleep(delay)
    found = time.perf_counter()
    payload = envelope.create_pemu_data(result=shapes, ext_info={
        "truth": received["meta"]["truth"],
        "camera_bytes": len(text),
        "detect_ms": (found - decoded) * 1e3,
        "reclaimed": reclaimed,
        "detector": consumer_name("detector"),  # the sink counts the detectors by it
        "size": [image.shape[1], image.shape[0]],
        "finder": finder,  # the sink says what was found by it
    })
    steps.add("parse", decoded - started - codec)
    steps.add("detect", found - decoded)
    return payload, received["meta"]["source"]["frame_id"], found


def detector(client, name, opts, say=None):
    """Finds the shapes of each frame it receives and publishes them, with
    the frame's source metadata, the truth it came with and its own timings;
    stops when the camera's stream has ended and the detectors have
    answered all of it.  An entry it cannot process is set aside."""
    run = open_run(client, name, opts)
    me = consumer_name("detector")
    member = Member(run, "detector", me)
    member.join()
    metrics = None
    try:
        metrics = stage_metrics.start("detector", run, opts.metrics_at())
        envelope = PemuData(0, DETECTOR, CAMERA, 0)
        inbox = Consumer(run, run.ports[0], "detector", me, opts.claim_idle,
                         max_deliveries=opts.max_deliveries, window=opts.window)
        publisher = Publisher(run, run.ports[1], ["sink"], opts.window, opts.stall,
                              member=member, say=say, overflow=opts.overflow)
        waiting = Waiting("camera", name, grace=opts.alive_ttl / 2, say=say)
        steps = Steps(metrics)
        find = MotionFinder() if opts.detector == "motion" else find_shapes
        while True:
            member.beat()
            entries = inbox.take()
            if not entries:
                end, untaken, pending, live, seen = inbox.state("camera")
                if end is not None and untaken == 0 and pending == 0:
                    if not member.finish(steps.json(), run.ports[1], end):
                        raise Gone("the keys of the run are gone")
                    return
                waiting.idle(untaken or pending or end is not None, live, seen)
                continue
            waiting.busy()
            for entry_id, fields, reclaimed in entries:
                metrics.taken.inc()
                metrics.claims.inc(int(reclaimed))
                try:
                    payload, frame_id, found = detect(envelope, fields, reclaimed, steps,
                                                      find, opts.detect_delay, opts.detector)
                    out = json.dumps(payload).encode()
                except Exception as exc:  # a poison entry: set aside, go on
                    inbox.set_aside(entry_id, "%s: %s" % (type(exc).__name__, exc))
                    metrics.dead.inc()
                    steps.take_codec()
                    continue
                if FRAME in fields:
                    frame_id = fields[FRAME]
                dropped = publisher.dropped
                publish, wait = publisher.publish(out, frame_id, ack=(inbox, entry_id))
                metrics.published.inc()
                metrics.drops.inc(publisher.dropped - dropped)
                steps.add("publish", time.perf_counter() - found - wait)
                steps.add("wait", wait)
                steps.frames += 1
    finally:
        if metrics is not None:
            metrics.close()
        member.leave()


STAGE_FUNCTIONS = {"camera": camera, "detector": detector}


def _stage(target, url, name, opts, pipe):
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
        STAGE_FUNCTIONS[stage](client, opts.name, opts, say=_say(stage))
    except (redis.exceptions.RedisError, Gone, Stalled, Upstream, Busy) as exc:
        raise DemoError(describe(exc, url, opts.name))


def _say(stage):
    def say(text):
        print("%s: %s" % (stage, text), file=sys.stderr, flush=True)
    return say


# ---- The sink ----

class DeadLetters:
    """The frames set aside on the run's ports, read as they come (with
    ``key=drop_key, field=FRAME``: the frames dropped for freshness)."""

    def __init__(self, run, key=dead_key, field=b"field:" + FRAME):
        self.client, self.field = run.client, field
        self.last = {key(p): "0-0" for p in run.ports}
        self.frames = set()
        self.next = 0.0  # when the sink looks again

    def read(self, count=256):
        """Reads what was set aside since the last call; returns the new
        frame ids."""
        new = []
        got = self.client.xread(self.last, count=count) or []
        for stream, entries in got:
            for entry_id, fields in entries:
                self.last[stream.decode()] = entry_id.decode()
                frame = fields.get(self.field)
                try:
                    frame_id = int(frame)
                except (TypeError, ValueError):
                    continue  # not one of the camera's frames
                if frame_id not in self.frames:
                    self.frames.add(frame_id)
                    new.append(frame_id)
        if any(len(entries) == count for _, entries in got):
            new += self.read(count)  # more than a batch: the rest
        return new


def sink(client, name, report, on_frame=None, watch=None, say=None):
    """Takes the detectors' payloads until their stream has ended and all of
    it is in, in frame order, without duplicates, and records each frame
    delivered in the run, in the same step as it acknowledges it: a sink
    started after one that died goes on where that one stopped, claiming
    what it held.  ``on_frame(record, report)`` is called per frame
    delivered here; ``watch()`` between takes (it may raise)."""
    opts = report.opts
    run = open_run(client, name, opts)
    me = consumer_name("sink")
    member = Member(run, "sink", me)
    member.join()
    metrics = None
    try:
        metrics = stage_metrics.start("sink", run, opts.metrics_at())
        _sink(run, me, member, report, on_frame, watch, say, metrics)
    finally:
        if metrics is not None:
            metrics.close()
        member.leave()
    return report


class _Gone:
    """The frames that will not come: set aside or dropped for freshness."""

    def __init__(self, run):
        self.readers = (DeadLetters(run), DeadLetters(run, key=drop_key, field=FRAME))
        self.next = 0.0

    def read(self):
        return [f for reader in self.readers for f in reader.read()]

    @property
    def frames(self):
        return self.readers[0].frames | self.readers[1].frames


def _sink(run, me, member, report, on_frame, watch, say, metrics):
    opts = report.opts
    envelope = PemuData(0, SINK, DETECTOR, 0)
    inbox = Consumer(run, run.ports[1], "sink", me, opts.claim_idle,
                     max_deliveries=opts.max_deliveries, window=opts.window)
    dead = _Gone(run)
    dead.read()
    done = {int(f) for f in run.client.hkeys(run.delivered)}
    reorder = Reorder(opts.reorder, done=done | dead.frames)
    waiting = Waiting("detectors", run.name, grace=opts.alive_ttl / 2, say=say)
    progress = time.monotonic()

    def emit(items):
        for entry_id, frame_id, record in items:
            if entry_id is None:
                continue  # a frame set aside upstream
            report.stamp(record, time.time())
            if inbox.deliver(entry_id, frame_id, json.dumps(record)):
                metrics.published.inc()
                report.add_record(record)
                if on_frame is not None:
                    on_frame(record, report)

    def held():
        return sum(1 for _, item in reorder.held if item[0] is not None)

    while True:
        member.beat()
        entries = inbox.take()
        now = time.monotonic()
        if watch is not None:
            watch()
        if (reorder.held and now >= dead.next) or not entries:
            dead.next = now + 0.05  # frames wait behind a gap: was it set aside?
            for frame_id in dead.read():
                emit(reorder.skip(frame_id, (None, frame_id, None)))
        if not entries:
            end, untaken, pending, live, seen = inbox.state("detector")
            if end is not None and untaken == 0 and pending == held():
                emit(reorder.flush())
                report.sent = end
                break
            try:
                waiting.idle(untaken or pending > held() or end is not None, live, seen)
            except Upstream:
                emit(reorder.flush())
                raise
            if seen and now - progress > opts.stall:
                raise Stalled("nothing arrived for %.0f s" % opts.stall)
            continue
        progress = now
        waiting.busy()
        for entry_id, fields, reclaimed in entries:
            metrics.taken.inc()
            metrics.claims.inc(int(reclaimed))
            started = time.perf_counter()
            try:
                text = fields[FIELD]
                received = envelope.parse_pemu_data(text)
                record = report.record(received, text)
                frame_id = record["frame_id"]
            except Exception as exc:  # a poison entry: set aside, go on
                inbox.set_aside(entry_id, "%s: %s" % (type(exc).__name__, exc))
                metrics.dead.inc()
                for frame_id in dead.read():
                    emit(reorder.skip(frame_id, (None, frame_id, None)))
                continue
            report.parse_s += time.perf_counter() - started
            metrics.step("parse", time.perf_counter() - started)
            before = reorder.duplicates
            items = reorder.push(frame_id, (entry_id, frame_id, record))
            if reorder.duplicates > before:
                inbox.deliver(entry_id, frame_id, None)
            emit(items)
    report.late = reorder.late


def _finish_report(run, report):
    report.settings = read_settings(run)
    report.load(run.client.hgetall(run.delivered))
    report.duplicates = int(run.client.hget(run.key, "duplicates") or 0)
    report.read_steps(run.client.hgetall(run.steps))
    report.left = run.left()
    report.dead = run.dead_letters()
    dead = DeadLetters(run)
    dead.read()
    report.set_aside = dead.frames
    drops = DeadLetters(run, key=drop_key, field=FRAME)
    drops.read()
    report.dropped = drops.frames
    report.dropped_ports = run.dropped()


def run_sink(url, opts, on_frame=None):
    """The sink alone, for a run whose other stages run elsewhere; removes
    the run's keys at the end, once the other stages have finished (or are
    gone)."""
    client = connect(url)
    report = Report(opts)
    name = opts.name
    try:
        sink(client, name, report, on_frame, say=_say("sink"))
        run = open_run(client, name, opts)
        _finish_report(run, report)
        deadline = time.monotonic() + opts.stall
        while run.cleanup(consumer_name("sink"), ("camera", "detector")):
            if time.monotonic() > deadline:
                raise DemoError("the run %s is done but some of its stages are still alive "
                                "after %.0f s: its keys are left to expire" % (name, opts.stall))
            time.sleep(0.1)
    except (redis.exceptions.RedisError, Gone, Stalled, Upstream) as exc:
        raise DemoError(describe(exc, url, name))
    return report


# ---- The whole run ----

def run(url, opts, on_frame=None):
    """Runs the camera and ``opts.detectors`` detectors in processes of their
    own and the sink here, against the Redis server at ``url``, until the
    end of the stream.  With ``opts.kill_detector`` = K, the first detector
    is killed (SIGKILL) once the sink has received K frames.

    ``on_frame(record, report)`` is called for each frame the sink takes.
    Returns the Report.  Raises DemoError when the server cannot be reached
    or goes away, a stage fails, or nothing arrives for ``opts.stall`` seconds.
    Every stage process is gone, and every key of the run, when it returns.
    """
    client = connect(url)
    name = "%d-%s" % (os.getpid(), os.urandom(4).hex())
    report = Report(opts)
    context = multiprocessing.get_context("fork")
    stages, pipes = [], {}

    def start(target, stage_name):
        receive, send = context.Pipe(duplex=False)
        mine = copy.copy(opts)
        mine.metrics_offset = len(stages)  # camera, detectors, then the sink
        process = context.Process(target=_stage, args=(target, url, name, mine, send),
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
                and len(report.records) >= opts.kill_detector):
            victim = stages[1]
            os.kill(victim.pid, signal.SIGKILL)
            killed.append(victim)
            report.fault = (len(report.records), time.time())
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
        _finish_report(open_run(client, name, opts), report)
    except (redis.exceptions.RedisError, Gone, Stalled, Upstream) as exc:
        raise DemoError(describe(exc, url, name))
    finally:
        stop(stages)
        try:
            doomed = open_run(client, name, opts)
            client.delete(doomed.key, *([doomed.alive(s) for s in Run.STAGES] + doomed.keys()))
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
