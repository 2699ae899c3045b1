"""Reading a port through a consumer group.

Consumers take entries with XREADGROUP; an entry taken by a consumer that
dies stays pending, and another consumer of the group claims it once it has
been idle long enough.  Delivery is at least once; an entry delivered more
than ``max_deliveries`` times (a payload that kills its consumer) is set
aside instead of claimed.

An entry a consumer cannot process is set aside: copied to the port's
dead-letter stream (``<port>:dead``) with its group, the error, the consumer
and its delivery count, counted for its group in the run's hash, and
acknowledged, in one script.  Several groups may read one port: each claims,
sets aside and counts only its own entries.

A consumer is done when its port's end key is set and its group has taken
and acknowledged everything.
"""

import time
from typing import List, Optional, Sequence, Set, Tuple, Union

import redis.exceptions

from .errors import Gone, is_gone
from .replies import fields, result, text
from .run import Run, ensure_group
from .scripts import Arg
from .streams import TRIM_EVERY, Entry, dead_key, end_key


class Consumer:
    """Consumer ``name`` of group ``group`` on ``stream``.  It claims what
    other consumers of its group left idle for ``claim_idle`` seconds, never
    its own entries (the sink holds some back on purpose), and sets aside
    an entry delivered ``max_deliveries`` times already.

    It knows the entries it has handed out and not yet answered (``held``:
    answered by ``set_aside``, ``deliver``, or a publisher's step that
    acknowledges it; ``answered`` for an entry acknowledged otherwise).  An
    entry pending under its own name that it never handed out was delivered
    by a read whose reply was lost with its connection (a server restarted,
    a network that broke): once idle for ``claim_idle`` it is taken back.  ``span`` bounds
    the frames the record of delivered frames keeps above a gap.  A read
    takes up to ``batch`` new entries at once (as many as wait, no more): a
    consumer behind a backlog takes it in fewer round trips."""

    def __init__(self, run: Run, stream: str, group: str, name: str, claim_idle: float = 2.0,
                 block: float = 0.5, max_deliveries: int = 3, window: int = 32,
                 span: int = 4096, batch: int = 1) -> None:
        self.run, self.client = run, run.client
        self.stream, self.group, self.name = stream, group, name
        self.claim_idle, self.block, self.max_deliveries = claim_idle, block, max_deliveries
        self.claim_count, self.span, self.batch = 2 * window + 16, span, batch
        ensure_group(run, stream, group)
        self.next_claim = time.monotonic()  # a consumer that starts claims at once
        # what a consumer of the same name left pending (one that reuses its
        # name after a restart) is taken back first; under a new name the
        # claims take it back once it has been idle for ``claim_idle``
        self.history = True
        self.reclaimed = self.set_aside_count = 0
        self.held: Set[str] = set()
        self.acks = 0

    def trims(self, entries: int = 1) -> bool:
        """Whether the step that acknowledges ``entries`` more entries trims
        the port too: once every TRIM_EVERY acknowledgements of this
        consumer."""
        before, self.acks = self.acks, self.acks + entries
        return before // TRIM_EVERY != self.acks // TRIM_EVERY

    def take(self) -> List[Entry]:
        """The next entries: a list of (entry id, fields, reclaimed), empty
        when nothing came within ``block`` seconds.  Entries another
        consumer has held unacknowledged for ``claim_idle`` seconds are
        claimed first."""
        entries = self._take()
        self.held.update(entry_id for entry_id, _, _ in entries)
        return entries

    def answered(self, entry_id: str) -> None:
        """``entry_id`` is acknowledged: no longer held here."""
        self.held.discard(entry_id)

    def _take(self) -> List[Entry]:
        now = time.monotonic()
        if now >= self.next_claim:
            self.next_claim = now + self.claim_idle / 2
            claimed, dead, mine = self.run.scripts.claim(
                [self.run.key, self.stream, dead_key(self.stream)],
                [self.run.keep_ms, self.group, self.name, int(self.claim_idle * 1000),
                 self.max_deliveries, self.claim_count, self.run.log_cap,
                 self.run.log_age_ms])
            self.set_aside_count += dead
            claimed = [(text(i), fields(f), True) for i, f in claimed] + self._lost(mine)
            if claimed:
                self.reclaimed += len(claimed)
                return claimed
        try:
            if self.history:
                self.history = False
                got = result(self.client.xreadgroup(self.group, self.name, {self.stream: "0"},
                                                     count=self.claim_count))
                mine = [(text(i), f, True) for _, entries in got for i, f in entries if f]
                if mine:
                    self.reclaimed += len(mine)
                    return mine
            got = result(self.client.xreadgroup(self.group, self.name, {self.stream: ">"},
                                                 count=self.batch,
                                                 block=max(1, int(self.block * 1000))))
        except redis.exceptions.ResponseError as exc:
            if is_gone(exc):
                raise Gone("the keys of the run are gone (%s)" % self.stream)
            raise
        return [(text(i), f, False) for _, entries in got for i, f in entries]

    def _lost(self, mine: Sequence[bytes]) -> List[Entry]:
        """The entries of ``mine`` (pending under this consumer's name) that
        it does not hold, taken back (XCLAIM, which skips any trimmed)."""
        lost: List[Union[int, bytes, str, memoryview]] = [
            entry_id for entry_id in map(text, mine) if entry_id not in self.held]
        if not lost:
            return []
        got = result(self.client.xclaim(self.stream, self.group, self.name, 0, lost))
        return [(text(i), f, True) for i, f in got if f]

    def set_aside(self, entry_id: str, error: str) -> None:
        """Moves ``entry_id`` to the port's dead letters with ``error``, and
        acknowledges it, in one step."""
        self.run.scripts.set_aside(
            [self.run.key, self.stream, dead_key(self.stream)],
            [self.run.keep_ms, self.group, entry_id, error[:500], self.name, self.run.log_cap,
             self.run.log_age_ms])
        self.held.discard(entry_id)
        self.set_aside_count += 1

    def deliver(self, entry_id: str, frame_id: int, record: Optional[str],
                settled: Sequence[int] = ()) -> bool:
        """The sink's step: frame ``frame_id`` recorded as delivered unless
        it was already (or ``record`` is None: a duplicate), ``record`` (the
        sink's totals with this frame) kept with it, the entry acknowledged;
        the frames of ``settled`` (that will not come) recorded as done.
        True when delivered here."""
        return self._deliver([(entry_id, frame_id)], record, settled)

    def deliver_all(self, frames: Sequence[Tuple[str, int]], record: str,
                    settled: Sequence[int] = ()) -> bool:
        """The sink's step for several frames ((entry id, frame id), in
        order) with ``record``, the sink's totals as of the last: all of
        them recorded as delivered and acknowledged, with ``settled``, in one
        round trip (True); or, should one of them be done already, nothing
        at all (False): deliver them one by one then."""
        return self._deliver(frames, record, settled)

    def _deliver(self, frames: Sequence[Tuple[str, int]], record: Optional[str],
                 settled: Sequence[int]) -> bool:
        run = self.run
        args: List[Arg] = [run.keep_ms, self.group, self.span,
                           "1" if self.trims(len(frames)) else "", record or "", len(settled)]
        args += settled
        for entry_id, frame_id in frames:
            args += [entry_id, frame_id]
        done = bool(run.scripts.deliver([run.key, self.stream, run.delivered], args))
        if done or len(frames) == 1:  # acknowledged
            for entry_id, _ in frames:
                self.held.discard(entry_id)
        return done

    def state(self, upstream: Optional[str] = None
              ) -> Tuple[Optional[int], int, int, int, bool]:
        """(end count or None, entries not yet taken (0 or 1), entries
        pending, live consumers of the stage ``upstream``, whether one was
        ever seen) of the group, read at one instant."""
        run = self.run
        end, untaken, pending, live, seen = run.scripts.state(
            [run.key, self.stream, end_key(self.stream), run.alive(upstream or "none")],
            [self.group, upstream or "none"])
        return (None if end is None else int(end)), untaken, pending, live, bool(seen)
