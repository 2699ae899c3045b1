"""Output ports as Redis Streams read through consumer groups.

A publisher appends each payload to its port's stream (XADD).  Each stage
that reads the port has a consumer group on it; its consumers take entries
with XREADGROUP and acknowledge one (XACK) in the same transaction that
publishes their own output for it, so an entry taken by a consumer that dies
stays pending and another consumer of the group claims it once it has been
idle long enough (XAUTOCLAIM): delivery is at least once.

Entries that every group has acknowledged are trimmed (XTRIM MINID below the
oldest entry some group still needs), so a port holds a bounded window of
entries; nothing unread is removed.  The publisher waits while its port holds
a full window (backpressure).

A stream ends when its publisher sets the port's end key to the number of
entries it published; a consumer is done when the end key is set and its
group has taken and acknowledged everything.
"""

import time

import redis

FIELD = b"p"  # the field of an entry that holds the payload

# Trims the stream KEYS[1] below the oldest entry that one of its groups has
# not acknowledged (its oldest pending entry, else the one after the last it
# took), and returns the number of entries left.  A stream without groups is
# left alone: nobody has read it yet.
_TRIM = """
local function parse(id)
  local dash = string.find(id, '-', 1, true)
  return tonumber(string.sub(id, 1, dash - 1)), tonumber(string.sub(id, dash + 1))
end
local low_ms, low_seq
for _, group in ipairs(redis.call('XINFO', 'GROUPS', KEYS[1])) do
  local f = {}
  for i = 1, #group, 2 do f[group[i]] = group[i + 1] end
  local ms, seq
  if f['pending'] > 0 then
    ms, seq = parse(redis.call('XPENDING', KEYS[1], f['name'])[2])
  else
    ms, seq = parse(f['last-delivered-id'])
    seq = seq + 1
  end
  if low_ms == nil or ms < low_ms or (ms == low_ms and seq < low_seq) then
    low_ms, low_seq = ms, seq
  end
end
if low_ms ~= nil then
  redis.call('XTRIM', KEYS[1], 'MINID', string.format('%.0f-%.0f', low_ms, low_seq))
end
return redis.call('XLEN', KEYS[1])
"""


def _trimmer(client):
    """The SHA1 of the trim script, loaded into the server once: in a
    pipeline it then runs by EVALSHA alone, with no check of the script
    cache before each transaction."""
    return client.script_load(_TRIM)


class Stalled(Exception):
    """The readers of a port took nothing for too long."""


def end_key(stream):
    return stream + ":end"


def ensure_group(client, stream, group):
    """Creates ``group`` on ``stream`` (and the stream), reading from its start."""
    try:
        client.xgroup_create(stream, group, id="0", mkstream=True)
    except redis.exceptions.ResponseError as exc:
        if "BUSYGROUP" not in str(exc):
            raise


class Publisher:
    """Appends payloads to ``stream``, read by the consumer groups ``readers``
    (created here, so that nothing is trimmed before a reader has started),
    and holds it to at most ``window`` entries."""

    def __init__(self, client, stream, readers, window, stall=30.0, poll=0.002):
        self.client, self.stream, self.window = client, stream, window
        self.stall, self.poll = stall, poll
        self.trim = _trimmer(client)
        for group in readers:
            ensure_group(client, stream, group)
        self.count = 0

    def publish(self, payload, ack=None):
        """Appends ``payload`` and, in the same transaction, acknowledges the
        entry ``ack`` = (consumer, entry id) it answers; then waits while the
        port is full.  Returns (seconds publishing, seconds waiting)."""
        started = time.perf_counter()
        pipe = self.client.pipeline(transaction=True)
        pipe.xadd(self.stream, {FIELD: payload})
        if ack is not None:
            ack[0].ack_into(pipe, ack[1])
        pipe.evalsha(self.trim, 1, self.stream)
        length = pipe.execute()[-1]
        self.count += 1
        published = time.perf_counter()
        self.wait_below(length)
        return published - started, time.perf_counter() - published

    def wait_below(self, length):
        """Waits until the port holds fewer than ``window`` entries."""
        if length < self.window:
            return
        last, since = length, time.monotonic()
        while length >= self.window:
            time.sleep(self.poll)
            length = self.client.evalsha(self.trim, 1, self.stream)
            now = time.monotonic()
            if length < last:
                last, since = length, now
            elif now - since > self.stall:
                raise Stalled("the readers of %s took nothing for %.0f s"
                              % (self.stream, self.stall))

    def close(self, count=None):
        """Ends the stream, of ``count`` entries in all (default: those
        published here): its readers stop once they have taken it all."""
        self.client.set(end_key(self.stream), self.count if count is None else count)


class Consumer:
    """Consumer ``name`` of group ``group`` on ``stream``; with
    ``claim_idle`` None it claims nothing (the only consumer of its group,
    which holds entries back on purpose)."""

    def __init__(self, client, stream, group, name, claim_idle=2.0, block=0.5):
        self.client, self.stream, self.group, self.name = client, stream, group, name
        self.claim_idle, self.block = claim_idle, block
        self.trim = _trimmer(client)
        ensure_group(client, stream, group)
        self.next_claim = time.monotonic() + (claim_idle or 0) / 2
        self.reclaimed = 0

    def take(self):
        """The next entries: a list of (entry id, payload, reclaimed), empty
        when nothing came within ``block`` seconds.  Entries another
        consumer has held unacknowledged for ``claim_idle`` seconds are
        claimed first."""
        now = time.monotonic()
        if self.claim_idle is not None and now >= self.next_claim:
            self.next_claim = now + self.claim_idle / 2
            claimed = self.client.xautoclaim(self.stream, self.group, self.name,
                                             int(self.claim_idle * 1000), "0-0", count=8)[1]
            claimed = [(i, f[FIELD], True) for i, f in claimed if f]
            if claimed:
                self.reclaimed += len(claimed)
                return claimed
        got = self.client.xreadgroup(self.group, self.name, {self.stream: ">"}, count=1,
                                     block=max(1, int(self.block * 1000)))
        return [(i, f[FIELD], False) for _, entries in got for i, f in entries if f]

    def ack_into(self, pipe, entry_id):
        """Queues the acknowledgement of ``entry_id``, and the trim it allows,
        on a pipeline."""
        pipe.xack(self.stream, self.group, entry_id)
        pipe.evalsha(self.trim, 1, self.stream)

    def ack(self, entry_id):
        pipe = self.client.pipeline(transaction=True)
        self.ack_into(pipe, entry_id)
        pipe.execute()

    def state(self):
        """(end count or None, entries not yet taken, entries pending) of the
        group, read at one instant."""
        pipe = self.client.pipeline(transaction=True)
        pipe.get(end_key(self.stream))
        pipe.xinfo_stream(self.stream)
        pipe.xinfo_groups(self.stream)
        end, stream, groups = pipe.execute()
        group = [g for g in groups if _text(g["name"]) == self.group][0]
        last = _text(stream["last-generated-id"])
        untaken = 0 if _text(group["last-delivered-id"]) == last else 1
        return (None if end is None else int(end)), untaken, group["pending"]

    def finished(self):
        """The stream's end count once it has ended and this group has taken
        and acknowledged all of it, else None."""
        end, untaken, pending = self.state()
        return end if end is not None and untaken == 0 and pending == 0 else None


def _text(value):
    return value.decode() if isinstance(value, bytes) else value
