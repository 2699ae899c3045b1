"""Runs that never end stay bounded, against a real redis-server: the record
of delivered frames and the sink's figures stay small, Redis and every stage
stay flat over a long fast run, a frame that would decode to gigabytes is
set aside undecoded, every key expires whenever a stage dies, and the status
view sees every run and survives foreign or malformed keys."""
import base64
import json
import random
import signal
import struct
import subprocess
import sys
import time
import uuid
import zlib

import pytest

from test_pipeline import EXAMPLES, server  # noqa: F401  (the fixture)
from test_pipeline_faults import Stages, matrix
from test_pipeline_streams import client  # noqa: F401  (a run of one port)

from pemu_ports import Consumer, Publisher, Run, ensure_group  # noqa: E402
from pemu_sdk.redis.pemu_data import PemuData  # noqa: E402
from pemu_sdk.redis.utils import img_to_str  # noqa: E402
from pipeline.frame_limit import (FrameTooLarge, default_limit, guarded,  # noqa: E402
                                  image_size)
from pipeline.frame_set import FrameSet, RecentIds  # noqa: E402
from pipeline.options import Options  # noqa: E402
from pipeline.runs import CAMERA, PORTS  # noqa: E402
from pipeline.sink import deliver, deliver_all  # noqa: E402
from pipeline.summary import Reorder, Report  # noqa: E402
from pipeline.totals import Totals  # noqa: E402

redis = pytest.importorskip("redis")
np = pytest.importorskip("numpy")


@pytest.fixture
def stages(server):  # noqa: F811
    s = Stages(server.url)
    yield s
    s.close()
    s.client.delete(*s.keys() or ["none"])


# ---- What the sink keeps: watermarks, totals, a ring of records ----

def test_a_frame_set_keeps_a_watermark_and_the_few_above_it():
    s = FrameSet(span=8)
    assert [s.add(i) for i in (1, 2, 0, 2)] == [True, True, True, False]
    assert (s.low, len(s)) == (3, 0) and 2 in s and 3 not in s
    for i in range(5, 14):  # 4 never comes: more than 8 wait above it
        s.add(i)
    assert s.low == 14 and len(s) == 0 and 4 in s  # counted as in, from now on
    r = Reorder(limit=3, done=FrameSet(low=5, ids={6}))
    assert r.push(3, "old") == [] and r.duplicates == 1  # below the watermark: went out
    assert r.next == 5 and r.push(5, "f") == ["f"] and r.next == 7  # 6 went out before
    assert r.push(6, "again") == [] and r.duplicates == 2
    for i in range(7, 20000):
        r.push(i, i)
    assert len(r.seen) == 0 and r.duplicates == 2


def test_recent_ids_stay_within_their_horizon_in_any_order():
    ids = RecentIds(horizon=100)
    peak = 0
    for i in range(1000):  # in order, a third of the frames
        if i % 3 == 0:
            ids.add(i)
            peak = max(peak, len(ids.ids))
    assert 999 in ids and 600 not in ids and peak <= 2 * 100 // 3 + 1
    for i in range(900, 0, -1):  # late ones, the highest never moving on
        ids.add(i)
        assert len(ids.ids) <= 4 * 100
    assert 999 in ids and 951 in ids


def records(n, seed=1):
    rnd = random.Random(seed)
    for i in range(n):
        ts = 1000.0 + i / 30.0
        record = {"frame_id": i, "source": {"ts": ts}, "camera_bytes": 1000 + i % 7,
                  "detector_bytes": 300, "detect_ms": 2.0, "reclaimed": i % 50 == 0,
                  "detector": "d%d" % (i % 2), "finder": "shapes", "shapes": [{}] * 3,
                  "hits": 3, "expected": 3}
        yield Report.stamp(record, ts + rnd.lognormvariate(3, 0.6) / 1e3)


