"""Image codec used by the payload envelopes: frames to text and back.

A frame is an OpenCV image array.  Its text form is the encoded image
(JPG or PNG) written either as base64 text or, when base64 is not asked for,
as base85 text; both are plain ASCII, so they survive JSON and Redis.

The base85 text is the standard library's form (``base64.b85encode`` without
padding, so ``base64.b85decode`` reads it and the other way round), computed
here with NumPy a whole array at a time: the standard library does it one
character at a time in Python on 3.7, which costs several times the JPEG
coding of a frame.

``collect_step_times(times)`` makes the codec add the seconds it spends in
each step to the dict ``times``: "encode" and "decode" (the image encoding),
"text" and "untext" (the text form).  The pipeline demo reports them.

NumPy and OpenCV are imported when a codec function first needs them, so
this module, and the envelope module that imports names from it, load
without them.
"""

import base64
import binascii
import time

_B85_ALPHABET = (b"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                 b"abcdefghijklmnopqrstuvwxyz!#$%&()*+-;<=>?@^_`{|}~")
_steps = None  # a dict that collects the seconds of each codec step, or None


class Encoder:
    """Image encodings.  The values are strings so that they survive JSON."""

    JPG = "jpg"
    PNG = "png"


_ENCODINGS = (Encoder.JPG, Encoder.PNG)


def _cv2():
    """Returns (cv2, numpy), importing them on first use."""
    try:
        import numpy
    except ImportError as exc:
        raise ImportError(
            "the image codec needs NumPy: pip install numpy") from exc
    try:
        import cv2
    except ImportError as exc:
        raise ImportError(
            "the image codec needs OpenCV: pip install opencv-python-headless"
        ) from exc
    return cv2, numpy


def _encoding(encoder):
    # A payload that names no encoder was made with the default one.
    if encoder is None:
        return Encoder.JPG
    if encoder not in _ENCODINGS:
        raise ValueError("unknown image encoder: %r" % (encoder,))
    return encoder


def _encode(image, encoder):
    cv2, _ = _cv2()
    ok, buffer = cv2.imencode("." + _encoding(encoder), image)
    if not ok:
        raise ValueError("the image could not be encoded as %s" % encoder)
    return buffer.tobytes()


def _decode(raw):
    cv2, numpy = _cv2()
    image = cv2.imdecode(numpy.frombuffer(raw, dtype=numpy.uint8),
                         cv2.IMREAD_UNCHANGED)
    if image is None:
        raise ValueError("the image text does not hold an encoded image")
    return image


def collect_step_times(times):
    """From now on, adds the seconds of each codec step to ``times[step]``
    (``None``: stop)."""
    global _steps
    _steps = times


def _add_step(step, started):
    _steps[step] = _steps.get(step, 0.0) + time.perf_counter() - started


# bytes.translate tables: digit value -> character, character -> digit value
# (255 for a character outside the alphabet)
_B85_CHARS = _B85_ALPHABET + bytes(256 - 85)
_B85_DIGITS = bytes(_B85_ALPHABET.index(c) if c in _B85_ALPHABET else 255 for c in range(256))
# w // 85 == (w * _DIV85) >> 38 for every w below 2**32 (and the product fits in 64 bits)
_DIV85 = 3233857729


def b85encode(raw):
    """``base64.b85encode(raw)`` (no padding): ASCII bytes."""
    _, numpy = _cv2()
    raw = bytes(raw)
    padding = -len(raw) % 4
    if padding:
        raw += bytes(padding)
    words = numpy.frombuffer(raw, dtype=">u4").astype(numpy.uint64)
    digits = numpy.empty((len(words), 5), dtype=numpy.uint8)
    div, shift, base = numpy.uint64(_DIV85), numpy.uint64(38), numpy.uint64(85)
    for place in (4, 3, 2, 1):
        quotient = (words * div) >> shift
        digits[:, place] = words - quotient * base
        words = quotient
    digits[:, 0] = words
    text = digits.tobytes().translate(_B85_CHARS)
    return text[:len(text) - padding] if padding else text


def b85decode(text):
    """``base64.b85decode(text)``: the bytes of base85 text (str or bytes),
    with the standard library's errors (ValueError) for bad text."""
    _, numpy = _cv2()
    if isinstance(text, str):
        text = text.encode("ascii")
    digits = (text if isinstance(text, bytes) else bytes(text)).translate(_B85_DIGITS)
    bad = digits.find(b"\xff")
    if bad >= 0:
        raise ValueError("bad base85 character at position %d" % bad)
    padding = -len(digits) % 5
    if padding:
        digits += b"\x54" * padding  # the digit of "~", as b85decode pads
    groups = numpy.frombuffer(digits, dtype=numpy.uint8).reshape(-1, 5)
    # Horner's rule in 64 bits, element-wise (a matrix product would go
    # through BLAS, whose threads cost more than they save on a busy machine)
    words = groups[:, 0].astype(numpy.uint64)
    base = numpy.uint64(85)
    for place in range(1, 5):
        words *= base
        words += groups[:, place]
    over = numpy.flatnonzero(words > numpy.uint64(0xFFFFFFFF))
    if len(over):
        raise ValueError("base85 overflow in hunk starting at byte %d" % (over[0] * 5))
    raw = words.astype(">u4").tobytes()
    return raw[:len(raw) - padding] if padding else raw


def _ascii(text):
    if isinstance(text, str):
        return text.encode("ascii")
    return bytes(text)


def img_to_str(image, encoder=Encoder.JPG, with_base64=False):
    """Encodes a frame and returns its text form."""
    if _steps is not None:
        started = time.perf_counter()
        raw = _encode(image, encoder)
        _add_step("encode", started)
        started = time.perf_counter()
        text = _text(raw, with_base64)
        _add_step("text", started)
        return text
    return _text(_encode(image, encoder), with_base64)


def _text(raw, with_base64):
    if with_base64:
        return base64.b64encode(raw).decode("ascii")
    return b85encode(raw).decode("ascii")


def str_to_img(img_as_str, encoder=None, with_base64=False):
    """Reads back the text form made by img_to_str with the same flag.

    The encoding is recognised from the image data itself; ``encoder`` is
    checked but not needed.
    """
    _encoding(encoder)
    if _steps is not None:
        started = time.perf_counter()
        raw = _untext(img_as_str, with_base64)
        _add_step("untext", started)
        started = time.perf_counter()
        image = _decode(raw)
        _add_step("decode", started)
        return image
    return _decode(_untext(img_as_str, with_base64))


def _untext(img_as_str, with_base64):
    try:
        if with_base64:
            return base64.b64decode(_ascii(img_as_str), validate=True)
        return b85decode(_ascii(img_as_str))
    except (binascii.Error, ValueError) as exc:
        raise ValueError("the image text is not valid: %s" % exc) from exc


def img_to_base64str(image):
    """Encodes a frame as JPG and returns the base64 text of it."""
    return base64.b64encode(_encode(image, Encoder.JPG)).decode("ascii")


def base64_to_img(b64_bytes):
    """Reads back what img_to_base64str made, as text or as bytes."""
    try:
        raw = base64.b64decode(_ascii(b64_bytes), validate=True)
    except (binascii.Error, ValueError) as exc:
        raise ValueError("the image text is not valid base64: %s" % exc) from exc
    return _decode(raw)
