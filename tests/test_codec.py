"""Frames through real payload text and back, with the package's image codec."""
import base64
import json

import cv2
import numpy as np
import pytest

from conftest import NODE
from pemu_sdk.redis.utils import Encoder, img_to_str, str_to_img


def noisy():
    return np.random.RandomState(7).randint(0, 256, (16, 24, 3), dtype=np.uint8)


def smooth():
    y, x = np.mgrid[0:16, 0:24]
    return np.dstack([x * 10, y * 15, x * 5 + y * 5]).astype(np.uint8)


def assert_close(got, want):
    assert got.shape == want.shape and got.dtype == want.dtype
    assert np.abs(got.astype(int) - want.astype(int)).mean() < 4


@pytest.mark.parametrize("with_base64", [True, False])
@pytest.mark.parametrize("encoder", [Encoder.PNG, Encoder.JPG])
def test_full_payload_round_trip(mod, envelope, encoder, with_base64):
    frame = noisy() if encoder == Encoder.PNG else smooth()
    doc = envelope.create_pemu_data(result=[{"label": "car"}], frame=frame,
                                    encoder=encoder, with_base64=with_base64)
    assert isinstance(doc["frame"], str)
    if with_base64:
        base64.b64decode(doc["frame"], validate=True)
    text = json.dumps(doc).encode()

    receiver = mod.PemuData(1, {"id": "node-2", "type": "sink"}, None)
    out = receiver.parse_pemu_data(text)
    assert list(out) == ["meta", "result", "frame"]
    assert out["result"] == [{"label": "car"}]
    assert out["meta"]["frame_format"] == {"encoder": encoder, "with_base64": with_base64}
    if encoder == Encoder.PNG:
        assert np.array_equal(out["frame"], frame)
    else:
        assert_close(out["frame"], frame)
    fmt = receiver.meta.frame_format
    assert (fmt.encoder, fmt.with_base64) == (encoder, with_base64)
    assert receiver.meta.source.source_key == "node-1_0"

    # The same envelope now publishes with the values it received.
    again = receiver.create_pemu_data(frame=frame, encoder=None, with_base64=None)
    assert again["meta"]["frame_format"] == {"encoder": encoder, "with_base64": with_base64}
    assert again["meta"]["source"]["source_key"] == "node-1_0"
    decoded = str_to_img(again["frame"], encoder, with_base64)
    assert decoded.shape == frame.shape


def test_frame_only_payload_round_trip(mod, envelope):
    frame = smooth()
    text = envelope.create_pemu_data(version=0, result=[1], frame=frame)
    assert isinstance(text, str)
    base64.b64decode(text, validate=True)
    receiver = mod.PemuData(0, NODE)
    for data in (text, text.encode()):
        assert_close(receiver.parse_pemu_data(data, version=0), frame)
    assert vars(receiver.meta.frame_format) == {}


@pytest.mark.parametrize("with_base64", [True, False, None])
@pytest.mark.parametrize("encoder", [Encoder.JPG, Encoder.PNG, None])
def test_codec_text_form(encoder, with_base64):
    frame = smooth()
    text = img_to_str(frame, encoder, with_base64)
    assert isinstance(text, str) and text.isascii()
    assert_close(str_to_img(text, encoder, with_base64), frame)
    # The encoder value as it comes back from JSON is accepted too.
    assert str_to_img(text, json.loads(json.dumps(encoder)), with_base64).shape == frame.shape


# JPG is lossy.  On camera-like frames (smooth areas, hard edges, text) the
# stand-in codec at OpenCV's default quality stays within this: a mean
# absolute difference of at most 1 level per channel value and a PSNR of at
# least 38 dB.  (Measured: 0.1 to 0.5 levels and 43 to 55 dB; single pixels
# at colour edges may be off by far more, so no maximum is stated.)
JPG_MEAN_ERROR = 1.0
JPG_MIN_PSNR = 38.0


