"""The largest frame a stage decodes, checked from the image's header
before anything is decoded: a small payload can hold an image that decodes
to gigabytes.

A frame travels as the text form (base64 or base85) of a JPEG or PNG
image, under the payload's "frame".  Only the first bytes of the image
are decoded from the text, as many as its header takes."""

import base64
import binascii
import json
import struct

MAX_SIDE = 4096  # the longest frame side the codec and the detector are run with
FIRST = 320  # characters of image text decoded first; eight times more while needed
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


def _decoders():
    def b64(text):
        return base64.b64decode(text[:len(text) // 4 * 4], validate=True)

    def b85(text):
        return base64.b85decode(text)
    return b64, b85


def header_size(raw):
    """(width, height, bytes per pixel decoded) from the start of a JPEG
    or PNG image; None when more bytes are needed; ValueError when ``raw``
    starts no JPEG or PNG image, or its header says no size."""
    if raw.startswith(PNG):
        if len(raw) < 26:
            return None
        if raw[12:16] != b"IHDR":
            raise ValueError("a PNG image without its header")
        width, height, depth, color = struct.unpack(">IIBB", raw[16:26])
        return width, height, PNG_CHANNELS.get(color, 4) * (2 if depth == 16 else 1)
    if not raw.startswith(JPEG):
        if len(raw) < len(PNG) and (PNG.startswith(raw) or JPEG.startswith(raw[:2])):
            return None
        raise ValueError("not a JPEG or PNG image")
    at = 2
    while True:
        while at < len(raw) and raw[at] == 0xFF and at + 1 < len(raw) and raw[at + 1] == 0xFF:
            at += 1  # fill bytes
        if at + 4 > len(raw):
            return None
        if raw[at] != 0xFF:
            raise ValueError("a JPEG image with a broken header")
        marker = raw[at + 1]
        if marker in BARE:
            at += 2
            continue
        if marker in (0xDA, 0xD9):
            raise ValueError("a JPEG image without its frame size")
        length = struct.unpack(">H", raw[at + 2:at + 4])[0]
        if marker in SOF:
            if at + 10 > len(raw):
                return None
            depth, height, width, channels = struct.unpack(">BHHB", raw[at + 4:at + 10])
            return width, height, channels * (2 if depth > 8 else 1)
        at += 2 + length


def image_size(text):
    """(width, height, bytes per pixel) of the image whose text form is
    ``text``, decoding no more of it than its header needs; None when the
    text is neither form of a JPEG or PNG image (the codec says why)."""
    for decode in _decoders():
        n = FIRST
        while True:
            try:
                size = header_size(decode(text[:n]))
            except (binascii.Error, ValueError):
                break
            if size is not None:
                return size
            if n >= len(text):
                break
            n *= 8
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
