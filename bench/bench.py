"""Benchmark of the envelope's operations against their floors.

Each operation is timed beside a floor measured in the same run: for creation
the same document built by Python from literals (reading the envelope's state
by attribute access; the bare dicts from prefetched values are shown too),
for parsing bytes
json.loads(payload.decode()) alone and, per payload shape, orjson.loads
followed by parse_pemu_data(dict) (against_orjson.py), and otherwise the
plain-Python classes of baseline.py.  Beside the plain-Python floors, and for parsing bytes, the same
classes compiled with Cython (built into build/ on first use) are measured
too: what a user would otherwise build.  Operation and floor are measured in
turns, five rounds of each;
a ratio is the median of the rounds' ratios.  pyperf does the calibration,
the worker processes and the statistics; the summary (medians, ratios,
targets) is printed and written to bench/results.json (another path with
--summary FILE).

    python bench/bench.py [--scaling] [pyperf options, e.g. --fast]
"""

import json
import os
import statistics
import subprocess
import sys
import time

import pyperf

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import against_orjson  # noqa: E402
import baseline  # noqa: E402

from pemu_sdk.redis import pemu_data  # noqa: E402

from payloads import (  # noqa: E402
    DETECTIONS, NODE, PAYLOAD_BYTES, PAYLOAD_FRAME_BYTES, LABELS_BYTES, TEXT_BYTES,
    TEXT_UTF8_BYTES, as_bytes, noop_img_to_str, noop_str_to_img, typical_payload)

perf_counter = time.perf_counter


# ---- The operations and their floors: each takes a loop count and returns
# the seconds that many calls took. ----

def envelope_constructor(loops):
    cls, node = pemu_data.PemuData, NODE
    t0 = perf_counter()
    for _ in range(loops):
        cls(0, node, node, 0)
    return perf_counter() - t0


def envelope_constructor_python(loops):
    cls, node = baseline.PemuData, NODE
    t0 = perf_counter()
    for _ in range(loops):
        cls(0, node, node, 0)
    return perf_counter() - t0


def create_empty(loops):
    create = pemu_data.PemuData(0, NODE, NODE, 0).create_pemu_data
    t0 = perf_counter()
    for _ in range(loops):
        create()
    return perf_counter() - t0


def create_empty_literal(loops):
    # The same document written as Python literals, reading the envelope's
    # state as the fastest hand-written code would: attribute access, no
    # method calls.
    envelope = pemu_data.PemuData(0, NODE, NODE, 0)
    t0 = perf_counter()
    for _ in range(loops):
        meta = envelope.meta
        {"meta": {"ts": meta.ts, "source": meta.source.__dict__,
                  "module": meta.module.__dict__,
                  "frame_format": meta.frame_format.__dict__},
         "result": [], "frame": None}
    return perf_counter() - t0


def create_empty_prefetched(loops):
    # The dicts alone, from values fetched beforehand: the cost of building
    # the document's containers and nothing else.
    meta = pemu_data.PemuData(0, NODE, NODE, 0).meta
    ts, source = meta.ts, meta.source.to_dict()
    module, frame_format = meta.module.to_dict(), meta.frame_format.to_dict()
    t0 = perf_counter()
    for _ in range(loops):
        {"meta": {"ts": ts, "source": source, "module": module,
                  "frame_format": frame_format},
         "result": [], "frame": None}
    return perf_counter() - t0


EXT_INFO = {"camera": "gate-1", "sequence": 7}
FRAME = "<frame>"


def create_full(loops):
    pemu_data.img_to_str = noop_img_to_str
    create = pemu_data.PemuData(0, NODE, NODE, 0).create_pemu_data
    result, ext_info, frame = DETECTIONS, EXT_INFO, FRAME
    t0 = perf_counter()
    for _ in range(loops):
        create(result=result, ext_info=ext_info, frame=frame)
    return perf_counter() - t0


def create_full_literal(loops):
    envelope = pemu_data.PemuData(0, NODE, NODE, 0)
    result, frame, img_to_str = DETECTIONS, FRAME, noop_img_to_str
    t0 = perf_counter()
    for _ in range(loops):
        meta = envelope.meta
        text = img_to_str(image=frame, encoder="jpg", with_base64=False)
        {"meta": {"ts": meta.ts, "source": meta.source.__dict__,
                  "module": meta.module.__dict__,
                  "frame_format": {"encoder": "jpg", "with_base64": False},
                  "camera": "gate-1", "sequence": 7},
         "result": result, "frame": text}
    return perf_counter() - t0


