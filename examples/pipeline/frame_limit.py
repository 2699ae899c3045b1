"""The largest frame a stage decodes, checked from the image's header
before anything is decoded: a small payload can hold an image that decodes
to gigabytes.

A frame travels as the text form (base64 or base85) of a JPEG or PNG
image, under the payload's "frame".  Only the characters that hold the
header's fields are decoded: a few groups of the text, wherever the
header's segments put them."""

import base64
import contextlib
import struct
from typing import Any, Callable, Dict, List, Tuple

from pemu_sdk.redis import pemu_data

MAX_SIDE = 4096  # the longest frame side the codec and the detector are run with
MAX_SEGMENTS = 1024  # segments of a JPEG header walked before its frame size
PNG = b"\x89PNG\r\n\x1a\n"
JPEG = b"\xff\xd8"
# the JPEG markers that start a frame (its size); those without a length
SOF = {0xC0, 0xC1, 0xC2, 0xC3, 0xC5, 0xC6, 0xC7, 0xC9, 0xCA, 0xCB, 0xCD, 0xCE, 0xCF}
BARE = set(range(0xD0, 0xD8)) | {0x01}
PNG_CHANNELS = {0: 1, 2: 3, 3: 3, 4: 2, 6: 4}


class FrameTooLarge(ValueError):
    """A frame refused before decoding."""


def default_limit(settings):
    """(width, height) of the largest frame of a run: twice each side of
    the camera's frames (``settings`` as runs.read_settings has them), or
    the largest frame the demo makes when the camera reads a source (its
    frames as read: their size is not known) or published no settings."""
    if settings is None or settings["source"] not in (None, "scene", "scene:live"):
        return MAX_SIDE, MAX_SIDE
    return 2 * settings["width"], 2 * settings["height"]


