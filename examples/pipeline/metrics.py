"""Prometheus metrics of a stage (``--metrics-port``).

Each stage process serves its own registry over HTTP: the frames it took
and published, the seconds of its steps as histograms, the entries it set
aside and claimed, and, read from Redis when scraped, its run's ports: their
length, each group's lag and pending entries, the entries dropped for
freshness and set aside for each group.  Without a port a stage gets NoMetrics, which
records nothing (and the client library is not needed).
"""

import threading
from wsgiref.simple_server import WSGIRequestHandler, make_server

from .server import DemoError

# Seconds: a step of a frame takes from tens of microseconds (a publish) to
# a good part of a second (a slow detector, a wait behind a full port).
BUCKETS = (0.0001, 0.0003, 0.001, 0.003, 0.01, 0.03, 0.1, 0.3, 1.0, 3.0, 10.0)


class _Quiet(WSGIRequestHandler):
    def log_message(self, format, *args):  # noqa: A002 - the name it overrides
        pass


def run_collector(run):
    """A collector of the run's ports as they are when scraped.  A server
    that cannot be read then gives no port metrics but the error
    (``pemu_ports_unread``) rather than a failed scrape.  Made here, as the
    client library is imported only when a stage serves metrics (its
    Collector is a base class in the 3.7 pin, a protocol in later ones:
    subclassed, it is both)."""
    from prometheus_client.registry import Collector

    class RunCollector(Collector):
        def collect(self):
            return _collect(run)

    return RunCollector()


def _collect(run):
    """The metrics of the run's ports: length, group lag and pending entries,
    drops and dead letters."""
    from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily
    length = GaugeMetricFamily("pemu_port_length", "Entries a port holds", labels=["port"])
    lag = GaugeMetricFamily("pemu_group_lag", "Entries of a port its group has not taken",
                            labels=["port", "group"])
    pending = GaugeMetricFamily("pemu_group_pending",
                                "Entries a group took and has not acknowledged",
                                labels=["port", "group"])
    dropped = CounterMetricFamily("pemu_port_dropped",
                                  "Entries dropped for freshness (drop-oldest) for a group",
                                  labels=["port", "group"])
    dead = GaugeMetricFamily("pemu_port_dead_letters", "Entries a group set aside on a port",
                             labels=["port", "group"])
    unread = GaugeMetricFamily("pemu_ports_unread",
                               "1 when the run's ports could not be read at this scrape, "
                               "with the error", labels=["error"])
    try:
        from .status import port_state  # the status view reads the same
        drops, deads = run.dropped(), run.dead_letters()
        for port in run.ports:
            state = port_state(run.client, port)
            name = port[len(run.prefix) + 1:]
            length.add_metric([name], state["length"])
            for group in state["groups"]:
                lag.add_metric([name, group["name"]], group["lag"])
                pending.add_metric([name, group["name"]], group["pending"])
            for group, n in sorted(drops[port].items()):
                dropped.add_metric([name, group], n)
            for group, n in sorted(deads[port].items()):
                dead.add_metric([name, group], n)
    except Exception as exc:  # noqa: BLE001 - a scrape never fails on the server's account
        unread.add_metric(["%s: %s" % (type(exc).__name__, " ".join(str(exc).split())[:200])], 1)
    return [length, lag, pending, dropped, dead, unread]


class Metrics:
    """The metrics of stage ``stage`` of ``run``, served at ``listen``
    (host, port) until ``close``."""

    def __init__(self, stage, run, listen):
        from prometheus_client import CollectorRegistry, Counter, Histogram, make_wsgi_app
        from prometheus_client.exposition import ThreadingWSGIServer
        self.stage = stage
        self.registry = registry = CollectorRegistry()
        self.taken = Counter("pemu_frames_taken", "Frames taken from the stage's input",
                             ["stage"], registry=registry).labels(stage)
        self.published = Counter("pemu_frames_published", "Frames published on its output",
                                 ["stage"], registry=registry).labels(stage)
        self.steps = Histogram("pemu_step_seconds", "Seconds per step of a frame",
                               ["stage", "step"], buckets=BUCKETS, registry=registry)
        self.dead = Counter("pemu_dead_letters", "Entries this stage set aside",
                            ["stage"], registry=registry).labels(stage)
        self.claims = Counter("pemu_claims", "Entries taken over from another consumer",
                              ["stage"], registry=registry).labels(stage)
        self.drops = Counter("pemu_frames_dropped", "Frames this stage dropped for freshness",
                             ["stage"], registry=registry).labels(stage)
        registry.register(run_collector(run))
        host, port = listen
        try:
            self.server = make_server(host, port, make_wsgi_app(registry), ThreadingWSGIServer,
                                      handler_class=_Quiet)
        except OSError as exc:
            raise DemoError("cannot serve metrics at %s:%d: %s"
                            % (host, port, exc.strerror or exc))
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True,
                                       name="metrics")
        self.thread.start()

    def step(self, name, seconds):
        self.steps.labels(self.stage, name).observe(seconds)

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class NoMetrics:
    """A stage without metrics."""

    port = None

    class _Nothing:
        def inc(self, amount=1):
            pass

    taken = published = dead = claims = drops = _Nothing()

    def step(self, name, seconds):
        pass

    def close(self):
        pass


def start(stage, run, listen):
    return NoMetrics() if listen is None else Metrics(stage, run, listen)
