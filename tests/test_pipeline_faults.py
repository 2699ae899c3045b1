"""The pipeline under faults, against a real redis-server: poison entries,
stages killed, stopped and restarted, two cameras, the server's scripts or
keys gone, its memory full or read-only, the whole demo stopped by a signal.

Each scenario checks exit statuses, the summary's counts, that no key and no
process is left.  The scenarios that run whole stage processes take about a
minute; they run where PEMU_FAULT_MATRIX is set (CI's pipeline check), the
port-level cases everywhere."""
import os
import re
import signal
import subprocess
import sys
import time
import uuid

import pytest

from test_pipeline import EXAMPLES, server  # noqa: F401  (the fixture)
from test_pipeline_streams import client  # noqa: F401  (a run of one port)

from pemu_ports import (FIELD, FRAME as FIELD_FRAME, Consumer, Gone, Publisher, Run,  # noqa: E402
                        drop_key)
from pipeline.options import Options  # noqa: E402
from pipeline.runs import PORTS  # noqa: E402
from pipeline.server import PrivateRedis  # noqa: E402
from pipeline.whole_run import run  # noqa: E402

redis = pytest.importorskip("redis")

matrix = pytest.mark.skipif(not os.environ.get("PEMU_FAULT_MATRIX"),
                            reason="the fault matrix runs where PEMU_FAULT_MATRIX=1 "
                                   "(.ci/checks/40-pipeline.sh)")


# ---- The ports: dead letters, delivery counts, scripts reloaded ----

def test_an_entry_that_kills_its_consumers_is_set_aside_after_max_deliveries(client):
    run_, stream = client
    c = run_.client
    Publisher(run_, stream, ["g"], window=8).publish(b"deadly", 7)
    # taken, then claimed twice, by consumers that die without an answer
    assert Consumer(run_, stream, "g", "c0", claim_idle=60).take()[0][2] is False
    for k in (1, 2):
        time.sleep(0.06)
        got = Consumer(run_, stream, "g", "c%d" % k, claim_idle=0.05,
                       max_deliveries=3).take()
        assert [(f[FIELD], r) for _, f, r in got] == [(b"deadly", True)]
    time.sleep(0.06)
    last = Consumer(run_, stream, "g", "c3", claim_idle=0.05, max_deliveries=3)
    assert last.take() == [] and last.set_aside_count == 1
    (_, dead), = c.xrange(stream + ":dead")
    assert dead[b"deliveries"] == b"3" and dead[b"consumer"] == b"c3"
    assert b"3 times" in dead[b"error"]
    assert dead[b"field:p"] == b"deadly" and dead[b"field:f"] == b"7"
    assert c.xpending(stream, "g")["pending"] == 0 and c.xlen(stream) == 0


def test_set_aside_is_one_step_and_nothing_is_written_once_the_keys_are_gone(client):
    run_, stream = client
    c = run_.client
    publisher = Publisher(run_, stream, ["g"], window=8)
    publisher.publish(b"not json", 0)
    inbox = Consumer(run_, stream, "g", "me", claim_idle=60)
    (entry_id, _, _), = inbox.take()
    c.script_flush()  # the scripts come back by themselves
    inbox.set_aside(entry_id, "ValueError: not a payload")
    (_, dead), = c.xrange(stream + ":dead")
    assert (dead[b"entry"], dead[b"error"], dead[b"deliveries"]) == (
        entry_id.encode(), b"ValueError: not a payload", b"1")
    assert c.pttl(stream + ":dead") > 0 and c.xlen(stream) == 0
    c.delete(run_.key)  # the run's own key gone: no step writes anything
    with pytest.raises(Gone):
        publisher.publish(b"late", 1)
    assert c.xlen(stream) == 0 and not c.exists(run_.key)


def test_a_frame_a_detector_cannot_process_is_set_aside_and_not_waited_for(server,  # noqa: F811
                                                                          monkeypatch):
    import pipeline.detector as detector_module
    detect = detector_module.detect

    def failing(envelope, fields, *rest):
        if fields[FIELD_FRAME] == b"7":
            raise ValueError("cannot read frame 7")
        return detect(envelope, fields, *rest)
    monkeypatch.setattr(detector_module, "detect", failing)  # the forked stages inherit it
    started = time.monotonic()
    report = run(server.url, Options(frames=30, fps=0, width=160, height=120, window=8,
                                     reorder=7, claim_idle=0.5))
    summary = report.summary()
    assert [r["frame_id"] for r in report.records] == [i for i in range(30) if i != 7]
    assert (summary["sent"], summary["received"], summary["lost"], summary["set_aside"],
            summary["out_of_order"]) == (30, 29, 0, 1, 0)
    assert list(summary["dead"].values()) == [1, 0]
    assert time.monotonic() - started < 20
    assert redis.Redis.from_url(server.url).keys("pemu-demo:*") == []


