"""What the sink does with what arrives: frame order restored, duplicates
dropped (Reorder), and a record per frame with the run's summary (Report)."""

import collections
import heapq
import itertools
import json
import math

from .frame_set import FrameSet, RecentIds
from .frames import matches
from .pixels import Samples, received as pixels_of
from .sources import is_live
from .totals import Totals


def pacing(settings):
    """How the camera paced the run, from its published settings."""
    if settings is None:
        return "pacing unknown"
    if settings["fps"]:
        return "paced at %g fps" % settings["fps"]
    return "its own pace" if is_live(settings["source"]) else "unpaced"


def finite(value, what):
    """``value``, a number of a peer's payload, as a finite float."""
    if isinstance(value, bool) or not isinstance(value, (int, float)) \
            or not math.isfinite(value):
        raise ValueError("the %s is not a finite number" % what)
    return float(value)


def name(value):
    """A name from a peer's payload: text (at most 200 characters), or None."""
    if value is not None and not isinstance(value, str):
        raise ValueError("a name that is not text")
    return value if value is None else value[:200]


class Reorder:
    """Restores frame order by frame id and drops duplicates.

    ``push(frame_id, item)`` returns the items that can go out now, in
    order: the next expected frame and those that follow it without a gap.
    When more than ``limit`` frames wait behind a gap, the oldest goes out
    anyway (the gap's frame, should it come later, goes out when it comes
    and counts as out of order).  A frame id seen before is a duplicate;
    so is one of ``done``, the frames that went out before (from a sink
    that ran before this one): a FrameSet, or any ids.  What it remembers
    of the frames seen is a watermark and the few above it.
    """

    def __init__(self, limit, done=()):
        self.limit = limit
        self.held = []  # a heap of (frame id, item)
        self.seen = done.copy() if isinstance(done, FrameSet) else FrameSet(ids=done)
        self.done = self.seen.copy()  # frames gone out before this one started
        self.next = 0
        self._advance()
        self.duplicates = self.late = 0

    def _advance(self):
        while self.next in self.done:
            self.next += 1

    def push(self, frame_id, item):
        if not self.seen.add(frame_id):
            self.duplicates += 1
            return []
        if frame_id < self.next:
            self.late += 1
            return [item]
        heapq.heappush(self.held, (frame_id, item))
        out = []
        while self.held and (self.held[0][0] == self.next or len(self.held) > self.limit):
            frame_id, item = heapq.heappop(self.held)
            self.next = frame_id + 1
            self._advance()
            out.append(item)
        return out

    def skip(self, frame_id, item):
        """A frame that will not come (set aside upstream): ``item`` stands
        in for it, so that the frames behind it go out."""
        if frame_id in self.seen:
            return []
        return self.push(frame_id, item)

    def flush(self):
        """Everything still held, in order."""
        out = [item for _, item in sorted(self.held, key=lambda held: held[0])]
        if self.held:
            self.next = max(frame_id for frame_id, _ in self.held) + 1
        self.held = []
        return out


