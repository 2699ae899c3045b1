"""The pipeline on a Redis Cluster of 3 masters and 3 replicas on loopback:
any node's address, every script on every master with no key lookup on
another node, runs spread over the masters, status through a replica, and a
master killed mid-run.  The runs and the failover take about half a minute;
they run where PEMU_FAULT_MATRIX is set (CI's pipeline check)."""
import multiprocessing
import os
import shutil
import subprocess
import sys
import time

import pytest

from test_pipeline import EXAMPLES, server  # noqa: F401  (the fixture)

from redis_cluster import LocalCluster, free_ports  # noqa: E402
from pemu_ports import DROP_OLDEST, Consumer, Member, Publisher, Run, SlotClient  # noqa: E402
from pipeline import metrics  # noqa: E402
from pipeline.client import connect  # noqa: E402
from pipeline.options import Options  # noqa: E402
from pipeline.server import DemoError  # noqa: E402
from pipeline.whole_run import run  # noqa: E402

redis = pytest.importorskip("redis")
from redis.cluster import RedisCluster  # noqa: E402

matrix = pytest.mark.skipif(not os.environ.get("PEMU_FAULT_MATRIX"),
                            reason="the cluster's runs and failover run where "
                                   "PEMU_FAULT_MATRIX=1 (CI's pipeline check)")


@pytest.fixture(scope="module")
def cluster():
    missing = [tool for tool in ("redis-server", "redis-cli") if shutil.which(tool) is None]
    if missing:
        reason = "%s not installed (apt-get install redis-server)" % " and ".join(missing)
        if os.environ.get("PEMU_REQUIRE_REDIS"):
            pytest.fail(reason + ", and PEMU_REQUIRE_REDIS asks for these tests to run")
        pytest.skip(reason)
    with LocalCluster() as local:
        yield local
    assert not os.path.exists(local.folder)


def replica_of(cluster, master):
    return next(r for s, e, m, replicas in cluster.slots() if m == master for r in replicas)


def keys_left(cluster, pattern="pemu-demo:*"):
    return [k for p in cluster.alive() for k in cluster.client(p).keys(pattern)]


def commandstats(cluster, command):
    """{port: calls of ``command``} on each node alive."""
    return {p: cluster.client(p).info("commandstats").get("cmdstat_" + command, {}).get(
        "calls", 0) for p in cluster.alive()}


def test_every_script_runs_on_the_master_of_its_run(cluster):
    masters = cluster.master_ports()
    # the topology learnt from a replica
    client = RedisCluster(host="127.0.0.1", port=replica_of(cluster, masters[0]))
    lookups = commandstats(cluster, "command|getkeys")
    scripts = commandstats(cluster, "evalsha")
    for master in masters:
        run_ = Run(client, cluster.name_on(master, "ports"), ["in", "out"], keep=60.0)
        assert isinstance(run_.client, SlotClient) and run_.client.node.port == master
        member = Member(run_, "stage", "m1")
        member.join()                                            # beat
        upstream = Publisher(run_, run_.ports[0], ["work"], 8)   # group
        for i in range(3):
            upstream.publish(b"%d" % i, i)                       # step
        worker = Consumer(run_, run_.ports[0], "work", "w1", claim_idle=0.05)
        first, second, third = (worker.take()[0][0] for _ in range(3))   # claim, reads
        worker.set_aside(first, "unreadable")                    # set_aside
        out = Publisher(run_, run_.ports[1], ["sink"], 8, overflow=DROP_OLDEST)
        out.publish(b"answer", 1, ack=(worker, second))
        time.sleep(0.1)
        (claimed, _, reclaimed), = Consumer(run_, run_.ports[0], "work", "w2",
                                            claim_idle=0.05).take()
        assert (claimed, reclaimed) == (third, True)
        sink = Consumer(run_, run_.ports[1], "sink", "s1")
        assert sink.deliver(sink.take()[0][0], 1, "{}")          # deliver
        assert run_.scripts.trim([run_.key, run_.ports[1]], []) == 0   # trim
        assert sink.state()[:3] == (None, 0, 0)                  # state
        assert member.finish("{}", run_.ports[1], 1)             # finish
        assert run_.dead_letters()[run_.ports[0]] == {"work": 1}
        member.leave()
        assert run_.cleanup("m1", ("stage",)) == []              # cleanup
    assert keys_left(cluster) == []
    # each master ran its run's scripts, and no command asked a node for its keys
    ran = commandstats(cluster, "evalsha")
    assert all(ran[m] > scripts[m] for m in masters)
    assert commandstats(cluster, "command|getkeys") == lookups


def test_the_cluster_is_learnt_from_any_node_and_refuses_what_it_cannot_serve(
        cluster, server):  # noqa: F811
    masters = cluster.master_ports()
    down = free_ports(1)[0]
    # a start-up address that is down is skipped
    client = connect("redis://127.0.0.1:%d,%s" % (down, cluster.url(replica_of(cluster,
                                                                            masters[1]))))
    assert isinstance(client, RedisCluster)
    assert sorted(n.port for n in client.get_primaries()) == masters
    for url, message in [
            (cluster.url(masters[0]) + "/1", "which has database 0 only: drop the database"),
            ("unix://" + cluster.socket, "give its TCP address (redis://host:port), not a "
                                         "Unix socket"),
            ("%s,redis://127.0.0.1:%d" % (server.url, down),
             "is not in cluster mode: several addresses are for the nodes of a Redis Cluster"),
            ("redis://127.0.0.1:%d,redis://127.0.0.1:%d" % (down, down),
             "cannot reach Redis at redis://127.0.0.1:%d" % down)]:
        with pytest.raises(DemoError) as failure:
            connect(url)
        assert message in str(failure.value) and "\n" not in str(failure.value)