def test_a_consumer_restarted_under_its_old_name_takes_back_what_it_held(client):
    run_, stream = client
    publisher = Publisher(run_, stream, ["g"], window=8)
    for i in range(3):
        publisher.publish(b"%d" % i, i)
    before = Consumer(run_, stream, "g", "same-name", claim_idle=60)
    assert [(f[FIELD], r) for _, f, r in before.take() + before.take()] == [
        (b"0", False), (b"1", False)]
    # the claims of others never take its entries; under its own name it
    # takes them back first, then goes on
    again = Consumer(run_, stream, "g", "same-name", claim_idle=60)
    assert [(f[FIELD], r) for _, f, r in again.take()] == [(b"0", True), (b"1", True)]
    assert [(f[FIELD], r) for _, f, r in again.take()] == [(b"2", False)]


def test_an_entry_whose_delivery_reply_was_lost_is_taken_back_not_held_forever(client):
    run_, stream = client
    publisher = Publisher(run_, stream, ["g"], window=8)
    for i in range(3):
        publisher.publish(b"%d" % i, i)
    me = Consumer(run_, stream, "g", "me", claim_idle=0.2)
    (held_id, _, _), = me.take()  # frame 0, held on purpose (as the sink holds frames)
    # the server delivers frame 1 to "me", but the reply is lost with the
    # connection: the entry is pending under the consumer's own name
    run_.client.xreadgroup("g", "me", {stream: ">"}, count=1)
    time.sleep(0.3)
    taken = me.take()
    assert [(f[FIELD], r) for _, f, r in taken] == [(b"1", True)]
    assert me.held == {held_id, taken[0][0]}
    publisher.publish(b"answer", 9, ack=(me, taken[0][0]))  # answered: no longer held
    assert me.held == {held_id}
    # what it holds is never taken back, however long it waits
    time.sleep(0.3)
    assert [f[FIELD] for _, f, _ in me.take()] == [b"2"]


def test_every_key_of_a_run_is_in_one_cluster_slot(client):
    from redis.crc import key_slot
    run_ = Run(client[0].client, "gate-1", PORTS, extra=("settings",))
    keys = [run_.key] + [run_.alive(s) for s in Run.STAGES] + run_.keys()
    # per port its stream, end key, dead letters and drop log; the extra key
    assert {drop_key(p) for p in run_.ports} | {run_.extra["settings"]} <= set(keys)
    assert len(set(keys)) == 15 and len({key_slot(k.encode()) for k in keys}) == 1


# ---- The fault matrix: stages as processes ----

SMALL = ["--size", "160x120", "--claim-idle", "0.5", "--keep", "60"]


def start(url, name, stage, *args):
    return subprocess.Popen([sys.executable, "-m", "pipeline", stage, "--redis", url,
                             "--run", name] + SMALL + list(args), cwd=EXAMPLES,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            universal_newlines=True)


class Stages:
    """The stage processes of one run, each ended (killed if need be)."""

    def __init__(self, url):
        self.url, self.name = url, "f" + uuid.uuid4().hex[:8]
        self.client = redis.Redis.from_url(url)
        self.procs = []

    def start(self, stage, *args):
        self.procs.append(start(self.url, self.name, stage, *args))
        return self.procs[-1]

    def begin(self, frames, fps, detectors=1, *sink_args):
        """A sink, detectors and a camera: (sink, [detectors], camera)."""
        sink = self.start("sink", *sink_args)
        found = [self.start("detector") for _ in range(detectors)]
        return sink, found, self.start("camera", "--frames", str(frames), "--fps", str(fps))

    def key(self, suffix):
        return "pemu-demo:{%s}:%s" % (self.name, suffix)

    def keys(self):
        return self.client.keys("pemu-demo:{%s}*" % self.name)

    def wait_for(self, test, timeout=30):
        deadline = time.monotonic() + timeout
        while not test():
            assert time.monotonic() < deadline, "timed out"
            time.sleep(0.02)

    def delivered(self, n):
        self.wait_for(lambda: int(self.client.hget(self.key("delivered"), "count") or 0) >= n)

    def end(self, proc, timeout=60):
        """(status, stdout, stderr) of a stage, which must end in time."""
        out, err = proc.communicate(timeout=timeout)
        assert "Traceback" not in err, err
        return proc.returncode, out, err

    def complete(self, sink, frames, others):
        """The sink's report of every frame, every other stage done, no key left."""
        status, out, err = self.end(sink)
        assert status == 0 and "%d sent, %d received, 0 lost, 0 out of order" % (
            frames, frames) in out, out + err
        assert [self.end(proc)[0] for proc in others] == [0] * len(others)
        assert self.keys() == []
        return out

    def close(self):
        for proc in self.procs:
            if proc.poll() is None:
                proc.kill()
            proc.communicate()


