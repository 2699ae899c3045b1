"""The frames that will not come: set aside on a port, or dropped for
freshness."""

from pemu_ports import FRAME, dead_key, drop_key


class DeadLetters:
    """The frames set aside on the run's ports, read as they come (with
    ``key=drop_key, field=FRAME``: the frames dropped for freshness)."""

    def __init__(self, run, key=dead_key, field=b"field:" + FRAME):
        self.client, self.field = run.client, field
        self.last = {key(p): "0-0" for p in run.ports}
        self.frames = set()
        self.next = 0.0  # when the sink looks again

    def read(self, count=256):
        """Reads what was set aside since the last call; returns the new
        frame ids."""
        new = []
        got = self.client.xread(self.last, count=count) or []
        for stream, entries in got:
            for entry_id, fields in entries:
                self.last[stream.decode()] = entry_id.decode()
                frame = fields.get(self.field)
                try:
                    frame_id = int(frame)
                except (TypeError, ValueError):
                    continue  # not one of the camera's frames
                if frame_id not in self.frames:
                    self.frames.add(frame_id)
                    new.append(frame_id)
        if any(len(entries) == count for _, entries in got):
            new += self.read(count)  # more than a batch: the rest
        return new


class Missing:
    """The frames that will not come: set aside or dropped for freshness."""

    def __init__(self, run):
        self.readers = (DeadLetters(run), DeadLetters(run, key=drop_key, field=FRAME))
        self.next = 0.0

    def read(self):
        return [f for reader in self.readers for f in reader.read()]

    @property
    def frames(self):
        return self.readers[0].frames | self.readers[1].frames