def test_totals_keep_the_figures_of_every_frame_in_a_bounded_size():
    exact = Report(Options(frames=400))
    for r in records(400):
        exact.add_record(r)
    latencies = sorted(r["latency_ms"] for r in records(400))
    summary = exact.summary()  # a short run keeps every latency: exact figures
    assert summary["latency_ms"]["p95"] == latencies[int(round(0.95 * 399))]
    assert (summary["received"], summary["lost"], summary["reclaimed"],
            summary["detectors"], summary["hits"]) == (400, 0, 8, 2, 1200)
    assert summary["camera_bytes"] == sum(r["camera_bytes"] for r in records(400)) / 400
    n = 10 * Report.RECENT
    long = Report(Options(frames=n))
    for r in records(n):
        long.add_record(r)
    latencies = sorted(r["latency_ms"] for r in records(n))
    summary = long.summary()
    for p in (50, 95, 99):  # from the histogram: within its 2 % buckets
        want = latencies[int(round(p / 100.0 * (n - 1)))]
        assert abs(summary["latency_ms"]["p%d" % p] - want) <= 0.02 * want
    assert summary["latency_ms"]["max"] == latencies[-1]
    assert (summary["received"], summary["lost"], summary["out_of_order"]) == (n, 0, 0)
    assert len(long.records) == Report.RECENT
    assert 25 < long.fps() < 36
    text = long.totals.dumps()
    assert len(text) < 8000 and Totals.loads(text).state() == long.totals.state()


def test_a_detectors_payload_of_the_wrong_kinds_is_refused_before_the_totals():
    # the sink sets aside what record() refuses; what it takes, the totals
    # (and their JSON) must take too, whatever a peer put in its fields
    meta = {"source": {"frame_id": 7, "ts": 1000.0}, "frame_format": {}, "size": [64, 48],
            "camera_bytes": 900, "detect_ms": 1.5, "detector": "d", "truth": []}
    report = Report(Options(frames=10))
    good = report.record({"meta": meta, "result": []}, b"x")
    for field, bad in [("ts", float("nan")), ("ts", "1000"), ("ts", 10 ** 400),
                       ("camera_bytes", "900"), ("detect_ms", float("inf")),
                       ("detector", ["d"]), ("finder", {}), ("result", 3), ("pixels", 5),
                       ("pixels", {"text": 5}), ("pixels", {"text": "x", "encoder": "gif"})]:
        broken = dict(meta, source=dict(meta["source"]))
        if field == "ts":
            broken["source"]["ts"] = bad
        elif field != "result":
            broken[field] = bad
        with pytest.raises((ValueError, OverflowError)):
            report.record({"meta": broken, "result": bad if field == "result" else []}, b"x")
    # time stamps far off either way land in the end buckets
    for ts in (1e300, -1e300, 0.0):
        record = report.record({"meta": dict(meta, source={"frame_id": 1, "ts": ts}),
                                "result": []}, b"x")
        report.add_record(Report.stamp(record, 1000.0))
    report.add_record(Report.stamp(good, 1000.001))
    totals = Totals.loads(report.totals.dumps())
    assert totals.n == 4 and len(totals.buckets) <= 1047
    assert totals.percentile(0) == pytest.approx(0.01, rel=0.02)


def test_the_delivered_record_compacts_and_refuses_what_it_has(client):  # noqa: F811
    run_, stream = client
    c = run_.client
    publisher = Publisher(run_, stream, ["sink"], window=1000)
    for i in range(600):
        publisher.publish(b"x", i)
    sink = Consumer(run_, stream, "sink", "s", claim_idle=60, span=16)
    order = list(range(600))
    for start in range(0, 600, 10):  # each ten out of order
        random.Random(start).shuffle(order[start:start + 10])
        order[start:start + 10] = sorted(order[start:start + 10], key=lambda i: -i)
    sizes = []
    for frame in order:
        if frame % 97 == 5:
            continue  # set aside upstream: settled with the next delivery
        entry = sink.take()[0][0]
        settled = [frame - 1] if frame % 97 == 6 else []
        assert sink.deliver(entry, frame, '{"n": %d}' % frame, settled)
        sizes.append(c.hlen(run_.delivered))
    assert max(sizes) <= 10 + 3
    low, above, count, totals = run_.delivered_frames()
    assert (low, above, count, totals) == (600, set(), 600 - 7, b'{"n": 590}')  # each ten backwards
    # a frame delivered before, below the watermark or above it: a duplicate
    publisher.publish(b"again", 3)
    assert not sink.deliver(sink.take()[0][0], 3, "{}") and c.hget(run_.key, "duplicates") == b"1"
    # a gap that never fills: the watermark moves past it after 16 frames
    for i in range(601, 640):
        publisher.publish(b"x", i)
        assert sink.deliver(sink.take()[0][0], i, "{}")
        assert c.hlen(run_.delivered) <= 16 + 3 + 1
    assert run_.delivered_frames()[0] == 640 and c.pttl(run_.delivered) > 0


