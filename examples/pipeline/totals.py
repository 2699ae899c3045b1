"""The figures of a run's summary, kept as counts and sums: what they cost
does not grow with the run.  They travel with the record of delivered
frames (JSON), so that a sink started after one that died reports the
whole run."""

import json
import math

BUCKET = 1.02  # the latency histogram's buckets: each 2 % wider than the last
FLOOR_MS = 0.01  # latencies below this (clocks apart) count as this
CEILING_MS = 1e7  # and above this (about three hours) as this: at most 1047 buckets
MAX_NAMES = 64  # detector names kept; more are counted, not named


def bucket(latency_ms):
    """The histogram bucket of a latency; one not a number counts as the
    largest (a peer's time stamp may be anything)."""
    clamped = min(max(latency_ms, FLOOR_MS), CEILING_MS) if latency_ms == latency_ms else CEILING_MS
    return int(math.floor(math.log(clamped / FLOOR_MS, BUCKET)))


class Totals:
    """Counts, sums and a fixed-resolution histogram of latencies over the
    frames delivered in a run."""

    SUMS = ("latency_ms", "camera_bytes", "detector_bytes", "detect_ms")
    COUNTS = ("hits", "found", "expected", "reclaimed", "out_of_order")

    def __init__(self, state=None):
        state = dict(state or {})
        self.n = state.get("n", 0)
        self.first, self.last = state.get("first"), state.get("last")
        self.last_id = state.get("last_id")
        self.longest_gap = state.get("longest_gap", 0.0)
        self.max_latency = state.get("max_latency", 0.0)
        self.sums = {k: state.get("sums", {}).get(k, 0.0) for k in self.SUMS}
        self.counts = {k: state.get("counts", {}).get(k, 0) for k in self.COUNTS}
        self.detectors = set(state.get("detectors", []))
        self.more_detectors = state.get("more_detectors", 0)
        self.finders = set(state.get("finders", []))
        # the latency histogram, dense: counts[i] frames in bucket low + i
        histogram = state.get("histogram", {})
        self.low, self.buckets = histogram.get("low", 0), list(histogram.get("counts", []))

    def state(self):
        return {"n": self.n, "first": self.first, "last": self.last, "last_id": self.last_id,
                "longest_gap": self.longest_gap, "max_latency": self.max_latency,
                "sums": self.sums, "counts": self.counts, "detectors": sorted(self.detectors),
                "more_detectors": self.more_detectors, "finders": sorted(self.finders),
                "histogram": {"low": self.low, "counts": self.buckets}}

    def dumps(self):
        return json.dumps(self.state(), separators=(",", ":"))

    @classmethod
    def loads(cls, text):
        return cls(json.loads(text))

    def copy(self):
        """A copy that shares nothing that ``add`` changes."""
        other = Totals.__new__(Totals)
        other.__dict__.update(self.__dict__)
        other.sums, other.counts = dict(self.sums), dict(self.counts)
        other.detectors, other.finders = set(self.detectors), set(self.finders)
        other.buckets = list(self.buckets)
        return other

    def add(self, record):
        """Folds in the record of a frame delivered at ``record["arrived"]``."""
        arrived, frame_id = record["arrived"], record["frame_id"]
        if self.first is None:
            self.first = arrived
        if self.last is not None:
            self.longest_gap = max(self.longest_gap, arrived - self.last)
        if self.last_id is not None and frame_id <= self.last_id:
            self.counts["out_of_order"] += 1
        self.last, self.last_id = arrived, frame_id
        self.n += 1
        latency = record["latency_ms"]
        self.max_latency = latency if self.n == 1 else max(self.max_latency, latency)
        self.sums["latency_ms"] += latency
        for key in ("camera_bytes", "detector_bytes", "detect_ms"):
            self.sums[key] += record[key]
        self.counts["hits"] += record["hits"]
        self.counts["found"] += len(record["shapes"])
        self.counts["expected"] += record["expected"]
        self.counts["reclaimed"] += int(bool(record["reclaimed"]))
        if record["detector"] not in self.detectors:
            if len(self.detectors) < MAX_NAMES:
                self.detectors.add(record["detector"])
            else:
                self.more_detectors += 1
        self.finders.add(record["finder"])
        b = bucket(latency)
        if not self.buckets:
            self.low, self.buckets = b, [0]
        elif b < self.low:
            self.buckets[:0] = [0] * (self.low - b)
            self.low = b
        elif b >= self.low + len(self.buckets):
            self.buckets += [0] * (b - self.low - len(self.buckets) + 1)
        self.buckets[b - self.low] += 1

    def mean(self, key):
        return self.sums[key] / self.n if self.n else 0.0

    def percentile(self, p):
        """The latency at percentile ``p``, to the histogram's resolution
        (the middle of its bucket, never above the largest seen)."""
        if not self.n:
            return 0.0
        rank, seen = int(round(p / 100.0 * (self.n - 1))), 0
        for i, count in enumerate(self.buckets):
            seen += count
            if seen > rank:
                return min(self.max_latency, FLOOR_MS * BUCKET ** (self.low + i + 0.5))
        return self.max_latency
