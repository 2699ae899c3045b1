"""Publishing to a port, and what happens when it is full.

A publisher appends each payload to its port's stream.  Each stage that
reads the port has a consumer group on it; its consumers acknowledge an
entry in the same server-side script that publishes their own output for it
(and trims both streams), in one transaction with the payload's XADD, so
each frame step is one atomic round trip.

Entries that every group has acknowledged are trimmed (XTRIM MINID below the
oldest entry some group still needs), so a port holds a bounded window of
entries; nothing unread is removed.

A port's overflow policy says what happens when its window is full: with
``block`` the publisher waits (backpressure); with ``drop-oldest`` it never
waits: the step that publishes moves each group past the oldest entries it
has not taken yet, so that the group again has at most a window of entries
it has not acknowledged (entries taken are never dropped), and logs every
entry so dropped to the port's drop log (``<port>:drop``, with its group and
frame id; the log keeps about the run's ``log_cap`` last entries, of its last
``log_age`` seconds) and counts it in the run's hash per group
(``dropped:<port>:<group>``), exactly.  A
live feed stays fresh that way, and the sink tells frames dropped for
freshness from lost ones.

A stream ends when its publisher sets the port's end key to the number of
frames it published.
"""

import time
from typing import TYPE_CHECKING, Callable, Iterable, List, Optional, Sequence, Tuple, Union

from .errors import Gone, Stalled
from .member import Member
from .replies import text
from .run import Run, ensure_group
from .scripts import Arg, Call, Step
from .streams import FIELD, FRAME, TRIM_EVERY, drop_key

if TYPE_CHECKING:
    from .consumer import Consumer

BLOCK, DROP_OLDEST = "block", "drop-oldest"
OVERFLOW: Tuple[str, ...] = (BLOCK, DROP_OLDEST)


class Publisher:
    """Appends payloads to ``stream``, read by the consumer groups ``readers``
    (created here, so that nothing is trimmed before a reader has started),
    and holds it to at most ``window`` entries.  ``member`` is refreshed
    while it waits; ``say(text)``, if given, is told once when the readers
    have taken nothing for ``notice`` seconds.  ``overflow`` is the port's
    policy when the window is full: BLOCK waits, DROP_OLDEST drops (see
    above); ``dropped`` counts what this publisher dropped for ``readers``
    (other groups of the port have their drops too, counted in the run's
    hash under their own names)."""

    def __init__(self, run: Run, stream: str, readers: Iterable[str], window: int,
                 stall: float = 30.0, poll: float = 0.01, member: Optional[Member] = None,
                 say: Optional[Callable[[str], None]] = None, notice: float = 5.0,
                 overflow: str = BLOCK) -> None:
        if overflow not in OVERFLOW:
            raise ValueError("overflow must be one of %s" % ", ".join(OVERFLOW))
        self.overflow, self.dropped = overflow, 0
        self.readers = [text(r) for r in readers]
        self.run, self.stream, self.window = run, stream, window
        self.stall, self.poll, self.member = stall, poll, member
        self.say, self.notice = say, notice
        for group in self.readers:
            ensure_group(run, stream, group)
        self.count = 0

    def publish(self, payload: bytes, frame_id: Union[int, bytes],
                ack: Optional[Tuple["Consumer", str]] = None,
                next_frame: Optional[int] = None) -> Tuple[float, float]:
        """Appends ``payload`` and, in the same transaction, acknowledges
        the entry ``ack`` = (consumer, entry id) it answers; then waits
        while the port is full.  Returns (seconds publishing, seconds
        waiting)."""
        if ack is None:
            return self.publish_all([(payload, frame_id)], next_frame=next_frame)
        return self.publish_all([(payload, frame_id)], ack[0], [ack[1]], next_frame)

    def publish_all(self, items: Sequence[Tuple[bytes, Union[int, bytes]]],
                    consumer: Optional["Consumer"] = None, answered: Sequence[str] = (),
                    next_frame: Optional[int] = None) -> Tuple[float, float]:
        """Appends the payloads of ``items`` ((payload, frame id), in order)
        and acknowledges the entries ``answered`` of ``consumer`` that they
        answer, in one transaction: one round trip for a batch of frames.
        Then waits while the port is full.  Returns (seconds publishing,
        seconds waiting)."""
        started = time.perf_counter()
        run, drops = self.run, self.overflow == DROP_OLDEST
        keys = [run.key, self.stream]
        trim_from: Arg = ("" if drops else
                     0 if self.count // TRIM_EVERY != (self.count + len(items)) // TRIM_EVERY
                     else self.window)
        args: List[Arg] = ["", "" if next_frame is None else next_frame, "", trim_from]
        if consumer is not None and answered:
            keys.append(consumer.stream)
            args[0] = consumer.group
            args[2] = "1" if consumer.trims(len(answered)) else ""
            args += answered
        steps: List[Step] = [Call("step", keys, args)]
        steps += [("XADD", self.stream, "NOMKSTREAM", "*", FIELD, payload, FRAME, frame_id)
                  for payload, frame_id in items]
        if drops:
            steps.append(Call("drop", [run.key, self.stream, drop_key(self.stream)],
                              [run.keep_ms, self.window, run.log_cap, run.log_age_ms]))
        replies = run.scripts.atomic(steps)
        if any(reply is None for reply in replies[1:1 + len(items)]):
            raise Gone("the keys of the run are gone (%s)" % self.stream)  # the port
        self.count += len(items)
        if consumer is not None:
            for entry_id in answered:
                consumer.answered(entry_id)
        if drops:
            dropped = replies[-1][1]
            for i in range(0, len(dropped), 2):
                if text(dropped[i]) in self.readers:
                    self.dropped += int(dropped[i + 1])
            return time.perf_counter() - started, 0.0
        published = time.perf_counter()
        self.wait_below(replies[0] + len(items))
        return published - started, time.perf_counter() - published

    def wait_below(self, length: int) -> None:
        """Waits until the port holds fewer than ``window`` entries (no
        more room than that: a reader may hold all but one of them, as the
        sink's reorder buffer does)."""
        if length < self.window:
            return
        last, since = length, time.monotonic()
        while length >= self.window:
            time.sleep(self.poll)
            if self.member is not None:
                self.member.beat()
            length = self.run.scripts.trim([self.run.key, self.stream], [])
            now = time.monotonic()
            if length < last:
                last, since = length, now
            elif self.say is not None and now - since > self.notice:
                self.say("waiting for the readers of %s: it is full" % self.stream)
                self.say = None
            if now - since > self.stall:
                raise Stalled("the readers of %s took nothing for %.0f s"
                              % (self.stream, self.stall))
