"""Where the camera stage's frames come from, and the detector for real
footage.

``--source`` names a video file, a stream URL (``rtsp://``, ``http://``...,
opened by OpenCV) or a capture device index; without it the camera draws the
synthetic scene.  A source is recorded (a file, the scene) or live (a
stream, a device, ``scene:live``): a recorded source can be held back, so
its port blocks when full by default; a live one cannot, so its port drops
the oldest frames by default.

Every source gives frames as (frame id, image, capture time, truth): ids
count from 0 in the order the source delivers them, the capture time is the
wall-clock time the frame was read (for ``scene:live``, the time it was due:
a live camera's frames exist whether or not anyone takes them), the truth is
what the scene drew (nothing for real footage).
"""

import os
import re
import time

# The stage says in one line why a source failed; the video library's own
# messages (to stderr, several per failure: its log and its FFmpeg's) are
# silenced, unless asked for.  Its log level is read at import, FFmpeg's
# when the first capture opens.
os.environ.setdefault("OPENCV_FFMPEG_LOGLEVEL", "-8")
os.environ.setdefault("OPENCV_LOG_LEVEL", "SILENT")

import cv2  # noqa: E402
import numpy as np  # noqa: E402

from .frames import Scene  # noqa: E402
from .urls import shown  # noqa: E402

SCENE, SCENE_LIVE = "scene", "scene:live"
MAX_DEVICE = 99  # the highest capture device index taken (OpenCV reads more as a backend)


class SourceStopped(Exception):
    """A live source stopped delivering frames."""


class SourceError(Exception):
    """A source that cannot be opened."""


def kind(name):
    """'scene', 'scene:live', 'device', 'stream' or 'file' for ``name``."""
    if name in (None, SCENE):
        return SCENE
    if name == SCENE_LIVE:
        return SCENE_LIVE
    if re.fullmatch(r"[0-9]+", name):  # ASCII digits only: int() reads any script's
        return "device"
    if "://" in name:
        return "stream"
    return "file"


def is_live(name):
    return kind(name) in ("device", "stream", SCENE_LIVE)


class SceneSource:
    """The synthetic scene: ``frames`` frames from ``first``, paced at
    ``fps`` (as fast as taken when 0).  Live, frames are stamped with the
    time they were due, so that a camera held back publishes them late."""

    def __init__(self, width, height, frames, fps, first=0, live=False):
        self.scene = Scene(width, height)
        self.frames, self.fps, self.live = frames, fps, live
        self.next = first
        self.first = first
        self.started = time.monotonic()
        self.offset = time.time() - self.started  # monotonic to wall clock
        self.width, self.height = width, height

    def pace(self):
        """Sleeps until the next frame is due."""
        if self.fps > 0:
            delay = self.started + (self.next - self.first) / self.fps - time.monotonic()
            if delay > 0:
                time.sleep(delay)

    def read(self):
        """The next (frame id, image, capture time, truth), None at the end."""
        i = self.next
        if self.frames is not None and i >= self.frames:
            return None
        captured = time.time()
        if self.fps > 0 and self.live:
            captured = self.started + (i - self.first) / self.fps + self.offset
        image, truth = self.scene.frame(i, captured)
        self.next += 1
        return i, image, captured, truth

    def close(self):
        pass


class VideoSource:
    """Frames from OpenCV's VideoCapture: a file (whose end ends the run), a
    stream URL or a device (which end the camera with one line when they
    stop delivering).  ``frames`` bounds the frames read; ``first`` is the
    frame id to start at (a camera restarted in a run: a file is sought
    there, a live source just goes on counting from it).  ``fps`` paces a
    file (0: as fast as the pipeline takes it); a live source paces itself.
    ``timeout`` bounds opening a stream and waiting for one of its frames."""

    def __init__(self, name, frames=None, first=0, fps=0.0, timeout=10.0):
        self.name, self.kind = name, kind(name)
        self.live = self.kind != "file"
        self.frames, self.fps = frames, fps if not self.live else 0.0
        params = []
        for prop, value in (("CAP_PROP_OPEN_TIMEOUT_MSEC", timeout),
                            ("CAP_PROP_READ_TIMEOUT_MSEC", timeout)):
            if hasattr(cv2, prop) and self.kind == "stream":
                params += [getattr(cv2, prop), int(value * 1000)]
        target = int(name) if self.kind == "device" else name
        self.capture = (cv2.VideoCapture(target, cv2.CAP_ANY, params) if params
                        else cv2.VideoCapture(target))
        if not self.capture.isOpened():
            raise SourceError("cannot open the video source %s" % shown(name))
        self.first = self.next = first
        if first and not self.live:
            self.capture.set(cv2.CAP_PROP_POS_FRAMES, first)
        self.started = time.monotonic()
        self.width = int(self.capture.get(cv2.CAP_PROP_FRAME_WIDTH))
        self.height = int(self.capture.get(cv2.CAP_PROP_FRAME_HEIGHT))

    pace = SceneSource.pace

    def read(self):
        i = self.next
        if self.frames is not None and i >= self.frames:
            return None
        ok, image = self.capture.read()
        captured = time.time()
        if not ok or image is None:
            if self.live:
                raise SourceStopped("the video source %s stopped delivering after frame %d"
                                    % (shown(self.name), i - 1))
            return None
        self.next += 1
        return i, image, captured, []

    def close(self):
        self.capture.release()


def open_source(name, width, height, frames, fps, first=0):
    """The source called ``name`` (None: the synthetic scene)."""
    k = kind(name)
    if k in (SCENE, SCENE_LIVE):
        return SceneSource(width, height, frames, fps, first, live=k == SCENE_LIVE)
    return VideoSource(name, frames, first, fps)


class MotionFinder:
    """Moving objects in any footage, without model files: a background
    model (OpenCV's mixture of Gaussians) learnt from the frames this
    detector sees, its foreground cleaned of specks and shadows, and each
    region larger than ``min_share`` of the frame boxed.  Each detector
    process learns its own model from its share of the frames; the first
    few frames of a run find little, while the model forms."""

    def __init__(self, history=200, min_share=1 / 400.0):
        self.model = cv2.createBackgroundSubtractorMOG2(history=history, detectShadows=True)
        self.kernel = cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (5, 5))
        self.min_share = min_share

    def __call__(self, image):
        mask = self.model.apply(image)
        _, mask = cv2.threshold(mask, 200, 255, cv2.THRESH_BINARY)  # shadows are 127
        mask = cv2.morphologyEx(mask, cv2.MORPH_OPEN, self.kernel)
        mask = cv2.dilate(mask, self.kernel, iterations=2)
        contours = cv2.findContours(mask, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)[-2]
        min_area = self.min_share * image.shape[0] * image.shape[1]
        found = []
        for contour in contours:
            x, y, w, h = cv2.boundingRect(contour)
            area = int(np.count_nonzero(mask[y:y + h, x:x + w]))
            if area >= min_area:
                found.append({"label": "moving", "center": [x + w // 2, y + h // 2],
                              "box": [x, y, w, h], "area": area})
        found.sort(key=lambda s: -s["area"])
        return found
