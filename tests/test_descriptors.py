"""The source, module and frame-format records and their shared merge rule."""
import time

import pytest

from conftest import NODE
from pemu_sdk.redis.pemu_data import MetaFrameFormat, MetaModule, MetaSource


class Node(dict):
    """A node description that records the calls of its `get`."""
    def get(self, *args):
        vars(self).setdefault("gets", []).append(args)
        return super().get(*args)


class Fmt(str):
    """Renders differently through format() than through str()."""
    def __format__(self, format_spec):
        return "F" + format_spec


@pytest.mark.parametrize("src_name, computed", [(None, True), ("", True), (0, True), ("cam", False)])
def test_source_from_node(src_name, computed):
    node = Node(NODE)
    before = time.time()
    src = MetaSource(node, 1, src_name)
    after = time.time()
    assert list(src.to_dict().items()) == [
        ("id", "node-1"), ("type", "object-detection"), ("name", "OD Node"),
        ("source_name", "object-detection_1" if computed else src_name),
        ("source_key", "node-1_1"), ("output_port_idx", 1), ("frame_id", None), ("ts", src.ts)]
    assert computed or src.source_name is src_name
    assert isinstance(src.ts, float) and before <= src.ts <= after
    assert node.gets == [("id", None), ("type", None), ("name", None)] + [
        ("type",)] * computed + [("id",)]


@pytest.mark.parametrize("node, port, key, name", [
    ({}, 0, "None_0", "None_0"), (NODE, None, "node-1_None", "object-detection_None"),
    ({"id": 7, "type": 1.5}, 2.5, "7_2.5", "1.5_2.5"),
    ({"id": Fmt("x"), "type": "t"}, Fmt("p"), "F_F", "t_F"),
])
def test_source_key_rendering(node, port, key, name):
    src = MetaSource(node, port)
    assert (src.source_key, src.source_name) == (key, name)
    assert type(src.source_key) is type(src.source_name) is str
    assert src.output_port_idx is port


@pytest.mark.parametrize("make", [
    MetaSource, lambda: MetaSource(None, 3, "cam"), lambda: MetaSource(src_output_port=1),
    MetaModule, lambda: MetaModule(None, 3), MetaFrameFormat])
def test_blank_records(make):
    record = make()
    assert record.to_dict() == {}
    for k, v in vars(type(record)).items():
        assert k.startswith("__") or callable(v) or getattr(record, k) is v


@pytest.mark.parametrize("cls", [MetaSource, MetaModule])
@pytest.mark.parametrize("node", [0, [], ""])
def test_node_without_get(cls, node):
    with pytest.raises(AttributeError):
        cls(node)


@pytest.mark.parametrize("node, port, items", [
    (NODE, 2, [("id", "node-1"), ("type", "object-detection"), ("feed_port_idx", 2)]),
    ({}, 0, [("id", None), ("type", None), ("feed_port_idx", 0)]),
])
def test_module_from_node(node, port, items):
    node = Node(node)
    assert list(MetaModule(node, port).to_dict().items()) == items
    assert node.gets == [("id", None), ("type", None)]


def test_frame_format_keywords():
    ff = MetaFrameFormat(with_base64=True, encoder=None, update=1)
    assert list(ff.to_dict().items()) == [("with_base64", True), ("encoder", None), ("update", 1)]
    assert MetaFrameFormat.update(ff, {"with_base64": 1}) is None and ff.with_base64 is True


@pytest.fixture(params=[lambda: MetaSource(NODE, 0), lambda: MetaModule(NODE, 2),
                        MetaFrameFormat, MetaSource, MetaModule])
def record(request):
    return request.param()


def test_to_dict_is_live(record):
    d = record.to_dict()
    assert d is record.to_dict() is vars(record)
    d["x"], record.y = 1, 2
    record.update({"z": 3})
    assert (record.x, d["y"], d["z"]) == (1, 2, 3)
    del d["x"]
    assert not hasattr(record, "x")


