"""The three stages and the run that wires them together over Redis.

Each stage is a pipeline module with its own envelope.  A stage's output
port is a Redis list: the publisher appends payload text (RPUSH) and the
consumer takes it from the front (BLPOP), so nothing is lost when one side
is slower.  An empty entry ends a stream.
"""

import json
import multiprocessing
import os
import time
import traceback

import redis

from pemu_sdk.redis.pemu_data import PemuData

from .frames import Scene, find_shapes, matches
from .server import DemoError

CAMERA = {"id": "camera-1", "type": "camera", "name": "Synthetic camera"}
DETECTOR = {"id": "detector-1", "type": "shape-detection", "name": "Shape detector"}
SINK = {"id": "sink-1", "type": "sink", "name": "Report"}
END = b""
POLL = 1  # seconds one BLPOP waits before the consumer looks around


class Options:
    """What one run does; the command line fills it."""

    def __init__(self, frames=150, fps=15.0, width=640, height=480, encoder="jpg",
                 with_base64=False, stall=30.0):
        self.frames, self.fps = frames, fps
        self.width, self.height = width, height
        self.encoder, self.with_base64 = encoder, with_base64
        self.stall = stall


def connect(url, timeout=3.0):
    """A client for ``url``, checked with PING; DemoError when unreachable."""
    try:
        client = redis.Redis.from_url(url, socket_connect_timeout=timeout)
        client.ping()
    except ValueError as exc:  # a URL that redis-py cannot read
        raise DemoError("bad Redis URL %r: %s" % (url, exc))
    except redis.exceptions.RedisError as exc:
        raise DemoError("cannot reach Redis at %s: %s" % (url, exc))
    return client


def port(prefix, node, index=0):
    """The Redis key of output port ``index`` of ``node``."""
    return "%s:%s:out:%d" % (prefix, node["id"], index)


# ---- The stages ----

def camera(url, prefix, opts):
    """Makes the frames and publishes one payload per frame, paced at
    ``opts.fps`` (as fast as it can when 0)."""
    client = connect(url)
    scene = Scene(opts.width, opts.height)
    envelope = PemuData(0, CAMERA, CAMERA, 0)  # its own output 0 is the source
    out = port(prefix, CAMERA)
    started = time.monotonic()
    for i in range(opts.frames):
        if opts.fps > 0:
            delay = started + i / opts.fps - time.monotonic()
            if delay > 0:
                time.sleep(delay)
        captured = time.time()
        image, truth = scene.frame(i, captured)
        envelope.meta.update_source({"frame_id": i, "ts": captured})
        payload = envelope.create_pemu_data(
            ext_info={"truth": truth}, frame=image,
            encoder=opts.encoder, with_base64=opts.with_base64)
        client.rpush(out, json.dumps(payload).encode())
    client.rpush(out, END)


def detector(url, prefix, opts):
    """Finds the shapes of each frame it receives and publishes them, with
    the frame's source metadata, the truth it came with and its own timings."""
    client = connect(url)
    envelope = PemuData(0, DETECTOR, CAMERA, 0)
    inbox, out = port(prefix, CAMERA), port(prefix, DETECTOR)
    while True:
        item = client.blpop([inbox], timeout=POLL)
        if item is None:
            continue
        text = item[1]
        if text == END:
            client.rpush(out, END)
            return
        started = time.perf_counter()
        received = envelope.parse_pemu_data(text)
        decoded = time.perf_counter()
        shapes = find_shapes(received["frame"])
        found = time.perf_counter()
        payload = envelope.create_pemu_data(result=shapes, ext_info={
            "truth": received["meta"]["truth"],
            "camera_bytes": len(text),
            "parse_ms": (decoded - started) * 1e3,
            "detect_ms": (found - decoded) * 1e3,
        })
        client.rpush(out, json.dumps(payload).encode())


def _stage(target, url, prefix, opts):
    """A stage's process: its failure is printed and ends it with status 1."""
    try:
        target(url, prefix, opts)
    except DemoError as exc:
        print("%s: %s" % (target.__name__, exc), flush=True)
        os._exit(1)
    except BaseException:
        traceback.print_exc()
        os._exit(1)


# ---- The sink and the run ----

