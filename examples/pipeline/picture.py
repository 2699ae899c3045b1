"""The picture of a run (--report DIR): a strip of frames as the sink
received them, with the detectors' boxes drawn, above the latency of every
frame over the run (the sink keeps the most recent records: of a long run,
its last frames), frames that did not come left as gaps, the fault marked."""

import importlib
import math
import os

import cv2
import numpy as np

from .annotate import annotate
from .frame_limit import default_limit
from .pixels import decode
from .summary import pacing

STRIP = 6  # frames in the strip
TILE_WIDTH = 640  # pixels of a frame of the strip, at most


def strip_records(records, fault=None, count=STRIP, kept=None):
    """The frames of the strip, in order: of those whose pixels are
    ``kept`` (frame ids; every record when None), with a fault (the count
    of records when it happened, first) the one nearest the frame the sink
    took then and the slowest frame, and evenly spread ones."""
    at = None
    if fault is not None and records:
        at = records[min(fault[0], len(records) - 1)]["frame_id"]
    if kept is not None:
        records = [r for r in records if r["frame_id"] in kept]
    n = len(records)
    picks = []
    if at is not None and n:
        picks = [min(range(n), key=lambda i: abs(records[i]["frame_id"] - at)),
                 max(range(n), key=lambda i: records[i]["latency_ms"])]
    spread = np.linspace(0, n - 1, count).round().astype(int).tolist() if n else []
    for i in spread + list(range(n)):
        if len(set(picks)) >= count:
            break
        picks.append(i)
    return [records[i] for i in sorted(set(picks))]


def with_gaps(records):
    """(seconds since the first, latency) of each record, a NaN between two
    records whose frames are not consecutive (frames dropped, set aside or
    lost there), so that the line breaks instead of bridging them."""
    if not records:
        return [], []
    start = records[0]["arrived"]
    t, latency = [], []
    for before, record in zip([None] + records[:-1], records):
        if before is not None and record["frame_id"] != before["frame_id"] + 1:
            t.append(float("nan"))
            latency.append(float("nan"))
        t.append(record["arrived"] - start)
        latency.append(record["latency_ms"])
    return t, latency


def tile(record, pixels, size, limit):
    """The annotated frame of ``record`` (RGB) at ``size`` (width, height):
    decoded from its pixels (within ``limit``), or grey where they did not
    come or cannot be decoded."""
    image = None
    if pixels is not None:
        try:
            image = decode(pixels, limit)
        except (ValueError, cv2.error):  # FrameTooLarge is a ValueError
            image = None
    if image is None:
        image = np.full((size[1], size[0], 3), 96, np.uint8)
        cv2.putText(image, "no pixels", (10, size[1] // 2), cv2.FONT_HERSHEY_SIMPLEX,
                    size[1] / 240.0, (255, 255, 255), 2, cv2.LINE_AA)
    image = annotate(image, record)
    if (image.shape[1], image.shape[0]) != tuple(size):
        image = cv2.resize(image, tuple(size), interpolation=cv2.INTER_AREA)
    return cv2.cvtColor(image, cv2.COLOR_BGR2RGB)


def _grid(tiles, columns, gap=8):
    """The tiles in rows of ``columns``, white between them."""
    height, width = tiles[0].shape[:2]
    rows = -(-len(tiles) // columns)
    out = np.full((rows * (height + gap) - gap, columns * (width + gap) - gap, 3), 255, np.uint8)
    for i, image in enumerate(tiles):
        y, x = (i // columns) * (height + gap), (i % columns) * (width + gap)
        out[y:y + height, x:x + width] = image
    return out


def draw(report, folder):
    """Writes ``folder``/pipeline.png and returns its path."""
    # matplotlib only for the picture, imported by name: it is optional
    # (pinned for the demo's interpreter only) and untyped on 3.7, so the
    # type checkers see it as Any instead of failing on the import
    matplotlib = importlib.import_module("matplotlib")
    matplotlib.use("Agg")
    plt = importlib.import_module("matplotlib.pyplot")

    records = report.records  # the most recent ones of a long run
    summary = report.summary()
    settings = summary["run"]
    kept = report.samples.frames() if report.samples is not None else {}
    fault = report.fault
    if fault is not None:  # its frame among those kept, if it is
        fault = (max(0, fault[0] - (summary["received"] - len(records))), fault[1])
    picked = strip_records(records, fault, kept=set(kept) if kept else None)
    tiles = []
    if picked:
        width, height = picked[0]["size"]
        scale = min(1.0, TILE_WIDTH / float(max(1, width)))
        size = (max(1, int(width * scale)), max(1, int(height * scale)))
        limit = report.opts.max_frame or default_limit(settings)
        tiles = [tile(r, kept.get(r["frame_id"]), size, limit) for r in picked]
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "pipeline.png")
    figure, (top, bottom) = plt.subplots(2, 1, figsize=(12, 11),
                                         gridspec_kw={"height_ratios": [1.3, 1]})
    if tiles:
        top.imshow(_grid(tiles, columns=3))
    top.axis("off")
    found = ("%d of %d shapes found" % (summary["hits"], summary["expected"])
             if summary["expected"] else "%d objects boxed" % summary["found"])
    top.set_title("frames as the sink received them, the detectors' boxes drawn (%s)" % found)
    if records:
        start = records[0]["arrived"]
        t, latency = with_gaps(records)
        bottom.plot(t, latency, ".-", lw=0.8, ms=3, label="latency of each frame")
        if any(math.isnan(v) for v in t):
            bottom.plot([], [], " ", label="gaps: frames dropped, set aside or lost")
        reclaimed = [(r["arrived"] - start, r["latency_ms"]) for r in records if r["reclaimed"]]
        if reclaimed:
            bottom.plot(*zip(*reclaimed), "o", color="tab:orange", ms=7,
                        label="reclaimed from the killed detector")
        if report.fault is not None:
            bottom.axvline(report.fault[1] - start, color="tab:red", ls="--",
                           label="detector killed after %d frames" % report.fault[0])
        bottom.legend(loc="upper right")
    bottom.set_xlabel("seconds since the first frame reached the sink")
    bottom.set_ylabel("latency from capture (ms)")
    bottom.set_title("%d frames, %d detectors, %s: %.1f frames/s, p95 %.1f ms, %d lost"
                     % (summary["received"], summary["detectors"], pacing(settings),
                        summary["fps"], summary["latency_ms"]["p95"], summary["lost"]))
    bottom.grid(alpha=0.3)
    figure.tight_layout()
    figure.savefig(path, dpi=80)
    plt.close(figure)
    return path