def test_a_delivery_sent_again_after_its_reply_was_lost_counts_once(client):  # noqa: F811
    run_, stream = client
    publisher = Publisher(run_, stream, ["sink"], window=10)
    for i in range(3):
        publisher.publish(b"x", i)
    inbox = Consumer(run_, stream, "sink", "s", claim_idle=60)
    entries = [inbox.take()[0][0] for _ in range(3)]
    report, (first, second, _) = Report(Options(frames=3)), records(3)
    report.add_record(first, deliver(inbox, report, entries[0], first))
    # the step ran but its reply was lost: the client sends it again
    inbox.deliver(entries[1], 1, report.with_record(second).dumps())
    totals = deliver(inbox, report, entries[1], second)
    assert totals is not None and (totals.n, totals.last_id) == (2, 1)
    report.add_record(second, totals)
    # a frame delivered before, not by the step sent again: a duplicate
    assert deliver(inbox, report, entries[2], first) is None
    assert run_.delivered_frames()[2] == report.received == 2


def test_frames_delivered_together_are_all_new_or_left_to_be_sent_one_by_one(
        client):  # noqa: F811
    run_, stream = client
    c = run_.client
    Publisher(run_, stream, ["sink"], window=20).publish_all([(b"x", i) for i in range(8)])
    inbox = Consumer(run_, stream, "sink", "s", claim_idle=60, batch=8)
    entries = [entry_id for entry_id, _, _ in inbox.take()]
    assert len(entries) == 8  # one read
    inbox.set_aside(entries[3], "unreadable")  # frame 3: settled with the next step
    assert inbox.deliver_all([(entries[0], 0), (entries[1], 1)], '{"n": 2}', [3])
    assert run_.delivered_frames() == (2, {3}, 2, b'{"n": 2}')
    # one of them done already, or a frame recorded above the watermark:
    # nothing is written, nothing acknowledged
    assert not inbox.deliver_all([(entries[2], 2), (entries[4], 1)], '{"n": 4}')
    assert not inbox.deliver_all([(entries[2], 2), (entries[4], 4)], '{"n": 4}')
    assert run_.delivered_frames()[:3] == (2, {3}, 2) and c.hget(run_.key, "duplicates") is None
    assert c.xpending(stream, "sink")["pending"] == 5 and len(inbox.held) == 5
    assert inbox.deliver(entries[2], 2, '{"n": 3}') and inbox.deliver(entries[4], 4, '{"n": 4}')
    # the sink's batch sent again after its reply was lost: delivered here, once
    report, batch = Report(Options(frames=8)), list(records(3))
    report.add_record(batch[0], deliver(inbox, report, entries[5], dict(batch[0], frame_id=5)))
    pairs = list(zip(entries[6:], (dict(r, frame_id=6 + i) for i, r in enumerate(batch[1:]))))
    lost = report.with_record(pairs[0][1])
    lost.add(pairs[1][1])
    assert inbox.deliver_all([(entries[6], 6), (entries[7], 7)], lost.dumps())
    done = deliver_all(inbox, report, pairs)
    assert [(r["frame_id"], t.n) for r, t in done] == [(6, 2), (7, 3)]
    assert run_.delivered_frames()[:3] == (8, set(), 7) and not inbox.held
    assert c.xpending(stream, "sink")["pending"] == 0


