"""The Redis client of the stages, and its retries: a plain server, or a
Redis Cluster learnt from any of its nodes."""

import time

import redis
import redis.exceptions
from redis.backoff import NoBackoff
from redis.cluster import ClusterNode, RedisCluster
from redis.connection import SSLConnection, parse_url
from redis.exceptions import RedisClusterException
from redis.retry import Retry

from .server import DemoError
from .urls import addresses, check_redis_url, scrub, shown


class Client(redis.Redis):
    """A client that sends a command again on a new connection while its
    connection breaks, for up to ``reconnect`` seconds: a server restarted
    in that time goes unnoticed.  Every step is safe to repeat (at worst a
    frame comes twice, and the sink drops it)."""

    reconnect = 5.0  # none once the server was given up on, or before it answered

    def execute_command(self, *args, **options):
        return self.retried(lambda: redis.Redis.execute_command(self, *args, **options))

    def retried(self, send):
        """What ``send()`` returns, sent again while the connection breaks
        (the ports send their transactions through it too)."""
        deadline = None
        while True:
            try:
                return send()
            except redis.exceptions.ConnectionError:
                now = time.monotonic()
                deadline = deadline or now + self.reconnect
                if now >= deadline:
                    self.reconnect = 0.0  # what follows (the clean-up) fails at once
                    raise
                time.sleep(0.05)


def connect(url, timeout=3.0):
    """A client for ``url``: one address, or several separated by commas
    (the nodes of a cluster: the first that answers is asked, one that is
    down is skipped).  A server in cluster mode gives a cluster client that
    learns the cluster's nodes from it.  DemoError when no address answers,
    and for what a cluster refuses (a database other than 0, a Unix socket).
    Every failure names the server without its password."""
    urls = addresses(url)
    for one in urls:
        wrong = check_redis_url(one)
        if wrong is not None:
            raise DemoError("bad Redis URL %s: %s" % (shown(one), wrong))
    failure = None
    for one in urls:
        try:
            client = _plain(one, timeout)
        except DemoError as exc:
            failure = failure or exc
            continue
        if not _cluster_mode(client):
            if len(urls) > 1:
                client.close()
                raise DemoError("Redis at %s is not in cluster mode: several addresses are "
                                "for the nodes of a Redis Cluster" % shown(one))
            return client
        client.close()
        return _cluster(urls, one, timeout)
    raise failure or DemoError("no Redis URL given")


def _plain(url, timeout):
    """A client of the one server at ``url``, checked with PING."""
    try:
        client = Client.from_url(url, socket_connect_timeout=timeout,
                                 socket_timeout=timeout + 2, health_check_interval=0,
                                 retry=Retry(NoBackoff(), 0))
        assert isinstance(client, Client)  # from_url makes one of the class it is called on
        client.reconnect = 0.0
        client.ping()
        client.reconnect = Client.reconnect
    except ValueError as exc:  # a URL that redis-py cannot read
        raise DemoError("bad Redis URL %s: %s" % (shown(url), scrub(exc, url)))
    except redis.exceptions.ResponseError as exc:
        if "cluster mode" in str(exc):  # SELECT of a database other than 0
            raise DemoError(_only_db0(url))
        raise DemoError("cannot reach Redis at %s: %s" % (shown(url), scrub(exc, url)))
    except redis.exceptions.RedisError as exc:
        raise DemoError("cannot reach Redis at %s: %s" % (shown(url), scrub(exc, url)))
    return client


def _only_db0(url):
    return ("Redis at %s is a node of a Redis Cluster, which has database 0 only: drop "
            "the database from the address" % shown(url))


def _cluster_mode(client):
    """Whether the server of ``client`` is a node of a Redis Cluster."""
    try:
        return int(client.info("cluster").get("cluster_enabled", 0)) == 1
    except redis.exceptions.ResponseError:  # INFO not allowed to this user
        return False


def _cluster(urls, reached, timeout):
    """A cluster client whose start-up nodes are the TCP addresses of
    ``urls``, with the user, password and TLS of ``reached`` (the node that
    answered)."""
    nodes = []
    for one in urls:
        options = parse_url(one)
        if "path" in options:
            raise DemoError("Redis at %s is a node of a Redis Cluster: give its TCP address "
                            "(redis://host:port), not a Unix socket" % shown(one))
        if int(options.get("db") or 0) != 0:
            raise DemoError(_only_db0(one))
        nodes.append(ClusterNode(options.get("host", "localhost"), options.get("port", 6379)))
    options = parse_url(reached)
    tls = options.pop("connection_class", None) is SSLConnection
    for name in ("host", "port", "db", "path"):
        options.pop(name, None)
    try:
        return RedisCluster(  # pyright: ignore[reportAbstractUsage] (redis-py 5's types)
            startup_nodes=nodes, require_full_coverage=False, ssl=tls,
            socket_connect_timeout=timeout, socket_timeout=timeout + 2, **options)
    except (redis.exceptions.RedisError, RedisClusterException) as exc:
        raise DemoError("cannot reach the Redis Cluster at %s: %s"
                        % (shown(reached), scrub(exc, reached)))
