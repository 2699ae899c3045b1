"""Measures the memory that one envelope costs: N envelopes are made (and,
in the second measurement, each parses one payload) and the growth of the
memory traced by tracemalloc and of the resident size is divided by N.

    bash tools/memory.sh [N]        (N defaults to 20000)
"""
import gc
import json
import os
import subprocess
import sys
import tracemalloc

from pemu_sdk.redis.pemu_data import PemuData

CUR = {"id": "detector-1", "type": "object-detection", "name": "Detector"}
SRC = {"id": "camera-1", "type": "camera", "name": "Gate camera"}
PAYLOAD = json.dumps({
    "meta": {"ts": 1700000000.0,
             "source": {"id": "camera-1", "type": "camera", "name": "Gate camera",
                        "source_name": "camera_0", "source_key": "camera-1_0",
                        "output_port_idx": 0, "frame_id": 1234, "ts": 1700000000.0},
             "module": {"id": "camera-1", "type": "camera", "feed_port_idx": 0},
             "frame_format": {"encoder": "jpg", "with_base64": True}},
    "result": [], "frame": None}).encode()


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure(n, parse, traced):
    """Bytes per envelope, traced by tracemalloc or resident (each measured in
    a process of its own: tracing costs memory too, and freed memory is
    reused)."""
    gc.collect()
    if traced:
        tracemalloc.start()
    used = tracemalloc.get_traced_memory()[0] if traced else resident()
    kept = []
    for _ in range(n):
        envelope = PemuData(0, CUR, SRC, 0)
        if parse:
            envelope.parse_pemu_data(PAYLOAD)
        kept.append(envelope)
    gc.collect()
    used = (tracemalloc.get_traced_memory()[0] if traced else resident()) - used
    # the list that keeps them costs a pointer each, not counted
    return (used - sys.getsizeof(kept)) / n


def main():
    if sys.argv[1:2] == ["--one"]:
        n, parse, traced = int(sys.argv[2]), sys.argv[3] == "1", sys.argv[4] == "1"
        print(measure(n, parse, traced))
        return
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    print("%d envelopes, each for input 0 of %s fed by port 0 of %s"
          % (n, CUR["id"], SRC["id"]))
    for parse, what in (("0", "as constructed"), ("1", "after parsing one payload")):
        traced, rss = (float(subprocess.check_output(
            [sys.executable, __file__, "--one", str(n), parse, t])) for t in ("1", "0"))
        print("  %-26s %6.0f bytes traced, %6.0f bytes resident per envelope"
              % (what, traced, rss))


if __name__ == "__main__":
    main()
