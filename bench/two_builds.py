"""Two installs of the module against each other (say, the development
build and the wheel's): each round runs one process under each interpreter
in turn, which times every operation (each figure the least of five batches)
and json.loads(payload.decode()) beside each parse of bytes.  A parse's
figure is the benchmark's ratio, its time over json.loads' in the same
process, which cancels the drift of a busy machine between processes; the
other operations' figures are their time over json.loads' of the typical
payload.  Printed per operation: each install's median over the
rounds with their spread, and the second's median over the first's with the
spread of the rounds' ratios.

    python bench/two_builds.py PYTHON_A PYTHON_B [ROUNDS]

PYTHON_A and PYTHON_B are the interpreters of two environments, each with
the module installed (tools/env.sh's .venv-3.X for the development build, a
fresh one with the wheel installed from wheelhouse/).
"""

import json
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BATCH_SECONDS = 0.05  # each batch about this long, its size found once


def operations():
    """name -> callable of no arguments, in the order reported."""
    sys.path.insert(0, HERE)
    import payloads
    payloads.pemu_data.str_to_img = payloads.noop_str_to_img
    envelope = payloads.pemu_data.PemuData(0, payloads.NODE, payloads.NODE, 0)
    parse = envelope.parse_pemu_data
    document = json.loads(payloads.PAYLOAD_BYTES.decode())
    ops = {
        "PemuData(0, node, node, 0)":
            lambda: payloads.pemu_data.PemuData(0, payloads.NODE, payloads.NODE, 0),
        "create_pemu_data()": envelope.create_pemu_data,
        "parse_pemu_data(dict)": lambda: parse(document),
    }
    for shape, payload in payloads.SHAPES:
        ops["parse_pemu_data(bytes), " + shape] = (lambda p=payload: parse(p))
        ops["json.loads, " + shape] = (lambda p=payload: json.loads(p.decode()))
    return ops


def time_all():
    """One process's figures: name -> seconds per call."""
    perf_counter = time.perf_counter
    figures = {}
    for name, op in operations().items():
        loops, t0 = 0, perf_counter()
        while perf_counter() - t0 < BATCH_SECONDS:
            op()
            loops += 1
        best = float("inf")
        for _ in range(5):
            t0 = perf_counter()
            for _ in range(loops):
                op()
            best = min(best, (perf_counter() - t0) / loops)
        figures[name] = best
    return figures


def main():
    if sys.argv[1:] == ["--child"]:
        print(json.dumps(time_all()))
        return
    first, second = sys.argv[1], sys.argv[2]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 9
    runs = {first: [], second: []}
    for _ in range(rounds):
        for python in (first, second):
            out = subprocess.run([python, os.path.abspath(__file__), "--child"],
                                 check=True, stdout=subprocess.PIPE).stdout
            runs[python].append(json.loads(out.decode()))
    print("%-52s %17s %17s %16s" % ("operation", "A", "B", "B/A (rounds)"))
    for name in runs[first][0]:
        if name.startswith("json.loads"):
            continue
        bytes_parse = "parse_pemu_data(bytes), "
        # The others over json.loads of the typical payload: a yardstick of
        # the process's speed.
        floor = "json.loads, " + (name[len(bytes_parse):] if name.startswith(bytes_parse)
                                  else "typical")
        cells = []
        for python in (first, second):
            cells.append([r[name] / r[floor] for r in runs[python]])
        ratios = sorted(b / a for a, b in zip(*cells))
        print("%-52s %17s %17s %16s" % (
            name,
            "%.3f (%.3f-%.3f)" % (statistics.median(cells[0]), min(cells[0]), max(cells[0])),
            "%.3f (%.3f-%.3f)" % (statistics.median(cells[1]), min(cells[1]), max(cells[1])),
            "%.2f (%.2f-%.2f)" % (statistics.median(cells[1]) / statistics.median(cells[0]),
                                  ratios[0], ratios[-1])))


if __name__ == "__main__":
    main()
