"""Properties over random input: the merge rule against a model of it, and
payloads through their JSON text from one envelope to another."""
import json
import math

import numpy as np
import pytest
from hypothesis import given, strategies as st
from hypothesis.extra import numpy as hnp

from pemu_sdk.redis import pemu_data as m
from pemu_sdk.redis.utils import Encoder
from soak import examples

DESCRIPTORS = [m.MetaSource, m.MetaModule, m.MetaFrameFormat]
NAMES = ["id", "type", "name", "source_name", "source_key", "output_port_idx", "frame_id", "ts",
         "feed_port_idx", "encoder", "with_base64", "update", "to_dict", "__init__", "__dict__"]
KEYS = st.sampled_from(NAMES) | st.text("abcxyz_", min_size=1, max_size=4)
SCALARS = (st.none() | st.booleans() | st.integers(-2, 2) | st.sampled_from([0.0, 1.0, -0.0])
           | st.floats() | st.text(max_size=3))
JSON = st.recursive(SCALARS, lambda c: st.lists(c, max_size=3)
                    | st.dictionaries(st.text(max_size=3), c, max_size=3), max_leaves=8)


def on_class(cls, key):
    return next((vars(c)[key] for c in cls.__mro__ if key in vars(c)), None)


def merged(attrs, cls, pairs):
    """The merge rule, written plainly: the model the module must match."""
    for key, value in pairs:
        kind = type(on_class(cls, key))
        if value is None or key == "__dict__" or (
                hasattr(kind, "__get__") and not hasattr(kind, "__set__")):
            continue  # nor does it hide an operation or replace the storage
        if key in attrs:
            current = attrs[key]
        elif hasattr(cls, key):
            current = getattr(cls, key)
        else:
            attrs[key] = value
            continue
        if current != value:
            attrs[key] = value
    return attrs


class ItemsOnly:
    def __init__(self, pairs):
        self.pairs = pairs

    def items(self):
        return [list(p) if i % 2 else p for i, p in enumerate(self.pairs)]


def as_mapping(pairs, form):
    if form == "dict":
        return dict(pairs)
    if form == "items":
        return ItemsOnly(pairs)
    return type("Sub", (dict,), {"items": lambda self: iter(pairs)})(dict(pairs))


@examples(200)
@given(cls=st.sampled_from(DESCRIPTORS), node=st.booleans(),
       updates=st.lists(st.tuples(st.lists(st.tuples(KEYS, SCALARS | JSON), max_size=6),
                                  st.sampled_from(["dict", "items", "subclass"])), max_size=6))
def test_merge_rule_matches_model(cls, node, updates):
    if cls is m.MetaFrameFormat:
        record = cls(encoder="jpg") if node else cls()
    else:
        record = cls({"id": "n", "type": "t"}, 0) if node else cls()
    model = dict(vars(record))
    for pairs, form in updates:
        if form == "dict":  # a dict has one value per key, the last one
            pairs = list(dict(pairs).items())
        cls.update(record, as_mapping(pairs, form))
        merged(model, cls, pairs)
        got = vars(record)
        assert list(got) == list(model)
        assert all(got[k] is model[k] for k in model), "an equal value replaced the one held"


NODES = st.fixed_dictionaries({}, optional={"id": SCALARS, "type": SCALARS, "name": SCALARS})
EXT = st.dictionaries(st.text(max_size=5).filter(lambda k: k not in ("source", "frame_format")),
                      JSON, max_size=4)


def json_equal(a, b):
    """Equality after a trip through JSON text, NaN being equal to itself."""
    return json.dumps(a, sort_keys=True) == json.dumps(b, sort_keys=True)


@pytest.fixture
def fake_codec(monkeypatch):
    monkeypatch.setattr(m, "img_to_str", lambda image, encoder, with_base64: "T" + image)
    monkeypatch.setattr(m, "str_to_img", lambda img_as_str, encoder, with_base64:
                        ("image", img_as_str, encoder, with_base64))


@examples(150)
@given(cur=NODES, src=NODES, port=SCALARS, name=st.none() | st.text(max_size=3),
       first=st.booleans(), result=st.none() | JSON, ext=EXT,
       frame=st.none() | st.text(min_size=1, max_size=3),
       encoder=st.sampled_from([None, "jpg", "png"]), with_base64=st.sampled_from([None, True]),
       version=st.sampled_from([1, 2, 0.5]))
def test_payload_through_json_text(fake_codec, cur, src, port, name, first, result, ext,
                                   frame, encoder, with_base64, version):
    publisher = m.PemuData(0, cur, src, port, name)
    consumer = m.PemuData(1, src, cur, 0)
    if first:  # a consumer that has already received a payload
        consumer.parse_pemu_data(json.dumps(publisher.create_pemu_data()).encode())
    before = consumer.meta
    source, frame_format = dict(vars(before.source)), dict(vars(before.frame_format))
    module, ts = dict(vars(before.module)), before.ts

    doc = publisher.create_pemu_data(version, ext, result, frame, encoder, with_base64)
    text = json.dumps(doc).encode()
    sent = json.loads(text)
    received = consumer.parse_pemu_data(text, version)

    assert list(received) == ["meta", "result", "frame"]
    assert json_equal(received["meta"], sent["meta"]) and json_equal(received["result"],
                                                                      sent["result"])
    assert result is not None or received["result"] == []
    assert list(received["meta"])[4:] == [k for k in ext if k not in (
        "ts", "source", "module", "frame_format")]
    merged(source, m.MetaSource, sent["meta"]["source"].items())
    merged(frame_format, m.MetaFrameFormat, sent["meta"]["frame_format"].items())
    assert json_equal(vars(consumer.meta.source), source)
    assert json_equal(vars(consumer.meta.frame_format), frame_format)
    assert vars(consumer.meta.module) == module and consumer.meta.ts is ts
    if frame is None:
        assert received["frame"] is None
    else:
        # None takes the publisher's never-updated descriptor's None and False
        used = {"encoder": encoder, "with_base64": bool(with_base64)}
        assert sent["meta"]["frame_format"] == used
        decode_with = (consumer.meta.frame_format.encoder, consumer.meta.frame_format.with_base64)
        assert received["frame"] == ("image", "T" + frame) + decode_with


IMAGES = hnp.arrays(np.uint8, st.tuples(st.integers(1, 12), st.integers(1, 12), st.just(3)))


@examples(30)
@given(image=IMAGES, with_base64=st.booleans())
def test_frames_through_real_codec(image, with_base64):
    publisher, consumer = m.PemuData(0, {"id": "a"}), m.PemuData(0, {"id": "b"}, {"id": "a"}, 0)
    doc = publisher.create_pemu_data(frame=image, encoder=Encoder.PNG, with_base64=with_base64)
    out = consumer.parse_pemu_data(json.dumps(doc).encode())
    assert np.array_equal(out["frame"], image)  # PNG is lossless
    # frame-only, as text and as the bytes it comes back from Redis as
    text = publisher.create_pemu_data(0, frame=image)
    for data in (text, text.encode()):
        back = consumer.parse_pemu_data(data, 0)
        assert back.shape == image.shape and back.dtype == image.dtype
