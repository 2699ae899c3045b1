"""The pipeline on a server shared with others: another application's group
on a port, stages in containers (each the first process of its own PID
namespace, same host name), a second sink, and drop and dead-letter logs
that a live run fills without end.  Real redis-server, real processes."""
import os
import re
import signal
import subprocess
import sys
import threading
import time
import uuid

import pytest

from test_pipeline import EXAMPLES, server  # noqa: F401  (the fixture)
from test_pipeline_faults import SMALL, Stages, children, matrix, one_line

from pemu_ports import (DROP_OLDEST, FRAME, Consumer, Publisher, Run,  # noqa: E402
                        dead_key, drop_key, ensure_group)
from pipeline import metrics  # noqa: E402
from pipeline.dead_letters import DeadLetters, Missing  # noqa: E402
from pipeline.options import Options  # noqa: E402
from pipeline.runs import PORTS, READERS, own  # noqa: E402
from pipeline.status import run_state  # noqa: E402
from pipeline.summary import Report  # noqa: E402

redis = pytest.importorskip("redis")


@pytest.fixture
def run_(server):  # noqa: F811
    """A run of the demo's two ports, its hash made."""
    client = redis.Redis.from_url(server.url)
    made = Run(client, "shared-" + uuid.uuid4().hex[:8], PORTS, log_cap=50)
    client.hset(made.key, "created", 1)
    yield made
    client.delete(made.key, *made.keys())


# ---- Another group on a port ----

def test_another_group_drops_sets_aside_and_claims_on_its_own(run_):
    c, (camera_out, detector_out) = run_.client, run_.ports
    ensure_group(run_, camera_out, "other")  # another application reads the camera's port
    frames = Publisher(run_, camera_out, ["detector"], window=3, overflow=DROP_OLDEST)
    results = Publisher(run_, detector_out, ["sink"], window=32)
    detector = Consumer(run_, camera_out, "detector", "d", claim_idle=60)
    held_by = Consumer(run_, camera_out, "other", "o1", claim_idle=60)
    claimer = Consumer(run_, camera_out, "other", "o2", claim_idle=0.05)
    for i in range(10):
        frames.publish(b"frame", i)
        (entry_id, _, _), = detector.take()  # the run's detector keeps up
        results.publish(b"result", i, ack=(detector, entry_id))
        if i == 0:
            assert len(held_by.take()) == 1  # taken, never answered
        if i == 1:
            (bad, _, _), = held_by.take()
            held_by.set_aside(bad, "ValueError: not for us")
    time.sleep(0.1)
    assert [(f[FRAME], reclaimed) for _, f, reclaimed in claimer.take()] == [(b"0", True)]
    # the other group's drops, dead letter and claim are its own
    assert frames.dropped == 0 and claimer.reclaimed == 1
    # entries 2 to 7 went by while it held 0 and had a window of 3
    assert run_.dropped() == {camera_out: {"other": 6}, detector_out: {}}
    assert run_.dead_letters() == {camera_out: {"other": 1}, detector_out: {}}
    (_, dead), = c.xrange(dead_key(camera_out))
    assert (dead[b"group"], dead[b"consumer"], dead[b"field:f"]) == (b"other", b"o1", b"1")
    assert {f[b"group"] for _, f in c.xrange(drop_key(camera_out))} == {b"other"}
    # the run sees nothing of it
    assert own(run_, run_.dropped()) == own(run_, run_.dead_letters()) == {
        camera_out: 0, detector_out: 0}
    missing = Missing(run_)
    assert missing.read() == [] and missing.frames == set()
    state = run_state(c, run_.name, PORTS)
    assert [(p["dropped"], p["dead"]) for p in state["ports"]] == [(0, 0), (0, 0)]
    # the metrics show every group's counts, each under its own name
    families = {f.name: f for f in metrics._collect(run_)}
    assert {(s.labels["group"], s.value) for s in families["pemu_port_dropped"].samples
            if s.name.endswith("_total")} == {("other", 6)}
    assert c.xpending(camera_out, "detector")["pending"] == 0
    # the run's own drops are counted for its group, and seen by its sink
    for i in range(10, 14):
        frames.publish(b"frame", i)
    assert run_.dropped()[camera_out]["detector"] == frames.dropped == 1
    assert missing.read() == [10]


