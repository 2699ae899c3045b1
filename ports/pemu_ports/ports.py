"""Output ports as Redis Streams read through consumer groups, and the keys
of a run.

A publisher appends each payload to its port's stream.  Each stage that
reads the port has a consumer group on it; its consumers take entries with
XREADGROUP and acknowledge one in the same server-side script that publishes
their own output for it (and trims both streams), so each frame step is one
atomic round trip: an entry taken by a consumer that dies stays pending, and
another consumer of the group claims it once it has been idle long enough.
Delivery is at least once; an entry delivered more than ``max_deliveries``
times (a payload that kills its consumer) is set aside instead of claimed.

An entry a consumer cannot process is set aside: copied to the port's
dead-letter stream (``<port>:dead``) with the error, the consumer and its
delivery count, and acknowledged, in one script.

Entries that every group has acknowledged are trimmed (XTRIM MINID below the
oldest entry some group still needs), so a port holds a bounded window of
entries; nothing unread is removed.  The publisher waits while its port holds
a full window (backpressure).

A port's overflow policy says what happens when its window is full: with
``block`` (above) the publisher waits; with ``drop-oldest`` it never waits:
the step that publishes moves each group past the oldest entries it has not
taken yet, so that the group again has at most a window of entries it has
not acknowledged (entries taken are never dropped), and logs every entry so
dropped to the port's drop log (``<port>:drop``, with its frame id) and
counts it in the run's hash (``dropped:<port>``).  A live feed stays fresh
that way, and the sink tells frames dropped for freshness from lost ones.

A stream ends when its publisher sets the port's end key to the number of
frames it published; a consumer is done when the end key is set and its
group has taken and acknowledged everything.

Every key of a run shares one hash tag (``{name}``), so each script's keys
live in one slot of a Redis Cluster; every key carries an expiry, refreshed
while a stage of the run is alive.  Each script first checks that the run's
keys are still there and fails with GONE otherwise, so a stage never writes
into, or reports success for, a run whose keys were removed.
"""

import time
from typing import (Any, Awaitable, Callable, Dict, Iterable, List, Optional, Sequence, Tuple,
                    Union)

import redis
import redis.exceptions

# An entry taken from a port: (entry id, its fields, whether it was
# reclaimed from another consumer or from this one's own history).
Entry = Tuple[str, Dict[bytes, bytes], bool]
# What a script is called with: keys, and arguments of any of these types.
_Arg = Union[str, bytes, int, float]
_Script = Callable[[Sequence[str], Sequence[_Arg]], Any]

FIELD = b"p"  # the field of an entry that holds the payload
FRAME = b"f"  # the field with the frame id, readable without the payload

