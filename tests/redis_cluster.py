"""A Redis Cluster of our own for the tests: masters and their replicas,
each a redis-server with --cluster-enabled on loopback, on ports probed
free (their cluster-bus ports too), joined by redis-cli --cluster create.
Leaving the ``with`` block stops every node and removes their folder."""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import redis
from redis.crc import key_slot


def free_ports(count):
    """``count`` TCP ports free on loopback, held together while probed so
    that none is given twice."""
    held = []
    try:
        for _ in range(count):
            s = socket.socket()
            s.bind(("127.0.0.1", 0))
            held.append(s)
        return [s.getsockname()[1] for s in held]
    finally:
        for s in held:
            s.close()


class LocalCluster:
    """``masters`` masters with a replica each.  ``nodes`` maps each node's
    port to its process; ``url(port)`` is its address.  With
    ``full_coverage`` (the server's default) every master refuses commands
    while a slot has no master, from a failed master's failure agreed on
    until its replica took over."""

    def __init__(self, masters=3, node_timeout_ms=2000, start_timeout=60.0,
                 full_coverage=True):
        self.masters, self.node_timeout_ms = masters, node_timeout_ms
        self.full_coverage = full_coverage
        self.start_timeout = start_timeout
        self.folder, self.nodes, self.socket = None, {}, None

    def __enter__(self):
        self.folder = tempfile.mkdtemp(prefix="pemu-cluster-")
        count = 2 * self.masters
        ports = free_ports(2 * count)
        try:
            for port, bus in zip(ports[:count], ports[count:]):
                self._start(port, bus, first=not self.nodes)
            for port in self.nodes:
                self._wait(lambda: self.client(port).ping(), "node %d answers" % port)
            made = subprocess.run(
                ["redis-cli", "--cluster", "create"]
                + ["127.0.0.1:%d" % p for p in self.nodes]
                + ["--cluster-replicas", "1", "--cluster-yes"],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                universal_newlines=True, timeout=self.start_timeout)
            assert made.returncode == 0, made.stdout[-2000:]
            self._wait(self.settled, "every node sees the whole cluster")
            # a replica is listed with its master's slots once it has
            # replicated something: a write on each master
            for start, end, master, _ in self.slots():
                key = next(k for k in ("warm-%d" % i for i in range(100000))
                           if start <= key_slot(k.encode()) <= end)
                self.client(master).delete(key)
                self.client(master).set(key, 1)
                self.client(master).delete(key)
            self._wait(lambda: self.settled() and all(r for _, _, _, r in self.slots()),
                       "every master's replica in sync and listed")
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def _start(self, port, bus, first):
        args = ["redis-server", "--port", str(port), "--bind", "127.0.0.1",
                "--cluster-enabled", "yes", "--cluster-port", str(bus),
                "--cluster-config-file", "nodes-%d.conf" % port,
                "--cluster-node-timeout", str(self.node_timeout_ms),
                "--cluster-require-full-coverage", "yes" if self.full_coverage else "no",
                "--dir", self.folder, "--dbfilename", "dump-%d.rdb" % port,
                "--save", "", "--appendonly", "no", "--daemonize", "no",
                "--logfile", os.path.join(self.folder, "%d.log" % port)]
        if first:  # the first node also listens on a Unix socket
            self.socket = os.path.join(self.folder, "node.sock")
            args += ["--unixsocket", self.socket, "--unixsocketperm", "700"]
        self.nodes[port] = subprocess.Popen(
            args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.STDOUT, start_new_session=True)

    def _wait(self, ready, what):
        deadline = time.monotonic() + self.start_timeout
        while True:
            try:
                if ready():
                    return
            except redis.exceptions.RedisError:
                pass
            assert time.monotonic() < deadline, "the cluster was not ready: " + what
            time.sleep(0.1)

    def __exit__(self, *exc):
        for process in self.nodes.values():
            if process.poll() is None:
                process.terminate()
        for process in self.nodes.values():
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        if self.folder is not None:
            shutil.rmtree(self.folder, ignore_errors=True)
        return False

    def url(self, port):
        return "redis://127.0.0.1:%d" % port

    def client(self, port):
        return redis.Redis(host="127.0.0.1", port=port, socket_timeout=5)

    def alive(self):
        return [p for p, process in self.nodes.items() if process.poll() is None]

    def roles(self):
        """{port: "master" or "slave"} of the nodes alive."""
        return {p: self.client(p).info("replication")["role"] for p in self.alive()}

    def settled(self):
        """Every node alive says the cluster is ok and knows the same
        masters; every replica's link to its master is up."""
        views = set()
        for port in self.alive():
            node = self.client(port)
            if _cluster_state(node) != "ok":
                return False
            info = node.info("replication")
            if info["role"] == "slave" and info.get("master_link_status") != "up":
                return False
            views.add(tuple(sorted((s[0], s[1], s[2][1]) for s in _slots(node))))
        return len(views) == 1

    def slots(self):
        """[(first slot, last slot, master's port, [replicas' ports])] as a
        node alive sees them."""
        return [(start, end, master[1], [r[1] for r in replicas])
                for start, end, master, *replicas in _slots(self.client(self.alive()[0]))]

    def master_of(self, slot):
        """The port of the master that serves ``slot``, and its replicas'."""
        for start, end, master, replicas in self.slots():
            if start <= slot <= end:
                return master, replicas
        raise AssertionError("no node serves slot %d" % slot)

    def name_on(self, master, prefix="run"):
        """A run name whose slot ``master`` serves."""
        ranges = [(start, end) for start, end, port, _ in self.slots() if port == master]
        for i in range(100000):
            name = "%s-%d" % (prefix, i)
            slot = key_slot(("{%s}" % name).encode())
            if any(start <= slot <= end for start, end in ranges):
                return name
        raise AssertionError("no name found for %d" % master)

    def master_ports(self):
        return sorted(p for p, role in self.roles().items() if role == "master")

    def kill(self, port):
        """Kills node ``port`` at once (SIGKILL), as a crash would."""
        os.kill(self.nodes[port].pid, signal.SIGKILL)
        self.nodes[port].wait()


def _slots(node):
    return node.execute_command("CLUSTER", "SLOTS")


def _cluster_state(node):
    info = node.execute_command("CLUSTER", "INFO")
    if isinstance(info, bytes):
        info = dict(line.split(":", 1) for line in info.decode().split() if ":" in line)
    return info.get("cluster_state")
