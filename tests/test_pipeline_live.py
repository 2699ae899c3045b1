"""Video sources, the drop-oldest policy for live feeds, the stages' metrics
and the status view, against a real redis-server."""
import os
import socket
import subprocess
import sys
import time
import urllib.request
import uuid

import numpy as np
import pytest

from test_pipeline import EXAMPLES, server  # noqa: F401  (the fixture)

from pemu_ports import DROP_OLDEST, Consumer, Member, Publisher, Run  # noqa: E402
from pipeline.camera import camera  # noqa: E402
from pipeline.detector import detector  # noqa: E402
from pipeline.options import Options  # noqa: E402
from pipeline.runs import CAMERA, DETECTOR, PORTS  # noqa: E402
from pipeline.sink import sink  # noqa: E402
from pipeline.summary import Report  # noqa: E402
from pipeline.whole_run import run  # noqa: E402

cv2 = pytest.importorskip("cv2")
redis = pytest.importorskip("redis")

FRAMES, SIZE, BOX = 40, (192, 144), 24


def truth_box(i):
    """Where the test's clip has its moving square in frame ``i`` (x, y)."""
    return 8 + 3 * i, 40 + (i % 10)


def write_clip(path):
    """A clip of FRAMES frames: a bright square moving over a textured,
    still background; returns the frames as written."""
    rng = np.random.RandomState(7)
    background = cv2.GaussianBlur(rng.randint(0, 120, (SIZE[1], SIZE[0], 3)).astype(np.uint8),
                                  (9, 9), 0)
    writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"MJPG"), 25, SIZE)
    assert writer.isOpened()
    frames = []
    for i in range(FRAMES):
        image = background.copy()
        x, y = truth_box(i)
        cv2.rectangle(image, (x, y), (x + BOX, y + BOX), (230, 240, 250), -1)
        writer.write(image)
        frames.append(image)
    writer.release()
    return frames


def test_a_video_file_goes_through_whole_in_order_and_close_to_the_original(server, tmp_path):
    original = write_clip(str(tmp_path / "clip.avi"))
    client = redis.Redis.from_url(server.url)
    name = uuid.uuid4().hex
    # the stages one after the other, the ports wide enough for the whole clip
    opts = Options(frames=None, fps=0, source=str(tmp_path / "clip.avi"), window=FRAMES + 1,
                   reorder=FRAMES, detectors=1)
    assert (opts.overflow, opts.detector) == ("block", "motion")
    camera(client, name, opts)
    run_ = Run(client, name, PORTS)
    # what the camera published decodes close to what the test wrote
    from pemu_sdk.redis.pemu_data import PemuData
    envelope = PemuData(0, DETECTOR, CAMERA, 0)
    entries = client.xrange(run_.ports[0])
    assert len(entries) == FRAMES and client.get(run_.ports[0] + ":end") == b"%d" % FRAMES
    for i, (_, fields) in enumerate(entries):
        received = envelope.parse_pemu_data(fields[b"p"])
        assert received["meta"]["source"]["frame_id"] == i
        assert cv2.PSNR(received["frame"], original[i]) > 30
    detector(client, name, opts)
    report = sink(client, name, Report(opts))
    summary = report.summary()
    assert [r["frame_id"] for r in report.records] == list(range(FRAMES))
    assert (summary["sent"], summary["lost"], summary["dropped"], summary["out_of_order"]) == (
        FRAMES, 0, 0, 0)
    # once the background is learnt, the largest moving object is boxed on
    # the square: most of it inside the box, the box not much larger
    for r in report.records[FRAMES // 2:]:
        x, y = truth_box(r["frame_id"])
        assert r["shapes"], r["frame_id"]
        bx, by, bw, bh = r["shapes"][0]["box"]
        inside = (max(0, min(x + BOX, bx + bw) - max(x, bx))
                  * max(0, min(y + BOX, by + bh) - max(y, by)))
        assert inside >= BOX * BOX / 2 and bw * bh <= 3 * BOX * BOX, (r["frame_id"], x, y,
                                                                      r["shapes"][0]["box"])
    client.delete(run_.key, *run_.keys())
    # a camera restarted in a run after frame 34 goes on in the file from 35
    client.hset(run_.key, "next", 35)
    camera(client, name, opts)
    entries = client.xrange(run_.ports[0])
    assert [envelope.parse_pemu_data(f[b"p"])["meta"]["source"]["frame_id"]
            for _, f in entries] == list(range(35, FRAMES))
    assert all(cv2.PSNR(envelope.parse_pemu_data(f[b"p"])["frame"], original[35 + k]) > 30
               for k, (_, f) in enumerate(entries))
    client.delete(run_.key, *run_.keys())


def free_ports(count):
    """The first of ``count`` consecutive ports free on the loopback now."""
    for base in range(20000 + os.getpid() % 20000, 65000, 7):
        sockets = []
        try:
            for port in range(base, base + count):
                s = socket.socket()
                sockets.append(s)
                s.bind(("127.0.0.1", port))
            return base
        except OSError:
            continue
        finally:
            for s in sockets:
                s.close()
    pytest.skip("no free ports")


def scrape(port):
    from prometheus_client.parser import text_string_to_metric_families
    with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=5) as answer:
        text = answer.read().decode()
    return {(s.name, tuple(sorted(s.labels.items()))): s.value
            for family in text_string_to_metric_families(text) for s in family.samples}


