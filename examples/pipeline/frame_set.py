"""Sets of frame ids that stay small however long the run: frames come
nearly in order, so a watermark (every frame below it is in) and the few
above it stand for them."""


class FrameSet:
    """Frame ids, as a watermark ``low`` (every id below it is in) and the
    ids above it.  When more than ``span`` ids wait above a gap, the
    watermark moves past the gap: ids that far behind count as in."""

    def __init__(self, low=0, ids=(), span=4096):
        self.low, self.span = low, span
        self.above = {i for i in ids if i >= low}
        self._compact()

    def __contains__(self, frame_id):
        return frame_id < self.low or frame_id in self.above

    def __len__(self):
        """The ids kept (not the ids in the set)."""
        return len(self.above)

    def add(self, frame_id):
        """Adds ``frame_id``; False when it was in already."""
        if frame_id in self:
            return False
        self.above.add(frame_id)
        self._compact()
        return True

    def copy(self):
        return FrameSet(self.low, self.above, self.span)

    def _compact(self):
        while True:
            while self.low in self.above:
                self.above.discard(self.low)
                self.low += 1
            if len(self.above) <= self.span:
                return
            self.low = min(self.above)


class RecentIds:
    """The frame ids added within the last ``horizon`` ids of the highest:
    exact for a run of fewer frames, the older ones forgotten (no longer
    in) after that.  It forgets each time the highest has moved on by a
    horizon, so it holds ids of at most twice ``horizon`` frames (a live
    run at 30 fps reaches that within its first minute or so, then stays
    flat), and never more than four times ``horizon`` ids whatever the order
    they come in."""

    def __init__(self, horizon=1024):
        self.horizon, self.ids, self.top = horizon, set(), -1
        self.forgot = -1  # the highest id when it last forgot

    def __contains__(self, frame_id):
        return frame_id in self.ids

    def add(self, frame_id):
        self.ids.add(frame_id)
        self.top = max(self.top, frame_id)
        if self.top - self.forgot >= self.horizon or len(self.ids) > 4 * self.horizon:
            floor = self.top - self.horizon
            self.ids = {i for i in self.ids if i > floor}
            self.forgot = self.top