_LIB = """
local function need(from)
  for i = 1, from do
    if redis.call('EXISTS', KEYS[i]) == 0 then
      error({err = 'GONE the keys of the run are gone (' .. KEYS[i] .. ')'})
    end
  end
end
local function now_ms()
  local t = redis.call('TIME')
  return tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
end
local function parse(id)
  local dash = string.find(id, '-', 1, true)
  return tonumber(string.sub(id, 1, dash - 1)), tonumber(string.sub(id, dash + 1))
end
-- Trims a stream below the oldest entry that one of its groups has not
-- acknowledged (its oldest pending entry, else the one after the last it
-- took); returns the entries left.  A stream without groups is left alone.
local function trim(stream)
  local low_ms, low_seq
  for _, group in ipairs(redis.call('XINFO', 'GROUPS', stream)) do
    local f = {}
    for i = 1, #group, 2 do f[group[i]] = group[i + 1] end
    local ms, seq
    if f['pending'] > 0 then
      ms, seq = parse(redis.call('XPENDING', stream, f['name'])[2])
    else
      ms, seq = parse(f['last-delivered-id'])
      seq = seq + 1
    end
    if low_ms == nil or ms < low_ms or (ms == low_ms and seq < low_seq) then
      low_ms, low_seq = ms, seq
    end
  end
  if low_ms ~= nil then
    redis.call('XTRIM', stream, 'MINID', string.format('%.0f-%.0f', low_ms, low_seq))
  end
  return redis.call('XLEN', stream)
end
-- Copies entry `id` of `stream` to `dead` with why it was set aside, and
-- acknowledges it for `group`.
local function set_aside(stream, dead, group, id, why, consumer, keep)
  local p = redis.call('XPENDING', stream, group, id, id, 1)[1]
  local fields = {'entry', id, 'error', why, 'consumer', consumer,
                  'deliveries', p and p[4] or 0}
  local entry = redis.call('XRANGE', stream, id, id)[1]
  if entry then
    for i = 1, #entry[2], 2 do
      table.insert(fields, 'field:' .. entry[2][i])
      table.insert(fields, entry[2][i + 1])
    end
  end
  redis.call('XADD', dead, '*', unpack(fields))
  redis.call('PEXPIRE', dead, keep)
  redis.call('XACK', stream, group, id)
end
-- Moves each group of `stream` past its oldest entries not yet taken, so
-- that what it has not acknowledged (taken or not) is at most `window`
-- entries; what a consumer has taken is never dropped.  Logs each entry
-- dropped so to `log` and counts them in the run's hash.  Returns the entries
-- dropped.  The group's count of entries read is moved on with it, so that
-- the server keeps knowing its lag.
local function drop(stream, log, run, window, keep)
  if redis.call('XLEN', stream) <= window then return 0 end
  local dropped = 0
  for _, group in ipairs(redis.call('XINFO', 'GROUPS', stream)) do
    local f = {}
    for i = 1, #group, 2 do f[group[i]] = group[i + 1] end
    local after = '(' .. f['last-delivered-id']
    local lag = f['lag']
    if not lag then  -- not known to the server: counted
      lag = #redis.call('XRANGE', stream, after, '+')
    end
    local over = math.min(lag, lag + f['pending'] - window)
    if over > 0 then
      local entries = redis.call('XRANGE', stream, after, '+', 'COUNT', over)
      local last = entries[#entries][1]
      if f['entries-read'] then
        redis.call('XGROUP', 'SETID', stream, f['name'], last,
                   'ENTRIESREAD', f['entries-read'] + #entries)
      else
        redis.call('XGROUP', 'SETID', stream, f['name'], last)
      end
      for _, e in ipairs(entries) do
        local frame = ''
        for i = 1, #e[2], 2 do
          if e[2][i] == 'f' then frame = e[2][i + 1] end
        end
        redis.call('XADD', log, '*', 'group', f['name'], 'entry', e[1], 'f', frame)
      end
      redis.call('HINCRBY', run, 'dropped:' .. stream, #entries)
      dropped = dropped + #entries
    end
  end
  if dropped > 0 then redis.call('PEXPIRE', log, keep) end
  return dropped
end
"""

# KEYS run, out[, in][, drop log of out]
# ARGV keep, payload, frame id, group, entry id, next[, window]
# Publishes a payload, acknowledges the entry it answers, trims both ports.
# With a window (drop-oldest), drops what is over it: returns {entries left,
# entries dropped} then, else the entries left.
_STEP = _LIB + """
local n = #KEYS
if ARGV[7] then n = n - 1 end
need(n)
redis.call('XADD', KEYS[2], '*', 'p', ARGV[2], 'f', ARGV[3])
redis.call('PEXPIRE', KEYS[2], ARGV[1])
if n > 2 then
  redis.call('XACK', KEYS[3], ARGV[4], ARGV[5])
  trim(KEYS[3])
end
if ARGV[6] ~= '' then redis.call('HSET', KEYS[1], 'next', ARGV[6]) end
if ARGV[7] then
  trim(KEYS[2])
  local dropped = drop(KEYS[2], KEYS[#KEYS], KEYS[1], tonumber(ARGV[7]), ARGV[1])
  return {trim(KEYS[2]), dropped}
end
return trim(KEYS[2])
"""

# KEYS run, stream  -> entries left after trimming
_TRIM = _LIB + """
need(2)
return trim(KEYS[2])
"""

# KEYS run, stream, dead  ARGV keep, group, entry id, error, consumer
_SET_ASIDE = _LIB + """
need(2)
set_aside(KEYS[2], KEYS[3], ARGV[2], ARGV[3], ARGV[4], ARGV[5], ARGV[1])
trim(KEYS[2])
return 1
"""

