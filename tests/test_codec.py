"""Frames through real payload text and back, with the package's image codec."""
import base64
import json

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
