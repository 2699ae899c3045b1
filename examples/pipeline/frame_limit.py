"""The largest frame a stage decodes, checked from the image's header
before anything is decoded: a small payload can hold an image that decodes
to gigabytes.

A frame travels as the text form (base64 or base85) of a JPEG or PNG
image, under the payload's "frame".  Only the characters that hold the
header's fields are decoded: a few groups of the text, wherever the
header's segments put them."""

import base64
import json
import struct

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


def _readers(text):
    """Readers of the image held by ``text`` in base64 and in base85:
    ``read(at, n)`` gives its ``n`` bytes from offset ``at`` (fewer at its
    end), decoding only the groups of characters that hold them (binascii.Error
    or ValueError when those are not of the form)."""
    def b64(at, n):
        first, last = at // 3, -(-(at + n) // 3)
        chunk = text[4 * first:4 * last]
        raw = base64.b64decode(chunk[:len(chunk) // 4 * 4], validate=True)
        return raw[at - 3 * first:at - 3 * first + n]

    def b85(at, n):
        first, last = at // 4, -(-(at + n) // 4)
        return base64.b85decode(text[5 * first:5 * last])[at - 4 * first:at - 4 * first + n]
    return b64, b85


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
        mark = read(at, 4)
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
            frame = read(at + 4, 6)
            if len(frame) < 6:
                raise ValueError("a JPEG image with a broken header")
            depth, height, width, channels = struct.unpack(">BHHB", frame)
            return width, height, channels * (2 if depth > 8 else 1)
        else:
            at += 2 + struct.unpack(">H", mark[2:])[0]
    raise ValueError("a JPEG image whose header has more than %d segments" % MAX_SEGMENTS)


def image_size(text):
    """(width, height, bytes per pixel) of the image whose text form is
    ``text``, decoding only the few characters its header takes; None when
    the text is neither form of a JPEG or PNG image (the codec says why)."""
    for read in _readers(text):
        try:
            return header_size(read)
        except ValueError:  # binascii.Error is one
            pass
    return None


def check_payload(text, limit):
    """What the envelope is to parse of payload ``text`` (JSON bytes): the
    payload read once, as a mapping, when its frame is within ``limit`` =
    (width, height) of three channels; ``text`` itself when it is no JSON
    object, for the envelope to refuse in its own words.  Raises
    FrameTooLarge when the frame would decode to more, or is not a JPEG or
    PNG image."""
    try:
        payload = json.loads(text.decode("utf-8") if isinstance(text, bytes) else text)
    except ValueError:  # no JSON, or no UTF-8 (UnicodeDecodeError is one)
        return text
    if not isinstance(payload, dict):
        return text
    frame = payload.get("frame")
    if not isinstance(frame, str) or not frame:
        return payload
    size = image_size(frame)
    if size is None:
        raise FrameTooLarge("the frame is not a JPEG or PNG image in base64 or base85")
    width, height, per_pixel = size
    if width * height * per_pixel > limit[0] * limit[1] * 3:
        raise FrameTooLarge("frame of %dx%d exceeds the limit of %dx%d (--max-frame)"
                            % (width, height, limit[0], limit[1]))
    return payload


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