# KEYS run, stream, dead  ARGV keep, group, me, min idle ms, max deliveries, count
# Claims the entries other consumers have left idle for `min idle`; those
# delivered `max deliveries` times already are set aside instead.  Returns
# {claimed entries, entries set aside}.
_CLAIM = _LIB + """
need(2)
local claimed, dead = {}, 0
local pending = redis.call('XPENDING', KEYS[2], ARGV[2], 'IDLE', ARGV[4], '-', '+', ARGV[6])
for _, p in ipairs(pending) do
  if p[2] ~= ARGV[3] then
    if p[4] >= tonumber(ARGV[5]) then
      set_aside(KEYS[2], KEYS[3], ARGV[2], p[1],
                'delivered ' .. p[4] .. ' times without an answer', ARGV[3], ARGV[1])
      dead = dead + 1
    else
      local got = redis.call('XCLAIM', KEYS[2], ARGV[2], ARGV[3], ARGV[4], p[1])
      if got[1] then table.insert(claimed, got[1]) end
    end
  end
end
if dead > 0 then trim(KEYS[2]) end
return {claimed, dead}
"""

# KEYS run, stream, delivered  ARGV keep, group, entry id, frame id, record
# The sink's step: records the frame as delivered unless it was already,
# acknowledges the entry and trims.  Returns 1 when delivered here.
_DELIVER = _LIB + """
need(2)
local new = 0
if ARGV[5] ~= '' then
  new = redis.call('HSETNX', KEYS[3], ARGV[4], ARGV[5])
  redis.call('PEXPIRE', KEYS[3], ARGV[1])
end
if new == 0 then redis.call('HINCRBY', KEYS[1], 'duplicates', 1) end
redis.call('XACK', KEYS[2], ARGV[2], ARGV[3])
trim(KEYS[2])
return new
"""

# KEYS run, stream, end, upstream alive  ARGV group
# -> {end or false, entries not yet taken (0/1), pending, live upstream
#     stages, upstream ever seen}
_STATE = _LIB + """
need(2)
local stream, group = {}, nil
local info = redis.call('XINFO', 'STREAM', KEYS[2])
for i = 1, #info, 2 do stream[info[i]] = info[i + 1] end
for _, g in ipairs(redis.call('XINFO', 'GROUPS', KEYS[2])) do
  local f = {}
  for i = 1, #g, 2 do f[g[i]] = g[i + 1] end
  if f['name'] == ARGV[1] then group = f end
end
if group == nil then error({err = 'GONE the group ' .. ARGV[1] .. ' is gone'}) end
local untaken = 0
if group['last-delivered-id'] ~= stream['last-generated-id'] then untaken = 1 end
local live, now = 0, now_ms()
local alive = redis.call('HGETALL', KEYS[4])
for i = 2, #alive, 2 do
  if tonumber(alive[i]) > now then live = live + 1 end
end
local seen = redis.call('HEXISTS', KEYS[1], 'seen:' .. ARGV[2])
return {redis.call('GET', KEYS[3]), untaken, group['pending'], live, seen}
"""

# KEYS run, alive, the run's other keys but the alive keys (they expire sooner)
# ARGV keep, consumer, ttl, exclusive, stage, join
# Marks `consumer` alive in its stage's key and refreshes the expiry of every
# key of the run.  `join` (at start) creates the run; otherwise a run whose
# keys are gone fails.  An exclusive stage (the camera) returns
# {'busy', consumer, ms since its last sign of life, ms left} while another
# consumer of it is alive.
_BEAT = _LIB + """
if ARGV[6] == '1' then
  redis.call('HSETNX', KEYS[1], 'created', now_ms())
  redis.call('HSET', KEYS[1], 'seen:' .. ARGV[5], 1)
else
  need(1)
end
local now, ttl = now_ms(), tonumber(ARGV[3])
if ARGV[4] == '1' then
  local alive = redis.call('HGETALL', KEYS[2])
  for i = 1, #alive, 2 do
    local deadline = tonumber(alive[i + 1])
    if alive[i] ~= ARGV[2] and deadline > now then
      return {'busy', alive[i], now - deadline + ttl, deadline - now}
    end
  end
end
redis.call('HSET', KEYS[2], ARGV[2], now + ttl)
redis.call('PEXPIRE', KEYS[2], ttl)
for i = 3, #KEYS do redis.call('PEXPIRE', KEYS[i], ARGV[1]) end
redis.call('PEXPIRE', KEYS[1], ARGV[1])
return {'ok'}
"""

# KEYS run, alive, steps[, end]  ARGV keep, consumer, steps field, steps, end
# A stage's last step: its step times, its port's end, its mark removed.
# Writes nothing (returns 0) when the run's keys are gone.
_FINISH = """
if redis.call('EXISTS', KEYS[1]) == 0 then return 0 end
redis.call('HSET', KEYS[3], ARGV[3], ARGV[4])
redis.call('PEXPIRE', KEYS[3], ARGV[1])
if #KEYS > 3 then redis.call('SET', KEYS[4], ARGV[5], 'PX', ARGV[1]) end
redis.call('HDEL', KEYS[2], ARGV[2])
return 1
"""