def parse_dict(loops, envelope_class=None):
    envelope = (envelope_class or pemu_data.PemuData)(0, NODE, NODE, 0)
    parse, document = envelope.parse_pemu_data, json.loads(PAYLOAD_BYTES)
    t0 = perf_counter()
    for _ in range(loops):
        parse(document)
    return perf_counter() - t0


def parse_dict_python(loops):
    return parse_dict(loops, baseline.PemuData)


def parse_payload(loops, payload):
    parse = pemu_data.PemuData(0, NODE, NODE, 0).parse_pemu_data
    t0 = perf_counter()
    for _ in range(loops):
        parse(payload)
    return perf_counter() - t0


def loads_payload(loops, payload):
    loads = json.loads
    t0 = perf_counter()
    for _ in range(loops):
        loads(payload.decode())
    return perf_counter() - t0


def parse_bytes(loops):
    return parse_payload(loops, PAYLOAD_BYTES)


def parse_bytes_json(loops):
    return loads_payload(loops, PAYLOAD_BYTES)


def parse_frame_bytes(loops):
    pemu_data.str_to_img = noop_str_to_img
    return parse_payload(loops, PAYLOAD_FRAME_BYTES)


def parse_frame_bytes_json(loops):
    return loads_payload(loops, PAYLOAD_FRAME_BYTES)




def on_payload(payload):
    """The operation and its floor for one payload."""
    return (lambda loops: parse_payload(loops, payload),
            lambda loops: loads_payload(loops, payload))


# Nine entries, about half of them equal to what the descriptor holds.
SOURCE = {"id": "node-1", "type": "object-detection", "name": "OD Node",
          "source_name": "object-detection_0", "source_key": "node-1_0",
          "output_port_idx": 0, "frame_id": 41, "ts": 1.5}


def update_entries(frame_id):
    return {"id": "node-1", "type": "object-detection", "name": "OD Node",
            "source_key": "node-1_0", "source_name": "renamed", "output_port_idx": 1,
            "frame_id": frame_id, "ts": 2.5, "region": "north"}


def update_nine(loops, source_class=None):
    source = (source_class or pemu_data.MetaSource)()
    source.update(SOURCE)
    update = source.update
    entries = [update_entries(i) for i in range(2)]
    t0 = perf_counter()
    for i in range(loops):
        update(entries[i & 1])
    return perf_counter() - t0


def update_nine_python(loops):
    return update_nine(loops, baseline.MetaSource)


# name, operation, floor, target: the most (ratio <= target) or the least
# (floor / operation >= target) the ratio may be.
CASES = [
    ("PemuData(0, node, node, 0)", envelope_constructor,
     "plain-Python PemuData", envelope_constructor_python, ("faster", 3.0)),
    ("create_pemu_data()", create_empty,
     "document from literals", create_empty_literal, ("at most", 1.5)),
    ("create_pemu_data(), against the bare dicts", create_empty,
     "dicts from prefetched values", create_empty_prefetched, None),
    ("create_pemu_data(result, ext_info, frame)", create_full,
     "document from literals", create_full_literal, None),
    ("parse_pemu_data(dict)", parse_dict,
     "plain-Python parse_pemu_data", parse_dict_python, ("faster", 4.0)),
    ("parse_pemu_data(bytes)", parse_bytes,
     "json.loads(payload.decode())", parse_bytes_json, ("at most", 0.6)),
    ("parse_pemu_data(bytes), 20 KiB frame text", parse_frame_bytes,
     "json.loads(payload.decode())", parse_frame_bytes_json, ("at most", 0.4)),
    ("parse_pemu_data(bytes), 50 non-ASCII labels", on_payload(LABELS_BYTES)[0],
     "json.loads(payload.decode())", on_payload(LABELS_BYTES)[1], ("at most", 0.6)),
    ("parse_pemu_data(bytes), 20 KiB non-ASCII text", on_payload(TEXT_BYTES)[0],
     "json.loads(payload.decode())", on_payload(TEXT_BYTES)[1], ("at most", 0.6)),
    ("parse_pemu_data(bytes), 20 KiB non-ASCII text as UTF-8", on_payload(TEXT_UTF8_BYTES)[0],
     "json.loads(payload.decode())", on_payload(TEXT_UTF8_BYTES)[1], None),
    ("MetaSource.update, nine entries", update_nine,
     "plain-Python MetaSource.update", update_nine_python, ("faster", 5.0)),
] + against_orjson.cases()


# ---- The baseline compiled with Cython: what a user would otherwise build.
# Built once per interpreter into build/, and again when baseline.py changes.

SETUP = ("from setuptools import setup; from Cython.Build import cythonize; "
         "setup(ext_modules=cythonize('baseline_cython.py', language_level=3, quiet=True), "
         "script_args=['build_ext', '--inplace', '-q'])")


