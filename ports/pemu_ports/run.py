"""The keys of a run.

Every key of a run shares one hash tag (``{name}``), so each script's keys
live in one slot of a Redis Cluster; every key carries an expiry, refreshed
while a stage of the run is alive.  Given a cluster client, a run sends
its commands to the master of its slot (cluster.py).
"""

from typing import Dict, Iterable, List, Optional, Sequence, Set, Tuple, Union

import redis
from redis.cluster import RedisCluster

from .cluster import slot_client
from .errors import Gone
from .replies import result, text
from .scripts import Scripts
from .streams import dead_key, drop_key, end_key


# The entries a drop log or dead-letter stream keeps, and their age in
# seconds (about: trimmed by whole nodes of the stream); readers that keep up
# never miss one.  The age keeps a log of a live run as large as its last
# minute, whatever its rate; the count bounds a burst.
LOG_CAP = 4096
LOG_AGE = 60.0


class Run:
    """The keys of the run named ``name``, all under the hash tag {name}:
    the streams of ``ports`` (each with its end key and dead letters), the
    run's own hash, each stage's alive key, the step times and the sink's
    record of what it delivered.  ``extra`` names more keys of the run (the
    stages' own, such as the settings the camera publishes), which expire
    and are removed with the others: ``extra[name]`` is the key.

    A port's drop log and dead letters keep about the last ``log_cap``
    entries each, and none much older than ``log_age`` seconds (a live run
    drops without end); the run's hash counts
    every entry, per port and group, exactly (``dropped()``,
    ``dead_letters()``).

    ``name`` must not be empty nor hold '{' or '}' (ValueError): the hash
    tag would then be another part of the keys, or none, and the run's keys
    would spread over several slots.

    ``client`` is a plain client or a cluster client; ``run.client`` is the
    one every command of the run goes through: of a cluster, a plain client
    of the master that serves the run's slot, which follows the slot through
    a failover."""

    STAGES = ("camera", "detector", "sink")

    def __init__(self, client: Union["redis.Redis", RedisCluster], name: str, ports: Iterable[str],
                 keep: float = 3600.0, alive_ttl: float = 3.0,
                 extra: Iterable[str] = (), log_cap: int = LOG_CAP,
                 log_age: float = LOG_AGE) -> None:
        if not name or "{" in name or "}" in name:
            raise ValueError("a run's name must not be empty nor hold '{' or '}' (its keys "
                             "share the hash tag {name}): %r" % (name,))
        if log_cap < 1 or not log_age > 0:
            raise ValueError("log_cap must be at least 1 and log_age above 0")
        self.name = name
        self.prefix = "pemu-demo:{%s}" % name
        self.client: "redis.Redis" = slot_client(client, self.prefix)
        self.scripts = Scripts(self.client)
        self.keep_ms, self.alive_ms = int(keep * 1000), int(alive_ttl * 1000)
        self.key = self.prefix + ":run"
        self.ports = [self.prefix + ":" + p for p in ports]
        self.steps = self.prefix + ":steps"
        self.delivered = self.prefix + ":delivered"
        self.extra = {e: self.prefix + ":" + e for e in extra}
        self.log_cap, self.log_age_ms = log_cap, max(1, int(log_age * 1000))

    def alive(self, stage: str) -> str:
        return self.prefix + ":alive:" + stage

    def keys(self) -> List[str]:
        """Every key of the run but its own hash and the alive keys."""
        out = []
        for stream in self.ports:
            out += [stream, end_key(stream), dead_key(stream), drop_key(stream)]
        return out + [self.steps, self.delivered] + list(self.extra.values())

    def cleanup(self, consumer: str, stages: Sequence[str]) -> List[str]:
        """Removes every key of the run unless a consumer of ``stages``
        other than ``consumer`` is alive; returns those alive."""
        alive = [self.alive(s) for s in stages]
        rest = [self.alive(s) for s in self.STAGES if s not in stages]
        live = self.scripts.cleanup([self.key] + alive + rest + self.keys(),
                                    [consumer, len(alive)])
        return [text(c) for c in live]

    def left(self) -> int:
        """The entries of the run's ports that some group has not
        acknowledged: each port is trimmed first (steps trim a port only
        every few entries)."""
        try:
            return sum(int(self.scripts.trim([self.key, p], [])) for p in self.ports)
        except Gone:  # what is left of a run whose keys are going
            return sum(result(self.client.xlen(p)) for p in self.ports)

    def dead_letters(self) -> Dict[str, Dict[str, int]]:
        """The entries set aside on each port, per group: {port: {group:
        count}}."""
        return self._counts("dead:")

    def dropped(self) -> Dict[str, Dict[str, int]]:
        """The entries dropped for freshness on each port, per group: {port:
        {group: count}}."""
        return self._counts("dropped:")

    def _counts(self, kind: str) -> Dict[str, Dict[str, int]]:
        # fields "<kind><port>:<group>" of the run's hash; the longest port
        # that fits, should one port's name begin with another's
        counts: Dict[str, Dict[str, int]] = {p: {} for p in self.ports}
        ports = sorted(self.ports, key=len, reverse=True)
        for field, value in result(self.client.hgetall(self.key)).items():
            name = text(field)
            for port in ports:
                head = kind + port + ":"
                if name.startswith(head) and len(name) > len(head):
                    try:
                        counts[port][name[len(head):]] = int(value)
                    except ValueError:
                        pass  # not a count
                    break
        return counts

    def delivered_frames(self) -> Tuple[int, Set[int], int, Optional[bytes]]:
        """The record of delivered frames: (watermark, the frames done above
        it, frames delivered, the totals the sink kept with the last one).
        Every frame below the watermark is done (delivered, or settled as
        one that will not come)."""
        raw = result(self.client.hgetall(self.delivered))
        low, count, totals, above = 0, 0, None, set()
        for field, value in raw.items():
            if field == b"low":
                low = int(value)
            elif field == b"count":
                count = int(value)
            elif field == b"totals":
                totals = value
            elif field.isdigit():
                above.add(int(field))
        return low, {f for f in above if f >= low}, count, totals


def ensure_group(run: Run, stream: str, group: str) -> None:
    """Creates ``group`` on ``stream`` of ``run`` (and the stream, with the
    run's expiry, in the same step), reading from its start."""
    run.scripts.group([run.key, stream], [run.keep_ms, group])