class _Reader:
    """``read(at, n)``: the ``n`` bytes from offset ``at`` (fewer at its end)
    of the image held by ``text`` in base64 (``with_base64``) or base85,
    decoding only the groups of characters that hold them (ValueError when
    those are not of the form).  It notes the characters it looked at
    (``span``) and whether it reached the end of the text (``ended``)."""

    def __init__(self, text, with_base64):
        self.text, self.span, self.ended = text, 0, False
        # characters and bytes per group, and the group decoder
        self.chars, self.size, self.decode = (
            (4, 3, lambda chunk: base64.b64decode(chunk, validate=True)) if with_base64
            else (5, 4, base64.b85decode))

    def __call__(self, at, n):
        first, last = at // self.size, -(-(at + n) // self.size)
        chunk = self.text[self.chars * first:self.chars * last]
        self.span = max(self.span, self.chars * last)
        if len(chunk) < self.chars * (last - first):
            self.ended = True
            chunk = chunk[:len(chunk) // self.chars * self.chars] if self.chars == 4 else chunk
        start = at - self.size * first
        return self.decode(chunk)[start:start + n]


def header_size(read):
    """(width, height, bytes per pixel decoded) of a JPEG or PNG image
    whose bytes ``read(at, n)`` gives; ValueError when they start no JPEG or
    PNG image, or its header is cut short or says no size."""
    head = read(0, 26)
    if head.startswith(PNG):
        if len(head) < 26 or head[12:16] != b"IHDR":
            raise ValueError("a PNG image without its header")
        width, height, depth, color = struct.unpack(">IIBB", head[16:26])
        return width, height, PNG_CHANNELS.get(color, 4) * (2 if depth == 16 else 1)
    if not head.startswith(JPEG):
        raise ValueError("not a JPEG or PNG image")
    at = 2
    for _ in range(MAX_SEGMENTS):  # a JPEG header has a few dozen at most
        mark = read(at, 10)  # a marker, its length and what a frame's size takes
        if len(mark) < 4 or mark[0] != 0xFF:
            raise ValueError("a JPEG image with a broken header")
        marker = mark[1]
        if marker == 0xFF:  # a fill byte
            at += 1
        elif marker in BARE:
            at += 2
        elif marker in (0xDA, 0xD9):
            raise ValueError("a JPEG image without its frame size")
        elif marker in SOF:
            if len(mark) < 10:
                raise ValueError("a JPEG image with a broken header")
            depth, height, width, channels = struct.unpack(">BHHB", mark[4:10])
            return width, height, channels * (2 if depth > 8 else 1)
        else:
            at += 2 + struct.unpack(">H", mark[2:4])[0]
    raise ValueError("a JPEG image whose header has more than %d segments" % MAX_SEGMENTS)


# The header last read in each text form, as (the characters it was read
# from, its size): the frames of a run share theirs, so a frame whose text
# starts with the same characters has the same size.  Only a header read
# without reaching the end of its text is kept: what it read depends on
# those characters alone.
_last: Dict[bool, Tuple[str, Tuple[int, int, int]]] = {}


def image_size(text, with_base64):
    """(width, height, bytes per pixel) of the image whose text form
    (base64 or base85, as ``with_base64`` says) is ``text``, decoding only
    the few characters its header takes; ValueError when the text holds no
    JPEG or PNG image."""
    form = bool(with_base64)
    known = _last.get(form)
    if known is not None and text.startswith(known[0]):
        return known[1]
    read = _Reader(text, form)
    size = header_size(read)
    if not read.ended:
        _last[form] = (text[:read.span], size)
    return size


def check_frame(text, with_base64, limit):
    """Raises FrameTooLarge unless ``text``, the text form of a frame,
    holds a JPEG or PNG image within ``limit`` = (width, height) of three
    channels."""
    if isinstance(text, (bytes, bytearray)):
        text = text.decode("latin-1")
    try:
        if not isinstance(text, str):
            raise ValueError("not text")
        width, height, per_pixel = image_size(text, with_base64)
    except ValueError:  # binascii.Error is one
        raise FrameTooLarge("the frame is not a JPEG or PNG image in %s"
                            % ("base64" if with_base64 else "base85")) from None
    if width * height * per_pixel > limit[0] * limit[1] * 3:
        raise FrameTooLarge("frame of %dx%d exceeds the limit of %dx%d (--max-frame)"
                            % (width, height, limit[0], limit[1]))


# the functions that give the limits of the stages running here, and the
# wrapper that checks frames against the last
_limits: List[Callable[[], Tuple[int, int]]] = []
_wrappers: List[Callable[..., Any]] = []


@contextlib.contextmanager
def guarded(limit):
    """Within it, the envelopes of this process check each frame against
    ``limit()`` = (width, height) before they decode it: their module's
    frame decoder (which they look up at each call) is wrapped, once, and
    the wrapper raises FrameTooLarge, which the envelope passes on, instead
    of decoding a frame too large.  The payload is read once, by the
    envelope, and the frame checked in the text form it decodes."""
    if pemu_data.str_to_img not in _wrappers:
        decode = pemu_data.str_to_img

        def str_to_img(img_as_str, encoder=None, with_base64=False):
            if _limits:
                check_frame(img_as_str, with_base64, _limits[-1]())
            return decode(img_as_str=img_as_str, encoder=encoder, with_base64=with_base64)
        _wrappers.append(str_to_img)
        pemu_data.str_to_img = str_to_img
    _limits.append(limit)
    try:
        yield
    finally:
        _limits.remove(limit)


class Limit:
    """The largest frame a stage of a run decodes: ``max_frame`` (width,
    height) when given, else default_limit of the settings the camera
    published, read once they are there."""

    def __init__(self, run, max_frame=None):
        self.run, self.value = run, max_frame
        self.known = max_frame is not None

    def get(self):
        if not self.known:
            from .runs import read_settings
            settings = read_settings(self.run)
            self.value, self.known = default_limit(settings), settings is not None
        return self.value