def live(overflow, on_frame=None, metrics=None, url=None):
    # a live camera at 50 fps, a detector that takes over 40 ms a frame
    opts = Options(frames=60, fps=50, width=160, height=120, source="scene:live",
                   overflow=overflow, detectors=1, detect_delay=0.04, window=4, reorder=3,
                   metrics=metrics)
    return opts, run(url, opts, on_frame=on_frame).summary()


def test_a_live_feed_outrunning_its_detector_drops_counted_and_stays_fresh(server):
    base = free_ports(3)
    scraped = {}

    def on_frame(record, report):
        if len(report.records) == 12:  # mid-run: camera, detector, sink
            scraped.update({stage: scrape(base + k)
                            for k, stage in enumerate(("camera", "detector", "sink"))})

    opts, summary = live(DROP_OLDEST, on_frame, ("127.0.0.1", base), server.url)
    assert opts.overflow == "drop-oldest"
    dropped = summary["dropped_ports"]
    assert summary["lost"] == summary["out_of_order"] == 0 and summary["dropped"] > 10
    assert summary["received"] + summary["dropped"] == summary["sent"] == 60
    assert sum(dropped.values()) == summary["dropped"]
    # the window bounds the latency: what waits is a window's worth of frames
    # of 40 ms and more each, and the frame in hand
    bound_ms = (opts.window + 2) * (opts.detect_delay + 0.05) * 1e3
    assert summary["latency_ms"]["p95"] < bound_ms
    # held back instead, the same feed falls further behind every frame
    _, blocked = live("block", url=server.url)
    assert blocked["dropped"] == blocked["lost"] == 0 and blocked["received"] == 60
    assert blocked["latency_ms"]["p95"] > bound_ms

    cam, det, snk = scraped["camera"], scraped["detector"], scraped["sink"]
    assert cam[("pemu_frames_published_total", (("stage", "camera"),))] >= 12
    assert cam[("pemu_frames_dropped_total", (("stage", "camera"),))] > 0
    assert det[("pemu_frames_taken_total", (("stage", "detector"),))] >= 11
    assert det[("pemu_step_seconds_count", (("stage", "detector"), ("step", "detect")))] >= 11
    assert det[("pemu_step_seconds_sum", (("stage", "detector"), ("step", "detect")))] >= (
        11 * opts.detect_delay)
    assert snk[("pemu_frames_published_total", (("stage", "sink"),))] >= 11
    for metrics in (cam, det, snk):
        ports = {dict(labels)["port"] for (name, labels) in metrics
                 if name == "pemu_port_length"}
        assert ports == set(PORTS)
        assert metrics[("pemu_port_dropped_total", (("group", "detector"),
                                                    ("port", PORTS[0])))] > 0
        assert ("pemu_group_lag", (("group", "detector"), ("port", PORTS[0]))) in metrics
    # what the detectors have not answered is at most a window (the port may
    # hold more: entries dropped behind one in hand, until it is answered)
    group = (("group", "detector"), ("port", PORTS[0]))
    assert cam[("pemu_group_lag", group)] + cam[("pemu_group_pending", group)] <= opts.window


def test_a_dropping_port_drops_the_oldest_untaken_and_never_what_is_taken(server):
    client = redis.Redis.from_url(server.url)
    run_ = Run(client, uuid.uuid4().hex, ["port"])
    client.hset(run_.key, "created", 1)
    stream = run_.ports[0]
    publisher = Publisher(run_, stream, ["g"], window=3, overflow=DROP_OLDEST)
    consumer = Consumer(run_, stream, "g", "c", claim_idle=60)
    try:
        for i in range(3):
            publisher.publish(b"%d" % i, i)
        held = consumer.take()[0][0]  # frame 0, taken and not answered
        for i in range(3, 5):
            assert publisher.publish(b"%d" % i, i)[1] == 0.0  # never waits
        # the group has frame 0 in hand and 3 and 4 to take: a window; the
        # server still knows its lag
        assert [f[b"f"] for _, f in client.xrange(stream + ":drop")] == [b"1", b"2"]
        assert publisher.dropped == 2 and run_.dropped() == {stream: {"g": 2}}
        assert [(g["pending"], g["lag"]) for g in client.xinfo_groups(stream)] == [(1, 2)]
        consumer.deliver(held, 0, None)
        assert run_.left() == 2 and [f[b"f"] for _, f in client.xrange(stream)] == [b"3", b"4"]
        assert [consumer.take()[0][1][b"f"] for _ in range(2)] == [b"3", b"4"]
        assert client.xlen(stream) == 2  # taken, not yet answered
    finally:
        client.delete(run_.key, *run_.keys())