# KEYS run, the alive keys of the stages that must have finished, every
# other key  ARGV consumer of the caller, number of alive keys
# Removes every key of the run unless a stage other than the caller is alive;
# returns the live consumers.
_CLEANUP = _LIB + """
local now, live = now_ms(), {}
for k = 2, 1 + tonumber(ARGV[2]) do
  local alive = redis.call('HGETALL', KEYS[k])
  for i = 1, #alive, 2 do
    if alive[i] ~= ARGV[1] and tonumber(alive[i + 1]) > now then
      table.insert(live, alive[i])
    end
  end
end
if #live == 0 then redis.call('DEL', unpack(KEYS)) end
return live
"""


class Stalled(Exception):
    """The readers of a port took nothing for too long."""


class Gone(Exception):
    """The keys of the run are gone (flushed, expired or removed)."""


def _result(value: Union[Awaitable[Any], Any]) -> Any:
    """The answer of a command of a synchronous client (redis-py types each
    command's answer as that of a synchronous or an asynchronous client)."""
    if isinstance(value, Awaitable):
        raise TypeError("the ports need a synchronous client (redis.Redis), not an asyncio one")
    return value


def is_gone(exc: BaseException) -> bool:
    text = str(exc)
    return text.startswith("GONE") or "NOGROUP" in text or "no longer exists" in text


class Scripts:
    """The scripts, run by EVALSHA; a server that lost them (a restart,
    SCRIPT FLUSH) gets them again without anyone noticing (redis-py's
    Script reloads on NOSCRIPT; no script runs inside a pipeline, where it
    would not)."""

    step: _Script
    trim: _Script
    set_aside: _Script
    claim: _Script
    deliver: _Script
    state: _Script
    beat: _Script
    finish: _Script
    cleanup: _Script

    def __init__(self, client: "redis.Redis") -> None:
        for name, text in (("step", _STEP), ("trim", _TRIM), ("set_aside", _SET_ASIDE),
                           ("claim", _CLAIM), ("deliver", _DELIVER), ("state", _STATE),
                           ("beat", _BEAT), ("finish", _FINISH), ("cleanup", _CLEANUP)):
            setattr(self, name, _guarded(client.register_script(text)))


def _guarded(script: Any) -> _Script:
    def call(keys: Sequence[str], args: Sequence[_Arg]) -> Any:
        try:
            return script(keys, args)
        except redis.exceptions.ResponseError as exc:
            if is_gone(exc):
                raise Gone(_first_line(exc))
            raise
    return call


def _first_line(exc: BaseException) -> str:
    text = str(exc).split(" script: ")[0]
    return text[5:] if text.startswith("GONE ") else text


class Run:
    """The keys of the run named ``name``, all under the hash tag {name}:
    the streams of ``ports`` (each with its end key and dead letters), the
    run's own hash, each stage's alive key, the step times and the sink's
    record of what it delivered.  ``extra`` names more keys of the run (the
    stages' own, such as the settings the camera publishes), which expire
    and are removed with the others: ``extra[name]`` is the key."""

    STAGES = ("camera", "detector", "sink")

    def __init__(self, client: "redis.Redis", name: str, ports: Iterable[str],
                 keep: float = 3600.0, alive_ttl: float = 3.0,
                 extra: Iterable[str] = ()) -> None:
        self.client, self.name = client, name
        self.prefix = "pemu-demo:{%s}" % name
        self.scripts = Scripts(client)
        self.keep_ms, self.alive_ms = int(keep * 1000), int(alive_ttl * 1000)
        self.key = self.prefix + ":run"
        self.ports = [self.prefix + ":" + p for p in ports]
        self.steps = self.prefix + ":steps"
        self.delivered = self.prefix + ":delivered"
        self.extra = {e: self.prefix + ":" + e for e in extra}

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
        return [_text(c) for c in live]

    def left(self) -> int:
        return sum(_result(self.client.xlen(p)) for p in self.ports)

    def dead_letters(self) -> Dict[str, int]:
        """The dead letters of each port: {port: count}."""
        return {p: _result(self.client.xlen(dead_key(p))) for p in self.ports}

    def dropped(self) -> Dict[str, int]:
        """The entries dropped for freshness on each port: {port: count}."""
        counts = _result(self.client.hmget(self.key, ["dropped:" + p for p in self.ports]))
        return {p: int(n or 0) for p, n in zip(self.ports, counts)}


