"""A run's commands on a Redis Cluster.

Every key of a run shares the hash tag ``{name}``, so all of them live in
one slot, served by one master.  A run given a cluster client holds a plain
client of that master (``SlotClient``), its slot computed here from the tag:
each command goes straight to the node that serves it, none asks another
node for its keys first, and a node that dies touches only the runs whose
slots it served.

While the slot's master fails over (its replica takes over once the others
have missed it for the cluster's node time-out, a few seconds more), a
command fails with a broken connection, a time-out, CLUSTERDOWN, TRYAGAIN,
or MOVED once the replica has taken over; ASK while the slot migrates.  The
client reads the cluster's topology again, turns to the node that serves the
slot now, and sends the command again, for up to ``patience`` seconds.  Every
step of the ports is safe to repeat.  A promoted replica has none of the
scripts: redis-py's Script loads a script again on NOSCRIPT.
"""

import time
from typing import Any, Callable, List, Optional, TypeVar, Union

import redis
import redis.exceptions
from redis.cluster import ClusterNode, RedisCluster
from redis.crc import key_slot
from redis.exceptions import RedisClusterException

T = TypeVar("T")

# What a command may fail with while its slot's master fails over.  MOVED
# is an ASK error (the slot is served elsewhere now, or for a moment).
RETRIED = (redis.exceptions.ConnectionError, redis.exceptions.TimeoutError,
           redis.exceptions.ClusterDownError, redis.exceptions.TryAgainError,
           redis.exceptions.AskError)

# Connection errors that waiting does not mend.
REFUSED = (redis.exceptions.AuthenticationError, redis.exceptions.AuthorizationError)

# Seconds a command is sent again: a failover takes the cluster's node
# time-out plus a few seconds (about 5 s with 2 s; the default time-out is
# 15 s).
PATIENCE = 30.0

# Seconds between two tries while no node serves the slot.
PAUSE = 0.1


class SlotClient(redis.Redis):
    """A client of the master that serves ``slot`` of ``cluster``: a plain
    client that shares the cluster client's connections to that node.  It
    follows the slot to its new master after a failover (see above), and
    gives up after ``patience`` seconds of failures (then at once: what
    follows, a clean-up, does not wait again)."""

    def __init__(self, cluster: RedisCluster, slot: int, patience: float = PATIENCE) -> None:
        self.cluster_client, self.slot, self.patience = cluster, slot, patience
        self.node = self._master()
        super().__init__(connection_pool=self._pool(self.node))

    def _master(self) -> ClusterNode:
        try:
            node = self.cluster_client.nodes_manager.get_node_from_slot(self.slot)
        except RedisClusterException:  # not a RedisError
            node = None
        if node is None:
            raise redis.exceptions.ClusterDownError("no node serves slot %d" % self.slot)
        return node

    def _pool(self, node: ClusterNode) -> redis.ConnectionPool:
        connection = node.redis_connection or self.cluster_client.get_redis_connection(node)
        return connection.connection_pool

    def execute_command(self, *args: Any, **options: Any) -> Any:
        return self.retried(lambda: redis.Redis.execute_command(self, *args, **options))

    def retried(self, send: Callable[[], T]) -> T:
        """What ``send()`` returns, sent again on the master of the slot
        (see above) until it answers or ``patience`` runs out.  ``send``
        reads ``self.connection_pool`` afresh each time it is called."""
        deadline: Optional[float] = None
        while True:
            try:
                return send()
            except RETRIED as exc:
                if isinstance(exc, REFUSED):
                    raise
                now = time.monotonic()
                deadline = deadline or now + self.patience
                if now >= deadline:
                    self.patience = 0.0
                    raise
                self._follow(exc)

    def _follow(self, exc: Exception) -> None:
        """Turns to the node that serves the slot now: the one MOVED names,
        else the master the cluster's topology names once read again (the
        same one until the failover is over)."""
        if isinstance(exc, redis.exceptions.MovedError):
            known = self.cluster_client.nodes_manager.get_node(host=exc.host, port=exc.port)
            self._bind(known or ClusterNode(exc.host, exc.port))
            return
        time.sleep(PAUSE)
        if self._refresh():
            try:
                self._bind(self._master())
            except Exception:  # noqa: BLE001 - the slot is not served yet
                pass

    def _refresh(self) -> bool:
        try:
            self.cluster_client.nodes_manager.initialize()
            return True
        except Exception:  # noqa: BLE001 - no node answers yet: the next try reads it
            return False

    def _bind(self, node: ClusterNode) -> None:
        if node is not self.node:
            self.node = node
            self.connection_pool = self._pool(node)


def slot_client(client: Union[redis.Redis, RedisCluster], key: str) -> redis.Redis:
    """The client for the commands on ``key`` and the keys that share its
    hash tag: ``client`` itself, or, of a cluster, the master of the key's
    slot."""
    if isinstance(client, RedisCluster):
        return SlotClient(client, key_slot(key.encode()))
    return client


def primaries(client: Union[redis.Redis, RedisCluster]) -> List[redis.Redis]:
    """A plain client of each master of a cluster (``client`` itself when it
    is a plain one): what scans every key."""
    if isinstance(client, RedisCluster):
        return [node.redis_connection or client.get_redis_connection(node)
                for node in client.get_primaries()]
    return [client]
