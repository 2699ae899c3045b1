"""Recursion through the module's own calls stops with RecursionError well
before the end of the stack.

A cycle that never leaves the module (a descriptor's to_dict rebound to the
Meta's, the Meta as its own source, a clock that builds an envelope) runs on
the module's direct calls alone.  On 3.12 and later the interpreter limits
such calls by a count of its own, sized for its own smaller frames; the
module must reach RecursionError at that count within a stack a good deal
smaller than the usual 8 MB, in the main thread and in other threads alike.
"""
import resource
import subprocess
import sys

import pytest

STACK = 6 * 1024 * 1024

CYCLES = r"""
import functools, sys, threading, types
from pemu_sdk.redis import pemu_data as m
from pemu_sdk.redis.pemu_data import PemuData
NODE = {"id": "node-1", "type": "object-detection", "name": "OD Node"}
clock = m.time

def run():
    stopped = 0
    for setup in (lambda env: setattr(env.meta, "source", env.meta),
                  lambda env: setattr(env.meta.source, "to_dict", env.meta.to_dict),
                  lambda env: setattr(m, "time", types.SimpleNamespace(
                      time=functools.partial(PemuData, 0, NODE, NODE)))):
        env = PemuData(0, NODE, NODE, 0)
        setup(env)
        for call in (env.meta.to_dict, env.create_pemu_data, lambda: PemuData(0, NODE, NODE)):
            try:
                call()
            except RecursionError:
                stopped += 1
        m.time = clock
    return stopped

print("main", run(), flush=True)
threading.stack_size(int(sys.argv[1]))
seen = []
thread = threading.Thread(target=lambda: seen.append(run()))
thread.start()
thread.join()
print("thread", seen[0], flush=True)
"""


def limit_stack():
    soft, hard = resource.getrlimit(resource.RLIMIT_STACK)
    if hard != resource.RLIM_INFINITY and hard < STACK:
        return
    resource.setrlimit(resource.RLIMIT_STACK, (STACK, hard))


def test_cycles_stop_within_a_6_mib_stack():
    done = subprocess.run([sys.executable, "-c", CYCLES, str(STACK)], preexec_fn=limit_stack,
                          capture_output=True, universal_newlines=True, timeout=300)
    if done.returncode < 0:
        pytest.fail("the process died of signal %d:\n%s" % (-done.returncode, done.stderr[-2000:]))
    assert done.returncode == 0, done.stderr[-2000:]
    main, thread = done.stdout.split("\n")[:2]
    # Each setup loops at least through to_dict or the constructor.
    assert main.split()[0] == "main" and int(main.split()[1]) >= 3, done.stdout
    assert thread.split()[0] == "thread" and int(thread.split()[1]) >= 3, done.stdout