def test_the_status_view_shows_a_run_as_it_is(server):
    client = redis.Redis.from_url(server.url)
    name = "status-" + uuid.uuid4().hex[:8]
    run_ = Run(client, name, PORTS, alive_ttl=60)
    Member(run_, "camera", "camera-test", exclusive=True).join()
    # the camera's port: 6 frames published, 2 taken (1 answered), 1 set aside
    camera_out = Publisher(run_, run_.ports[0], ["detector"], window=32)
    for i in range(6):
        camera_out.publish(b"frame", i)
    inbox = Consumer(run_, run_.ports[0], "detector", "detector-a", claim_idle=60)
    taken = [inbox.take()[0][0] for _ in range(3)]
    inbox.deliver(taken[0], 0, "{}")
    inbox.set_aside(taken[1], "ValueError: bad frame")
    # the detectors' port, dropping: 5 published into a window of 3, none taken
    detector_out = Publisher(run_, run_.ports[1], ["sink"], window=3, overflow=DROP_OLDEST)
    for i in range(5):
        detector_out.publish(b"result", i)
    try:
        out = subprocess.run([sys.executable, "-m", "pipeline", "status", "--redis", server.url,
                              "--run", name], cwd=EXAMPLES, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, universal_newlines=True, timeout=60)
        assert out.returncode == 0, out.stderr
        lines = [" ".join(line.split()) for line in out.stdout.splitlines()]
        assert lines[0] == "run %s: 1 frames delivered, 0 duplicates dropped" % name
        assert lines[1] == "alive camera camera-test; detector -; sink -"
        assert lines[2] == "port camera-1:out:0 4 entries, open, 0 dropped, 1 dead letters"
        assert lines[3] == "group detector lag 3, 1 pending"
        assert lines[4].startswith("detector-a 1 pending, idle ")
        assert lines[5] == "port detector-1:out:0 3 entries, open, 2 dropped, 0 dead letters"
        assert lines[6] == "group sink lag 3, 0 pending"
        # every run on the server; a run that is not there
        out = subprocess.run([sys.executable, "-m", "pipeline", "status", "--redis", server.url],
                             cwd=EXAMPLES, stdout=subprocess.PIPE, universal_newlines=True,
                             timeout=60)
        assert "run %s:" % name in out.stdout
        out = subprocess.run([sys.executable, "-m", "pipeline", "status", "--redis", server.url,
                              "--run", "nothing-here"], cwd=EXAMPLES, stdout=subprocess.PIPE,
                             universal_newlines=True, timeout=60)
        assert (out.returncode, out.stdout.strip()) == (
            1, "no run named nothing-here on the server")
    finally:
        client.delete(run_.key, run_.alive("camera"), *run_.keys())


def test_a_stream_that_stops_ends_the_camera_with_one_line(server):
    """An MJPEG stream over HTTP from this test: 30 frames, then the server
    closes it.  A live source, so its port drops by default: every frame
    arrives or is counted dropped, and the stop is said once."""
    import http.server
    import threading

    class Stream(http.server.BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def do_GET(self):
            self.send_response(200)
            self.send_header("Content-Type", "multipart/x-mixed-replace; boundary=frame")
            self.end_headers()
            for i in range(30):
                _, jpeg = cv2.imencode(".jpg", np.full((120, 160, 3), 8 * i, np.uint8))
                self.wfile.write(b"--frame\r\nContent-Type: image/jpeg\r\nContent-Length: "
                                 b"%d\r\n\r\n%s\r\n" % (len(jpeg), jpeg.tobytes()))
                time.sleep(0.02)

    http_server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Stream)
    threading.Thread(target=http_server.serve_forever, daemon=True).start()
    url = "http://127.0.0.1:%d/stream.mjpg" % http_server.server_address[1]
    try:
        out = subprocess.run([sys.executable, "-m", "pipeline", "--redis", server.url,
                              "--source", url, "--detectors", "1", "--quiet"], cwd=EXAMPLES,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             universal_newlines=True, timeout=60)
    finally:
        http_server.shutdown()
        http_server.server_close()
    assert out.returncode == 0, out.stderr
    assert out.stderr.splitlines() == [
        "camera: the video source %s stopped delivering after frame 29" % url]
    assert ", drop-oldest," in out.stdout
    line = [line for line in out.stdout.splitlines() if line.startswith("  frames")][0]
    sent, received = (int(w) for w in line.split()[1:4:2])
    dropped = int(line.split("dropped for")[0].split()[-1]) if "for freshness" in out.stdout else 0
    assert sent == 30 and ", 0 lost," in line and received + dropped == 30