@matrix
def test_a_sink_restarted_deep_into_a_run_reports_the_whole_run_once(stages):
    sink, detectors, camera = stages.begin(1200, 0, 1, "--quiet")
    key = stages.key("delivered")
    stages.delivered(500)
    assert stages.client.hlen(key) <= 40
    sink.kill()
    sink.communicate()
    out = stages.complete(stages.start("sink", "--quiet"), 1200, detectors + [camera])
    earlier = int(out.split(" frames delivered by a sink before this one")[0].split()[-1])
    assert 500 <= earlier < 1200 and "%d by this one" % (1200 - earlier) in out


def rss_kb(pid, field="VmRSS"):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise AssertionError("no %s for %d" % (field, pid))


@matrix
@pytest.mark.parametrize("overflow", [False, True])
def test_a_long_fast_run_keeps_redis_and_every_stage_flat(stages, overflow):
    # unpaced small frames: several hundred a second, many thousands in the
    # run; with drop-oldest, a slow detector behind the camera: most frames
    # dropped, logged and counted without end
    if overflow:
        policy = ["--overflow", "drop-oldest"]
        sink = stages.start("sink", "--quiet", *policy)
        detectors = [stages.start("detector", "--detector-delay", "5", *policy)]
        camera = stages.start("camera", "--frames", str(10 ** 7), "--fps", "0", *policy)
    else:
        sink, detectors, camera = stages.begin(10 ** 7, 0, 1, "--quiet")
    procs = [sink] + detectors + [camera]
    samples = []
    started = time.monotonic()
    while time.monotonic() - started < 55:
        time.sleep(2.5)
        assert all(p.poll() is None for p in procs), [p.communicate() for p in procs]
        samples.append((time.monotonic() - started,
                        stages.client.info("memory")["used_memory"],
                        [rss_kb(p.pid) for p in procs],
                        int(stages.client.hget(stages.key("delivered"), "count") or 0),
                        stages.client.hlen(stages.key("delivered"))))
    middle = [s for s in samples if s[0] >= 27][0]
    last = samples[-1]
    assert last[3] - middle[3] > 600 // (10 if overflow else 1), samples  # the run went on
    if overflow:  # the drops went on too, past the logs' cap
        dropped = sum(int(v) for k, v in stages.client.hgetall(stages.key("run")).items()
                      if k.startswith(b"dropped:"))
        assert dropped > 3 * 4096, dropped
    # the delivered record stays small: a few fields once frames flow, at most
    # the span above a frame still out (the detector's first one, slow while
    # its codec loads, holds the watermark while thousands are dropped)
    assert max(s[4] for s in samples) <= 4096 + 3, samples
    assert max(s[4] for s in samples if s[0] >= 27) <= 40, samples
    assert last[1] - middle[1] < 512 * 1024, samples
    for before, after in zip(middle[2], last[2]):
        assert after - before < 6 * 1024, samples  # KB of RSS per stage


# ---- Frames that would decode too large ----