def compiled_baseline():
    here = os.path.dirname(os.path.abspath(__file__))
    out = os.path.join(os.path.dirname(here), "build",
                       "bench-cython-%d.%d" % sys.version_info[:2])
    with open(os.path.join(here, "baseline.py")) as f:
        text = f.read()
    stamp = os.path.join(out, "baseline_cython.py")
    built = os.path.exists(stamp) and open(stamp).read() == text and any(
        n.startswith("baseline_cython.") and n.endswith(".so") for n in os.listdir(out))
    if not built:
        os.makedirs(out, exist_ok=True)
        with open(stamp, "w") as f:
            f.write(text)
        subprocess.run([sys.executable, "-c", SETUP], cwd=out, check=True,
                       stdout=subprocess.DEVNULL)
    sys.path.insert(0, out)
    import baseline_cython
    assert baseline_cython.__file__.endswith(".so"), baseline_cython.__file__
    return baseline_cython


compiled = compiled_baseline()


def in_module(function, module):
    """`function` (one of the plain-Python floors) run against `module`."""
    def run(loops):
        global baseline
        saved, baseline = baseline, module
        try:
            return function(loops)
        finally:
            baseline = saved
    return run


def parse_bytes_with(module, payload):
    def run(loops):
        parse = module.PemuData(0, NODE, NODE, 0).parse_pemu_data
        t0 = perf_counter()
        for _ in range(loops):
            parse(payload)
        return perf_counter() - t0
    return run


# Beside the floor, the plain-Python classes and the same compiled, where they
# do the operation: name -> [(label, function)].
BASELINES = {
    "PemuData(0, node, node, 0)": [
        ("Cython", in_module(envelope_constructor_python, compiled))],
    "parse_pemu_data(dict)": [("Cython", in_module(parse_dict_python, compiled))],
    "parse_pemu_data(bytes)": [
        ("plain Python", parse_bytes_with(baseline, PAYLOAD_BYTES)),
        ("Cython", parse_bytes_with(compiled, PAYLOAD_BYTES))],
    "parse_pemu_data(bytes), 20 KiB frame text": [
        ("plain Python", parse_bytes_with(baseline, PAYLOAD_FRAME_BYTES)),
        ("Cython", parse_bytes_with(compiled, PAYLOAD_FRAME_BYTES))],
    "MetaSource.update, nine entries": [("Cython", in_module(update_nine_python, compiled))],
}
# The least the compiled baseline's time over the operation's may be.
CYTHON_TARGETS = {"parse_pemu_data(bytes)": 2.0}


# Turns of operation and floor (see main).
ROUNDS = 5


# ---- How the cost grows ----

def scaled(entries=0, frame_bytes=0):
    """A payload with `entries` results and extra metadata entries, and a
    frame text of `frame_bytes` characters."""
    result = [{"label": "car", "index": i} for i in range(entries)]
    ext_info = {"extra_%d" % i: i for i in range(entries)}
    frame = "x" * frame_bytes if frame_bytes else None
    return result, ext_info, frame


def scaling_cases():
    cases = []
    sizes = [("entries", n, scaled(entries=n)) for n in (10, 100, 1000)]
    sizes += [("frame text bytes", n, scaled(frame_bytes=n)) for n in (1024, 32 * 1024, 1 << 20)]
    for label, n, (result, ext_info, frame) in sizes:
        def create(loops, result=result, ext_info=ext_info, frame=frame):
            pemu_data.img_to_str = noop_img_to_str
            create = pemu_data.PemuData(0, NODE, NODE, 0).create_pemu_data
            t0 = perf_counter()
            for _ in range(loops):
                create(result=result, ext_info=ext_info, frame=frame)
            return perf_counter() - t0

        pemu_data.img_to_str = noop_img_to_str
        payload = as_bytes(typical_payload(result, ext_info, frame))

        def parse(loops, payload=payload):
            pemu_data.str_to_img = noop_str_to_img
            parse = pemu_data.PemuData(0, NODE, NODE, 0).parse_pemu_data
            t0 = perf_counter()
            for _ in range(loops):
                parse(payload)
            return perf_counter() - t0

        cases.append(("create, %s=%d" % (label, n), create))
        cases.append(("parse bytes, %s=%d" % (label, n), parse))
    return cases