def demo(*args):
    return subprocess.run([sys.executable, "-m", "pipeline"] + list(args), cwd=EXAMPLES,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=120)


@matrix
def test_runs_spread_over_every_master_and_status_through_a_replica(cluster):
    masters = cluster.master_ports()
    opts = Options(frames=12, fps=0, width=160, height=120)
    for master, entry in zip(masters, masters[1:] + masters[:1]):
        # each run given another master's replica
        report = run(cluster.url(replica_of(cluster, entry)), opts,
                     name=cluster.name_on(master, "whole"))
        summary = report.summary()
        assert (summary["sent"], summary["received"], summary["lost"]) == (12, 12, 0)
        assert [r["frame_id"] for r in report.records] == list(range(12))
    assert keys_left(cluster) == []
    # runs left on every master: status through one replica lists each once
    client = RedisCluster(host="127.0.0.1", port=masters[0])
    names = [cluster.name_on(m, "status") for m in masters]
    runs = [Run(client, n, ["camera-1:out:0", "detector-1:out:0"], alive_ttl=60.0)
            for n in names]
    try:
        for r in runs:
            Member(r, "camera", "c1").join()
        out = demo("status", "--redis", cluster.url(replica_of(cluster, masters[2])))
        assert out.returncode == 0, out.stderr
        listed = [line.split()[1].rstrip(":") for line in out.stdout.splitlines()
                  if line.startswith("run ")]
        assert listed == sorted(names)
        assert "alive    camera c1" in out.stdout
        # the metrics read a run's ports on its master; an error is shown
        families = {f.name: f for f in metrics._collect(runs[1])}
        assert families["pemu_ports_unread"].samples == []
        assert [s.labels["port"] for s in families["pemu_port_length"].samples] == [
            "camera-1:out:0", "detector-1:out:0"]
        gone = Run(redis.Redis(port=free_ports(1)[0]), "gone", ["port"])
        (unread,), = [f.samples for f in metrics._collect(gone) if f.name == "pemu_ports_unread"]
        assert unread.value == 1 and unread.labels["error"].startswith("ConnectionError: ")
    finally:
        for r in runs:
            r.client.delete(r.key, r.alive("camera"), *r.keys())
    assert keys_left(cluster) == []


def _run_elsewhere(url, opts, name, send):
    """A whole run in a process of its own: its summary and the times its
    frames came."""
    times = []
    report = run(url, opts, on_frame=lambda record, _: times.append(time.monotonic()),
                 name=name)
    send.send((report.summary(), [r["frame_id"] for r in report.records], times))


@matrix
def test_a_master_killed_mid_run_loses_no_frame_and_disturbs_no_other_run():
    # the other masters go on serving while the slot has no master (with
    # full coverage required they refuse everything for that second or so)
    with LocalCluster(full_coverage=False) as cluster:
        # the victim serves slot 0: the node a cluster client of redis-py
        # takes for its default node, which it asks for the keys of a read
        victim = cluster.slots()[0][2]
        calm = next(p for p in cluster.master_ports() if p != victim)
        heir = replica_of(cluster, victim)
        frames = 60
        opts = Options(frames=frames, fps=20, width=160, height=120)
        # both runs are given the victim first; the calm run lasts through
        # the whole failover
        url = "%s,%s" % (cluster.url(victim), cluster.url(calm))
        receive, send = multiprocessing.get_context("fork").Pipe(duplex=False)
        longer = Options(frames=160, fps=20, width=160, height=120)
        other = multiprocessing.get_context("fork").Process(
            target=_run_elsewhere, args=(url, longer, cluster.name_on(calm, "calm"), send))
        other.start()
        times, killed = [], []

        def on_frame(record, report):
            times.append(time.monotonic())
            if report.received == 15 and not killed:
                cluster.kill(victim)
                killed.append(time.monotonic())
        report = run(url, opts, on_frame=on_frame, name=cluster.name_on(victim, "victim"))
        assert receive.poll(120)
        calm_summary, calm_ids, calm_times = receive.recv()
        other.join(10)
        summary = report.summary()
        assert killed and (summary["sent"], summary["received"], summary["lost"],
                           summary["out_of_order"]) == (frames, frames, 0, 0)
        assert [r["frame_id"] for r in report.records] == list(range(frames))
        assert (calm_summary["received"], calm_summary["lost"]) == (160, 0)
        assert calm_ids == list(range(160))
        # the failover stopped the killed master's run for seconds, the
        # other run not at all
        outage = max(b - a for a, b in zip(times, times[1:]))
        calm_gap = max(b - a for a, b in zip(calm_times, calm_times[1:]))
        assert outage > 2.0 and calm_gap < min(1.0, outage / 2), (outage, calm_gap)
        assert cluster.roles()[heir] == "master"
        assert keys_left(cluster) == []
