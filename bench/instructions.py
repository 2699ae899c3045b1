"""One route of parsing a payload shape, run a given number of times, for
tools/instructions.sh to count under callgrind: instructions do not vary
with the load of a shared machine, timings do.

    python bench/instructions.py SHAPE ROUTE COUNT

SHAPE is a name from payloads.SHAPES ("typical", ...); ROUTE one of
  bytes   parse_pemu_data(payload)
  orjson  parse_pemu_data(orjson.loads(payload))
  json    parse_pemu_data(json.loads(payload.decode()))
"""

import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import payloads  # noqa: E402


def main():
    shape, route, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    payload = dict(payloads.SHAPES)[shape]
    payloads.pemu_data.str_to_img = payloads.noop_str_to_img
    parse = payloads.pemu_data.PemuData(0, payloads.NODE, payloads.NODE, 0).parse_pemu_data
    if route == "bytes":
        def once():
            parse(payload)
    elif route == "orjson":
        import orjson
        loads = orjson.loads

        def once():
            parse(loads(payload))
    elif route == "json":
        def once():
            parse(json.loads(payload.decode()))
    else:
        sys.exit("unknown route %r (bytes, orjson or json)" % route)
    for _ in range(20):  # caches and tables filled before counting starts
        once()
    for _ in range(count):
        once()


if __name__ == "__main__":
    main()
