"""The detector stage: finds the shapes (or the moving objects) of each
frame and publishes them."""

import json
import time

from pemu_sdk.redis.pemu_data import PemuData
from pemu_ports import DROP_OLDEST, FIELD, FRAME, Consumer, Gone, Publisher

from . import metrics as stage_metrics
from .frame_limit import Limit, guarded
from .frames import find_shapes
from .pixels import Asked, forwarded
from .runs import CAMERA, DETECTOR, consumer_name, joined, open_run
from .sources import MotionFinder
from .steps import Steps
from .waiting import Waiting


def detect(envelope, fields, reclaimed, steps, find=find_shapes, delay=0.0, finder="shapes",
           forward=False):
    """The detector's work on one entry: its output payload, the frame id
    and when the shapes were found (by ``find``, named ``finder`` in the
    payload, ``delay`` seconds later).  A frame larger than the stage's
    limit (frame_limit.guarded) is refused before it is decoded
    (FrameTooLarge).  With ``forward``, the payload carries the camera's
    image text as it came (pixels.py: the sink asked for it)."""
    started = time.perf_counter()
    text = fields[FIELD]
    payload, sent_on = text, None
    if forward:  # the image text kept aside before the envelope decodes it
        payload = readable(text)
        sent_on = forwarded(payload) if isinstance(payload, dict) else None
    received = envelope.parse_pemu_data(payload)
    decoded = time.perf_counter()
    codec = steps.take_codec()
    image = received["frame"]
    shapes = find(image)
    if delay > 0:
        time.sleep(delay)
    found = time.perf_counter()
    extra = {
        "truth": received["meta"]["truth"],
        "camera_bytes": len(text),
        "detect_ms": (found - decoded) * 1e3,
        "reclaimed": reclaimed,
        "detector": consumer_name("detector"),  # the sink counts the detectors by it
        "size": [image.shape[1], image.shape[0]],
        "finder": finder,  # the sink says what was found by it
    }
    if sent_on is not None:
        extra["pixels"] = sent_on
    payload = envelope.create_pemu_data(result=shapes, ext_info=extra)
    steps.add("parse", decoded - started - codec)
    steps.add("detect", found - decoded)
    return payload, received["meta"]["source"]["frame_id"], found


def readable(text):
    """Payload ``text`` (JSON bytes) as a mapping, for its image text to be
    read before the envelope decodes it; ``text`` itself when it is no JSON
    object, for the envelope to refuse in its own words."""
    try:
        payload = json.loads(text.decode("utf-8") if isinstance(text, bytes) else text)
    except ValueError:  # no JSON, or no UTF-8 (UnicodeDecodeError is one)
        return text
    return payload if isinstance(payload, dict) else text


def detector(client, name, opts, say=None):
    """Finds the shapes of each frame it receives and publishes them, with
    the frame's source metadata, the truth it came with and its own timings;
    stops when the camera's stream has ended and the detectors have
    answered all of it.  An entry it cannot process is set aside."""
    run = open_run(client, name, opts)
    me = consumer_name("detector")
    with joined(run, "detector", me) as member, guarded(Limit(run, opts.max_frame).get):
        metrics = stage_metrics.start("detector", run, opts.metrics_at())
        try:
            envelope = PemuData(0, DETECTOR, CAMERA, 0)
            # behind a backlog, a few frames per read and per step; a live feed
            # (drop-oldest) takes one at a time, as what is taken is never dropped
            batch = 1 if opts.overflow == DROP_OLDEST else max(1, opts.window // 4)
            inbox = Consumer(run, run.ports[0], "detector", me, opts.claim_idle,
                             max_deliveries=opts.max_deliveries, window=opts.window,
                             batch=batch)
            publisher = Publisher(run, run.ports[1], ["sink"], opts.window, opts.stall,
                                  member=member, say=say, overflow=opts.overflow)
            waiting = Waiting("camera", name, grace=opts.alive_ttl / 2, say=say)
            steps = Steps(metrics)
            find = MotionFinder() if opts.detector == "motion" else find_shapes
            asked = Asked(run, opts.picture)

            def answer(answers):
                """Publishes ``answers`` (payload, frame id, entry id, when
                found) in one step, acknowledging the entries they answer."""
                found = answers[-1][3]
                dropped = publisher.dropped
                publish, wait = publisher.publish_all(
                    [(o, f) for o, f, _, _ in answers], inbox, [e for _, _, e, _ in answers])
                metrics.published.inc(len(answers))
                metrics.drops.inc(publisher.dropped - dropped)
                steps.add("publish", time.perf_counter() - found - wait)
                steps.add("wait", wait)
                steps.frames += len(answers)

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
                answers = []  # published together
                for entry_id, fields, reclaimed in entries:
                    metrics.taken.inc()
                    metrics.claims.inc(int(reclaimed))
                    try:
                        payload, frame_id, found = detect(envelope, fields, reclaimed, steps,
                                                          find, opts.detect_delay, opts.detector,
                                                          asked.get())
                        out = json.dumps(payload).encode()
                    except Exception as exc:  # a poison entry: set aside, go on
                        inbox.set_aside(entry_id, "%s: %s" % (type(exc).__name__, exc))
                        metrics.dead.inc()
                        steps.take_codec()
                        continue
                    if FRAME in fields:
                        frame_id = fields[FRAME]
                    answers.append((out, frame_id, entry_id, found))
                    if len(answers) == batch:
                        answer(answers)
                        answers = []
                if answers:  # the last of a read (set aside or not)
                    answer(answers)
        finally:
            metrics.close()
