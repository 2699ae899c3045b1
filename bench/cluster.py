"""The demo on a Redis Cluster, measured: Redis CPU time per frame on a plain
server and on a cluster master (with its replica's), in alternating rounds,
and the failover of a run's master (the outage at the sink and the latency
of the frames across it).  A cluster of 3 masters and 3 replicas on loopback
(tests/redis_cluster.py), a private plain server on a Unix socket.

    python bench/cluster.py cost [--rounds 3] [--frames 300]
    python bench/cluster.py failover [--rounds 3]
    python bench/cluster.py scale [--rounds 2] [--frames 100]

``scale`` runs K = 1, 2, 4, 8 whole runs at once (unpaced, 640x480), on the
plain server and on the cluster (the runs spread over the masters) in
alternating rounds: aggregate frames per second, the worst run's p95 latency
and the machine's load.
"""

import argparse
import os
import statistics
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "examples"), os.path.join(HERE, "..", "tests")]

import redis  # noqa: E402

from pipeline.options import Options  # noqa: E402
from pipeline.server import PrivateRedis  # noqa: E402
from pipeline.whole_run import run  # noqa: E402
from redis_cluster import LocalCluster  # noqa: E402


def cpu_s(client):
    info = client.info("cpu")
    return info["used_cpu_sys"] + info["used_cpu_user"]


def options(frames, fps=0.0):
    return Options(frames=frames, fps=fps, width=640, height=480)


def plain_round(frames):
    """Redis CPU µs per frame of one whole run on a private server."""
    with PrivateRedis() as server:
        client = redis.Redis.from_url(server.url)
        before = cpu_s(client)
        report = run(server.url, options(frames))
        spent = cpu_s(client) - before
    assert report.summary()["lost"] == 0
    return spent / frames * 1e6


def cluster_round(cluster, frames, i):
    """Redis CPU µs per frame of one whole run on the master of its slot,
    and on that master's replica."""
    master = cluster.master_ports()[0]
    replica = next(r for _, _, m, rs in cluster.slots() if m == master for r in rs)
    nodes = {p: cluster.client(p) for p in (master, replica)}
    before = {p: cpu_s(c) for p, c in nodes.items()}
    report = run(cluster.url(replica), options(frames), name=cluster.name_on(master, "cost%d" % i))
    spent = {p: cpu_s(c) - before[p] for p, c in nodes.items()}
    summary = report.summary()
    assert summary["lost"] == 0
    # the stages' time per frame, waits left out (wall time of each step)
    stages = {stage: sum(ms for step, ms in steps.items() if step != "wait")
              for stage, steps in summary["steps"].items()}
    return spent[master] / frames * 1e6, spent[replica] / frames * 1e6, stages


def cost(args):
    plain, master, replica = [], [], []
    with LocalCluster() as cluster:
        for i in range(args.rounds):
            plain.append(plain_round(args.frames))
            m, r, stages = cluster_round(cluster, args.frames, i)
            master.append(m)
            replica.append(r)
            print("round %d: plain %.0f, cluster master %.0f, its replica %.0f us per frame; "
                  "stages %s ms per frame" % (i + 1, plain[-1], m, r, ", ".join(
                      "%s %.2f" % kv for kv in sorted(stages.items()))), flush=True)
    for what, values in (("plain server", plain), ("cluster master", master),
                         ("its replica", replica)):
        print("%-15s median %.0f us per frame (%.0f-%.0f)"
              % (what, statistics.median(values), min(values), max(values)))


def failover(args):
    for i in range(args.rounds):
        with LocalCluster() as cluster:
            victim = cluster.master_ports()[0]
            url = ",".join(cluster.url(p) for p in cluster.master_ports())
            name = cluster.name_on(victim, "failover")
            killed, took_over = [], []

            def watch():
                # the cluster's own view: the replica serves the slot
                while cluster.master_of(slot)[0] == victim:
                    time.sleep(0.05)
                took_over.append(time.monotonic() - killed[0])

            def on_frame(record, report):
                if report.received == 40 and not killed:
                    cluster.kill(victim)
                    killed.append(time.monotonic())
                    threading.Thread(target=watch, daemon=True).start()
            from redis.crc import key_slot
            slot = key_slot(("{%s}" % name).encode())
            report = run(url, options(args.frames, fps=20), on_frame, name=name)
            s = report.summary()
            print("round %d: replica took over %.1f s after the kill; sent %d, received %d, "
                  "lost %d, duplicates %d; longest gap at "
                  "the sink %.0f ms; latency p50 %.0f, p95 %.0f, max %.0f ms"
                  % (i + 1, took_over[0] if took_over else -1, s["sent"], s["received"],
                     s["lost"], s["duplicates"],
                     s["longest_gap_ms"], s["latency_ms"]["p50"], s["latency_ms"]["p95"],
                     s["latency_ms"]["max"]), flush=True)


def _one(url, opts, name, send):
    s = run(url, opts, name=name).summary()
    send.send((s["received"], s["lost"], s["latency_ms"]["p95"]))


def together(url, names, frames):
    """Whole runs named ``names`` at once: (frames per second over the
    wall time of all, the worst p95 in ms)."""
    import multiprocessing
    context = multiprocessing.get_context("fork")
    started = time.monotonic()
    pipes, processes = [], []
    for name in names:
        receive, send = context.Pipe(duplex=False)
        process = context.Process(target=_one, args=(url, options(frames), name, send))
        process.start()
        pipes.append(receive)
        processes.append(process)
    results = [p.recv() for p in pipes]
    for process in processes:
        process.join()
    wall = time.monotonic() - started
    assert all(lost == 0 for _, lost, _ in results)
    return sum(r for r, _, _ in results) / wall, max(p95 for _, _, p95 in results)


def scale(args):
    with LocalCluster() as cluster, PrivateRedis() as server:
        masters = cluster.master_ports()
        for i in range(args.rounds):
            for k in (1, 2, 4, 8):
                fps, p95 = together(server.url, ["p%d-%d-%d" % (i, k, j) for j in range(k)],
                                    args.frames)
                load = os.getloadavg()[0]
                names = [cluster.name_on(masters[j % len(masters)], "c%d-%d-%d" % (i, k, j))
                         for j in range(k)]
                cfps, cp95 = together(",".join(cluster.url(p) for p in masters), names,
                                      args.frames)
                print("round %d, K %d: plain %.0f frames/s, p95 %.0f ms (load %.1f); cluster "
                      "%.0f frames/s, p95 %.0f ms (load %.1f)"
                      % (i + 1, k, fps, p95, load, cfps, cp95, os.getloadavg()[0]), flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("what", choices=["cost", "failover", "scale"])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--frames", type=int, default=300)
    args = parser.parse_args()
    {"cost": cost, "failover": failover, "scale": scale}[args.what](args)


if __name__ == "__main__":
    main()
