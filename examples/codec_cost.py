"""What the stand-in codec's text form costs beside the JPEG coding it
carries, measured side by side in one run.

    python codec_cost.py [--rounds 7] [--frames 40] [--size 640x480]

Each round encodes and decodes the same camera frames four ways in turn:
JPEG alone, the base85 text form of this package, and the standard
library's base85 (for reference).  The ratio is taken per round, so that
the machine's drift between rounds does not enter it; the median and the
spread of the rounds are printed.
"""

import argparse
import base64
import statistics
import time

import cv2
import numpy as np

from pemu_sdk.redis.utils import b85decode, b85encode
from pipeline.frames import Scene


def timed(function, items):
    started = time.perf_counter()
    out = [function(item) for item in items]
    return (time.perf_counter() - started) / len(items) * 1e3, out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--frames", type=int, default=40)
    parser.add_argument("--size", default="640x480")
    args = parser.parse_args()
    width, height = (int(v) for v in args.size.split("x"))
    scene = Scene(width, height)
    images = [scene.frame(i, 1e9 + i / 15)[0] for i in range(args.frames)]
    rows = {k: [] for k in ("jpeg encode", "jpeg decode", "text encode", "text decode",
                            "stdlib encode", "stdlib decode", "ratio", "stdlib ratio")}
    for _ in range(args.rounds):
        enc, raws = timed(lambda im: cv2.imencode(".jpg", im)[1].tobytes(), images)
        dec, _ = timed(lambda raw: cv2.imdecode(np.frombuffer(raw, np.uint8),
                                                cv2.IMREAD_UNCHANGED), raws)
        tenc, texts = timed(lambda raw: b85encode(raw).decode("ascii"), raws)
        tdec, back = timed(b85decode, texts)
        assert back == raws
        senc, stexts = timed(lambda raw: base64.b85encode(raw).decode("ascii"), raws)
        sdec, _ = timed(base64.b85decode, stexts)
        assert stexts == texts
        for key, value in zip(rows, (enc, dec, tenc, tdec, senc, sdec,
                                     (tenc + tdec) / (enc + dec), (senc + sdec) / (enc + dec))):
            rows[key].append(value)
    size = sum(len(t) for t in texts) / len(texts)
    print("%d rounds of %d %dx%d frames (text %.0f B on average); per frame, median "
          "(min-max) of the rounds:" % (args.rounds, args.frames, width, height, size))
    for key, values in rows.items():
        unit = "" if "ratio" in key else " ms"
        print("  %-14s %8.3f%s  (%.3f-%.3f)" % (key, statistics.median(values), unit,
                                               min(values), max(values)))


if __name__ == "__main__":
    main()
