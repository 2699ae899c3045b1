"""Every operation run thousands of times, on its success path and on each of
its failure paths: no reference is gained or lost on anything passed in or
handed back, and neither traced nor resident memory grows.

Bounds, per scenario of ROUNDS calls after a warm-up:
- the reference count of every object involved is exactly what it was;
- memory traced by tracemalloc grows by less than TRACED_SLACK bytes in all
  (under 2 bytes a call: one leaked object per call would be 16 or more);
and over all scenarios together, ROUNDS times each, resident memory grows by
less than RSS_SLACK (1 MiB, about 10 bytes a call in the normal run), which
also covers the C++ heap that tracemalloc does not see.

ROUNDS is 2000 calls, times the soak factor of tools/soak.sh.
"""
import gc
import itertools
import os
import sys
import tracemalloc
import types

import pytest

from conftest import NODE
from pemu_sdk.redis import pemu_data as m
from soak import count

ROUNDS = count(2000)
WARM_UP = 200
TRACED_SLACK = 4096
RSS_SLACK = 1 << 20

CODED = "coded-text"  # what the fake encoders return
IMAGE = object()      # what the fake decoders return


class Codec:
    """Fake codec functions; with `fail` set each raises a new exception."""
    fail = False

    def fake(self, result):
        def fake(**kwargs):
            if self.fail:
                raise ValueError("codec failure")
            return result
        return fake


class GetRaises(dict):
    def get(self, *args):
        raise KeyError("get")


class PairsOf(dict):
    """A dict whose items() yields the given elements, whatever they are."""
    def __init__(self, *elements):
        super().__init__(placeholder=1)
        self.elements = elements

    def items(self):
        return iter(self.elements)


class Name(str):
    pass


def objects():
    """The arguments the scenarios pass, fresh for each test."""
    return types.SimpleNamespace(
        node=dict(NODE), port=3, name="camera-name", result=[{"label": "car"}],
        frame=object(), ext={"sequence": 1, "extra": [1, 2]},
        ext_sub=PairsOf(("sequence", 2), ("other", "x")),
        info={"frame_id": 42, "skipped": None, "added": "value"},
        info_sub=PairsOf(("frame_id", 43), ("name", "n")),
        operations={Name("update"): 1, "to_dict": 2, "__dict__": {}, "frame_id": 1},
        bad_key={"fine": 1, 7: "not a str key"}, bad_pairs=PairsOf(("a", 1), ("b", 2, 3)),
        none_pair=PairsOf(None), get_raises=GetRaises(),
        payload={"meta": {"source": {"frame_id": 5}, "frame_format": {"encoder": "png"}},
                 "result": [1], "frame": "text"},
        text=b'{"meta": {"source": {"id": "up", "frame_id": 9}, "frame_format": '
             b'{"encoder": "jpg", "with_base64": true}}, "result": [1, 2], "frame": "abc"}',
        text_skips=b'{"meta": {"frame_format": {"encoder": "png", "with_base64": null}, '
                   b'"source": {"update": 1}}, "frame": "abc", "x": {"1": 2}}',
        text_bad_utf8=b'{"meta": "\xff"}', text_bad_json=b'{"meta": {"source": ',
        text_list=b"[1, 2, 3]", text_meta_null=b'{"meta": null}',
        text_rich=b'{"result": [{"k\\u00e9y": "\xc3\xa9\\ud83d\\ude00\\ud800", "n": -0.0,'
                  b' "big": 123456789012345678901234567890, "long key ' + b"x" * 80 + b'": 1e5}],'
                  b' "meta": {"source": {"frame_id": 3, "frame_id": 4}}}',
        text_constant=b'{"result": [1, 2, {"a": NaN}], "meta": {}}',
        text_late_error=b'{"result": [{"a": [1, 2, 3], "b": "text"}, [4, 5],], "meta": {}}',
        bad_format={"meta": {"frame_format": {"ok": 1, 5: 6}}, "frame": "abc"})


NEW_KEYS = itertools.count()  # a key no earlier payload had, in every call


def C(fn, *exc):
    return fn, exc or None


