"""Image codec used by the payload envelopes: frames to text and back.

A frame is an OpenCV image array.  Its text form is the encoded image
(JPG or PNG) written either as base64 text or, when base64 is not asked for,
as base85 text; both are plain ASCII, so they survive JSON and Redis.

NumPy and OpenCV are imported when a codec function first needs them, so
this module, and the envelope module that imports names from it, load
without them.
"""

import base64
import binascii


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


def _ascii(text):
    if isinstance(text, str):
        return text.encode("ascii")
    return bytes(text)


def img_to_str(image, encoder=Encoder.JPG, with_base64=False):
    """Encodes a frame and returns its text form."""
    raw = _encode(image, encoder)
    if with_base64:
        return base64.b64encode(raw).decode("ascii")
    return base64.b85encode(raw).decode("ascii")


def str_to_img(img_as_str, encoder=None, with_base64=False):
    """Reads back the text form made by img_to_str with the same flag.

    The encoding is recognised from the image data itself; ``encoder`` is
    checked but not needed.
    """
    _encoding(encoder)
    try:
        if with_base64:
            raw = base64.b64decode(_ascii(img_as_str), validate=True)
        else:
            raw = base64.b85decode(_ascii(img_as_str))
    except (binascii.Error, ValueError) as exc:
        raise ValueError("the image text is not valid: %s" % exc) from exc
    return _decode(raw)


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
