"""Redis CPU time per frame: the demo against the plainest pipeline that
carries the same frames, in alternating rounds on one private server
(640x480, two detectors, unpaced or at --fps).

The plainest pipeline is what the frames ask of Redis at the least: one
round trip per command through redis-py, no scripts, nothing trimmed or
checked: the camera XADDs each payload; a detector XREADGROUPs it, XACKs it
and XADDs its own payload; the sink XREADGROUPs that and XACKs it.  Its
payloads are the demo's own (the camera's frames and a detector's answer
to each, made by the stages' code before the round is timed), at the
demo's pace.

    python bench/redis_cost.py [--rounds 5] [--frames 300] [--fps 15]
"""

import argparse
import json
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "examples")]

import redis  # noqa: E402

from pemu_sdk.redis.pemu_data import PemuData  # noqa: E402
from pipeline.detector import detect  # noqa: E402
from pipeline.options import Options  # noqa: E402
from pipeline.runs import CAMERA, DETECTOR  # noqa: E402
from pipeline.server import PrivateRedis  # noqa: E402
from pipeline.sources import SceneSource  # noqa: E402
from pipeline.steps import Steps  # noqa: E402
from pipeline.whole_run import run  # noqa: E402


def cpu_s(client):
    info = client.info("cpu")
    return info["used_cpu_sys"] + info["used_cpu_user"]


def payloads(frames, width=640, height=480):
    """The camera's payload of each frame and a detector's answer to it."""
    source = SceneSource(width, height, frames, 0)
    camera, detector = PemuData(0, CAMERA, CAMERA, 0), PemuData(0, DETECTOR, CAMERA, 0)
    out = []
    for _ in range(frames):
        i, image, captured, truth = source.read()
        camera.meta.update_source({"frame_id": i, "ts": captured})
        text = json.dumps(camera.create_pemu_data(ext_info={"truth": truth}, frame=image,
                                                  encoder="jpg")).encode()
        answer, _, _ = detect(detector, {b"p": text}, False, Steps())
        out.append((i, text, json.dumps(answer).encode()))
    return out


def demo_round(url, client, frames, fps=0.0):
    before = cpu_s(client)
    report = run(url, Options(frames=frames, fps=fps, width=640, height=480))
    spent = cpu_s(client) - before
    assert report.summary()["lost"] == 0
    return spent / frames * 1e6


def plainest_round(client, made, name, fps=0.0):
    """The plainest pipeline over ``made`` (at ``fps`` frames per second,
    unpaced when 0): Redis CPU µs per frame."""
    cam, det = "{%s}:camera" % name, "{%s}:detector" % name
    client.xgroup_create(cam, "detector", id="0", mkstream=True)
    client.xgroup_create(det, "sink", id="0", mkstream=True)
    before, started = cpu_s(client), time.monotonic()
    for i, text, answer in made:
        if fps > 0:
            time.sleep(max(0.0, started + i / fps - time.monotonic()))
        client.xadd(cam, {"p": text, "f": i})
        (_, [(entry, _)]), = client.xreadgroup("detector", "d1", {cam: ">"}, count=1, block=500)
        client.xack(cam, "detector", entry)
        client.xadd(det, {"p": answer, "f": i})
        (_, [(entry, _)]), = client.xreadgroup("sink", "s1", {det: ">"}, count=1, block=500)
        client.xack(det, "sink", entry)
    spent = cpu_s(client) - before
    client.delete(cam, det)
    return spent / len(made) * 1e6


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--frames", type=int, default=300)
    parser.add_argument("--fps", type=float, default=0.0, help="the demo's pace (0: unpaced)")
    args = parser.parse_args()
    made = payloads(args.frames)
    demo, plainest = [], []
    with PrivateRedis() as server:
        client = redis.Redis.from_url(server.url)
        for i in range(args.rounds):
            demo.append(demo_round(server.url, client, args.frames, args.fps))
            plainest.append(plainest_round(client, made, "plainest%d" % i, args.fps))
            print("round %d: demo %.0f, plainest %.0f us of Redis CPU per frame (ratio %.2f)"
                  % (i + 1, demo[-1], plainest[-1], demo[-1] / plainest[-1]), flush=True)
    ratios = [d / p for d, p in zip(demo, plainest)]
    print("demo     median %.0f us per frame (%.0f-%.0f)" % (statistics.median(demo), min(demo),
                                                            max(demo)))
    print("plainest median %.0f us per frame (%.0f-%.0f)" % (statistics.median(plainest),
                                                            min(plainest), max(plainest)))
    print("ratio    median %.2f (%.2f-%.2f)" % (statistics.median(ratios), min(ratios),
                                                max(ratios)))


if __name__ == "__main__":
    main()
