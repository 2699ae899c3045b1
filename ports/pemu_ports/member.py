"""A stage's membership of a run: its sign of life, its last step."""

import time
from typing import Any, Optional

import redis
import redis.exceptions

from .errors import Busy
from .replies import text
from .run import Run
from .streams import end_key


class Member:
    """Consumer ``consumer`` of stage ``stage`` in ``run``: marks itself
    alive (a field of the stage's alive key, which expires unless refreshed)
    and keeps every key of the run from expiring while it lives.  Only one
    camera can be alive in a run (``exclusive``)."""

    def __init__(self, run: Run, stage: str, consumer: str, exclusive: bool = False) -> None:
        self.run, self.stage, self.consumer = run, stage, consumer
        self.exclusive = exclusive
        self.interval = run.alive_ms / 4000.0
        # the run's keys live for ``keep``: their expiry is refreshed by a
        # beat now and then, not by each
        self.refresh = min(run.keep_ms / 10000.0, 60.0)
        self.last = self.refreshed = 0.0

    def _beat(self, join: bool) -> Any:
        run, now = self.run, time.monotonic()
        keys = [run.key, run.alive(self.stage)]
        if join or now - self.refreshed >= self.refresh:
            keys += run.keys()
            self.refreshed = now
        return run.scripts.beat(
            keys, [run.keep_ms, self.consumer, run.alive_ms, int(self.exclusive), self.stage,
                   int(join)])

    def join(self) -> None:
        """Marks the stage alive, creating the run.  Another consumer of an
        exclusive stage that refreshes its mark: refused (Busy) as soon as
        it does; one that has stopped (a camera restarted after a crash):
        waited out until its mark expires."""
        deadline = time.monotonic() + self.run.alive_ms / 1000.0 + 1
        first: Optional[float] = None
        while True:
            answer = self._beat(True)
            if text(answer[0]) == "ok":
                self.last = time.monotonic()
                return
            since: float = answer[2] / 1000.0  # since its last sign of life
            last = time.monotonic() - since
            if first is None:
                first = last
            if last > first + 0.05 or time.monotonic() > deadline:
                raise Busy("a %s (%s) is alive in run %s: give another name with --run"
                           % (self.stage, text(answer[1]), self.run.name))
            time.sleep(0.05)

    def beat(self) -> None:
        """Refreshes the mark, at most every quarter of its lifetime."""
        now = time.monotonic()
        if now - self.last < self.interval:
            return
        answer = self._beat(False)
        if text(answer[0]) != "ok":
            raise Busy("another %s (%s) took over run %s"
                       % (self.stage, text(answer[1]), self.run.name))
        self.last = now

    def finish(self, steps: str, end: Optional[str] = None,
               count: Optional[int] = None) -> bool:
        """Leaves the run: the step times, the port's end; False when the
        run's keys are gone (nothing is written then)."""
        run = self.run
        keys = [run.key, run.alive(self.stage), run.steps] + ([end_key(end)] if end else [])
        return bool(run.scripts.finish(
            keys, [run.keep_ms, self.consumer, "%s:%s" % (self.stage, self.consumer), steps,
                   "" if count is None else count]))

    def leave(self) -> None:
        """Removes the mark, so that the others know at once (best effort:
        the mark expires anyway)."""
        try:
            self.run.client.hdel(self.run.alive(self.stage), self.consumer)
        except redis.exceptions.RedisError:
            pass
