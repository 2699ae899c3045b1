"""The pipeline's ports on Redis Streams: trimming, backpressure, claims of a
dead consumer's frames, the sink's reordering, faults, and stages started
one by one."""
import importlib.util
import os
import subprocess
import sys
import time
import uuid

import pytest

from test_pipeline import EXAMPLES, server  # noqa: F401  (the fixture)

from pemu_ports import FIELD, Consumer, Member, Publisher, Run, Stalled, ensure_group  # noqa: E402
from pemu_ports.streams import TRIM_EVERY  # noqa: E402
from pipeline.options import Options  # noqa: E402
from pipeline.runs import CAMERA  # noqa: E402
from pipeline.server import PrivateRedis  # noqa: E402
from pipeline.summary import Reorder  # noqa: E402
from pipeline.whole_run import run  # noqa: E402

redis = pytest.importorskip("redis")


def test_reorder_restores_order_and_drops_duplicates():
    r = Reorder(limit=3)
    assert r.push(1, "b") == [] and r.push(2, "c") == []
    assert r.push(0, "a") == ["a", "b", "c"]
    assert r.push(2, "c again") == [] and r.push(0, "a again") == []
    assert r.push(3, "d") == ["d"]
    assert r.duplicates == 2 and r.late == 0
    # a gap longer than the limit: the oldest held frame goes out, and the
    # gap's frame goes out when it comes, counted late
    assert [r.push(i, i) for i in (5, 6, 7)] == [[], [], []]
    assert r.push(8, 8) == [5, 6, 7, 8]
    assert r.push(4, 4) == [4] and r.late == 1
    assert r.push(10, 10) == [] and r.flush() == [10] and r.flush() == []
    assert r.push(11, 11) == [11] and r.push(9, 9) == [9] and r.late == 2
    # a sink that follows one that died: what went out before is passed
    # over, and a frame set aside upstream stands in for itself
    r = Reorder(limit=3, done={0, 1, 3})
    assert r.push(4, "e") == [] and r.push(2, "c") == ["c", "e"]
    assert r.push(6, "g") == [] and r.skip(5, "set aside") == ["set aside", "g"]
    assert r.push(3, "d again") == [] and r.skip(6, "x") == [] and r.duplicates == 1


@pytest.fixture
def client(server):  # noqa: F811
    """A run of one port, its stream (the scripts need the run's hash)."""
    c = redis.Redis.from_url(server.url)
    run = Run(c, uuid.uuid4().hex, ["port"])
    c.hset(run.key, "created", 1)
    yield run, run.ports[0]
    c.delete(run.key, *run.keys())
    assert c.keys(run.prefix + "*") == []


def payloads(entries):
    return [fields[FIELD] for _, fields, _ in entries]


def test_only_what_every_group_acknowledged_is_trimmed(client):
    run, stream = client
    c = run.client
    publisher = Publisher(run, stream, ["fast", "slow"], window=100)
    for i in range(10):
        publisher.publish(b"%d" % i, i)
    fast = Consumer(run, stream, "fast", "f", claim_idle=60)
    slow = Consumer(run, stream, "slow", "s", claim_idle=60)
    taken = [fast.take()[0] for _ in range(6)]
    for entry_id, _, _ in taken[:2] + taken[3:]:
        fast.deliver(entry_id, 0, None)
    def trimmed():
        return run.scripts.trim([run.key, stream], [])
    assert trimmed() == 10  # the slow group has read nothing yet
    for _ in range(4):
        slow.deliver(slow.take()[0][0], 0, None)
    # the fast group still needs its third entry: everything from there on stays
    assert trimmed() == 8
    fast.deliver(taken[2][0], 0, None)
    assert trimmed() == 6
    assert [f[b"p"] for _, f in c.xrange(stream)] == [b"4", b"5", b"6", b"7", b"8", b"9"]
    assert fast.state()[:3] == (None, 1, 0)
    c.set(stream + ":end", 10)
    for consumer in (fast, slow):
        while True:
            entries = consumer.take()
            if not entries:
                break
            consumer.deliver(entries[0][0], 0, None)
        assert consumer.state()[:3] == (10, 0, 0)
    assert run.left() == 0


def test_steps_trim_their_ports_every_few_entries(client):
    run, stream = client
    c = run.client
    publisher = Publisher(run, stream, ["g"], window=100)
    inbox = Consumer(run, stream, "g", "me", claim_idle=60)
    lengths = []
    for i in range(4 * TRIM_EVERY):
        publisher.publish(b"%d" % i, i)
        inbox.deliver(inbox.take()[0][0], i, None)
        lengths.append(c.xlen(stream))
    # acknowledged entries wait at most a few steps for the next trim
    assert max(lengths) == TRIM_EVERY - 1 and lengths.count(0) == 4
    assert run.left() == 0