@matrix
def test_another_group_on_the_cameras_port_changes_nothing_in_a_run(server):  # noqa: F811
    stages = Stages(server.url)
    port = stages.key(PORTS[0])
    counted = stages.key("run")
    seen = {}
    stop = threading.Event()

    def other_application():
        # reads a few frames of the camera's port through its own group,
        # sets one aside, leaves one to be claimed, then falls behind: its
        # entries are dropped for it, never for the detectors
        client = redis.Redis.from_url(server.url)
        mine = Run(client, stages.name, PORTS, keep=60)
        while client.exists(port, counted) < 2 and not stop.is_set():
            time.sleep(0.02)
        ensure_group(mine, port, "other")
        first = Consumer(mine, port, "other", "o1", claim_idle=60)
        second = Consumer(mine, port, "other", "o2", claim_idle=0.3)
        got = []
        while len(got) < 2 and not stop.is_set():
            got += first.take()
        first.set_aside(got[0][0], "ValueError: not for us")
        while not second.reclaimed and not stop.is_set():
            for entry_id, _, _ in second.take():
                client.xack(port, "other", entry_id)
        while not stop.is_set():
            seen.update(client.hgetall(counted))
            time.sleep(0.05)

    other = threading.Thread(target=other_application)
    other.start()
    try:
        sink = stages.start("sink", "--quiet")
        detector = stages.start("detector")
        camera = stages.start("camera", "--frames", "40", "--fps", "10", "--window", "16",
                              "--overflow", "drop-oldest")
        out = stages.complete(sink, 40, [detector, camera])
    finally:
        stop.set()
        other.join(10)
        stages.close()
    assert "40 sent, 40 received, 0 lost, 0 out of order, 0 duplicates dropped, 0 set aside" in out
    assert "dropped " not in out and "dead " not in out, out
    field = ("dropped:%s:other" % port).encode()
    assert int(seen.get(field, 0)) > 0 and seen.get(("dead:%s:other" % port).encode()) == b"1"


# ---- Stages in containers ----

def contained(stages, stage, *args):
    """A stage as the first process of a PID namespace of its own."""
    proc = subprocess.Popen(["unshare", "--pid", "--mount-proc", "--kill-child",
                             sys.executable, "-m", "pipeline", stage, "--redis", stages.url,
                             "--run", stages.name] + SMALL + list(args), cwd=EXAMPLES,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            universal_newlines=True)
    stages.procs.append(proc)
    return proc


