"""The pipeline on a Redis Cluster of 3 masters and 3 replicas on loopback:
any node's address, every script on every master with no key lookup on
another node."""
import os
import shutil
import time

import pytest

from test_pipeline import server  # noqa: F401  (the fixture)

from redis_cluster import LocalCluster, free_ports  # noqa: E402
from pemu_ports import DROP_OLDEST, Consumer, Member, Publisher, Run, SlotClient  # noqa: E402
from pipeline.client import connect  # noqa: E402
from pipeline.server import DemoError  # noqa: E402

redis = pytest.importorskip("redis")
from redis.cluster import RedisCluster  # noqa: E402

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