class Member:
    """Consumer ``consumer`` of stage ``stage`` in ``run``: marks itself
    alive (a field of the stage's alive key, which expires unless refreshed)
    and keeps every key of the run from expiring while it lives.  Only one
    camera can be alive in a run (``exclusive``)."""

    def __init__(self, run: Run, stage: str, consumer: str, exclusive: bool = False) -> None:
        self.run, self.stage, self.consumer = run, stage, consumer
        self.exclusive = exclusive
        self.interval = run.alive_ms / 4000.0
        self.last = 0.0

    def _beat(self, join: bool) -> Any:
        run = self.run
        return run.scripts.beat(
            [run.key, run.alive(self.stage)] + run.keys(),
            [run.keep_ms, self.consumer, run.alive_ms, int(self.exclusive), self.stage,
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
            if _text(answer[0]) == "ok":
                self.last = time.monotonic()
                return
            since: float = answer[2] / 1000.0  # since its last sign of life
            last = time.monotonic() - since
            if first is None:
                first = last
            if last > first + 0.05 or time.monotonic() > deadline:
                raise Busy("a %s (%s) is alive in run %s: give another name with --run"
                           % (self.stage, _text(answer[1]), self.run.name))
            time.sleep(0.05)

    def beat(self) -> None:
        """Refreshes the mark, at most every quarter of its lifetime."""
        now = time.monotonic()
        if now - self.last < self.interval:
            return
        answer = self._beat(False)
        if _text(answer[0]) != "ok":
            raise Busy("another %s (%s) took over run %s"
                       % (self.stage, _text(answer[1]), self.run.name))
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


class Busy(Exception):
    """Another consumer holds what only one may hold."""


def end_key(stream: str) -> str:
    return stream + ":end"


def dead_key(stream: str) -> str:
    return stream + ":dead"


def drop_key(stream: str) -> str:
    return stream + ":drop"


BLOCK, DROP_OLDEST = "block", "drop-oldest"
OVERFLOW: Tuple[str, ...] = (BLOCK, DROP_OLDEST)


def ensure_group(client: "redis.Redis", stream: str, group: str) -> None:
    """Creates ``group`` on ``stream`` (and the stream), reading from its start."""
    try:
        client.xgroup_create(stream, group, id="0", mkstream=True)
    except redis.exceptions.ResponseError as exc:
        if "BUSYGROUP" not in str(exc):
            raise


class Publisher:
    """Appends payloads to ``stream``, read by the consumer groups ``readers``
    (created here, so that nothing is trimmed before a reader has started),
    and holds it to at most ``window`` entries.  ``member`` is refreshed
    while it waits; ``say(text)``, if given, is told once when the readers
    have taken nothing for ``notice`` seconds.  ``overflow`` is the port's
    policy when the window is full: BLOCK waits, DROP_OLDEST drops (see
    above); ``dropped`` counts what this publisher dropped."""

    def __init__(self, run: Run, stream: str, readers: Iterable[str], window: int,
                 stall: float = 30.0, poll: float = 0.002, member: Optional[Member] = None,
                 say: Optional[Callable[[str], None]] = None, notice: float = 5.0,
                 overflow: str = BLOCK) -> None:
        if overflow not in OVERFLOW:
            raise ValueError("overflow must be one of %s" % ", ".join(OVERFLOW))
        self.overflow, self.dropped = overflow, 0
        self.run, self.stream, self.window = run, stream, window
        self.stall, self.poll, self.member = stall, poll, member
        self.say, self.notice = say, notice
        for group in readers:
            ensure_group(run.client, stream, group)
        run.client.pexpire(stream, run.keep_ms)
        self.count = 0

    def publish(self, payload: bytes, frame_id: Union[int, bytes],
                ack: Optional[Tuple["Consumer", str]] = None,
                next_frame: Optional[int] = None) -> Tuple[float, float]:
        """Appends ``payload`` and, in the same script, acknowledges the
        entry ``ack`` = (consumer, entry id) it answers; then waits while the
        port is full.  Returns (seconds publishing, seconds waiting)."""
        started = time.perf_counter()
        keys = [self.run.key, self.stream]
        args: List[_Arg] = [self.run.keep_ms, payload, frame_id, "", "",
                "" if next_frame is None else next_frame]
        if ack is not None:
            keys.append(ack[0].stream)
            args[3:5] = [ack[0].group, ack[1]]
        if self.overflow == DROP_OLDEST:
            keys.append(drop_key(self.stream))
            args.append(self.window)
            length, dropped = self.run.scripts.step(keys, args)
            self.count += 1
            self.dropped += dropped
            return time.perf_counter() - started, 0.0
        length = self.run.scripts.step(keys, args)
        self.count += 1
        published = time.perf_counter()
        self.wait_below(length)
        return published - started, time.perf_counter() - published

    def wait_below(self, length: int) -> None:
        """Waits until the port holds fewer than ``window`` entries."""
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


class Consumer:
    """Consumer ``name`` of group ``group`` on ``stream``.  It claims what
    other consumers of its group left idle for ``claim_idle`` seconds, never
    its own entries (the sink holds some back on purpose), and sets aside
    an entry delivered ``max_deliveries`` times already."""

    def __init__(self, run: Run, stream: str, group: str, name: str, claim_idle: float = 2.0,
                 block: float = 0.5, max_deliveries: int = 3, window: int = 32) -> None:
        self.run, self.client = run, run.client
        self.stream, self.group, self.name = stream, group, name
        self.claim_idle, self.block, self.max_deliveries = claim_idle, block, max_deliveries
        self.claim_count = 2 * window + 16
        ensure_group(self.client, stream, group)
        self.next_claim = time.monotonic()  # a consumer that starts claims at once
        # what a consumer of the same name left pending (a stage restarted
        # with the same process id, as in a container) is taken back first
        self.history = True
        self.reclaimed = self.set_aside_count = 0

    def take(self) -> List[Entry]:
        """The next entries: a list of (entry id, fields, reclaimed), empty
        when nothing came within ``block`` seconds.  Entries another
        consumer has held unacknowledged for ``claim_idle`` seconds are
        claimed first."""
        now = time.monotonic()
        if now >= self.next_claim:
            self.next_claim = now + self.claim_idle / 2
            claimed, dead = self.run.scripts.claim(
                [self.run.key, self.stream, dead_key(self.stream)],
                [self.run.keep_ms, self.group, self.name, int(self.claim_idle * 1000),
                 self.max_deliveries, self.claim_count])
            self.set_aside_count += dead
            claimed = [(_text(i), _fields(f), True) for i, f in claimed]
            if claimed:
                self.reclaimed += len(claimed)
                return claimed
        try:
            if self.history:
                self.history = False
                got = _result(self.client.xreadgroup(self.group, self.name, {self.stream: "0"},
                                                     count=self.claim_count))
                mine = [(_text(i), f, True) for _, entries in got for i, f in entries if f]
                if mine:
                    self.reclaimed += len(mine)
                    return mine
            got = _result(self.client.xreadgroup(self.group, self.name, {self.stream: ">"},
                                                 count=1, block=max(1, int(self.block * 1000))))
        except redis.exceptions.ResponseError as exc:
            if is_gone(exc):
                raise Gone("the keys of the run are gone (%s)" % self.stream)
            raise
        return [(_text(i), f, False) for _, entries in got for i, f in entries]

    def set_aside(self, entry_id: str, error: str) -> None:
        """Moves ``entry_id`` to the port's dead letters with ``error``, and
        acknowledges it, in one step."""
        self.run.scripts.set_aside(
            [self.run.key, self.stream, dead_key(self.stream)],
            [self.run.keep_ms, self.group, entry_id, error[:500], self.name])
        self.set_aside_count += 1

    def deliver(self, entry_id: str, frame_id: int, record: Optional[str]) -> bool:
        """The sink's step: ``record`` stored as frame ``frame_id``'s output
        unless one is there already (or ``record`` is None: a duplicate),
        the entry acknowledged.  True when delivered here."""
        return bool(self.run.scripts.deliver(
            [self.run.key, self.stream, self.run.delivered],
            [self.run.keep_ms, self.group, entry_id, frame_id, record or ""]))

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


def _fields(flat: Sequence[bytes]) -> Dict[bytes, bytes]:
    return {flat[i]: flat[i + 1] for i in range(0, len(flat), 2)}


def _text(value: Union[str, bytes]) -> str:
    return value.decode() if isinstance(value, bytes) else value
