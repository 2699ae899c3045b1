"""The live view (``--view-port [HOST:]PORT``): the sink serves a page with
the annotated video and the run's figures.

``/`` is the page (view_page.html and view_page.css, read once), ``/stream``
the annotated frames as MJPEG (multipart/x-mixed-replace), ``/figures`` the
figures as JSON, which the page reads every second.

No viewer costs nothing: until one connects, the view is a listening
socket that the sink looks at (``look``) between its takes, at most ten
times a second; the view's threads start with the first viewer.  The sink
never waits on a viewer.  It hands each frame it delivers to ``offer``,
which only replaces the one frame kept (the newest).  One thread encodes
the newest frame, at most ``fps`` times a second and only while someone
watches; each viewer is served by a thread of its own, sent
the newest frame encoded each time there is one.  A viewer that reads
slower gets fewer frames; one that stops reading is dropped once a send
has waited SEND_TIMEOUT seconds.
"""

import json
import os
import select
import socket
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from typing import Any, Dict, Optional, Tuple

import redis
import redis.exceptions

from .annotate import annotate
from .pixels import decode
from .runs import PORTS
from .server import DemoError
from .status import run_state

SEND_TIMEOUT = 5.0  # seconds a send to a viewer may wait before it is dropped
FIGURES_AGE = 0.5  # seconds the figures are served from a cache
LOOK = 0.1  # seconds between the sink's looks for a first viewer
BOUNDARY = "frame"
_HERE = os.path.dirname(os.path.abspath(__file__))
_assets: Dict[str, bytes] = {}  # read once


def asset(name):
    if name not in _assets:
        with open(os.path.join(_HERE, name), "rb") as f:
            _assets[name] = f.read()
    return _assets[name]


def figures(report, client, name):
    """The run's figures, as the sink's summary and the status view have
    them: frames per second (of the last frames), latency p50 and p95,
    frames received, dropped and set aside (the run's own groups), each
    port's length and its groups' lag and pending entries, the stages
    alive.  A server that cannot be read leaves out what comes from it."""
    summary = report.summary()
    records = report.records[-1:]
    out = {"run": name, "received": summary["received"], "fps": report.fps(),
           "latency_ms": {"p50": summary["latency_ms"]["p50"],
                          "p95": summary["latency_ms"]["p95"]},
           "frame_id": records[0]["frame_id"] if records else None,
           "dropped": None, "set_aside": None, "ports": [], "alive": {}}
    try:
        state = run_state(client, name, PORTS, say=lambda line: None)
    except redis.exceptions.RedisError as exc:
        out["error"] = "Redis: %s" % str(exc).splitlines()[0][:200]
        return out
    if state is not None:
        out["dropped"] = sum(port["dropped"] for port in state["ports"])
        out["set_aside"] = sum(port["dead"] for port in state["ports"])
        out["alive"] = state["alive"]
        out["ports"] = [{"name": port["name"], "length": port["length"],
                         "groups": [{"name": g["name"], "lag": g["lag"], "pending": g["pending"]}
                                    for g in port["groups"]]}
                        for port in state["ports"]]
    return out


class _Handler(BaseHTTPRequestHandler):
    server_version = "pemu-view"
    timeout = SEND_TIMEOUT  # every read and send of the connection

    def log_message(self, format, *args):  # noqa: A002 - the name it overrides
        pass

    def _send(self, body, kind):
        self.send_response(200)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):  # noqa: N802 - the name the server calls
        server = self.server
        assert isinstance(server, _Server)
        view = server.view
        path = self.path.split("?", 1)[0]
        try:
            if path == "/":
                self._send(asset("view_page.html"), "text/html; charset=utf-8")
            elif path == "/view_page.css":
                self._send(asset("view_page.css"), "text/css; charset=utf-8")
            elif path == "/figures":
                self._send(json.dumps(view.figures()).encode(), "application/json")
            elif path == "/stream":
                view.stream(self)
            else:
                self.send_error(404)
        except OSError:  # the viewer went away, or stopped reading
            self.close_connection = True


class _Server(ThreadingHTTPServer):
    daemon_threads = True  # a viewer's thread never holds the sink's exit

    def __init__(self, address, view):
        if ":" in address[0]:
            self.address_family = socket.AF_INET6
        super().__init__(address, _Handler)
        self.view = view


