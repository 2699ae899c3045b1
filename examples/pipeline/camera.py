"""The camera stage: reads frames from its source and publishes them."""

import json
import time

from pemu_sdk.redis.pemu_data import PemuData
from pemu_ports import Gone, Publisher, end_key

from . import metrics as stage_metrics
from .failures import say_as
from .runs import (CAMERA, changed_settings, consumer_name, joined, open_run,
                   publish_settings, read_settings, resume_at)
from .server import DemoError
from .sources import SourceError, SourceStopped, open_source
from .steps import Steps


def camera(client, name, opts, say=None):
    """Reads the frames of ``opts.source`` (the synthetic scene, paced at
    ``opts.fps``, when None) and publishes one payload per frame.  A camera
    restarted in a run resumes after the last frame published.  A live
    source that stops delivering ends the camera's stream where it stopped,
    said in one line."""
    run = open_run(client, name, opts)
    out = run.ports[0]
    if run.client.exists(end_key(out)):
        raise DemoError("the run %s has ended already: give another name with --run" % name)
    with joined(run, "camera", consumer_name("camera"), exclusive=True) as member:
        metrics = source = None
        try:
            changed = changed_settings(read_settings(run), opts)
            if changed is not None:
                raise DemoError(changed)
            metrics = stage_metrics.start("camera", run, opts.metrics_at())
            publisher = Publisher(run, out, ["detector"], opts.window, opts.stall, member=member,
                                  say=say, overflow=opts.overflow)
            first = resume_at(run)
            try:
                source = open_source(opts.source, opts.width, opts.height, opts.frames, opts.fps,
                                     first)
            except SourceError as exc:
                raise DemoError(str(exc))
            publish_settings(run, opts)
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
                    (say or say_as("camera"))(str(exc))
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
