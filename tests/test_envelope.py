"""PemuData: construction, payload creation and payload parsing."""
import copy
import json
from types import SimpleNamespace

import numpy as np
import pytest

from conftest import NODE


def snapshot(envelope):
    meta = envelope.meta
    return [dict(vars(meta))] + copy.deepcopy(
        [vars(meta.source), vars(meta.module), vars(meta.frame_format)])


def test_construction_hands_keywords_to_meta(mod, monkeypatch):
    seen = []
    monkeypatch.setattr(mod, "Meta", lambda *a, **kw: seen.append((a, list(kw.items()))) or "meta")
    envelope = mod.PemuData(7, "cur", "src", 2, "name")
    assert seen == [((), [("cur_node", "cur"), ("feed_idx", 7), ("src_node", "src"),
                          ("src_port", 2), ("src_name", "name")])]
    assert envelope.meta == "meta" and envelope.frame is None and envelope.result is None


# -- create_pemu_data ----------------------------------------------------------

def test_create_default_payload(envelope, calls):
    first, second = envelope.create_pemu_data(), envelope.create_pemu_data()
    assert list(first) == ["meta", "result", "frame"]
    assert first["result"] == [] and first["frame"] is None
    assert first["result"] is not second["result"] and first["meta"] is not second["meta"]
    meta = envelope.meta
    assert list(first["meta"]) == ["ts", "source", "module", "frame_format"]
    assert first["meta"]["ts"] is meta.ts
    for key in ("source", "module", "frame_format"):
        assert first["meta"][key] is vars(getattr(meta, key))
    assert first["meta"]["frame_format"] == {} and calls.calls == []


@pytest.mark.parametrize("result", [[{"label": "car"}], [], {}, 0, "x"])
def test_create_keeps_result_object(envelope, result):
    assert envelope.create_pemu_data(result=result)["result"] is result


def test_create_applies_ext_info(envelope):
    marker = object()
    meta = envelope.create_pemu_data(ext_info={"ts": 1.0, "extra": marker, "module": "m"})["meta"]
    assert list(meta) == ["ts", "source", "module", "frame_format", "extra"]
    assert meta["ts"] == 1.0 and meta["extra"] is marker and meta["module"] == "m"
    assert envelope.meta.ts != 1.0 and vars(envelope.meta.module)["id"] == "node-1"


@pytest.mark.parametrize("ext_info", [[("extra", 1)], "extra", ("extra",), {}, 0])
def test_create_ignores_non_dict_or_empty_ext_info(envelope, ext_info):
    assert list(envelope.create_pemu_data(ext_info=ext_info)["meta"]) == [
        "ts", "source", "module", "frame_format"]


class BadItems(dict):
    def items(self):
        return self["bad"]


@pytest.mark.parametrize("items,error", [
    ([("a", 1, 2)], ValueError), ([("a",)], ValueError), ([None], TypeError)])
def test_create_ext_info_with_bad_pairs_fails(envelope, items, error):
    with pytest.raises(error):
        envelope.create_pemu_data(ext_info=BadItems(bad=items))


@pytest.mark.parametrize("received,kwargs,expected", [
    ({}, {}, ("jpg", False)),
    ({"encoder": "png", "with_base64": True, "q": 9}, {}, ("jpg", False)),
    ({}, {"encoder": None, "with_base64": None}, (None, False)),
    ({"encoder": "png", "with_base64": True}, {"encoder": None, "with_base64": None}, ("png", True)),
    ({"encoder": "png", "with_base64": True}, {"encoder": "jpg", "with_base64": None}, ("jpg", True)),
    ({"encoder": "png"}, {"encoder": None, "with_base64": 0}, ("png", 0)),
])
def test_create_with_frame(envelope, calls, received, kwargs, expected):
    envelope.meta.update_frame_format(received)
    before = snapshot(envelope)
    frame = np.zeros((2, 2, 3), np.uint8)  # an array has no truth value
    doc = envelope.create_pemu_data(frame=frame, ext_info={"frame_format": "x"}, **kwargs)
    (name, args, kw), = calls.calls
    assert name == "img_to_str" and args == () and kw["image"] is frame
    assert list(kw.items())[1:] == [("encoder", expected[0]), ("with_base64", expected[1])]
    assert doc["frame"] == "text(%s)" % (frame,)
    assert list(doc["meta"]) == ["ts", "source", "module", "frame_format"]
    assert doc["meta"]["frame_format"] == {"encoder": expected[0], "with_base64": expected[1]}
    assert list(doc["meta"]["frame_format"]) == ["encoder", "with_base64"]
    assert snapshot(envelope) == before


@pytest.mark.parametrize("version", [1, 2, 0.5, True])
def test_create_full_payload_versions(envelope, calls, version):
    doc = envelope.create_pemu_data(version, None, [1], "img")
    assert doc["result"] == [1] and doc["frame"] == "text(img)"


@pytest.mark.parametrize("version", [0, -1, False, 0.0])
def test_create_frame_only_payload(envelope, calls, version):
    envelope.meta = None  # the metadata is not read on this road
    assert envelope.create_pemu_data(version, {"a": 1}, [1]) is None
    assert calls.calls == []
    assert envelope.create_pemu_data(version, {"a": 1}, [1], "img", "png", True) == "b64(img)"
    assert calls.calls == [("img_to_base64str", (), {"image": "img"})]


@pytest.mark.parametrize("version", ["1", None, [1]])
def test_create_unordered_version_fails_first(envelope, calls, version):
    envelope.meta = None
    with pytest.raises(TypeError):
        envelope.create_pemu_data(version, frame="img")
    assert calls.calls == []


# -- parse_pemu_data -----------------------------------------------------------

