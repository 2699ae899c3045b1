"""The Redis client of the stages, and its retries."""

import time

import redis
import redis.exceptions
from redis.backoff import NoBackoff
from redis.retry import Retry

from .server import DemoError
from .urls import check_redis_url, scrub, shown


class Client(redis.Redis):
    """A client that sends a command again on a new connection while its
    connection breaks, for up to ``reconnect`` seconds: a server restarted
    in that time goes unnoticed.  Every step is safe to repeat (at worst a
    frame comes twice, and the sink drops it)."""

    reconnect = 5.0  # none once the server was given up on, or before it answered

    def execute_command(self, *args, **options):
        deadline = None
        while True:
            try:
                return super().execute_command(*args, **options)
            except redis.exceptions.ConnectionError:
                now = time.monotonic()
                deadline = deadline or now + self.reconnect
                if now >= deadline:
                    self.reconnect = 0.0  # what follows (the clean-up) fails at once
                    raise
                time.sleep(0.05)


def connect(url, timeout=3.0):
    """A client for ``url``, checked with PING; DemoError when unreachable.
    Every failure names the server without its password."""
    wrong = check_redis_url(url)
    if wrong is not None:
        raise DemoError("bad Redis URL %s: %s" % (shown(url), wrong))
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
    except redis.exceptions.RedisError as exc:
        raise DemoError("cannot reach Redis at %s: %s" % (shown(url), scrub(exc, url)))
    return client