@pytest.fixture
def stages(server):  # noqa: F811
    s = Stages(server.url)
    yield s
    s.close()


def one_line(err):
    assert len(err.strip().splitlines()) == 1, err
    return err.strip()


@matrix
@pytest.mark.parametrize("where", ["camera-1", "detector-1"])
def test_poison_entries_are_set_aside_and_the_run_goes_on(stages, where):
    sink = stages.start("sink", "--quiet")
    detector = stages.start("detector")
    stream = stages.key(where + ":out:0")
    stages.wait_for(lambda: stages.client.exists(stream))
    for fields in ({"p": "not json"}, {"p": '{"valid": "json, not a payload"}'},
                   {"other": "no payload field"}):
        stages.client.xadd(stream, fields)
    camera = stages.start("camera", "--frames", "20", "--fps", "0")
    out = stages.complete(sink, 20, [detector, camera])
    assert "0 duplicates dropped, 0 set aside" in out and "dead       3 at %s (" % stream in out


@matrix
@pytest.mark.parametrize("holding", [True, False])
def test_a_sink_killed_and_restarted_delivers_every_frame_once(stages, holding):
    sink, detectors, camera = stages.begin(80, 40, 2)
    port = stages.key("detector-1:out:0")

    def held():
        return sum(c["pending"] for c in stages.client.xpending(port, "sink")["consumers"])
    stages.delivered(10)
    if holding:  # a stopped detector holds a frame: the sink holds those after it
        os.kill(detectors[0].pid, signal.SIGSTOP)
        stages.wait_for(lambda: held() >= 3)
    else:
        stages.wait_for(lambda: held() == 0)
    sink.kill()
    first = sink.communicate()[0]
    os.kill(detectors[0].pid, signal.SIGCONT)
    out = stages.complete(stages.start("sink"), 80, detectors + [camera])
    assert re.search(r"sink +\d+ frames delivered by a sink before this one", out)
    ids = [int(line.split()[1]) for line in (first + out).splitlines()
           if line.startswith("frame ")]
    assert len(ids) == len(set(ids))  # none delivered twice


@matrix
def test_a_camera_killed_stops_the_run_in_one_line_per_stage_and_its_keys_expire(stages):
    sink, (detector,), camera = stages.begin(10000, 30, 1, "--quiet", "--keep", "2")
    stages.delivered(5)
    keys = stages.keys()
    # every key expires: after --keep (60 s, the sink's 2 s last), the alive keys sooner
    assert len(keys) >= 6 and all(0 < stages.client.pttl(k) <= 60000 for k in keys)
    camera.kill()
    killed = time.monotonic()
    for proc, what in ((detector, "camera of run %s is"), (sink, "detectors of run %s are")):
        status, _, err = stages.end(proc, timeout=20)
        assert status == 1 and one_line(err).endswith(
            (what + " gone and left nothing to take") % stages.name)
    assert time.monotonic() - killed < 15
    stages.wait_for(lambda: stages.keys() == [], timeout=5)


@matrix
def test_a_camera_killed_and_restarted_resumes_where_it_stopped(stages):
    sink, detectors, camera = stages.begin(90, 30)
    stages.delivered(20)
    camera.kill()
    camera = stages.start("camera", "--frames", "90", "--fps", "30")
    out = stages.complete(sink, 90, detectors + [camera])
    assert "0 duplicates dropped" in out  # it went on after the last frame published


@matrix
def test_a_second_camera_is_refused_at_once_and_the_run_goes_on(stages):
    sink, detectors, camera = stages.begin(60, 30)
    stages.delivered(3)
    started = time.monotonic()
    status, out, err = stages.end(stages.start("camera", "--frames", "60", "--fps", "30"))
    assert status == 1 and time.monotonic() - started < 5
    assert "is alive in run %s" % stages.name in one_line(err)
    stages.complete(sink, 60, detectors + [camera])


@matrix
def test_late_detectors_never_recreate_the_keys_of_a_finished_run(stages):
    for _ in range(2):  # the same name twice: the first run left nothing
        sink, detectors, camera = stages.begin(30, 0, 4, "--quiet")
        stages.complete(sink, 30, detectors + [camera])


@matrix
def test_flushall_mid_run_is_a_failure_of_every_stage(stages):
    sink, (detector,), camera = stages.begin(10000, 30, 1, "--quiet")
    stages.delivered(5)
    stages.client.flushall()
    for proc in (camera, detector, sink):
        status, out, err = stages.end(proc, timeout=20)
        assert status == 1 and "done" not in out
        assert "the keys of run %s are gone" % stages.name in one_line(err)
    assert stages.keys() == []