PAYLOAD = {"meta": {"ts": 1.0, "module": {"id": "other"},
                    "source": {"id": "up", "frame_id": 7, "name": None},
                    "frame_format": {"encoder": "png", "with_base64": True}},
           "result": [1, 2, 3], "frame": "abc"}


def test_parse_bytes_with_module_json(envelope, calls, monkeypatch, mod):
    seen = []
    monkeypatch.setattr(mod, "json", SimpleNamespace(loads=lambda t: seen.append(t) or json.loads(t)))
    raw = json.dumps(PAYLOAD).encode()
    for data in (raw, type("B", (bytes,), {})(raw)):
        out = envelope.parse_pemu_data(data)
        assert out == dict(PAYLOAD, frame="image(abc)")
    assert seen == [raw.decode()] * 2 and all(type(s) is str for s in seen)


def test_parse_updates_source_and_frame_format_only(envelope, calls):
    ts, module = envelope.meta.ts, dict(vars(envelope.meta.module))
    data = copy.deepcopy(PAYLOAD)
    assert envelope.parse_pemu_data(data) is data
    assert list(data) == ["meta", "result", "frame"] and data["frame"] == "image(abc)"
    assert data["meta"] == PAYLOAD["meta"] and data["result"] == [1, 2, 3]
    source = vars(envelope.meta.source)
    assert (source["id"], source["frame_id"], source["name"]) == ("up", 7, "OD Node")
    assert vars(envelope.meta.frame_format) == {"encoder": "png", "with_base64": True}
    assert envelope.meta.ts is ts and vars(envelope.meta.module) == module
    assert calls.calls == [("str_to_img", (), {"img_as_str": "abc", "encoder": "png",
                                               "with_base64": True})]
    assert list(calls.calls[0][2]) == ["img_as_str", "encoder", "with_base64"]


@pytest.mark.parametrize("frame_format,args,expected", [
    ({"encoder": "png", "with_base64": True}, (), ("png", True)),
    ({"encoder": None, "with_base64": False}, (), ("jpg", False)),  # None never clears
    (None, (), ("jpg", True)),  # no "frame_format": earlier values count
    ({"encoder": "png"}, ("jpg",), ("jpg", True)),
    ({"with_base64": False}, (None, 0), ("jpg", 0)),
])
def test_parse_decodes_with_frame_format_after_update(envelope, calls, frame_format, args, expected):
    envelope.meta.update_frame_format({"encoder": "jpg", "with_base64": True})
    meta = {} if frame_format is None else {"frame_format": frame_format}
    envelope.parse_pemu_data({"meta": meta, "frame": "abc"}, 1, *args)
    assert calls.calls[0][2] == {"img_as_str": "abc", "encoder": expected[0],
                                 "with_base64": expected[1]}


@pytest.mark.parametrize("data", [{"result": 1}, {"frame": ""}, {"frame": None}, {"frame": 0}, {}])
def test_parse_falsy_or_missing_frame_gives_none(envelope, calls, data):
    keys = list(data) if "frame" in data else list(data) + ["frame"]
    out = envelope.parse_pemu_data(data)
    assert out is data and list(out) == keys and out["frame"] is None
    assert calls.calls == []


@pytest.mark.parametrize("version", [0, 0.0, False])
@pytest.mark.parametrize("data", [b"abc", "abc", {"meta": {"source": {"id": "x"}}, "frame": "a"}])
def test_parse_frame_only_payload(envelope, calls, monkeypatch, mod, version, data):
    monkeypatch.setattr(mod, "json", None)
    before, original = snapshot(envelope), copy.deepcopy(data)
    assert envelope.parse_pemu_data(data, version) == "image(%s)" % (data,)
    assert calls.calls == [("base64_to_img", (), {"b64_bytes": data})]
    assert calls.calls[0][2]["b64_bytes"] is data and data == original
    assert snapshot(envelope) == before


@pytest.mark.parametrize("version", [-1, 0.5, None, "0", 2])
def test_parse_nonzero_version_is_full_payload(envelope, calls, version):
    out = envelope.parse_pemu_data(json.dumps({"frame": "abc"}).encode(), version)
    assert out == {"frame": "image(abc)"} and calls.calls[0][0] == "str_to_img"


@pytest.mark.parametrize("data,error", [
    (b"\xff\xfe{}", UnicodeDecodeError), (b"{not json", ValueError), (b"[1]", AttributeError),
    ('{"meta": {}}', AttributeError), (b'{"meta": null, "frame": "abc"}', AttributeError),
    ({"meta": [], "frame": "abc"}, AttributeError)])
def test_parse_bad_payload_leaves_envelope(envelope, calls, data, error):
    before = snapshot(envelope)
    with pytest.raises(error):
        envelope.parse_pemu_data(data)
    assert snapshot(envelope) == before and calls.calls == []


def test_parse_failing_frame_format_update_keeps_source_update(envelope, calls):
    data = {"meta": {"source": {"frame_id": 9}, "frame_format": {"encoder": "png", 1: 2}},
            "frame": "abc"}
    with pytest.raises(TypeError):
        envelope.parse_pemu_data(data)
    assert envelope.meta.source.frame_id == 9 and envelope.meta.frame_format.encoder == "png"
    assert data["frame"] == "abc" and calls.calls == []


def test_parse_failing_decode_keeps_both_updates(envelope, calls, monkeypatch, mod):
    monkeypatch.setattr(mod, "str_to_img", calls.fake("str_to_img", raises=ValueError("bad image")))
    data = copy.deepcopy(PAYLOAD)
    with pytest.raises(ValueError, match="bad image"):
        envelope.parse_pemu_data(data)
    assert envelope.meta.source.id == "up" and envelope.meta.frame_format.with_base64 is True
    assert data["frame"] == "abc"
