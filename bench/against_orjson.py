"""Parsing payload bytes against the fastest JSON library: the time of
parse_pemu_data(payload) over that of parse_pemu_data(orjson.loads(payload)),
what a user after speed would otherwise write, for each payload shape.
orjson is a benchmark requirement only; without it these cases are left out.

bench.py times these cases with the others; run alone, this file times both
routes in one process, in alternating rounds, and prints per shape the ratio
of the medians of the rounds and the spread of the rounds' ratios (each
round's time the least of three):

    python bench/against_orjson.py [ROUNDS]
"""

import statistics
import sys
import time

import payloads

try:
    import orjson
except ImportError:  # the rest of the benchmark runs without it
    orjson = None

FLOOR = "orjson.loads + parse_pemu_data(dict)"
# The most our time over the floor's may be: no slower on any shape, and
# clearly faster on the payload a detector publishes most.
TARGETS = {"typical": 0.8}


def parse_bytes(payload):
    def run(loops):
        payloads.pemu_data.str_to_img = payloads.noop_str_to_img
        parse = payloads.pemu_data.PemuData(0, payloads.NODE, payloads.NODE, 0).parse_pemu_data
        perf_counter = time.perf_counter
        t0 = perf_counter()
        for _ in range(loops):
            parse(payload)
        return perf_counter() - t0
    return run


def parse_orjson(payload):
    def run(loops):
        payloads.pemu_data.str_to_img = payloads.noop_str_to_img
        parse = payloads.pemu_data.PemuData(0, payloads.NODE, payloads.NODE, 0).parse_pemu_data
        loads, perf_counter = orjson.loads, time.perf_counter
        t0 = perf_counter()
        for _ in range(loops):
            parse(loads(payload))
        return perf_counter() - t0
    return run


def cases():
    """The benchmark's cases (name, operation, floor name, floor, target)
    comparing both routes on each shape."""
    if orjson is None:
        return []
    return [("parse_pemu_data(bytes) vs orjson, %s" % shape, parse_bytes(payload), FLOOR,
             parse_orjson(payload), ("at most", TARGETS.get(shape, 1.0)))
            for shape, payload in payloads.SHAPES]


def per_call(run, seconds=0.02, repeats=3):
    """Seconds per call of `run`: the least of `repeats` timings, each of as
    many loops as fill `seconds` (the least is the one other jobs on the
    machine disturbed least)."""
    loops = 1
    while run(loops) < seconds:
        loops *= 2
    return min(run(loops) for _ in range(repeats)) / loops


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 15
    print("%-34s %10s %10s %7s  %s" % ("shape", "bytes", "orjson", "ratio", "rounds"))
    for name, operation, _, floor, _ in cases():
        ours, theirs = [], []
        for _ in range(rounds):
            ours.append(per_call(operation))
            theirs.append(per_call(floor))
        ratios = sorted(o / t for o, t in zip(ours, theirs))
        print("%-34s %8.0f ns %7.0f ns %7.2f  %.2f-%.2f" % (
            name.split(", ", 1)[1], statistics.median(ours) * 1e9,
            statistics.median(theirs) * 1e9,
            statistics.median(ours) / statistics.median(theirs), ratios[0], ratios[-1]))


if __name__ == "__main__":
    if orjson is None:
        sys.exit("orjson is not installed: pip install -r requirements-bench.txt")
    main()