# name: (call(env, o), expected exception types or None for success)
SCENARIOS = {
    # -- PemuData / Meta construction
    "envelope": C(lambda e, o: m.PemuData(0, o.node, o.node, o.port, o.name)),
    "envelope-blank": C(lambda e, o: m.PemuData(o.port, None)),
    "envelope-too-many": C(lambda e, o: m.PemuData(0, o.node, o.node, o.port, o.name, 1),
                           TypeError),
    "envelope-unexpected-kw": C(lambda e, o: m.PemuData(0, o.node, source=o.node), TypeError),
    "envelope-missing": C(lambda e, o: m.PemuData(cur_node=o.node), TypeError),
    "envelope-node-without-get": C(lambda e, o: m.PemuData(0, o.result), AttributeError),
    "envelope-node-get-raises": C(lambda e, o: m.PemuData(0, o.node, o.get_raises), KeyError),
    "meta": C(lambda e, o: m.Meta(o.node, 1, o.node, o.port, None)),
    "meta-missing": C(lambda e, o: m.Meta(o.node, 1), TypeError),
    "meta-update-source": C(lambda e, o: e.meta.update_source(o.info)),
    "meta-update-module": C(lambda e, o: e.meta.update_module(source_info=o.info), TypeError),
    "meta-update-frame-format-none": C(lambda e, o: e.meta.update_frame_format(None)),
    "meta-to-dict": C(lambda e, o: e.meta.to_dict()),
    # -- descriptors and the merge rule
    "source": C(lambda e, o: m.MetaSource(o.node, o.port, o.name)),
    "source-rendered": C(lambda e, o: m.MetaSource(src_node=o.node, src_output_port=o.frame)),
    "module": C(lambda e, o: m.MetaModule(o.node, o.port)),
    "frame-format": C(lambda e, o: m.MetaFrameFormat(encoder=o.name, with_base64=o.frame)),
    "frame-format-positional": C(lambda e, o: m.MetaFrameFormat(o.node), TypeError),
    "frame-format-bad-dict": C(lambda e, o: m.MetaFrameFormat(a=o.node, __dict__=o.port),
                               TypeError),
    "merge": C(lambda e, o: e.meta.source.update(o.info)),
    "merge-items": C(lambda e, o: e.meta.module.update(o.info_sub)),
    "merge-skips-operations": C(lambda e, o: e.meta.frame_format.update(o.operations)),
    "merge-none": C(lambda e, o: e.meta.source.update(None), AttributeError),
    "merge-non-str-key": C(lambda e, o: e.meta.frame_format.update(o.bad_key), TypeError),
    "merge-bad-pairs": C(lambda e, o: e.meta.source.update(o.bad_pairs), ValueError),
    "merge-none-pair": C(lambda e, o: e.meta.module.update(o.none_pair), TypeError),
    "merge-unexpected-keyword": C(lambda e, o: e.meta.source.update(o.info, **{"x": 1}),
                                TypeError),
    "to-dict-extra-arg": C(lambda e, o: e.meta.source.to_dict(o.node), TypeError),
    # -- create_pemu_data
    "create": C(lambda e, o: e.create_pemu_data(result=o.result, ext_info=o.ext)),
    "create-frame": C(lambda e, o: e.create_pemu_data(1, o.ext_sub, o.result, o.frame)),
    "create-frame-envelope-format": C(
        lambda e, o: e.create_pemu_data(frame=o.frame, encoder=None, with_base64=None)),
    "create-frame-only": C(lambda e, o: e.create_pemu_data(0, o.ext, o.result, o.frame)),
    "create-bad-version": C(lambda e, o: e.create_pemu_data(o.name, frame=o.frame), TypeError),
    "create-bad-pairs": C(lambda e, o: e.create_pemu_data(ext_info=o.bad_pairs), ValueError),
    "create-binding": C(lambda e, o: e.create_pemu_data(1, version=1), TypeError),
    "create-codec-error": C(lambda e, o: e.create_pemu_data(frame=o.frame), ValueError),
    "create-frame-only-codec-error": C(lambda e, o: e.create_pemu_data(0, frame=o.frame),
                                       ValueError),
    # -- parse_pemu_data
    "parse-dict": C(lambda e, o: e.parse_pemu_data(o.payload)),
    "parse-bytes": C(lambda e, o: e.parse_pemu_data(o.text)),
    "parse-frame-only": C(lambda e, o: e.parse_pemu_data(o.text, 0)),
    "parse-binding": C(lambda e, o: e.parse_pemu_data(o.text, data=o.text), TypeError),
    "parse-bad-utf8": C(lambda e, o: e.parse_pemu_data(o.text_bad_utf8), UnicodeDecodeError),
    "parse-bad-json": C(lambda e, o: e.parse_pemu_data(o.text_bad_json), ValueError),
    "parse-bytes-rich": C(lambda e, o: e.parse_pemu_data(o.text_rich)),
    "parse-bytes-declined-constant": C(lambda e, o: e.parse_pemu_data(o.text_constant)),
    "parse-bytes-late-error": C(lambda e, o: e.parse_pemu_data(o.text_late_error), ValueError),
    "parse-bytes-new-keys": C(lambda e, o: e.parse_pemu_data(
        b'{"result": {"key-%d": 1}}' % next(NEW_KEYS))),
    "parse-not-object": C(lambda e, o: e.parse_pemu_data(o.text_list), AttributeError),
    "parse-meta-null": C(lambda e, o: e.parse_pemu_data(o.text_meta_null), AttributeError),
    "parse-merge-error": C(lambda e, o: e.parse_pemu_data(o.bad_format), TypeError),
    "parse-codec-error": C(lambda e, o: e.parse_pemu_data(o.text), ValueError),
    "parse-frame-only-codec-error": C(lambda e, o: e.parse_pemu_data(o.text, 0), ValueError),
    "parse-merge-skips": C(lambda e, o: e.parse_pemu_data(o.text_skips)),
    # -- the function objects themselves
    "function-attributes": C(lambda e, o: (
        vars(m.PemuData)["create_pemu_data"].__defaults__,
        vars(m.PemuData)["create_pemu_data"].__text_signature__,
        repr(vars(m.Meta)["to_dict"]), e.parse_pemu_data.__doc__)),
}
CODEC_ERRORS = {name for name in SCENARIOS if "codec-error" in name}


