"""The frames' pixels at the sink, only while someone needs them.

A detector's payload carries its findings, not the frame.  While the sink
has a viewer (--view-port) or draws the picture of the run (--report), it
asks for the pixels: it keeps the run's key ``:pixels`` alive (a few
seconds, refreshed), and each detector that sees it forwards the camera's
image text as it came (no decoding, no encoding) under the payload's
"pixels".  Without a viewer nothing is asked and nothing travels.  The
sink decodes a frame's text only when it shows or draws that frame, its
size checked from the image's header first (frame_limit)."""

import collections
import time

from .frame_limit import check_frame

TTL_MS = 3000  # the ask outlives its sink by this much
REFRESH = 1.0  # seconds between refreshes of the ask (the sink's side)
LOOK = 0.5  # seconds between looks at the ask (a detector's side)


def key(run):
    return run.prefix + ":pixels"


class Ask:
    """The sink's side: ``refresh(wanted)`` keeps the ask alive while
    ``wanted`` (or always, with ``always``: the picture needs every part of
    the run), at most once a second; ``close`` withdraws it."""

    def __init__(self, run, always=False):
        self.run, self.always = run, always
        self.asked = 0.0  # monotonic time of the last refresh; 0: not asked

    def refresh(self, wanted=False):
        now = time.monotonic()
        if not (wanted or self.always):
            if self.asked:
                self.close()
            return
        if now - self.asked >= REFRESH:
            self.run.client.set(key(self.run), 1, px=TTL_MS)
            self.asked = now

    def close(self):
        if self.asked:
            self.asked = 0.0
            self.run.client.delete(key(self.run))


class Asked:
    """A detector's side: ``get()`` is True while the run's sink asks for
    the pixels (always, with ``always``: a whole run started with --report),
    looked up at most every half second."""

    def __init__(self, run, always=False):
        self.run, self.always = run, always
        self.value, self.next = always, 0.0

    def get(self):
        if self.always:
            return True
        now = time.monotonic()
        if now >= self.next:
            self.value = bool(self.run.client.exists(key(self.run)))
            self.next = now + LOOK
        return self.value


def forwarded(payload):
    """What a detector forwards of the camera's ``payload`` (a mapping, before
    the envelope decodes its frame): the image text and its form; None
    when it holds no image text."""
    frame = payload.get("frame")
    if not isinstance(frame, str) or not frame:
        return None
    form = payload.get("meta", {}).get("frame_format", {})
    return {"text": frame, "encoder": form.get("encoder"),
            "base64": bool(form.get("with_base64", False))}


def received(meta):
    """The pixels of a detector's payload (its "meta"), checked for their
    kinds, or None when it carries none."""
    pixels = meta.get("pixels")
    if pixels is None:
        return None
    if not (isinstance(pixels, dict) and isinstance(pixels.get("text"), str)
            and pixels.get("encoder") in (None, "jpg", "png")):
        raise ValueError("the pixels are not an image text with its form")
    return {"text": pixels["text"], "encoder": pixels.get("encoder"),
            "base64": bool(pixels.get("base64"))}


def decode(pixels, limit):
    """The frame (a BGR image) of ``pixels``; FrameTooLarge when its header
    says more than ``limit`` = (width, height) of three channels, ValueError
    when it holds no image."""
    from pemu_sdk.redis.utils import str_to_img
    check_frame(pixels["text"], pixels["base64"], limit)
    image = str_to_img(pixels["text"], pixels["encoder"], pixels["base64"])
    if image.ndim == 2 or image.shape[2] != 3:  # grey, or with an alpha channel
        import cv2
        image = cv2.cvtColor(image, cv2.COLOR_GRAY2BGR if image.ndim == 2
                             else cv2.COLOR_BGRA2BGR)
    return image


class Samples:
    """The pixels of frames spread over the records a report keeps (its
    last ``span`` deliveries), for the picture: at most ``size`` frames,
    every ``stride``-th delivery, the stride doubled as a run grows until
    ``size`` samples cover ``span`` (then the oldest give way); besides,
    the slowest frame's.  Bounded: a long run keeps no more than a short
    one."""

    def __init__(self, size=24, span=600):
        self.size, self.most = size, max(1, span // size)
        self.stride = 1
        self.kept = collections.OrderedDict()  # delivery number -> (frame id, pixels)
        self.slowest = (float("-inf"), None, None)  # (latency, frame id, pixels)

    def add(self, count, record, pixels):
        """The pixels of ``record``, delivered ``count``-th here (or None)."""
        if pixels is None:
            return
        if record["latency_ms"] > self.slowest[0]:
            self.slowest = (record["latency_ms"], record["frame_id"], pixels)
        if count % self.stride:
            return
        self.kept[count] = (record["frame_id"], pixels)
        while len(self.kept) > self.size:
            if self.stride < self.most:
                self.stride = min(2 * self.stride, self.most)
                for n in [n for n in self.kept if n % self.stride]:
                    del self.kept[n]
            else:
                self.kept.popitem(last=False)

    def frames(self):
        """{frame id: pixels} of every frame kept."""
        out = {frame_id: pixels for frame_id, pixels in self.kept.values()}
        if self.slowest[1] is not None:
            out[self.slowest[1]] = self.slowest[2]
        return out
