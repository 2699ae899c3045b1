"""The time a stage spends per step."""

import json

from pemu_sdk.redis import utils

from . import metrics as stage_metrics


class Steps:
    """Seconds spent per step, summed over the frames of one stage, with the
    codec's own steps folded in."""

    def __init__(self, metrics=None):
        self.total, self.codec, self.frames = {}, {}, 0
        self.metrics = metrics or stage_metrics.NoMetrics()
        utils.collect_step_times(self.codec)

    def add(self, step, seconds):
        self.total[step] = self.total.get(step, 0.0) + seconds
        self.metrics.step(step, seconds)

    def take_codec(self):
        """The codec's seconds since the last call, moved into the totals."""
        seconds = sum(self.codec.values())
        for step, value in self.codec.items():
            self.add("text" if step == "untext" else step, value)
        self.codec.clear()
        return seconds

    def json(self):
        return json.dumps(dict(self.total, frames=self.frames))