@pytest.mark.parametrize("old, new", [(0, 0.0), (1, True), (True, 1), ("ab", "".join("ab"))])
def test_merge(record, old, new):
    keys = list(record.to_dict())
    assert record.update({"k": old, "skip": None, 3: None}) is None
    record.update({"k": new, "frame_id": 42, "with_base64": False, "id": None})
    assert record.k is old and record.frame_id == 42
    # with_base64 -> False equals MetaFrameFormat's class default, so is not stored there
    assert list(record.to_dict()) == keys + ["k"] + [
        k for k in ("frame_id", "with_base64")
        if k not in keys and getattr(type(record), k, None) is not False]
    assert record.to_dict().get("id") == ("node-1" if keys else None)


def test_merge_stops_at_non_str_key(record):
    with pytest.raises(TypeError, match=r"^hasattr\(\): attribute name must be string$"):
        record.update({"a": 1, 2: "x", "b": 3})
    assert record.a == 1 and not hasattr(record, "b")


class Items:
    def __init__(self, *elements):
        self.elements = elements

    def items(self):
        return iter(self.elements)


@pytest.mark.parametrize("element, exc, message", [
    (("a", 1, 2), ValueError, "too many values to unpack (expected 2)"),
    ("abc", ValueError, "too many values to unpack (expected 2)"),
    (("a",), ValueError, "need more than 1 value to unpack"),
    (["a"], ValueError, "need more than 1 value to unpack"),
    ((), ValueError, "need more than 0 values to unpack"),
    (None, TypeError, "'NoneType' object is not iterable"),
])
def test_merge_bad_items(record, element, exc, message):
    with pytest.raises(exc) as info:
        record.update(Items(("first", 1), element, ("last", 2)))
    assert str(info.value) == message
    assert record.first == 1 and "last" not in record.to_dict()
    with pytest.raises(AttributeError) as info:
        record.update(None)
    assert str(info.value) == "'NoneType' object has no attribute 'items'"


class ItemsDict(dict):
    def items(self):
        return [("via", "items")]


@pytest.mark.parametrize("mapping, applied", [
    (Items(("a", 1), ["b", 2], "cd"), {"a": 1, "b": 2, "c": "d"}),
    (ItemsDict(a=1), {"via": "items"}),
    (MetaModule(NODE, 2).to_dict(), {"id": "node-1", "type": "object-detection",
                                      "feed_port_idx": 2}),
])
def test_merge_any_items(record, mapping, applied):
    record.update(mapping)
    assert {k: record.to_dict()[k] for k in applied} == applied


class Ne:
    """Records the comparisons made with it; may run `change` meanwhile."""
    def __init__(self, result, change=None):
        self.result, self.change, self.seen = result, change, []

    def __ne__(self, other):
        self.seen.append(other)
        if self.change is not None:
            self.change()
        return self.result


@pytest.mark.parametrize("result, stored", [
    (False, False), (0, False), ([], False), (True, True), ("x", True)])
def test_merge_compares_current_against_new(record, result, stored):
    current = record.k = Ne(result)
    record.update({"k": "new"})
    assert current.seen == ["new"] and (record.k == "new") is stored


def test_merge_dict_changing_size(record):
    mapping = {"k": 5, "later": 6}
    record.k = Ne(True, change=lambda: mapping.update(new=1))
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        record.update(mapping)
    assert record.k == 5 and not hasattr(record, "later")


def test_merge_dict_changing_keys_not_size(record):
    # Only a change of size is refused, on every interpreter (from 3.8 on,
    # the interpreter's own dict iteration also refuses other keys).
    mapping = {"k": 5, "later": 6}
    record.k = Ne(True, change=lambda: (mapping.pop("later"), mapping.update(other=7)))
    record.update(mapping)
    assert (record.k, record.other) == (5, 7) and not hasattr(record, "later")


@pytest.mark.parametrize("error", [AttributeError, ValueError])
@pytest.mark.parametrize("cls", [MetaSource, MetaModule, MetaFrameFormat])
def test_merge_reads_attribute_twice(cls, error):
    reads = []

    def __getattribute__(self, name):
        if name in ("id", "k"):
            reads.append(name)
            if reads == ["k"]:
                raise error  # a failed presence check of any kind counts as absent
        return object.__getattribute__(self, name)

    record = type("Counting", (cls,), {"__getattribute__": __getattribute__})()
    record.update({"k": 1})
    record.update({"k": 2})
    assert reads == ["k", "k", "k"] and record.k == 2
    reads.clear()
    record.update({"id": "x"})
    assert reads == ["id"] * (1 if cls is MetaFrameFormat else 2) and record.id == "x"