class Report:
    """What the sink saw: one record per frame, and the summary."""

    def __init__(self, opts):
        self.opts = opts
        self.records = []
        self.first = self.last = None

    def add(self, received, text, wall, arrived):
        """Records a frame that arrived at wall-clock time `wall` (monotonic
        time `arrived`)."""
        meta = received["meta"]
        source = meta["source"]
        if self.first is None:
            self.first = arrived
        self.last = arrived
        tolerance = max(2, self.opts.height // 60)
        record = {
            "frame_id": source["frame_id"],
            "source": dict(source),
            "frame_format": dict(meta["frame_format"]),
            "arrived": arrived,
            "latency_ms": (wall - source["ts"]) * 1e3,
            "camera_bytes": meta["camera_bytes"],
            "detector_bytes": len(text),
            "detect_ms": meta["detect_ms"],
            "shapes": received["result"],
            "hits": matches(received["result"], meta["truth"], tolerance),
            "expected": len(meta["truth"]),
        }
        self.records.append(record)
        return record

    def fps(self, window=15):
        """Frames per second over the last `window` arrivals."""
        recent = self.records[-window:]
        if len(recent) < 2:
            return 0.0
        span = recent[-1]["arrived"] - recent[0]["arrived"]
        return (len(recent) - 1) / span if span > 0 else 0.0

    def summary(self):
        ids = [r["frame_id"] for r in self.records]
        latencies = sorted(r["latency_ms"] for r in self.records)
        span = (self.last - self.first) if self.records else 0.0
        n = len(self.records)

        def pct(p):
            return latencies[min(n - 1, int(round(p / 100.0 * (n - 1))))] if n else 0.0

        return {
            "sent": self.opts.frames,
            "received": n,
            "lost": len(set(range(self.opts.frames)) - set(ids)),
            "out_of_order": sum(1 for a, b in zip(ids, ids[1:]) if b <= a),
            "latency_ms": {"mean": sum(latencies) / n if n else 0.0, "p50": pct(50),
                           "p95": pct(95), "max": latencies[-1] if n else 0.0},
            "fps": (n - 1) / span if n > 1 and span > 0 else 0.0,
            "seconds": span,
            "camera_bytes": sum(r["camera_bytes"] for r in self.records) / n if n else 0.0,
            "detector_bytes": sum(r["detector_bytes"] for r in self.records) / n if n else 0.0,
            "detect_ms": sum(r["detect_ms"] for r in self.records) / n if n else 0.0,
            "hits": sum(r["hits"] for r in self.records),
            "expected": sum(r["expected"] for r in self.records),
        }


def run(url, opts, on_frame=None):
    """Runs camera and detector in processes of their own and the sink here,
    against the Redis server at ``url``, until the end of the stream.

    ``on_frame(record, report)`` is called for each frame the sink takes.
    Returns the Report.  Raises DemoError when the server cannot be reached,
    a stage fails, or nothing arrives for ``opts.stall`` seconds.
    """
    client = connect(url)
    prefix = "pemu-demo:%d:%s" % (os.getpid(), os.urandom(4).hex())
    keys = [port(prefix, CAMERA), port(prefix, DETECTOR)]
    envelope = PemuData(0, SINK, DETECTOR, 0)
    report = Report(opts)
    context = multiprocessing.get_context("fork")
    stages = [context.Process(target=_stage, args=(stage, url, prefix, opts),
                              name=stage.__name__, daemon=True)
              for stage in (camera, detector)]
    for stage in stages:
        stage.start()
    try:
        _sink(client, keys[1], envelope, report, stages, on_frame)
        for stage in stages:
            stage.join(10)
    except redis.exceptions.RedisError as exc:
        raise DemoError("lost the connection to Redis: %s" % exc)
    finally:
        for stage in stages:
            if stage.is_alive():
                stage.terminate()
                stage.join()
        try:
            client.delete(*keys)
        except redis.exceptions.RedisError:
            pass
    return report


def _sink(client, inbox, envelope, report, stages, on_frame):
    """Takes the detector's payloads until the end of the stream."""
    waiting_since = time.monotonic()
    while True:
        item = client.blpop([inbox], timeout=POLL)
        now = time.monotonic()
        if item is None:
            failed = [s for s in stages if s.exitcode not in (None, 0)]
            if failed:
                raise DemoError("the %s stage failed (exit status %d)"
                                % (failed[0].name, failed[0].exitcode))
            if now - waiting_since > report.opts.stall:
                raise DemoError("nothing arrived for %.0f s" % report.opts.stall)
            continue
        waiting_since = now
        text = item[1]
        if text == END:
            return
        received = envelope.parse_pemu_data(text)
        record = report.add(received, text, time.time(), now)
        if on_frame is not None:
            on_frame(record, report)
