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


_tables = None  # the lookup tables of the base85 codec, made on first use


class _Base85Tables:
    """The base85 codec's NumPy tables.

    Encoding splits each 32-bit word w by two divisions by 85**2 = 7225:
    w = (d0 * 7225 + pair1) * 7225 + pair2 with d0 < 83, so each word is one
    digit and two pairs of digits, looked up as characters:
    ``first[d0]`` (one character) and ``pairs[pair]`` (two characters as one
    uint16 in native order, so that it is stored as the text has them).

    Decoding reads each group of five characters as two pairs and one
    character, the pairs as native uint16 values of two text bytes:
    ``high[pair]`` is d0 * 85 + d1, ``low[pair]`` is (d2 * 85 + d3) * 85 and
    ``last[char]`` is d4, so that a word is high * 85**3 + low + last.  A pair
    or character outside the alphabet gives a value no valid group has
    (high 0x10000, low or last 0x40000000), so the check for groups worth
    2**32 or more finds it too.
    """

    def __init__(self, numpy):
        alphabet = numpy.frombuffer(_B85_ALPHABET, dtype=numpy.uint8)
        digits = numpy.arange(85)
        self.first = alphabet.copy()
        pair_chars = numpy.empty((85, 85, 2), dtype=numpy.uint8)
        pair_chars[:, :, 0] = alphabet[:, None]
        pair_chars[:, :, 1] = alphabet[None, :]
        self.pairs = pair_chars.reshape(-1, 2).copy().view(numpy.uint16).ravel()
        pair_values = (digits[:, None] * 85 + digits[None, :]).ravel()
        # the native uint16 of the two bytes c0 c1, whichever the byte order
        index = numpy.frombuffer(pair_chars.tobytes(), dtype=numpy.uint16).astype(numpy.intp)
        self.high = numpy.full(65536, 0x10000, dtype=numpy.uint32)
        self.high[index] = pair_values
        self.low = numpy.full(65536, 0x40000000, dtype=numpy.uint32)
        self.low[index] = pair_values * 85
        self.last = numpy.full(256, 0x40000000, dtype=numpy.uint32)
        self.last[alphabet] = digits
        # the layouts of a group of five characters, for encoding and decoding
        self.encoded = numpy.dtype({"names": ["first", "pair1", "pair2"],
                                    "formats": ["u1", "u2", "u2"],
                                    "offsets": [0, 1, 3], "itemsize": 5})
        self.decoded = numpy.dtype({"names": ["pair1", "pair2", "last"],
                                    "formats": ["u2", "u2", "u1"],
                                    "offsets": [0, 2, 4], "itemsize": 5})


def _base85():
    global _tables
    _, numpy = _cv2()
    if _tables is None:
        _tables = _Base85Tables(numpy)
    return _tables, numpy


def b85encode(raw):
    """``base64.b85encode(raw)`` (no padding): ASCII bytes."""
    tables, numpy = _base85()
    if not isinstance(raw, bytes):
        raw = memoryview(raw).tobytes()
    whole, rest = divmod(len(raw), 4)
    # The last word holds the bytes left over, padded with zero bytes.
    words = numpy.empty(whole + (rest > 0), dtype=numpy.uint32)
    words[:whole] = numpy.frombuffer(raw, dtype=">u4", count=whole)
    if rest:
        words[whole] = int.from_bytes(raw[4 * whole:] + bytes(4 - rest), "big")
    # In place: words becomes the second pair, quotient the first, top d0.
    intp, base = numpy.intp, numpy.uint32(7225)
    quotient = words // base
    words -= quotient * base
    top = quotient // base
    quotient -= top * base
    groups = numpy.empty(len(words), dtype=tables.encoded)
    groups["first"] = tables.first[top.astype(intp)]
    groups["pair1"] = tables.pairs[quotient.astype(intp)]
    groups["pair2"] = tables.pairs[words.astype(intp)]
    if rest:  # the padding bytes' characters are dropped
        return bytes(memoryview(groups).cast("B")[:5 * whole + rest + 1])
    return groups.tobytes()


def b85decode(text):
    """``base64.b85decode(text)``: the bytes of base85 text (str or bytes),
    with the standard library's errors (ValueError) for bad text."""
    tables, numpy = _base85()
    if isinstance(text, str):
        text = text.encode("ascii")
    elif not isinstance(text, bytes):
        text = memoryview(text).tobytes()
    whole, rest = divmod(len(text), 5)
    if rest:  # padded with "~" (digit 84), whose bytes are dropped
        text += b"~" * (5 - rest)
    groups = numpy.frombuffer(text, dtype=tables.decoded)
    intp = numpy.intp
    high = tables.high[groups["pair1"].astype(intp)]
    low = tables.low[groups["pair2"].astype(intp)]
    low += tables.last[groups["last"].astype(intp)]
    # A group worth 2**32 or more has high above 6993, or 6993 and low above
    # 391170; a bad character makes high or low too large.  The suspects are
    # checked exactly, and the first faulty group in the text is reported.
    suspect = high >= 6993
    suspect |= low >= 614125
    if suspect.any():
        _check_groups(text, numpy, numpy.flatnonzero(suspect), high, low)
    high *= numpy.uint32(614125)
    high += low
    high.byteswap(True)
    if rest:
        return bytes(memoryview(high).cast("B")[:4 * whole + rest - 1])
    return high.tobytes()


def _check_groups(text, numpy, suspects, high, low):
    """Raises the standard library's error for the first faulty group among
    the suspects (indices of groups, in order), if any is faulty."""
    wide = numpy.uint64
    top, rest = high[suspects].astype(wide), low[suspects].astype(wide)
    bad = (top >= 85 * 85) | (rest >= 85 ** 3)
    faulty = numpy.flatnonzero(bad | (top * wide(85 ** 3) + rest > wide(0xFFFFFFFF)))
    if not len(faulty):
        return
    start = int(suspects[faulty[0]]) * 5
    if bad[faulty[0]]:
        column = next(i for i in range(5) if text[start + i] not in _B85_ALPHABET)
        raise ValueError("bad base85 character at position %d" % (start + column))
    raise ValueError("base85 overflow in hunk starting at byte %d" % start)


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