@pytest.fixture
def codec(monkeypatch):
    codec = Codec()
    for name, result in (("img_to_str", CODED), ("img_to_base64str", CODED),
                         ("str_to_img", IMAGE), ("base64_to_img", IMAGE)):
        monkeypatch.setattr(m, name, codec.fake(result))
    return codec


def run(call, expected, env, o, rounds):
    for _ in range(rounds):
        try:
            call(env, o)
        except expected or ():
            pass
        else:
            assert expected is None, "no %s raised" % (expected,)


def watched(env, o):
    """Everything whose reference count must not move."""
    defaults = vars(m.PemuData)["create_pemu_data"].__defaults__
    meta = env.meta
    return [env, meta, meta.ts, meta.source, meta.module, meta.frame_format,
            vars(meta.source), defaults, defaults[4], CODED, IMAGE] + list(vars(o).values())


def counts(objs):
    gc.collect()
    return [sys.getrefcount(x) for x in objs]


@pytest.mark.parametrize("name", list(SCENARIOS))
def test_no_reference_or_traced_memory_gained(codec, name):
    call, expected = SCENARIOS[name]
    codec.fail = name in CODEC_ERRORS
    env, o = m.PemuData(0, NODE, NODE, 0), objects()
    tracemalloc.start()
    try:
        run(call, expected, env, o, WARM_UP)
        objs = watched(env, o)
        before = counts(objs)
        # Two batches: a leak grows in both, while a table of the
        # interpreter's that happens to grow once shows in one at most.
        traced = []
        for _ in range(2):
            traced_before = tracemalloc.get_traced_memory()[0]
            run(call, expected, env, o, ROUNDS)
            traced.append(tracemalloc.get_traced_memory()[0] - traced_before)
        after = counts(objs)
    finally:
        tracemalloc.stop()
    moved = [(repr(x)[:60], a - b) for x, b, a in zip(objs, before, after) if a != b]
    assert moved == [], "reference counts moved over %d calls" % (2 * ROUNDS)
    assert min(traced) < TRACED_SLACK, "%s bytes traced over %d calls each" % (traced, ROUNDS)


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(bool(os.environ.get("PEMU_SANITIZED")),
                    reason="ASan holds freed memory in quarantine")
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_resident_memory_does_not_grow(codec):
    env, o = m.PemuData(0, NODE, NODE, 0), objects()

    def everything(rounds):
        for name, (call, expected) in SCENARIOS.items():
            codec.fail = name in CODEC_ERRORS
            run(call, expected, env, o, rounds)

    everything(WARM_UP)
    gc.collect()
    before = resident_bytes()
    everything(ROUNDS)
    gc.collect()
    grown = resident_bytes() - before
    assert grown < RSS_SLACK, "resident memory grew by %d bytes over %d calls" % (
        grown, ROUNDS * len(SCENARIOS))