class Report:
    """What the sink saw: the run's totals (Totals), and of the frames
    delivered here the most recent records (``records``, for the picture,
    the frame rate, and exact percentiles when they are the whole run's;
    beyond, percentiles come from the histogram).  A run of fewer frames
    keeps everything."""

    RECENT = 600  # records kept: filled within the first minute of a live run

    def __init__(self, opts):
        self.opts = opts
        self.totals = Totals()
        self.recent = collections.deque(maxlen=self.RECENT)
        self.ids = RecentIds()  # frames delivered here
        self.here = 0  # frames delivered by this sink (the others by one before it)
        self.sent = opts.frames or 0  # a source read to its end: known at the end
        self.duplicates = self.late = 0
        self.parse_s = 0.0
        self.steps = {}  # stage -> step -> ms per frame
        self.fault = None  # (frame count at the sink, time) of the killed detector
        self.left = None  # entries of the run left in Redis at the end
        self.dead = {}  # port -> entries set aside
        # the frame ids set aside, and dropped for freshness (drop-oldest):
        # the recent ones (all of a short run), and how many in all (None:
        # as many as the ids)
        self.set_aside, self.set_aside_count = set(), None
        # the settings the camera published with the run (stages.read_settings):
        # the run's, which may differ from this sink's own options
        self.settings = None
        self.dropped, self.dropped_count = set(), None
        self.dropped_ports = {}  # port -> entries dropped there
        self.missing = None  # the sink's reader of those logs (dead_letters.Missing)
        # entries of those logs trimmed before the sink read them (a sink
        # started late in a long run): counted, their frames unknown
        self.unseen = 0
        # the pixels of frames spread over the records, for the picture
        self.samples = Samples(span=self.RECENT) if opts.picture else None
        self.view_url = None  # where the sink serves the live view, when it does

    @property
    def records(self):
        """The most recent records delivered here, in the order they went out."""
        return list(self.recent)

    @property
    def received(self):
        """Frames delivered in the run (here and by any sink before)."""
        return self.totals.n

    def record(self, received, text):
        """The record of a frame from its payload; ``stamp`` completes it.
        A field of the wrong kind raises here, for the entry to be set
        aside, rather than later in the totals."""
        meta = received["meta"]
        source = dict(meta["source"])
        source["ts"] = finite(source["ts"], "time stamp")
        tolerance = max(2, int(meta["size"][1]) // 60)  # the frame's own height
        shapes = received["result"]
        if not isinstance(shapes, list):
            raise ValueError("the result is not a list of shapes")
        return {
            "frame_id": int(source["frame_id"]),
            "source": source,
            "frame_format": dict(meta["frame_format"]),
            "camera_bytes": finite(meta["camera_bytes"], "camera payload size"),
            "detector_bytes": len(text),
            "detect_ms": finite(meta["detect_ms"], "detection time"),
            "reclaimed": bool(meta.get("reclaimed", False)),
            "detector": name(meta.get("detector")),
            "size": list(meta["size"]),
            "finder": name(meta.get("finder", "shapes")),
            "shapes": shapes,
            "hits": matches(shapes, meta["truth"], tolerance),
            "expected": len(meta["truth"]),
            "pixels": pixels_of(meta),  # taken out when delivered (add_record)
        }

    @staticmethod
    def stamp(record, arrived):
        """Completes a record of a frame that arrived at wall-clock time
        ``arrived``: when it leaves the reorder buffer, in order."""
        record["arrived"] = arrived
        record["latency_ms"] = (arrived - record["source"]["ts"]) * 1e3
        return record

    def with_record(self, record):
        """The run's totals with ``record`` folded in (this one's unchanged)."""
        totals = self.totals.copy()
        totals.add(record)
        return totals

    def add_record(self, record, totals=None):
        """A frame delivered here; ``totals``: with_record(record), when known.
        Returns the frame's pixels (or None), which the records do not keep:
        the samples keep those of a few frames."""
        if totals is None:
            totals = self.with_record(record)
        pixels = record.pop("pixels", None)
        self.totals = totals
        self.recent.append(record)
        self.ids.add(record["frame_id"])
        self.here += 1
        if self.samples is not None:
            self.samples.add(self.here, record, pixels)
        return pixels

    def load(self, totals):
        """The run's totals as the record of delivered frames has them (JSON,
        or None when nothing was delivered): those of every sink of the run."""
        if totals:
            self.totals = Totals.loads(totals)

    def fps(self, window=15):
        """Frames per second over the last `window` arrivals."""
        recent = list(itertools.islice(reversed(self.recent), window))
        if len(recent) < 2:
            return 0.0
        span = recent[0]["arrived"] - recent[-1]["arrived"]
        return (len(recent) - 1) / span if span > 0 else 0.0

    def summary(self):
        # read as they are now: the live view asks while the sink delivers
        t, recent = self.totals, list(self.recent)
        n = t.n
        span = (t.last - t.first) if t.first is not None and t.last is not None else 0.0
        # every latency of the run is here: exact percentiles
        exact = (sorted(r["latency_ms"] for r in recent)
                 if len(recent) == n else None)

        def pct(p):
            if exact is None:
                return t.percentile(p)
            return exact[min(n - 1, int(round(p / 100.0 * (n - 1))))] if n else 0.0

        steps = {stage: dict(times) for stage, times in self.steps.items()}
        if self.here:
            steps.setdefault("sink", {})["parse"] = self.parse_s / self.here * 1e3
        sent = self.sent

        def settled(frames, count):
            # the frames of the run that will not come and were not delivered
            # after all (a frame answered twice, once dropped): by id where
            # known, the older frames of a long run by their count
            kept = {f for f in frames if 0 <= f < sent and f not in self.ids}
            return kept, (len(frames) if count is None else count) - len(frames) + len(kept)
        set_aside, set_aside_n = settled(self.set_aside, self.set_aside_count)
        dropped, dropped_n = settled(self.dropped, self.dropped_count)
        return {
            "sent": sent,
            "received": n,
            "lost": max(0, sent - min(n, sent) - self.unseen
                        - (set_aside_n + dropped_n - len(set_aside & dropped))),
            "dropped": dropped_n,
            "dropped_ports": dict(self.dropped_ports),
            "set_aside": set_aside_n,
            "dead": dict(self.dead),
            "earlier": n - self.here,
            "out_of_order": t.counts["out_of_order"],
            "duplicates": self.duplicates,
            "reclaimed": t.counts["reclaimed"],
            "longest_gap_ms": t.longest_gap * 1e3,
            "latency_ms": {"mean": t.mean("latency_ms"), "p50": pct(50),
                           "p95": pct(95), "p99": pct(99),
                           "max": t.max_latency if n else 0.0},
            "fps": (n - 1) / span if n > 1 and span > 0 else 0.0,
            "seconds": span,
            "camera_bytes": t.mean("camera_bytes"),
            "detector_bytes": t.mean("detector_bytes"),
            "detect_ms": t.mean("detect_ms"),
            "hits": t.counts["hits"],
            "found": t.counts["found"],
            "expected": t.counts["expected"],
            "steps": steps,
            "fault": self.fault,
            "left": self.left,
            "run": dict(self.settings) if self.settings is not None else None,
            "detectors": len(t.detectors) + t.more_detectors,
            "finders": sorted(t.finders),
        }

    def read_steps(self, saved):
        """Folds in the per-step seconds the stages left in the run's steps
        hash (``saved``): milliseconds per frame, per stage."""
        sums = {}
        for field, value in saved.items():
            stage = field.decode().split(":", 1)[0]
            times = json.loads(value)
            total = sums.setdefault(stage, {"frames": 0})
            for step, seconds in times.items():
                total[step] = total.get(step, 0) + seconds
        for stage, total in sums.items():
            frames = total.pop("frames") or 1
            self.steps[stage] = {step: s / frames * 1e3 for step, s in total.items()}