@matrix
@pytest.mark.parametrize("fault, setting, message", [
    ("out of memory", ("maxmemory", "1"), "is out of memory: command not allowed when used memory"),
    ("read-only", None, "is a read-only replica: You can't write against a read only replica"),
])
def test_a_server_that_refuses_writes_is_one_line(fault, setting, message):
    with PrivateRedis() as private:
        c = redis.Redis.from_url(private.url)
        proc = start(private.url, "r", "camera", "--frames", "100", "--fps", "0")
        # wait until the camera has joined the run, then refuse
        deadline = time.monotonic() + 30
        while not c.exists("pemu-demo:{r}:run") and time.monotonic() < deadline:
            time.sleep(0.01)
        if setting:
            c.config_set(*setting)
        else:
            c.replicaof("127.0.0.1", "1")
        out, err = proc.communicate(timeout=60)
    assert proc.returncode == 1 and message in one_line(err), err


# ---- The whole demo ----

def children(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return [int(p) for p in f.read().split()]
    except OSError:
        return []


def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split(") ")[1][0] != "Z"
    except OSError:
        return False


def whole_demo(*args):
    return subprocess.Popen([sys.executable, "-m", "pipeline", "--size", "160x120",
                             "--claim-idle", "0.5"] + list(args), cwd=EXAMPLES,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            universal_newlines=True)


@matrix
@pytest.mark.parametrize("sig, status, line", [
    (signal.SIGTERM, 143, "demo: stopped (SIGTERM)"),
    (signal.SIGINT, 130, "demo: interrupted"),
])
def test_a_signal_stops_the_whole_demo_and_leaves_nothing(sig, status, line):
    proc = whole_demo("--frames", "100000", "--fps", "30")
    try:
        first = proc.stdout.readline()
        assert first.startswith("started a private redis-server at unix://")
        assert proc.stdout.readline().startswith("frame     0")
        pids = children(proc.pid)
        assert len(pids) == 4  # the server, a camera, two detectors
        proc.send_signal(sig)
        out, err = proc.communicate(timeout=15)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert proc.returncode == status and one_line(err) == line
    time.sleep(0.5)
    assert not [p for p in pids if alive(p)]
    assert not os.path.exists(os.path.dirname(first.split("unix://")[1]))


@matrix
def test_a_stopped_detector_neither_hangs_nor_loses_the_whole_demo():
    proc = whole_demo("--frames", "60", "--fps", "30", "--quiet")
    try:
        proc.stdout.readline()
        time.sleep(0.5)
        pids = children(proc.pid)
        os.kill(pids[-1], signal.SIGSTOP)  # the last detector started
        out, err = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert proc.returncode == 0, err
    assert "60 sent, 60 received, 0 lost, 0 out of order" in out
    assert not [p for p in pids if alive(p)]


@matrix
def test_scripts_flushed_again_and_again_mid_run_go_unnoticed(server):  # noqa: F811
    # in a process of its own: the run forks, which is no place for threads
    flusher = subprocess.Popen([sys.executable, "-c", "import redis, sys, time\n"
                                "c = redis.Redis.from_url(sys.argv[1])\n"
                                "while True: c.script_flush(); time.sleep(0.02)", server.url])
    try:
        report = run(server.url, Options(frames=60, fps=0, width=160, height=120,
                                         claim_idle=0.5))
    finally:
        flusher.kill()
        flusher.wait()
    summary = report.summary()
    assert (summary["received"], summary["lost"], summary["duplicates"]) == (60, 0, 0)
    assert redis.Redis.from_url(server.url).keys("pemu-demo:*") == []


@matrix
def test_a_server_restarted_mid_run_goes_unnoticed(tmp_path):
    socket = str(tmp_path / "redis.sock")
    command = [PrivateRedis().executable, "--port", "0", "--unixsocket", socket,
               "--dir", str(tmp_path), "--appendonly", "yes", "--save", ""]

    def serve():
        process = subprocess.Popen(command, stdout=subprocess.DEVNULL)
        c = redis.Redis(unix_socket_path=socket)
        deadline = time.monotonic() + 10
        while True:
            try:
                c.ping()
                return process, c
            except redis.exceptions.ConnectionError:
                assert time.monotonic() < deadline
                time.sleep(0.02)
    server_process, c = serve()
    proc = whole_demo("--redis", "unix://" + socket, "--frames", "90", "--fps", "30",
                      "--quiet")
    try:
        time.sleep(1.5)
        server_process.terminate()  # a clean shutdown: the data is in the append-only file
        server_process.wait(10)
        server_process, c = serve()
        out, err = proc.communicate(timeout=60)
        assert proc.returncode == 0, err
        assert "90 sent, 90 received, 0 lost, 0 out of order" in out
        assert c.keys("*") == []
    finally:
        for process in (proc, server_process):
            if process.poll() is None:
                process.kill()
            process.communicate()
