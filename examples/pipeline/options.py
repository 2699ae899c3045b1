"""What one run does: the options of the command line."""

from typing import Optional

from pemu_ports import BLOCK, DROP_OLDEST

from .sources import is_live


class Options:
    """What one run does; the command line fills it.

    ``window`` bounds the entries each port holds, ``reorder`` the frames the
    sink holds back to restore their order, ``claim_idle`` is the time after
    which an entry a consumer took and did not acknowledge is claimed by
    another, ``stall`` the time without progress after which a stage gives
    up, ``max_deliveries`` the deliveries after which an entry is set aside,
    ``keep`` the seconds the keys of a run outlive its last stage,
    ``alive_ttl`` the lifetime of a stage's sign of life.

    ``source`` names the camera's source (None: the synthetic scene; see
    sources.py), ``frames`` None reads it to its end; ``overflow`` is the
    ports' policy (None: drop-oldest for a live source, block otherwise);
    ``detector`` is "shapes" or "motion" (None: shapes for the scene, motion
    for footage); ``max_frame`` = (width, height) is the largest frame a
    stage decodes (None: twice each side of the camera's frames, or
    frame_limit.MAX_SIDE square for a source); ``detect_delay`` seconds are
    added to each detection (a slow detector, on purpose); ``metrics`` =
    (host, port) serves each stage's metrics, the stages of a whole run on
    consecutive ports from there (camera, detectors, sink).  ``view`` =
    (host, port) makes the sink serve the live view there, at most
    ``view_fps`` frames a second; ``picture``: the sink keeps frames for the
    picture of the run (--report), and the detectors forward every frame's
    pixels (pixels.py), not only while the sink has a viewer.
    """

    def __init__(self, frames: Optional[int] = 150, fps=15.0, width=640, height=480,
                 encoder="jpg", with_base64=False, stall=30.0, detectors=2, kill_detector=None,
                 window=32, reorder=31, claim_idle=2.0, name=None, max_deliveries=3,
                 keep=3600.0, alive_ttl=3.0, source=None, overflow=None, detector=None,
                 detect_delay=0.0, metrics=None, max_frame=None, view=None, view_fps=10.0,
                 picture=False):
        self.frames, self.fps = frames, fps
        self.width, self.height = width, height
        self.encoder, self.with_base64 = encoder, with_base64
        self.stall = stall
        self.detectors, self.kill_detector = detectors, kill_detector
        self.window, self.reorder, self.claim_idle = window, reorder, claim_idle
        self.name = name
        self.max_deliveries, self.keep, self.alive_ttl = max_deliveries, keep, alive_ttl
        self.source = source
        self.overflow = overflow or (DROP_OLDEST if is_live(source) else BLOCK)
        self.detector = detector or ("shapes" if source in (None, "scene", "scene:live")
                                     else "motion")
        self.detect_delay, self.metrics = detect_delay, metrics
        self.max_frame = max_frame
        self.view, self.view_fps, self.picture = view, view_fps, picture
        self.metrics_offset = 0  # this stage's port: metrics[1] + offset

    def metrics_at(self):
        """Where this stage serves its metrics: (host, port) or None."""
        if self.metrics is None:
            return None
        host, port = self.metrics
        return host, (port + self.metrics_offset if port else 0)
