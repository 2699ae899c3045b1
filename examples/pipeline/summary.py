"""What the sink does with what arrives: frame order restored, duplicates
dropped (Reorder), and a record per frame with the run's summary (Report)."""

import heapq
import json

from .frames import matches
from .sources import is_live


def pacing(settings):
    """How the camera paced the run, from its published settings."""
    if settings is None:
        return "pacing unknown"
    if settings["fps"]:
        return "paced at %g fps" % settings["fps"]
    return "its own pace" if is_live(settings["source"]) else "unpaced"


class Reorder:
    """Restores frame order by frame id and drops duplicates.

    ``push(frame_id, item)`` returns the items that can go out now, in
    order: the next expected frame and those that follow it without a gap.
    When more than ``limit`` frames wait behind a gap, the oldest goes out
    anyway (the gap's frame, should it come later, goes out when it comes
    and counts as out of order).  A frame id seen before is a duplicate;
    so is one of ``done``, the frames that went out before (from a sink
    that ran before this one).
    """

    def __init__(self, limit, done=()):
        self.limit = limit
        self.held = []  # a heap of (frame id, item)
        self.seen = set(done)
        self.done = self.seen.copy()  # frames gone out before this one started
        self.next = 0
        self._advance()
        self.duplicates = self.late = 0

    def _advance(self):
        while self.next in self.done:
            self.next += 1

    def push(self, frame_id, item):
        if frame_id in self.seen:
            self.duplicates += 1
            return []
        self.seen.add(frame_id)
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
    """What the sink saw: one record per frame, and the summary."""

    def __init__(self, opts):
        self.opts = opts
        self.records = []
        self.here = 0  # frames delivered by this sink (the others by one before it)
        self.first = self.last = None
        self.sent = opts.frames or 0  # a source read to its end: known at the end
        self.duplicates = self.late = 0
        self.parse_s = 0.0
        self.steps = {}  # stage -> step -> ms per frame
        self.fault = None  # (frame count at the sink, time) of the killed detector
        self.left = None  # entries of the run left in Redis at the end
        self.dead = {}  # port -> entries set aside
        self.set_aside = set()  # frame ids set aside
        # the settings the camera published with the run (stages.read_settings):
        # the run's, which may differ from this sink's own options
        self.settings = None
        self.dropped = set()  # frame ids dropped for freshness (drop-oldest)
        self.dropped_ports = {}  # port -> entries dropped there
        self.missing = None  # the sink's reader of those logs (dead_letters.Missing)
        # entries of those logs trimmed before the sink read them (a sink
        # started late in a long run): counted, their frames unknown
        self.unseen = 0

    def record(self, received, text):
        """The record of a frame from its payload; ``stamp`` completes it."""
        meta = received["meta"]
        source = meta["source"]
        tolerance = max(2, int(meta["size"][1]) // 60)  # the frame's own height
        return {
            "frame_id": int(source["frame_id"]),
            "source": dict(source),
            "frame_format": dict(meta["frame_format"]),
            "camera_bytes": meta["camera_bytes"],
            "detector_bytes": len(text),
            "detect_ms": meta["detect_ms"],
            "reclaimed": meta.get("reclaimed", False),
            "detector": meta.get("detector"),
            "size": list(meta["size"]),
            "finder": meta.get("finder", "shapes"),
            "shapes": received["result"],
            "hits": matches(received["result"], meta["truth"], tolerance),
            "expected": len(meta["truth"]),
        }

    @staticmethod
    def stamp(record, arrived):
        """Completes a record of a frame that arrived at wall-clock time
        ``arrived``: when it leaves the reorder buffer, in order."""
        record["arrived"] = arrived
        record["latency_ms"] = (arrived - record["source"]["ts"]) * 1e3
        return record

    def add_record(self, record):
        if self.first is None:
            self.first = record["arrived"]
        self.last = record["arrived"]
        self.records.append(record)
        self.here += 1

    def load(self, delivered):
        """Every frame delivered in the run, by this sink and any before it:
        ``delivered`` maps frame ids to records (JSON)."""
        here = self.here
        self.records = []
        self.first = self.last = None
        for record in sorted((json.loads(v) for v in delivered.values()),
                             key=lambda r: (r["arrived"], r["frame_id"])):
            self.add_record(record)
        self.here = here

    def fps(self, window=15):
        """Frames per second over the last `window` arrivals."""
        recent = self.records[-window:]
        if len(recent) < 2:
            return 0.0
        span = recent[-1]["arrived"] - recent[0]["arrived"]
        return (len(recent) - 1) / span if span > 0 else 0.0

    def summary(self):
        ids = [r["frame_id"] for r in self.records]
        latencies = sorted(r["latency_ms"] for r in self.records)
        first, last = self.first, self.last
        span = (last - first) if first is not None and last is not None else 0.0
        n = len(self.records)
        arrivals = [r["arrived"] for r in self.records]
        gaps = [b - a for a, b in zip(arrivals, arrivals[1:])]

        def pct(p):
            return latencies[min(n - 1, int(round(p / 100.0 * (n - 1))))] if n else 0.0

        steps = {stage: dict(times) for stage, times in self.steps.items()}
        if self.here:
            steps.setdefault("sink", {})["parse"] = self.parse_s / self.here * 1e3
        return {
            "sent": self.sent,
            "received": n,
            "lost": max(0, len(set(range(self.sent)) - set(ids) - self.set_aside - self.dropped)
                        - self.unseen),
            "dropped": len(set(range(self.sent)) & self.dropped - set(ids)),
            "dropped_ports": dict(self.dropped_ports),
            "set_aside": len(set(range(self.sent)) & self.set_aside - set(ids)),
            "dead": dict(self.dead),
            "earlier": n - self.here,
            "out_of_order": sum(1 for a, b in zip(ids, ids[1:]) if b <= a),
            "duplicates": self.duplicates,
            "reclaimed": sum(1 for r in self.records if r["reclaimed"]),
            "longest_gap_ms": max(gaps) * 1e3 if gaps else 0.0,
            "latency_ms": {"mean": sum(latencies) / n if n else 0.0, "p50": pct(50),
                           "p95": pct(95), "p99": pct(99),
                           "max": latencies[-1] if n else 0.0},
            "fps": (n - 1) / span if n > 1 and span > 0 else 0.0,
            "seconds": span,
            "camera_bytes": sum(r["camera_bytes"] for r in self.records) / n if n else 0.0,
            "detector_bytes": sum(r["detector_bytes"] for r in self.records) / n if n else 0.0,
            "detect_ms": sum(r["detect_ms"] for r in self.records) / n if n else 0.0,
            "hits": sum(r["hits"] for r in self.records),
            "found": sum(len(r["shapes"]) for r in self.records),
            "expected": sum(r["expected"] for r in self.records),
            "steps": steps,
            "fault": self.fault,
            "left": self.left,
            "run": dict(self.settings) if self.settings is not None else None,
            "detectors": len({r["detector"] for r in self.records}),
            "finders": sorted({r["finder"] for r in self.records}),
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
