"""The frames that will not come: set aside on a port, or dropped for
freshness, by the run's own group of the port."""

from pemu_ports import FRAME, dead_key, drop_key

from .frame_set import RecentIds
from .runs import READERS


class DeadLetters:
    """The frames the run's own groups set aside on its ports, read as they
    come (with ``key=drop_key, field=FRAME``: the frames dropped for them for
    freshness).  Entries of other groups of a port are passed over.  The
    logs keep only their last entries: ``unseen`` tells how many of the
    exact counts were trimmed before they were read here.  ``frames`` keeps
    the recent frame ids read (all of a short run; a live run drops without
    end), ``count`` the frames read in all."""

    def __init__(self, run, key=dead_key, field=b"field:" + FRAME):
        self.client, self.field = run.client, field
        self.ports = {key(p): p for p in run.ports}
        self.groups = {key(p): g.encode() for p, g in zip(run.ports, READERS)}
        self.last = {k: "0-0" for k in self.ports}
        self.entries = {k: 0 for k in self.ports}  # entries of the run's groups read
        self.frames = RecentIds()
        self.count = 0  # frames read, each once

    def read(self, count=256):
        """Reads what was logged since the last call, a batch at a time;
        returns the new frame ids."""
        new = []
        while True:
            got = self.client.xread(self.last, count=count) or []
            for stream, entries in got:
                log = stream.decode()
                for entry_id, fields in entries:
                    self.last[log] = entry_id.decode()
                    # an entry without a group was logged before groups were
                    if fields.get(b"group", self.groups[log]) != self.groups[log]:
                        continue
                    self.entries[log] += 1
                    frame = fields.get(self.field)
                    try:
                        frame_id = int(frame)
                    except (TypeError, ValueError):
                        continue  # not one of the camera's frames
                    if frame_id not in self.frames:
                        self.frames.add(frame_id)
                        self.count += 1
                        new.append(frame_id)
            if not any(len(entries) == count for _, entries in got):
                return new

    def unseen(self, counts):
        """Of ``counts`` ({port: exact count for the run's group}), the
        entries trimmed from the logs before they were read here."""
        return sum(max(0, counts.get(self.ports[k], 0) - n) for k, n in self.entries.items())


class Missing:
    """The frames that will not come: set aside or dropped for freshness."""

    def __init__(self, run):
        self.set_aside = DeadLetters(run)
        self.dropped = DeadLetters(run, key=drop_key, field=FRAME)
        self.next = 0.0  # when the sink looks again

    def read(self):
        return self.set_aside.read() + self.dropped.read()

    @property
    def frames(self):
        """The recent frames of both."""
        return self.set_aside.frames.ids | self.dropped.frames.ids