def test_a_step_whose_script_the_server_lost_publishes_once(client):
    run, stream = client
    c = run.client
    c.xgroup_create(stream + ":out", "next", id="0", mkstream=True)
    publisher = Publisher(run, stream, ["g"], window=8)
    publisher.publish(b"frame", 0)
    inbox = Consumer(run, stream, "g", "me", claim_idle=60)
    (entry_id, _, _), = inbox.take()
    answers = Publisher(run, stream + ":out", ["next"], window=8)
    c.script_flush()  # the transaction's XADD runs, its script fails: run again alone
    answers.publish(b"answer", 0, ack=(inbox, entry_id))
    assert [f[FIELD] for _, f in c.xrange(stream + ":out")] == [b"answer"]
    assert c.xpending(stream, "g")["pending"] == 0 and not inbox.held
    c.delete(stream + ":out")


def test_beats_refresh_the_expiry_of_the_runs_keys_now_and_then(server):  # noqa: F811
    c = redis.Redis.from_url(server.url)
    run = Run(c, uuid.uuid4().hex, ["port"], keep=10.0, alive_ttl=0.4)
    member = Member(run, "stage", "m")
    try:
        member.join()
        ensure_group(run, run.ports[0], "g")
        first = c.pttl(run.key)
        time.sleep(0.3)
        member.beat()  # its mark only: the keys expire in keep, refreshed every tenth of it
        assert c.pttl(run.key) < first - 250 and c.hget(run.alive("stage"), "m")
        time.sleep(0.8)
        member.beat()
        assert min(c.pttl(k) for k in (run.key, run.ports[0])) > 9500
    finally:
        c.delete(run.key, *run.keys())


def test_publisher_waits_for_its_readers_and_gives_up_when_they_stall(client):
    run, stream = client
    publisher = Publisher(run, stream, ["g"], window=4, stall=0.3)
    for i in range(3):
        assert publisher.publish(b"x", i)[1] < 0.2  # room left: no wait
    started = time.monotonic()
    with pytest.raises(Stalled):
        publisher.publish(b"x", 3)
    assert time.monotonic() - started >= 0.3
    assert run.client.xlen(stream) == 4  # nothing unread was dropped to make room


def test_frames_a_dead_consumer_held_are_claimed(client):
    run, stream = client
    c = run.client
    publisher = Publisher(run, stream, ["g"], window=100)
    for i in range(3):
        publisher.publish(b"%d" % i, i)
    dead = Consumer(run, stream, "g", "dead", claim_idle=60)
    held = dead.take()[0]
    patient = Consumer(run, stream, "g", "alive", claim_idle=60)
    first = [patient.take()[0] for _ in range(2)]
    assert payloads(first) == [b"1", b"2"] and not any(e[2] for e in first)
    for entry_id, _, _ in first:
        patient.deliver(entry_id, 0, None)
    assert c.xlen(stream) == 3  # the dead one's entry holds the window open
    alive = Consumer(run, stream, "g", "alive", claim_idle=0.2)
    deadline = time.monotonic() + 10
    claimed = []
    while not claimed and time.monotonic() < deadline:
        claimed = alive.take()
    assert [(i, f[FIELD], r) for i, f, r in claimed] == [(held[0], b"0", True)]
    assert alive.reclaimed == 1
    alive.deliver(held[0], 0, None)
    assert run.left() == 0


FRAMES = 40


def test_killed_detector_loses_no_frame(server, tmp_path):  # noqa: F811
    opts = Options(frames=FRAMES, fps=0, width=160, height=120, detectors=2,
                   kill_detector=12, window=8, reorder=7, claim_idle=0.3, picture=True)
    report = run(server.url, opts)
    records = report.records
    assert [r["frame_id"] for r in records] == list(range(FRAMES))
    for r in records:
        assert r["source"]["frame_id"] == r["frame_id"]
        assert r["source"]["id"] == CAMERA["id"] and r["hits"] == r["expected"] == 3
    summary = report.summary()
    assert (summary["received"], summary["lost"], summary["out_of_order"]) == (FRAMES, 0, 0)
    assert summary["fault"][0] == 12 and summary["left"] == 0
    # the survivor answered every frame the killed one could not have taken
    detectors = [r["detector"] for r in records]
    survivor = detectors[-1]
    assert all(d == survivor for d in detectors[12 + opts.window * 2:])
    assert redis.Redis.from_url(server.url).keys("pemu-demo:*") == []
    for stage in ("camera", "detector", "sink"):
        assert summary["steps"][stage]
    assert set(summary["steps"]["camera"]) == {"render", "encode", "text", "publish", "wait"}
    # the picture of the run: a strip of frames above the latency plot
    # (matplotlib is pinned for the demo's interpreter only; CI's pipeline
    # check runs the demo there with --report and requires the picture)
    if importlib.util.find_spec("matplotlib") is None:
        return
    from pipeline.picture import draw, strip_records
    strip = [r["frame_id"] for r in strip_records(records, report.fault)]
    assert len(strip) == 6 and strip == sorted(strip) and 12 in strip
    import cv2
    from pipeline.pixels import decode
    # the frames as the detectors forwarded them, at the run's size
    kept = report.samples.frames()
    assert len(kept) >= 6 and {decode(p, (160, 120)).shape for p in kept.values()} == {
        (120, 160, 3)}
    strip = strip_records(records, report.fault, kept=set(kept))
    assert len(strip) == 6 and all(r["frame_id"] in kept for r in strip)
    image = cv2.imread(draw(report, str(tmp_path / "report")))
    assert image is not None and image.shape[0] > 600 and image.shape[1] > 800


