"""Meta: construction order, its timestamp, the metadata mapping and updates."""
import time

import pytest

from conftest import NODE

STEPS = ("time", "MetaModule", "MetaSource", "MetaFrameFormat")


@pytest.fixture
def log(mod, monkeypatch):
    """Replaces the clock and the three component classes with recorders."""
    log = []

    class Clock:
        @staticmethod
        def time(*args, **kwargs):
            log.append(("time", args, kwargs))
            return 1234.5

    monkeypatch.setattr(mod, "time", Clock)
    for name in STEPS[1:]:
        monkeypatch.setattr(mod, name, lambda *a, _n=name, **kw: log.append((_n, a, kw)) or _n)
    return log


def test_construction_order_and_keywords(mod, log):
    cur, src, port, name = {"c": 1}, {"s": 2}, object(), object()
    meta = mod.Meta(src_name=name, src_port=port, src_node=src, feed_idx=3, cur_node=cur)
    assert [(n, a) for n, a, _ in log] == [(step, ()) for step in STEPS]
    assert [list(kw.items()) for _, _, kw in log] == [
        [], [("cur_node", cur), ("feed_port_idx", 3)],
        [("src_node", src), ("src_output_port", port), ("src_name", name)], []]
    assert list(vars(meta).items()) == [
        ("ts", 1234.5), ("module", "MetaModule"), ("source", "MetaSource"),
        ("frame_format", "MetaFrameFormat")]


@pytest.mark.parametrize("failing", range(4))
def test_failing_step_leaves_earlier_steps_done(mod, log, monkeypatch, failing):
    def boom(*args, **kwargs):
        log.append((STEPS[failing], args, kwargs))
        raise KeyError("boom")

    if failing == 0:
        monkeypatch.setattr(mod.time, "time", boom)
    else:
        monkeypatch.setattr(mod, STEPS[failing], boom)
    meta = mod.Meta.__new__(mod.Meta)
    with pytest.raises(KeyError, match="boom"):
        mod.Meta.__init__(meta, NODE, 0, NODE, 0, None)
    assert [n for n, _, _ in log] == list(STEPS[:failing + 1])
    assert list(vars(meta)) == ["ts", "module", "source", "frame_format"][:failing]


def test_ts_lies_between_two_clock_reads(mod):
    before = time.time()
    meta = mod.Meta(NODE, 0, NODE, 0, None)
    after = time.time()
    assert type(meta.ts) is float and before <= meta.ts <= after


@pytest.fixture
def meta(mod):
    return mod.Meta(cur_node=NODE, feed_idx=0, src_node=NODE, src_port=0, src_name=None)


def test_to_dict_new_outer_mapping_with_live_nested_ones(meta):
    first, second = meta.to_dict(), meta.to_dict()
    assert first is not second
    for d in (first, second):
        assert list(d) == ["ts", "source", "module", "frame_format"]
        assert d["ts"] is meta.ts
        for key in ("source", "module", "frame_format"):
            assert d[key] is vars(getattr(meta, key))
    assert first["module"] == {"id": "node-1", "type": "object-detection", "feed_port_idx": 0}
    assert first["source"]["source_key"] == "node-1_0" and first["frame_format"] == {}
    # Later updates show in a mapping taken earlier; keys written into a
    # nested mapping become attributes; new top-level keys stay local.
    meta.update_source({"frame_id": 42})
    first["frame_format"]["encoder"] = "png"
    first["extra"] = 1
    assert first["source"]["frame_id"] == 42 and meta.frame_format.encoder == "png"
    assert "extra" not in meta.to_dict()


def test_top_level_ts_is_independent_of_the_source_ts(meta):
    ts = meta.ts
    meta.update_source({"ts": 5})
    assert meta.source.ts == 5 and meta.to_dict()["source"]["ts"] == 5
    assert meta.ts is ts and meta.to_dict()["ts"] is ts


class Component:
    def __init__(self):
        self.received = []

    def update(self, *args, **kwargs):
        self.received.append((args, kwargs))
        return "discarded"


UPDATES = [("update_source", "source"), ("update_frame_format", "frame_format"),
           ("update_module", "module")]


@pytest.mark.parametrize("method,attr", UPDATES)
@pytest.mark.parametrize("value", [None, {}, {"id": "x"}, 0, "", False, []])
def test_update_forwards_the_very_object(meta, method, attr, value):
    component = Component()
    setattr(meta, attr, component)
    assert getattr(meta, method)(value) is None
    assert getattr(meta, method)(**{attr + "_info": value}) is None
    assert getattr(meta, method)() is None
    assert all(len(args) == 1 and kw == {} for args, kw in component.received)
    sent = [args[0] for args, _ in component.received]
    if value is None:  # each call gets its own new dict
        assert sent[0] == sent[1] == {} and sent[0] is not sent[1] and type(sent[0]) is dict
    else:
        assert sent[0] is value and sent[1] is value
    assert sent[2] == {} and sent[2] is not sent[0]


@pytest.mark.parametrize("method,attr", UPDATES)
@pytest.mark.parametrize("value", [5, "text"])
def test_update_with_non_mapping_fails_in_component(meta, method, attr, value):
    before = dict(vars(getattr(meta, attr)))
    with pytest.raises(AttributeError, match="items"):
        getattr(meta, method)(value)
    assert vars(getattr(meta, attr)) == before