def big_png(side):
    """A valid PNG of side x side black pixels: small, as it compresses."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    packer, row = zlib.compressobj(9), bytes(1 + 3 * side)
    data = b"".join(packer.compress(row) for _ in range(side)) + packer.flush()
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", data) + chunk(b"IEND", b""))


def payload(frame_text, with_base64=False):
    envelope = PemuData(0, CAMERA, CAMERA, 0)
    envelope.meta.update_source({"frame_id": 0, "ts": time.time()})
    out = envelope.create_pemu_data(ext_info={"truth": []}, frame=np.zeros((8, 8, 3), np.uint8))
    out["frame"] = frame_text
    out["meta"]["frame_format"]["with_base64"] = with_base64
    return json.dumps(out).encode()


@pytest.mark.parametrize("encoder", ["jpg", "png"])
@pytest.mark.parametrize("with_base64", [False, True])
def test_the_envelope_decodes_no_frame_beyond_the_limit(encoder, with_base64):
    text = img_to_str(np.zeros((120, 160, 3), np.uint8), encoder, with_base64)
    limit = [(160, 120)]
    envelope = PemuData(0, CAMERA, CAMERA, 0)
    with guarded(lambda: limit[0]):
        # at the limit: decoded, the payload read once, by the envelope
        assert envelope.parse_pemu_data(payload(text, with_base64))["frame"].shape == (120, 160, 3)
        limit[0] = (159, 120)
        with pytest.raises(FrameTooLarge, match="frame of 160x120 exceeds the limit of 159x120"):
            envelope.parse_pemu_data(payload(text, with_base64))
        for other in (base64.b64encode(b"BM" + bytes(60)).decode(),  # not JPEG nor PNG
                      img_to_str(np.zeros((8, 8, 3), np.uint8), encoder, not with_base64)):
            with pytest.raises(FrameTooLarge, match="not a JPEG or PNG"):
                envelope.parse_pemu_data(payload(other, with_base64))
    # outside, the envelope decodes as it did; nothing is left wrapped around
    assert envelope.parse_pemu_data(payload(text, with_base64))["frame"].shape == (120, 160, 3)
    # by default twice each side of the camera's frames; a source's are not known
    settings = {"source": None, "width": 160, "height": 120}
    assert default_limit(settings) == (320, 240)
    assert default_limit(dict(settings, source="clip.mp4")) == default_limit(None) == (4096, 4096)


def jpeg(width, height, app=60000):
    sof = b"\xff\xc0\x00\x11\x08" + struct.pack(">HH", height, width) + b"\x03" + bytes(9)
    meta = b"\xff\xe1" + struct.pack(">H", app + 2) + bytes(app)  # metadata before the size
    return b"\xff\xd8" + meta + b"\xff\xff\xff\xd0" + sof + b"\xff\xda" + bytes(40)


@pytest.mark.parametrize("with_base64", [False, True])
def test_a_jpeg_header_is_walked_wherever_its_segments_put_the_size(with_base64):
    encode = base64.b64encode if with_base64 else base64.b85encode

    def size(image_text):
        try:
            return image_size(image_text, with_base64)
        except ValueError:
            return None
    image = jpeg(15000, 12000)
    text = encode(image).decode()
    assert size(text) == (15000, 12000, 3)
    # a frame with the same header characters has the same size; one whose
    # size differs, even by a byte, is read again
    assert size(text[:-8] + encode(bytes(6)).decode()) == (15000, 12000, 3)
    assert size(encode(jpeg(15000, 12001)).decode()) == (15000, 12001, 3)
    assert size(text) == (15000, 12000, 3)
    cut = len(text) * (len(image) - 60) // len(image)  # ends inside the size's segment
    assert size(text[:cut]) is None
    assert size(encode(jpeg(640, 480, app=10)).decode()) == (640, 480, 3)
    endless = b"\xff\xd8" + b"\xff\xd0" * 5000 + jpeg(1, 1)[2:]  # bare markers without end
    assert size(encode(endless).decode()) is None
    assert size("\u00e9" * 40) is None and size("") is None


@matrix
@pytest.mark.parametrize("where", ["camera-1", "detector-1"])
def test_an_oversized_frame_is_set_aside_undecoded(stages, where):
    text = base64.b85encode(big_png(15000)).decode()
    assert len(text) < 2 << 20  # a small payload, 675 MB of pixels
    # no camera yet, no run's frame size: the largest frame the demo makes,
    # unless the stage is told
    limit = "4096x4096" if where == "camera-1" else "640x480"
    sink = stages.start("sink", "--quiet", "--max-frame", limit)
    detector = stages.start("detector")
    stream = stages.key(where + ":out:0")
    stages.wait_for(lambda: stages.client.exists(stream))
    stages.client.xadd(stream, {"p": payload(text)})
    stages.wait_for(lambda: stages.client.xlen(stream + ":dead") == 1)
    error = stages.client.xrange(stream + ":dead")[0][1][b"error"].decode()
    assert error == ("FrameTooLarge: frame of 15000x15000 exceeds the limit of %s (--max-frame)"
                     % limit)
    reader = detector if where == "camera-1" else sink
    assert rss_kb(reader.pid, "VmHWM") < 250 * 1024
    camera = stages.start("camera", "--frames", "10", "--fps", "0")
    out = stages.complete(sink, 10, [detector, camera])
    assert "0 set aside" in out and "dead       1 at %s (" % stream in out


# ---- Every key expires; the status view sees every run ----

def test_a_group_and_its_stream_are_made_with_the_runs_expiry(client):  # noqa: F811
    run_, stream = client
    ensure_group(run_, stream, "g")
    assert 0 < run_.client.pttl(stream) <= run_.keep_ms
    run_.client.persist(stream)
    ensure_group(run_, stream, "g")  # there already: the expiry mended, the group kept
    assert run_.client.pttl(stream) > 0 and len(run_.client.xinfo_groups(stream)) == 1


def status(url, *args):
    return subprocess.run([sys.executable, "-m", "pipeline", "status", "--redis", url] + list(args),
                          cwd=EXAMPLES, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=60)


@matrix
@pytest.mark.parametrize("stage", ["detector", "sink"])
def test_a_stage_killed_as_its_group_appears_leaves_keys_that_expire(stages, stage):
    proc = stages.start(stage)
    stream = stages.key(PORTS[0 if stage == "detector" else 1])
    stages.wait_for(lambda: stages.client.exists(stream), timeout=60)
    proc.send_signal(signal.SIGKILL)
    proc.communicate()
    keys = stages.keys()
    assert keys and all(stages.client.pttl(k) > 0 for k in keys)
    others = [k for k in keys if k.decode() != stream]
    if others:
        stages.client.delete(*others)
    out = status(stages.url, "--run", stages.name)  # a run whose only key is the stream
    assert out.returncode == 0 and out.stdout.startswith("run %s: 0 frames" % stages.name)
    assert "group %s" % stage in out.stdout


def test_status_skips_foreign_and_malformed_keys_one_line_each(server):  # noqa: F811
    c = redis.Redis.from_url(server.url)
    good = Run(c, "good-" + uuid.uuid4().hex[:6], PORTS, alive_ttl=60)
    c.hset(good.key, mapping={"created": 1, "duplicates": "many"})
    ensure_group(good, good.ports[0], "detector")
    c.hset(good.alive("detector"), mapping={"d-1": "soon", "d-2": str(10 ** 15)})
    foreign = ["pemu-demo:{other}:run", "pemu-demo:{bad name}:run", "pemu-demo:{x"]
    c.set(foreign[0], "not a hash")
    c.set(foreign[1], 1)
    c.set(foreign[2], 1)
    try:
        out = status(server.url)
        assert out.returncode == 0 and out.stderr == ""
        lines = out.stdout.splitlines()
        assert "run %s: 0 frames delivered, 0 duplicates dropped" % good.name in lines
        assert " ".join(lines[lines.index("run %s: 0 frames delivered, 0 duplicates dropped"
                                          % good.name) + 1].split()) == \
            "alive camera -; detector d-2; sink -"
        skipped = sorted(line for line in lines if line.startswith("skipped"))
        assert skipped == sorted([
            "skipped d-1 in %s: not a number ('soon')" % good.alive("detector"),
            "skipped duplicates in %s: not a number ('many')" % good.key,
            "skipped key pemu-demo:{other}:run: a string, not a hash",
            "skipped key pemu-demo:{bad name}:run: not a key of a run",
            "skipped key pemu-demo:{x: not a key of a run"])
        assert status(server.url, "--run", "other").returncode == 1  # nothing of it to show
    finally:
        c.delete(good.key, good.alive("detector"), *good.keys(), *foreign)