class View:
    """The live view of the sink's ``report`` of ``run``, served at
    ``listen`` = (host, port), at most ``fps`` frames a second; frames
    larger than ``limit()`` (width, height) are not decoded."""

    def __init__(self, run, report, listen, fps, limit):
        self.report, self.fps, self.limit = report, fps, limit
        self.name = run.name
        # a client of its own on the sink's connections: the figures are
        # read while the sink works, and never retry on its account
        self.client = redis.Redis(connection_pool=run.client.connection_pool)
        # (count, record, pixels): the newest frame delivered
        self.offered: Optional[Tuple[int, Any, Any]] = None
        self.count = 0
        self.fresh = threading.Event()  # a frame offered, or a viewer came
        self.changed = threading.Condition()
        # (number, JPEG bytes, count of the frame offered, its frame id)
        self.frame = (0, None, -1, None)
        self.frame_due = 0.0  # when the encoder may encode its next frame
        self.viewers = 0
        self.encoded = self.failed = 0
        self.closed = False
        self._figures = (0.0, None)
        self._figures_lock = threading.Lock()
        host, port = listen
        try:
            self.server = _Server((host, port), self)
        except OSError as exc:
            raise DemoError("cannot serve the view at %s:%d: %s"
                            % (host, port, exc.strerror or exc))
        self.port = self.server.server_address[1]
        self.url = "http://%s:%d/" % (host if ":" not in host else "[%s]" % host, self.port)
        self.threads = []  # started with the first viewer (look)
        self.next_look = 0.0

    def look(self):
        """Starts serving once someone connects: until then the sink's
        process has no thread of the view (a second thread would make
        each of the sink's calls into Redis release and take the
        interpreter's lock)."""
        if self.threads:
            return
        now = time.monotonic()
        if now < self.next_look:
            return
        self.next_look = now + LOOK
        if select.select([self.server.socket], [], [], 0)[0]:
            self.threads = [threading.Thread(target=self.server.serve_forever, daemon=True,
                                             name="view"),
                            threading.Thread(target=self._encode, daemon=True,
                                             name="view-encoder")]
            for thread in self.threads:
                thread.start()

    @property
    def watching(self):
        return self.viewers > 0

    def offer(self, record, pixels):
        """The newest frame the sink delivered (its pixels, or None): kept
        in place of the one before.  Never waits."""
        self.count += 1
        self.offered = (self.count, record, pixels)
        if self.viewers:
            self.fresh.set()

    def _encode(self):
        last = 0
        while not self.closed:
            self.fresh.wait(1.0)
            self.fresh.clear()
            offered = self.offered
            if self.closed or not self.viewers or offered is None or offered[0] == last:
                continue
            wait = self.frame_due - time.monotonic()
            if wait > 0:
                time.sleep(wait)
                offered = self.offered or offered  # the newest by then
            if offered[2] is None:  # its pixels not asked for yet when it passed
                last = offered[0]
                continue
            self.frame_due = time.monotonic() + 1.0 / self.fps
            last = offered[0]
            try:
                jpeg = self._render(offered[1], offered[2])
            except Exception:  # noqa: BLE001 - a frame that cannot be shown is skipped
                self.failed += 1
                continue
            with self.changed:
                self.frame = (self.frame[0] + 1, jpeg, offered[0], offered[1]["frame_id"])
                self.encoded += 1
                self.changed.notify_all()

    def _render(self, record, pixels):
        import cv2
        image = decode(pixels, self.limit())
        ok, jpeg = cv2.imencode(".jpg", annotate(image, record),
                                [cv2.IMWRITE_JPEG_QUALITY, 80])
        if not ok:
            raise ValueError("the frame could not be encoded")
        return jpeg.tobytes()

    def stream(self, handler):
        """Serves ``handler``'s viewer the newest frames until it goes away
        or the view closes: the frame encoded last first, when it is of the
        newest frame offered."""
        with self.changed:
            self.viewers += 1
            number, of = self.frame[0], self.frame[2]
            seen = number if of != (self.offered or (0,))[0] else number - 1
        self.fresh.set()
        try:
            handler.send_response(200)
            handler.send_header("Content-Type",
                                "multipart/x-mixed-replace; boundary=%s" % BOUNDARY)
            handler.send_header("Cache-Control", "no-store")
            handler.send_header("Connection", "close")
            handler.end_headers()
            handler.close_connection = True
            while not self.closed:
                with self.changed:
                    self.changed.wait_for(lambda: self.frame[0] > seen or self.closed, 1.0)
                    number, jpeg, _, frame_id = self.frame
                if number <= seen or jpeg is None:
                    continue
                seen = number
                handler.wfile.write(
                    ("--%s\r\nContent-Type: image/jpeg\r\nContent-Length: %d\r\n"
                     "X-Frame-Id: %d\r\n\r\n" % (BOUNDARY, len(jpeg), frame_id)).encode()
                    + jpeg + b"\r\n")
        finally:
            with self.changed:
                self.viewers -= 1

    def figures(self):
        with self._figures_lock:
            at, cached = self._figures
            if cached is None or time.monotonic() - at > FIGURES_AGE:
                cached = figures(self.report, self.client, self.name)
                self._figures = (time.monotonic(), cached)
            return cached

    def close(self):
        self.closed = True
        self.fresh.set()
        with self.changed:
            self.changed.notify_all()
        if self.threads:
            self.server.shutdown()  # waits for the serving loop: only once it runs
        self.server.server_close()


class NoView:
    """A sink without a view."""

    watching = False
    url = None

    def look(self):
        pass

    def offer(self, record, pixels):
        pass

    def close(self):
        pass


def start(run, report, opts, limit):
    return NoView() if opts.view is None else View(run, report, opts.view, opts.view_fps, limit)