def main():
    def worker_args(cmd, args):
        # Workers run the same cases as the manager.
        if args.scaling:
            cmd.append("--scaling")

    # Each operation and its floor are measured in turns, ROUNDS times over:
    # the machine's speed drifts over seconds, and a ratio of two timings
    # taken a minute apart would carry that drift.  The ratio reported is
    # the median of the rounds' ratios; the times, the medians of all values.
    runner = pyperf.Runner(processes=2, values=3, add_cmdline_args=worker_args)
    runner.argparser.add_argument("--scaling", action="store_true",
                                  help="also measure how the cost grows with size")
    # One summary per interpreter: results.json for 3.7, results-3.X.json else.
    version = "" if sys.version_info[:2] == (3, 7) else "-%d.%d" % sys.version_info[:2]
    runner.argparser.add_argument("--summary", default=os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "results%s.json" % version))
    args = runner.parse_args()

    values, round_ratios = {}, {}
    for round_number in range(1, ROUNDS + 1):
        for name, operation, floor_name, floor, _ in CASES:
            medians = []
            for label, func in ((name, operation), ("floor: " + name, floor)):
                bench = runner.bench_time_func("%s [round %d]" % (label, round_number), func)
                if bench is not None and not args.worker:
                    values.setdefault(label, []).extend(bench.get_values())
                    medians.append(bench.median())
            if len(medians) == 2:
                round_ratios.setdefault(name, []).append(medians[0] / medians[1])
            for label, func in BASELINES.get(name, []):
                key = "%s: %s" % (label, name)
                bench = runner.bench_time_func("%s [round %d]" % (key, round_number), func)
                if bench is not None and not args.worker and medians:
                    values.setdefault(key, []).extend(bench.get_values())
                    round_ratios.setdefault(key, []).append(medians[0] / bench.median())
    scaling = []
    if args.scaling:
        for label, func in scaling_cases():
            bench = runner.bench_time_func(label, func)
            if bench is not None and not args.worker:
                scaling.append((label, bench.median()))
    if args.worker or not values:
        return
    medians = {label: statistics.median(v) for label, v in values.items()}

    rows, ok = [], True
    print()
    print("%-44s %10s %10s %8s  %s" % ("operation", "time", "floor", "ratio", "target"))
    for name, _, floor_name, _, target in CASES:
        t, f = medians[name], medians["floor: " + name]
        ratio, met = statistics.median(round_ratios[name]), None
        text = ""
        if target is not None:
            kind, bound = target
            met = (1 / ratio >= bound) if kind == "faster" else (ratio <= bound)
            text = ("%.1fx faster than %s (wanted >= %.1f): %s" % (1 / ratio, floor_name, bound,
                    "met" if met else "MISSED") if kind == "faster" else
                    "<= %.2fx %s: %s" % (bound, floor_name, "met" if met else "MISSED"))
            ok = ok and met
        print("%-44s %8.0f ns %7.0f ns %7.2fx  %s" % (name, t * 1e9, f * 1e9, ratio, text))
        print("%-44s %8s    %7s    %7s  (rounds %.2f-%.2f)" % (
            "", "", "", "", min(round_ratios[name]), max(round_ratios[name])))
        row = {"operation": name, "seconds": t, "floor": floor_name,
               "floor_seconds": f, "ratio": ratio, "round_ratios": round_ratios[name],
               "target": list(target) if target else None, "met": met, "baselines": []}
        for label, _ in BASELINES.get(name, []):
            key = "%s: %s" % (label, name)
            b_ratio, bound = statistics.median(round_ratios[key]), None
            text = "%.2fx faster than the %s baseline (rounds %.2f-%.2f)" % (
                1 / b_ratio, label, 1 / max(round_ratios[key]), 1 / min(round_ratios[key]))
            b_met = None
            if label == "Cython" and name in CYTHON_TARGETS:
                bound = CYTHON_TARGETS[name]
                b_met = 1 / b_ratio >= bound
                text += " (wanted >= %.1f): %s" % (bound, "met" if b_met else "MISSED")
                ok = ok and b_met
            print("%-44s %8s    %7.0f ns %7.2fx  %s" % ("", "", medians[key] * 1e9, b_ratio, text))
            row["baselines"].append({"baseline": label, "seconds": medians[key],
                                     "ratio": b_ratio, "round_ratios": round_ratios[key],
                                     "faster_target": bound, "met": b_met})
        rows.append(row)
    if scaling:
        print()
        for label, t in scaling:
            print("%-52s %12.1f us" % (label, t * 1e6))
    with open(args.summary, "w") as out:
        json.dump({"python": sys.version.split()[0], "operations": rows,
                   "scaling": [{"case": label, "seconds": t} for label, t in scaling]},
                  out, indent=2)
    print("\nsummary written to %s%s" % (args.summary, "" if ok else "; some targets missed"))


if __name__ == "__main__":
    main()