def camera_frame(height=480, width=640, colour=True):
    """A frame like the pipeline's: a gradient, filled shapes, a time stamp."""
    ramp = np.linspace(20, 60, width)
    image = np.dstack([np.tile(ramp, (height, 1))] * 3).astype(np.uint8)
    cv2.circle(image, (width // 4, height // 3), height // 10, (60, 220, 250), -1)
    cv2.rectangle(image, (width // 2, height // 2), (width // 2 + 60, height // 2 + 60),
                  (250, 180, 60), -1)
    cv2.putText(image, "12:34:56.789", (4, 20), cv2.FONT_HERSHEY_PLAIN, 1.2, (200, 200, 200))
    return image if colour else cv2.cvtColor(image, cv2.COLOR_BGR2GRAY)


def assert_within_jpg_tolerance(got, want):
    assert got.shape == want.shape and got.dtype == want.dtype
    diff = got.astype(float) - want.astype(float)
    psnr = 10 * np.log10(255.0 ** 2 / max((diff ** 2).mean(), 1e-12))
    assert np.abs(diff).mean() <= JPG_MEAN_ERROR and psnr >= JPG_MIN_PSNR


@pytest.mark.parametrize("shape", [(480, 640, True), (240, 320, False)],
                         ids=["colour-640x480", "grey-320x240"])
@pytest.mark.parametrize("with_base64", [True, False])
@pytest.mark.parametrize("encoder", [Encoder.PNG, Encoder.JPG])
def test_camera_frames_round_trip(mod, encoder, with_base64, shape):
    frame = camera_frame(*shape)
    publisher = mod.PemuData(0, NODE, NODE, 0)
    consumer = mod.PemuData(0, {"id": "node-2", "type": "sink"}, NODE, 0)
    for i in range(2):  # the consumer keeps what the first payload told it
        doc = publisher.create_pemu_data(ext_info={"frame_no": i}, frame=frame,
                                         encoder=encoder, with_base64=with_base64)
        out = consumer.parse_pemu_data(json.dumps(doc).encode())
        assert out["meta"]["frame_no"] == i
        if encoder == Encoder.PNG:
            assert np.array_equal(out["frame"], frame)
        else:
            assert_within_jpg_tolerance(out["frame"], frame)
    # version 0: the frame alone, as JPG base64 text, received as bytes
    text = publisher.create_pemu_data(0, frame=frame)
    assert_within_jpg_tolerance(consumer.parse_pemu_data(text.encode(), 0), frame)


# The base85 text form against the standard library's, which must keep
# reading it (and writing what it reads).
from pemu_sdk.redis.utils import b85decode, b85encode  # noqa: E402


def test_base85_matches_the_standard_library_at_every_length():
    rng = np.random.RandomState(85)
    samples = [rng.bytes(n) for n in range(65) for _ in range(4)]
    samples += [rng.bytes(n) for n in (1000, 65537, 640 * 480 * 3 + 1)]
    # the extremes of a group of four: all bits clear, all set, and around 85**k
    samples += [b"\0" * 9, b"\xff" * 9, (85 ** 4).to_bytes(4, "big"),
                (85 ** 4 - 1).to_bytes(4, "big"), (2 ** 32 - 85).to_bytes(4, "big")]
    for raw in samples:
        text = b85encode(raw)
        assert text == base64.b85encode(raw), len(raw)
        assert b85decode(text) == raw == b85decode(text.decode("ascii"))


def test_base85_decodes_any_text_as_the_standard_library_does():
    # random texts of every length, valid or not, and texts with a bad
    # character or a group worth 2**32 or more: the same bytes or the same error
    rng = np.random.RandomState(5)
    alphabet = b"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz!#$%&()*+-;<=>?@^_`{|}~"
    texts = [bytes(rng.choice(list(alphabet), n).tolist()) for n in range(41) for _ in range(5)]
    texts += [b"0000" + b"|NsC0", b"|NsC1", b"~~~~~", b"00000~~~~~", b"000 0", b"abc\"", b"\x80",
              b"0" * 12 + b"}"]
    for text in texts:
        assert_decodes_as_the_standard_library(text)
    with pytest.raises(ValueError):
        b85decode("caf\xe9")


def assert_decodes_as_the_standard_library(text):
    try:
        want = base64.b85decode(text)
    except ValueError as exc:
        with pytest.raises(ValueError) as got:
            b85decode(text)
        assert str(got.value) == str(exc), text
    else:
        assert b85decode(text) == want, text


def test_base85_reports_the_first_faulty_group():
    # The decoder reads a group as two pairs and a last character: a fault in
    # any of them, near the overflow bound (high pair 6993 = "|N", low part
    # 391170 = "sC0"), and faults in either order, as the standard library
    # reports the first.
    just_outside = [c for c in range(1, 255) if c not in _ALPHABET
                    and (c + 1 in _ALPHABET or c - 1 in _ALPHABET)] + [0, 0x7F, 0xFF]
    texts = []
    for column in range(5):
        for c in just_outside:
            group = bytearray(b"00000")
            group[column] = c
            texts += [bytes(group), b"|NsC0" + bytes(group), bytes(group) + b"|NsC1"]
    texts += [b"|NsC0", b"|NsC1", b"|NsB~", b"|Ns~~", b"|O000", b"|M~~~", b"~~~~~",
              b"|NsC0" * 3 + b"|NsC1", b"00000|NsC1000\0", b"000\0|NsC1", b"|NsC1000\0",
              b"|Ns~", b"|N~", b"|", b"~", b"~~~~~~", b"0" * 10 + b"|NsC1" + b"0" * 4]
    texts += [b"|NsC0"[:n] + b"~" * k for n in range(6) for k in range(6)]
    for text in texts:
        assert_decodes_as_the_standard_library(text)


def test_base85_padding_at_every_residue():
    # all bits set and all clear, every length mod 4, and bytes-like input
    for n in range(1, 13):
        for raw in (b"\xff" * n, bytes(n), bytes(range(255, 255 - n, -1))):
            text = base64.b85encode(raw)
            assert b85encode(raw) == text == b85encode(bytearray(raw)) == b85encode(memoryview(raw))
            assert b85decode(text) == raw == b85decode(bytearray(text))
    # a text of every length mod 5 ending in the highest digits the padding adds
    for n in range(1, 11):
        assert_decodes_as_the_standard_library(b"0" * (n - 1) + b"~")
        assert_decodes_as_the_standard_library(b"|NsC0"[: n % 5 or 5] * (1 + n // 5))


_ALPHABET = (b"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz!#$%&()*+-;<=>?@^_`{|}~")


def test_bad_base85_frame_text_is_refused_clearly():
    text = img_to_str(smooth(), Encoder.PNG)
    with pytest.raises(ValueError, match="^the image text is not valid: bad base85 character"):
        str_to_img(text[:10] + '"' + text[11:], Encoder.PNG)
    assert np.array_equal(str_to_img(text, Encoder.PNG), smooth())
    assert str_to_img(base64.b85encode(base64.b85decode(text)).decode(), Encoder.PNG).shape


def test_step_times_are_collected_while_asked_for(envelope):
    from pemu_sdk.redis import utils
    times = {}
    utils.collect_step_times(times)
    try:
        for with_base64 in (False, True):
            text = img_to_str(camera_frame(120, 160), Encoder.JPG, with_base64)
            str_to_img(text, Encoder.JPG, with_base64)
        envelope.create_pemu_data(frame=smooth())  # through the envelope too
    finally:
        utils.collect_step_times(None)
    assert sorted(times) == ["decode", "encode", "text", "untext"]
    assert all(seconds > 0 for seconds in times.values())
    before = dict(times)
    img_to_str(smooth())
    assert times == before
