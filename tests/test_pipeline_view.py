"""The live view and the picture of any run, against a real redis-server:
the MJPEG stream and the figures over HTTP, a viewer that never reads, the
pixels travelling only while someone needs them, the page in a headless
browser, and the picture of a recorded file."""
import http.client
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import uuid

import numpy as np
import pytest

from test_pipeline import EXAMPLES, server  # noqa: F401  (the fixture)
from test_pipeline_live import FRAMES as CLIP_FRAMES, write_clip

from pemu_ports import FIELD  # noqa: E402
from pipeline import view as live_view  # noqa: E402
from pipeline.detector import detect  # noqa: E402
from pipeline.frame_limit import FrameTooLarge, guarded  # noqa: E402
from pipeline.options import Options  # noqa: E402
from pipeline.pixels import Ask, Asked, Samples, decode, key, received  # noqa: E402
from pipeline.runs import CAMERA, DETECTOR, open_run  # noqa: E402
from pipeline.steps import Steps  # noqa: E402
from pipeline.whole_run import run  # noqa: E402

cv2 = pytest.importorskip("cv2")
redis = pytest.importorskip("redis")


def read_stream(port, seconds):
    """[(time, headers, body)] of the parts of /stream read for ``seconds``
    (fewer when the stream ends), and its content type."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    conn.request("GET", "/stream")
    response = conn.getresponse()
    kind = response.getheader("Content-Type")
    assert response.status == 200, response.status
    parts, deadline = [], time.monotonic() + seconds
    try:
        while time.monotonic() < deadline:
            boundary = response.fp.readline()
            if not boundary:
                break
            assert boundary.strip() == b"--frame", boundary
            headers = {}
            while True:
                line = response.fp.readline().decode().strip()
                if not line:
                    break
                name, value = line.split(":", 1)
                headers[name.lower()] = value.strip()
            body = response.fp.read(int(headers["content-length"]))
            response.fp.readline()
            parts.append((time.monotonic(), headers, body))
    finally:
        conn.close()
    return kind, parts


def get_json(port, path):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        conn.request("GET", path)
        response = conn.getresponse()
        return response.status, response.getheader("Content-Type"), json.loads(response.read())
    finally:
        conn.close()


def view_port(report):
    return int(report.view_url.rstrip("/").rsplit(":", 1)[1])


def test_the_stream_serves_the_newest_frames_as_jpeg_at_a_bounded_rate(server):  # noqa: F811
    fps, size = 4.0, (320, 240)
    opts = Options(frames=200, fps=40, width=size[0], height=size[1], view=("127.0.0.1", 0),
                   view_fps=fps)
    seen = {}

    def watch(report):
        port = view_port(report)
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        conn.request("GET", "/")
        response = conn.getresponse()
        seen["page"] = (response.status, response.getheader("Content-Type"), response.read())
        conn.close()
        seen["figures"] = [get_json(port, "/figures")]
        seen["newest"] = report.records[-1]["frame_id"]
        seen["connected"] = time.monotonic()
        seen["kind"], seen["parts"] = read_stream(port, 2.5)
        seen["figures"].append(get_json(port, "/figures"))

    threads = []

    def on_frame(record, report):
        if len(report.records) == 20 and not threads:
            threads.append(threading.Thread(target=watch, args=(report,), daemon=True))
            threads[0].start()

    report = run(server.url, opts, on_frame)
    threads[0].join(60)
    summary = report.summary()
    assert (summary["received"], summary["lost"]) == (200, 0)
    status, kind, page = seen["page"]
    assert status == 200 and kind.startswith("text/html") and b'src="/stream"' in page
    assert seen["kind"] == "multipart/x-mixed-replace; boundary=frame"
    parts = seen["parts"]
    ids = [int(headers["x-frame-id"]) for _, headers, _ in parts]
    # the newest frame first (none older than the last delivered when the
    # viewer came), then only newer ones, two of them at least
    assert len(ids) >= 2 and ids[0] >= seen["newest"] and ids == sorted(set(ids)), ids
    for _, headers, body in parts:
        assert headers["content-type"] == "image/jpeg" and body[:2] == b"\xff\xd8"
        image = cv2.imdecode(np.frombuffer(body, np.uint8), cv2.IMREAD_COLOR)
        # the frame itself (its pixels came), not the grey stand-in
        assert image.shape == (size[1], size[0], 3) and image.std() > 20
    # at most the view's rate, over the time the viewer read
    assert len(parts) <= fps * (parts[-1][0] - seen["connected"]) + 2, len(parts)
    (s1, kind1, first), (s2, _, second) = seen["figures"]
    assert s1 == s2 == 200 and kind1 == "application/json"
    assert second["received"] > first["received"] > 0 and second["frame_id"] > first["frame_id"]
    assert 0 < second["latency_ms"]["p50"] <= second["latency_ms"]["p95"]
    assert second["fps"] > 0 and second["dropped"] == 0 and second["set_aside"] == 0
    assert [p["name"] for p in second["ports"]] == ["camera-1:out:0", "detector-1:out:0"]
    assert [g["name"] for g in second["ports"][0]["groups"]] == ["detector"]
    assert second["alive"]["sink"] and len(second["alive"]["detector"]) == 2
    # nothing of the run left, the ask for pixels withdrawn with it
    assert redis.Redis.from_url(server.url).keys("pemu-demo:*") == []


def unpaced_fps(server_url, stall):  # noqa: F811
    """The frames per second of an unpaced run with a view, and with
    ``stall`` a viewer that asks for the stream and never reads it."""
    opts = Options(frames=300, fps=0, width=160, height=120, view=("127.0.0.1", 0),
                   view_fps=30)
    sockets = []

    def on_frame(record, report):
        if stall and not sockets:
            s = socket.create_connection(("127.0.0.1", view_port(report)))
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.sendall(b"GET /stream HTTP/1.1\r\nHost: x\r\n\r\n")
            sockets.append(s)

    report = run(server_url, opts, on_frame)
    summary = report.summary()
    assert (summary["received"], summary["lost"]) == (300, 0)
    return summary["fps"], sockets


def test_a_viewer_that_never_reads_is_dropped_and_never_holds_the_sink(server,  # noqa: F811
                                                                       monkeypatch):
    from pemu_sdk.redis.utils import img_to_str
    from pipeline.summary import Report
    monkeypatch.setattr(live_view._Handler, "timeout", 1.0)
    client = redis.Redis.from_url(server.url)
    run_ = open_run(client, "s" + uuid.uuid4().hex[:8], Options())
    view = live_view.View(run_, Report(Options()), ("127.0.0.1", 0), 30.0, lambda: (640, 480))
    # noise: each frame a JPEG of a few hundred kilobytes, the socket's
    # buffers full within a second
    rng = np.random.RandomState(3)
    frames = [{"text": img_to_str(rng.randint(0, 255, (480, 640, 3)).astype(np.uint8)),
               "encoder": "jpg", "base64": False} for _ in range(4)]
    longest, stop = [0.0], threading.Event()

    def sink():  # offers frames as the sink does, timing each offer
        n = 0
        while not stop.is_set():
            n += 1
            record = {"frame_id": n, "latency_ms": 5.0, "reclaimed": False, "size": [640, 480],
                      "shapes": [{"label": "square", "box": [10, 10, 50, 50]}]}
            view.look()
            started = time.perf_counter()
            view.offer(record, frames[n % len(frames)])
            longest[0] = max(longest[0], time.perf_counter() - started)
            time.sleep(0.002)
    feeder = threading.Thread(target=sink, daemon=True)
    assert not view.threads  # nothing runs for the view until someone connects
    stalled = socket.create_connection(("127.0.0.1", view.port))
    stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    stalled.sendall(b"GET /stream HTTP/1.1\r\nHost: x\r\n\r\n")
    feeder.start()
    try:
        until(lambda: view.watching)
        until(lambda: not view.watching)  # dropped
        # offering never waited on the viewer (a send waits up to a second)
        assert view.encoded >= 2 and longest[0] < 0.1, (view.encoded, longest[0])
        # another viewer is served as before
        kind, parts = read_stream(view.port, 1.0)
        assert len(parts) >= 2 and int(parts[-1][1]["x-frame-id"]) > int(parts[0][1]["x-frame-id"])
    finally:
        stop.set()
        feeder.join()
        stalled.close()
        view.close()


def test_a_run_with_a_stalled_viewer_keeps_its_pace(server):  # noqa: F811
    alone, _ = unpaced_fps(server.url, False)
    stalled, sockets = unpaced_fps(server.url, True)
    for s in sockets:
        s.close()
    # generous: the machine is shared, and a viewer makes the pixels travel
    assert stalled > 0.3 * alone, (stalled, alone)


def camera_payload(image):
    from pemu_sdk.redis.pemu_data import PemuData
    envelope = PemuData(0, CAMERA, CAMERA, 0)
    envelope.meta.update_source({"frame_id": 7, "ts": time.time()})
    payload = envelope.create_pemu_data(ext_info={"truth": []}, frame=image)
    return payload["frame"], json.dumps(payload).encode()


def test_pixels_travel_only_while_asked_and_are_checked_before_decoding(server):  # noqa: F811
    from pemu_sdk.redis.pemu_data import PemuData
    client = redis.Redis.from_url(server.url)
    run_ = open_run(client, "p" + uuid.uuid4().hex[:8], Options())
    ask, asked = Ask(run_), Asked(run_)
    ask.refresh(False)
    assert not client.exists(key(run_)) and asked.get() is False
    ask.refresh(True)
    assert 0 < client.pttl(key(run_)) <= 3000
    asked.next = 0.0
    assert asked.get() is True
    ask.refresh(False)  # the last viewer left
    assert not client.exists(key(run_))
    always = Ask(run_, always=True)
    always.refresh(False)
    assert client.exists(key(run_))
    always.close()
    assert not client.exists(key(run_)) and Asked(run_, always=True).get() is True

    image = np.zeros((120, 160, 3), np.uint8)
    image[30:60, 40:90] = (250, 180, 60)
    text, payload = camera_payload(image)
    steps = Steps()
    envelope = PemuData(0, DETECTOR, CAMERA, 0)
    with guarded(lambda: (320, 240)):
        out, frame_id, _ = detect(envelope, {FIELD: payload}, False, steps)
        assert frame_id == 7 and "pixels" not in out["meta"]  # nothing asked, nothing sent
        out, _, _ = detect(envelope, {FIELD: payload}, False, steps, forward=True)
    pixels = received(json.loads(json.dumps(out))["meta"])
    assert pixels["text"] == text and [s["label"] for s in out["result"]] == ["square"]
    assert cv2.PSNR(decode(pixels, (160, 120)), image) > 30
    with pytest.raises(FrameTooLarge, match="frame of 160x120 exceeds the limit of 80x60"):
        decode(pixels, (80, 60))
    assert received({}) is None


def test_samples_stay_few_and_spread_over_the_records_kept():
    samples = Samples(size=24, span=600)
    for n in range(1, 5001):
        samples.add(n, {"frame_id": n, "latency_ms": 1000.0 if n == 77 else 1.0}, "p%d" % n)
    frames = samples.frames()
    kept = sorted(f for f in frames if f != 77)
    assert len(kept) <= 24 and 77 in frames  # and the slowest, long gone from the records
    assert kept[0] > 5000 - 600 and kept[-1] > 5000 - 50
    gaps = {b - a for a, b in zip(kept, kept[1:])}
    assert len(gaps) == 1, gaps  # evenly spread
    short = Samples(size=24, span=600)
    for n in range(1, 11):
        short.add(n, {"frame_id": n, "latency_ms": 1.0}, None if n == 3 else "p")
    assert sorted(short.frames()) == [1, 2, 4, 5, 6, 7, 8, 9, 10]


def test_the_latency_plot_breaks_where_frames_are_missing():
    from pipeline.picture import with_gaps
    records = [{"frame_id": i, "arrived": 10.0 + i, "latency_ms": float(i)}
               for i in (0, 1, 2, 5, 6, 9)]
    t, latency = with_gaps(records)
    assert [v != v for v in t] == [False] * 3 + [True] + [False] * 2 + [True, False]
    assert [v for v in latency if v == v] == [0.0, 1.0, 2.0, 5.0, 6.0, 9.0]
    assert with_gaps([]) == ([], [])


@pytest.mark.skipif(__import__("importlib").util.find_spec("matplotlib") is None,
                    reason="the picture needs matplotlib")
def test_the_picture_of_a_recorded_file_shows_its_frames_as_received(server,  # noqa: F811
                                                                      tmp_path):
    from pipeline.picture import draw, strip_records
    original = write_clip(str(tmp_path / "clip.avi"))
    opts = Options(frames=None, fps=0, source=str(tmp_path / "clip.avi"), detectors=1,
                   picture=True)
    report = run(server.url, opts)
    assert report.summary()["received"] == CLIP_FRAMES
    kept = report.samples.frames()
    strip = strip_records(report.records, kept=set(kept))
    assert len(strip) == 6 and all(r["frame_id"] in kept for r in strip)
    for r in strip:  # the frames as the camera read them, not redrawn
        assert cv2.PSNR(decode(kept[r["frame_id"]], (4096, 4096)), original[r["frame_id"]]) > 30
    path = draw(report, str(tmp_path / "report"))
    picture = cv2.imread(path)
    assert picture is not None and picture.shape[0] > 600 and picture.shape[1] > 800


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def demo(*args):
    return subprocess.Popen([sys.executable, "-m", "pipeline"] + list(args), cwd=EXAMPLES,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            universal_newlines=True)


def test_a_busy_view_port_is_one_line_and_leaves_no_key(server):  # noqa: F811
    name = "v" + uuid.uuid4().hex[:8]
    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen(1)
        port = busy.getsockname()[1]
        sink = demo("sink", "--redis", server.url, "--run", name, "--view-port", str(port))
        out, err = sink.communicate(timeout=120)
    assert sink.returncode == 1 and "Traceback" not in err, err
    assert err.strip() == "demo: error: cannot serve the view at 127.0.0.1:%d: Address " \
                          "already in use" % port
    assert redis.Redis.from_url(server.url).keys("pemu-demo:{%s}*" % name) == []


def browser():
    """A headless Chromium driven by Selenium, or the reason there is none."""
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        return None, "Selenium is not installed (pip install -r requirements-dev.txt)"
    binary = shutil.which("chromium") or shutil.which("chromium-browser")
    driver = shutil.which("chromedriver") or (
        "/usr/bin/chromedriver" if os.path.exists("/usr/bin/chromedriver") else None)
    if binary is None or driver is None:
        return None, "Chromium and its driver are not installed (apt-get install chromium " \
                     "chromium-driver)"
    options = webdriver.ChromeOptions()
    options.binary_location = binary
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--window-size=1280,720", "--disable-extensions"):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service(executable_path=driver), options=options), None


def until(test, seconds=30):
    deadline = time.monotonic() + seconds
    while True:
        value = test()
        if value:
            return value
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.1)


@pytest.mark.skipif(bool(os.environ.get("PEMU_SANITIZED")),
                    reason="the browser's driver cannot start with the sanitizers' runtime "
                           "preloaded; the live view's check runs it")
def test_the_page_in_a_headless_browser(server, tmp_path):  # noqa: F811
    driver, reason = browser()
    if driver is None:
        if os.environ.get("PEMU_REQUIRE_BROWSER"):
            pytest.fail(reason + ", and PEMU_REQUIRE_BROWSER asks for this test to run")
        pytest.skip(reason)
    port = free_port()
    stage = demo("--redis", server.url, "--frames", "1200", "--fps", "20", "--quiet",
                 "--view-port", str(port), "--view-fps", "10")
    try:
        line = stage.stdout.readline()
        while line and not line.startswith("view at "):
            line = stage.stdout.readline()
        assert line.strip() == "view at http://127.0.0.1:%d/" % port, stage.stderr.read()
        driver.get("http://127.0.0.1:%d/" % port)
        video = driver.find_element("id", "video")
        until(lambda: driver.execute_script("return arguments[0].naturalWidth", video) == 640)

        def shot():
            return cv2.imdecode(np.frombuffer(video.screenshot_as_png, np.uint8),
                                cv2.IMREAD_COLOR)
        first = shot()
        # the video moves on: another frame is shown within seconds
        until(lambda: cv2.absdiff(shot(), first).mean() > 0.5)
        received = int(until(lambda: driver.find_element("id", "received").text.isdigit()
                              and driver.find_element("id", "received").text))
        until(lambda: int(driver.find_element("id", "received").text) > received)
        assert driver.find_element("id", "state").text == "live"
        assert "camera-1:out:0" in driver.find_element("id", "ports").text
        path = str(tmp_path / "view.png")
        driver.save_screenshot(path)
        page = cv2.imread(path)
        # not blank: the video's colours and the figures' text
        assert page is not None and page.std() > 20
        assert len(np.unique(page.reshape(-1, 3), axis=0)) > 200
        if os.environ.get("PEMU_VIEW_SCREENSHOT"):  # the screenshot of docs/live.md
            shutil.copy(path, os.environ["PEMU_VIEW_SCREENSHOT"])
    finally:
        driver.quit()
        stage.send_signal(signal.SIGTERM)
        try:
            stage.communicate(timeout=60)
        finally:
            if stage.poll() is None:
                stage.kill()
    assert stage.returncode == 143
