"""Ports of pipeline modules on Redis Streams.

A :class:`Run` names the keys of one run of a pipeline (all under one hash
tag, all with an expiry); a :class:`Publisher` appends payloads to a port
and waits while it is full; a :class:`Consumer` takes them through a
consumer group, claims what a dead consumer left, and sets aside what it
cannot process; a :class:`Member` marks a stage alive in the run.  A run takes a plain
client or a cluster client (:class:`SlotClient`).  See
docs/ports.md for an example.
"""

from .cluster import SlotClient, primaries
from .consumer import Consumer
from .errors import Busy, Gone, Stalled, is_gone
from .member import Member
from .publisher import BLOCK, DROP_OLDEST, OVERFLOW, Publisher
from .run import Run, ensure_group
from .streams import FIELD, FRAME, Entry, dead_key, drop_key, end_key

__all__ = ["BLOCK", "DROP_OLDEST", "FIELD", "FRAME", "OVERFLOW", "Busy", "Consumer", "Entry",
           "Gone", "Member", "Publisher", "Run", "SlotClient", "Stalled", "dead_key",
           "drop_key", "end_key", "ensure_group", "is_gone", "primaries"]
