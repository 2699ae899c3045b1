"""Many threads creating and parsing at once, on envelopes of their own and on
shared ones, with thread switches forced in the middle of operations."""
import json
import sys
import threading
import time

import numpy as np
import pytest

from conftest import NODE
from pemu_sdk.redis import pemu_data as m
from pemu_sdk.redis.utils import Encoder
from soak import count

THREADS = 8


class Yielding:
    """A value that compares by its text and gives up the interpreter lock
    while it is compared, so other threads run inside the merge."""

    def __init__(self, text):
        self.text = text

    def __ne__(self, other):
        time.sleep(0)
        return self.text != getattr(other, "text", other)

    def __eq__(self, other):
        return not self.__ne__(other)

    __hash__ = object.__hash__


@pytest.fixture
def switching(monkeypatch):
    """Switch threads as often as the interpreter allows; codec fakes that
    yield too, and whose results name their input."""
    monkeypatch.setattr(sys, "getswitchinterval", sys.getswitchinterval)
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)

    def img_to_str(image, encoder, with_base64):
        time.sleep(0)
        return "text:%s" % (image,)

    def str_to_img(img_as_str, encoder, with_base64):
        time.sleep(0)
        return ("image", img_as_str, encoder)

    monkeypatch.setattr(m, "img_to_str", img_to_str)
    monkeypatch.setattr(m, "str_to_img", str_to_img)
    yield
    sys.setswitchinterval(old)


def run_threads(work, n=THREADS):
    errors = []
    start = threading.Barrier(n)

    def body(i):
        try:
            start.wait()
            work(i)
        except BaseException as exc:  # reported below, with the thread's index
            errors.append((i, exc))

    threads = [threading.Thread(target=body, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def test_private_envelopes(switching):
    def work(i):
        node = {"id": "node-%d" % i, "type": "t%d" % i, "name": Yielding("n%d" % i)}
        publisher = m.PemuData(i, node, node, i)
        consumer = m.PemuData(i, node)
        for k in range(count(1000)):
            doc = publisher.create_pemu_data(result=[i, k], frame="f%d-%d" % (i, k),
                                             ext_info={"k": k}, encoder="png")
            assert doc["meta"]["source"]["source_key"] == "node-%d_%d" % (i, i)
            doc["meta"]["source"] = dict(doc["meta"]["source"], frame_id=Yielding("%d" % k))
            out = consumer.parse_pemu_data(doc)
            assert out is doc and out["result"] == [i, k] and out["meta"]["k"] == k
            assert out["frame"] == ("image", "text:f%d-%d" % (i, k), "png")
            assert consumer.meta.source.frame_id.text == "%d" % k
            assert consumer.meta.source.id == "node-%d" % i
    run_threads(work)


def test_shared_envelopes(switching):
    publisher = m.PemuData(0, NODE, NODE, 0)
    consumer = m.PemuData(0, NODE)
    sent = set()

    def work(i):
        for k in range(count(1000)):
            tag = "%d-%d" % (i, k)
            sent.add(tag)
            doc = publisher.create_pemu_data(result=[tag], frame=tag)
            assert doc["meta"]["source"] is vars(publisher.meta.source)
            assert doc["frame"] == "text:" + tag and doc["result"] == [tag]
            text = {"meta": {"source": {"frame_id": Yielding(tag), "id": tag},
                             "frame_format": {"encoder": "e" + tag}}, "frame": tag}
            out = consumer.parse_pemu_data(json.dumps(text, default=lambda y: y.text).encode()
                                           if k % 2 else text)
            # the frame is decoded from this payload's text, whatever the encoder
            # that another thread's payload left in the shared descriptor
            assert out["frame"][:2] == ("image", tag) and out["frame"][2].startswith("e")
            if i == 0 and k % 10 == 0:
                consumer.meta.update_module({"id": Yielding(tag)})
                vars(publisher.meta.source).pop("frame_id", None)
    run_threads(work)
    src = consumer.meta.source
    assert src.id in sent and getattr(src.frame_id, "text", src.frame_id) in sent
    assert consumer.meta.frame_format.encoder[1:] in sent
    assert list(vars(src)) == ["frame_id", "id"]  # in the order of the first payload


def test_envelopes_made_and_dropped_while_others_parse(switching):
    shared = m.PemuData(0, NODE, NODE, 0)

    def work(i):
        for k in range(count(500)):
            if i % 2:
                env = m.PemuData(k, {"id": Yielding(k), "type": i}, {"id": k}, k, None)
                assert env.meta.source.source_key == "%d_%d" % (k, k)
                assert env.meta.module.feed_port_idx == k
            else:
                shared.meta.update_source({"frame_id": Yielding(k), "extra%d" % (k % 7): i})
                assert list(shared.meta.to_dict()) == ["ts", "source", "module", "frame_format"]
    run_threads(work)


def test_real_codec_in_threads():
    frames = [np.full((8, 8, 3), i * 20, np.uint8) for i in range(THREADS)]

    def work(i):
        publisher = m.PemuData(0, {"id": i})
        consumer = m.PemuData(0, NODE, {"id": i}, 0)
        for _ in range(count(20)):
            doc = publisher.create_pemu_data(frame=frames[i], encoder=Encoder.PNG)
            out = consumer.parse_pemu_data(json.dumps(doc).encode())
            assert np.array_equal(out["frame"], frames[i])
    run_threads(work)
