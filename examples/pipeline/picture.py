"""The picture of a run (--report DIR): a strip of annotated frames above
the latency of every frame over the run (the sink keeps the most recent
records: of a long run, its last frames), with the fault marked."""

import importlib
import os

import cv2
import numpy as np

from .frames import Scene
from .summary import pacing

STRIP = 6  # frames in the strip


def annotate(image, record):
    """Draws the shapes the detector found (boxed, labelled), the frame id
    and the latency onto ``image``."""
    scale = max(0.35, image.shape[0] / 480.0)
    for shape in record["shapes"]:
        x, y, w, h = shape["box"]
        cv2.rectangle(image, (x - 2, y - 2), (x + w + 2, y + h + 2), (0, 0, 255), 2)
        cv2.putText(image, shape["label"], (x, max(14, y - 8)), cv2.FONT_HERSHEY_SIMPLEX,
                    0.8 * scale, (40, 40, 255), 2, cv2.LINE_AA)
    text = "#%d  %.0f ms%s" % (record["frame_id"], record["latency_ms"],
                               "  reclaimed" if record["reclaimed"] else "")
    height = image.shape[0]
    cv2.rectangle(image, (0, height - int(40 * scale)), (image.shape[1], height), (0, 0, 0), -1)
    cv2.putText(image, text, (8, height - int(12 * scale)), cv2.FONT_HERSHEY_SIMPLEX,
                1.0 * scale, (255, 255, 255), 2, cv2.LINE_AA)
    return image


def strip_records(records, fault=None, count=STRIP):
    """The frames of the strip, in order: with a fault, the frame the sink
    took when it happened and the slowest frame, and evenly spread ones."""
    n = len(records)
    picks = []
    if fault is not None and n:
        picks = [min(fault[0], n - 1), max(range(n), key=lambda i: records[i]["latency_ms"])]
    spread = np.linspace(0, n - 1, count).round().astype(int).tolist() if n else []
    for i in spread + list(range(n)):
        if len(set(picks)) >= count:
            break
        picks.append(i)
    return [records[i] for i in sorted(set(picks))]


def _grid(tiles, columns, gap=8):
    """The tiles in rows of ``columns``, white between them."""
    height, width = tiles[0].shape[:2]
    rows = -(-len(tiles) // columns)
    out = np.full((rows * (height + gap) - gap, columns * (width + gap) - gap, 3), 255, np.uint8)
    for i, tile in enumerate(tiles):
        y, x = (i // columns) * (height + gap), (i % columns) * (width + gap)
        out[y:y + height, x:x + width] = tile
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
    tiles = []
    fault = report.fault
    if fault is not None:  # its frame among those kept, if it is
        fault = (max(0, fault[0] - (summary["received"] - len(records))), fault[1])
    for record in strip_records(records, fault):
        # redrawn at the run's size (the frame's own, without the camera's
        # settings), so that the boxes the detector found fit the shapes
        width, height = ((settings["width"], settings["height"]) if settings
                         else record["size"])
        image, _ = Scene(width, height).frame(record["frame_id"], record["source"]["ts"])
        tiles.append(cv2.cvtColor(annotate(image, record), cv2.COLOR_BGR2RGB))
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "pipeline.png")
    figure, (top, bottom) = plt.subplots(2, 1, figsize=(12, 11),
                                         gridspec_kw={"height_ratios": [1.3, 1]})
    if tiles:
        top.imshow(_grid(tiles, columns=3))
    top.axis("off")
    top.set_title("frames at the sink: the shapes found, frame id and latency")
    if records:
        start = records[0]["arrived"]
        t = [r["arrived"] - start for r in records]
        latency = [r["latency_ms"] for r in records]
        bottom.plot(t, latency, ".-", lw=0.8, ms=3, label="latency of each frame")
        reclaimed = [(ti, li) for ti, li, r in zip(t, latency, records) if r["reclaimed"]]
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
