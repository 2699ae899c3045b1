"""What a consumer does while it has nothing to take."""

import time

from .failures import Upstream


class Waiting:
    """What a consumer does when it has nothing to take: upstream gone (seen
    once, no longer alive) for ``grace`` seconds is an Upstream failure; an
    upstream never seen is said once after ``notice`` seconds (``say``)."""

    def __init__(self, what, run_name, grace, notice=5.0, say=None):
        self.what, self.run_name, self.grace = what, run_name, grace
        self.notice, self.say = notice, say
        self.gone_since = None
        self.idle_since = time.monotonic()
        self.said = False

    def busy(self):
        self.gone_since = None
        self.idle_since = time.monotonic()

    def idle(self, left, live, seen):
        now = time.monotonic()
        if seen and live == 0 and not left:
            if self.gone_since is None:
                self.gone_since = now
            elif now - self.gone_since > self.grace:
                raise Upstream("the %s of run %s %s gone and left nothing to take"
                               % (self.what, self.run_name,
                                  "is" if self.what == "camera" else "are"))
        else:
            self.gone_since = None
        if (not seen and not self.said and self.say is not None
                and now - self.idle_since > self.notice):
            self.said = True
            self.say("waiting for the %s of run %s to start" % (self.what, self.run_name))