def demo(*args, **kwargs):
    return subprocess.Popen([sys.executable, "-m", "pipeline"] + list(args), cwd=EXAMPLES,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            universal_newlines=True, **kwargs)


def test_stages_started_one_by_one_share_a_server(server):  # noqa: F811
    name = "t" + uuid.uuid4().hex[:8]
    common = ["--redis", server.url, "--run", name, "--frames", "12", "--fps", "0",
              "--size", "160x120"]
    sink = demo("sink", *common)
    detectors = [demo("detector", *common) for _ in range(2)]
    camera = demo("camera", *common)
    try:
        out, err = sink.communicate(timeout=60)
        assert sink.returncode == 0, err
        assert "12 sent, 12 received, 0 lost, 0 out of order" in out
        for stage in [camera] + detectors:
            assert stage.wait(30) == 0
    finally:
        for stage in [sink, camera] + detectors:
            if stage.poll() is None:
                stage.kill()
            stage.communicate()
    assert redis.Redis.from_url(server.url).keys("pemu-demo:%s*" % name) == []


def test_sink_alone_reports_the_run_it_served(server):  # noqa: F811
    # the sink runs with its defaults (15 fps, 640x480, jpg, base85); the
    # camera and the one detector at other settings: the sink says the run's
    name = "t" + uuid.uuid4().hex[:8]
    common = ["--redis", server.url, "--run", name]
    made = ["--frames", "8", "--fps", "0", "--size", "200x150", "--encoder", "png", "--base64"]
    sink = demo("sink", *common + ["--quiet"])
    stages = [demo("detector", *common + made), demo("camera", *common + made)]
    try:
        out, err = sink.communicate(timeout=60)
        assert sink.returncode == 0, err
        assert out.startswith("summary (unpaced, 200x150 png base64, 1 detector, block, "
                              "Redis at "), out
        assert "8 sent, 8 received, 0 lost" in out and "24 of 24 shapes found" in out, out
    finally:
        for stage in [sink] + stages:
            if stage.poll() is None:
                stage.kill()
            stage.communicate()


def test_server_going_away_stops_the_run_clearly(server):  # noqa: F811  (redis-server is there)
    with PrivateRedis() as private:
        proc = demo("--redis", private.url, "--frames", "100000", "--fps", "50",
                    "--size", "160x120")
        first = proc.stdout.readline()
        assert first.startswith("frame     0"), proc.stderr.read()
    stopped = time.monotonic()
    out, err = proc.communicate(timeout=30)
    assert time.monotonic() - stopped < 10
    assert proc.returncode == 1, err
    assert err.strip().splitlines() == [err.strip()], err
    assert err.startswith("demo: error: lost the connection to Redis at unix://"), err
    assert "Traceback" not in out + err


@pytest.mark.parametrize("args, message", [
    (["--detectors", "1", "--kill-detector", "3"], "at least 2 detectors"),
    (["--kill-detector", "200"], "--kill-detector must be below --frames"),
    (["camera"], "a stage run alone needs --redis URL"),
    (["--detectors", "0"], "--detectors must be between 1 and 16"),
    (["--max-frame", "640"], "--max-frame must look like 1280x960"),
    (["--max-frame", "0x480"], "each side from 1 to 16384"),
])
def test_fault_and_stage_options_are_checked(args, message):
    out, err = demo(*args).communicate(timeout=60)
    assert message in err and out == ""


def test_a_run_name_that_has_ended_is_refused(server):  # noqa: F811
    name = "t" + uuid.uuid4().hex[:8]
    c = redis.Redis.from_url(server.url)
    c.set("pemu-demo:{%s}:camera-1:out:0:end" % name, 3)
    try:
        proc = demo("camera", "--redis", server.url, "--run", name)
        out, err = proc.communicate(timeout=60)
    finally:
        c.delete("pemu-demo:{%s}:camera-1:out:0:end" % name)
    assert proc.returncode == 1 and "has ended already" in err
    assert os.path.isdir(EXAMPLES)