def namespaces_work():
    try:
        return subprocess.run(["unshare", "--pid", "--mount-proc", "--kill-child", "true"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=10).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


@pytest.fixture
def stages(server):  # noqa: F811
    if not namespaces_work():
        pytest.skip("no PID namespaces here (unshare --pid needs root or user namespaces)")
    s = Stages(server.url)
    yield s
    s.close()


@matrix
def test_stages_in_containers_get_their_own_names_and_the_one_stage_rules_hold(stages):
    port = stages.key(PORTS[0])
    sink = contained(stages, "sink", "--quiet")
    detectors = [contained(stages, "detector", "--detector-delay", "100") for _ in range(2)]
    camera = contained(stages, "camera", "--frames", "100", "--fps", "10")
    stages.delivered(8)
    names = [c["name"].decode() for c in stages.client.xinfo_consumers(port, "detector")]
    assert len(names) == 2 and all(re.search(r"-1-[0-9a-f]{8}$", n) for n in names), names
    # a detector stopped with a frame in hand: the other claims it
    held = []
    for _ in range(50):
        victim = children(detectors[0].pid)[0]
        os.kill(victim, signal.SIGSTOP)
        time.sleep(0.25)
        held = [c["name"] for c in stages.client.xinfo_consumers(port, "detector")
                if c["pending"] and c["idle"] >= 200]
        if held:
            break
        os.kill(victim, signal.SIGCONT)
    assert held, "the detector never held a frame"
    # a second camera and a second sink, each the first process of its own
    # namespace too: refused at once, in one line
    for stage, args in (("camera", ("--frames", "100", "--fps", "10")), ("sink", ())):
        started = time.monotonic()
        status, _, err = stages.end(contained(stages, stage, *args), timeout=30)
        assert status == 1 and time.monotonic() - started < 10
        assert "a %s (%s-" % (stage, stage) in err
        assert "is alive in run %s" % stages.name in one_line(err)
    stages.wait_for(lambda: stages.client.xpending_range(
        port, "detector", "-", "+", 10, held[0]) == [], timeout=30)
    status, out, err = stages.end(sink, timeout=90)
    assert status == 0 and "100 sent, 100 received, 0 lost, 0 out of order" in out, out + err
    assert "2 detectors" in out
    assert stages.end(camera)[0] == 0 and stages.end(detectors[1])[0] == 0


# ---- Logs read in a loop, capped, counted exactly ----

def test_a_drop_log_longer_than_the_recursion_limit_is_read_in_a_loop(run_):
    c, log = run_.client, drop_key(run_.ports[0])
    with c.pipeline(transaction=False) as pipe:
        for i in range(5200):
            pipe.xadd(log, {"group": "detector" if i % 4 else "other", "entry": "0-1", "f": i})
        pipe.execute()
    drops = DeadLetters(run_, key=drop_key, field=FRAME)
    # four entries a read: more reads than the recursion limit allows calls
    assert 5200 / 4 > sys.getrecursionlimit()
    assert drops.read(count=4) == [i for i in range(5200) if i % 4]
    assert drops.read(count=4) == [] and drops.entries[log] == 3900
    # each frame counted once; of a log without end only the recent ids kept
    with c.pipeline(transaction=False) as pipe:
        for i in range(5200, 12000):
            pipe.xadd(log, {"group": "detector", "entry": "0-1", "f": i})
        pipe.execute()
    assert len(drops.read()) == 6800 and drops.count == 3900 + 6800
    assert len(drops.frames.ids) <= 2 * drops.frames.horizon
    assert 11999 in drops.frames and 1 not in drops.frames


def test_the_logs_keep_their_last_entries_and_the_counts_stay_exact(run_):
    c, port = run_.client, run_.ports[0]
    publisher = Publisher(run_, port, [READERS[0]], window=2, overflow=DROP_OLDEST)
    inbox = Consumer(run_, port, READERS[0], "d", claim_idle=60)
    early = Missing(run_)  # a sink that reads as they come
    learnt = []
    for i in range(300):
        publisher.publish(b"frame", i)
        if i % 10 == 0:
            learnt += early.read()
    learnt += early.read()
    assert publisher.dropped == 298 and learnt == list(range(298))
    assert run_.dropped()[port] == {"detector": 298}
    assert c.xlen(drop_key(port)) < run_.log_cap + 110  # trimmed by whole nodes
    for _ in range(2):
        (entry_id, _, _), = inbox.take()
        inbox.set_aside(entry_id, "ValueError: bad frame")
    assert run_.dead_letters()[port] == {"detector": 2}
    dropped, dead = own(run_, run_.dropped()), own(run_, run_.dead_letters())
    assert early.dropped.unseen(dropped) == 0
    # a sink started late finds the oldest drops trimmed: it knows how many
    late = Missing(run_)
    late.read()
    unseen = late.dropped.unseen(dropped)
    assert unseen == 298 - late.dropped.count > 0
    assert late.set_aside.frames.ids == {298, 299} and late.set_aside.unseen(dead) == 0
    # and its report counts them dropped, not lost
    report = Report(Options(frames=300))
    report.dropped, report.set_aside = late.dropped.frames.ids, late.set_aside.frames.ids
    assert report.summary()["lost"] == unseen
    report.unseen = unseen
    assert report.summary()["lost"] == 0


def test_a_slow_log_keeps_only_its_last_seconds(run_):
    # a live run drops a few frames a second without end: what its log keeps
    # is its recent past, however far below the count cap
    c, port = run_.client, run_.ports[0]
    slow = Run(c, run_.name, PORTS, log_cap=10000, log_age=0.5)
    publisher = Publisher(slow, port, [READERS[0]], window=2, overflow=DROP_OLDEST)
    inbox = Consumer(slow, port, READERS[0], "d", claim_idle=60)
    for i in range(302):
        publisher.publish(b"frame", i)
    (entry_id, _, _), = inbox.take()
    inbox.set_aside(entry_id, "ValueError: bad frame")
    assert c.xlen(drop_key(port)) == 300
    time.sleep(0.6)
    publisher.publish(b"frame", 302)
    publisher.publish(b"frame", 303)  # drops 301
    inbox.set_aside(inbox.take()[0][0], "ValueError: bad frame")
    # trimmed by whole nodes of the stream: the old full ones are gone
    assert 1 <= c.xlen(drop_key(port)) <= 101 and c.xlen(dead_key(port)) <= 2
    assert slow.dropped()[port] == {"detector": 301}
    assert slow.dead_letters()[port] == {"detector": 2}
