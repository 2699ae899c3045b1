"""The direct routes inside the module step aside whenever Python code could
tell them apart from ordinary calls and attribute access."""
import pytest

from conftest import NODE
from pemu_sdk.redis import pemu_data as m


def test_instance_attribute_shadows_a_component_method(envelope):
    seen = []
    envelope.meta.source.update = seen.append
    envelope.meta.source.to_dict = lambda: "own"
    envelope.meta.update_source({"frame_id": 1})
    assert seen == [{"frame_id": 1}]
    assert envelope.meta.to_dict()["source"] == "own"
    assert envelope.meta.source.frame_id is None


def test_class_level_replacements_are_honoured(monkeypatch, envelope):
    monkeypatch.setattr(m.MetaModule, "to_dict", lambda self: "replaced")
    monkeypatch.setattr(m.Meta, "to_dict", m.MetaSource.to_dict)  # one of ours, other class
    assert envelope.create_pemu_data()["meta"] is vars(envelope.meta)
    monkeypatch.undo()
    assert envelope.create_pemu_data()["meta"]["module"]["id"] == "node-1"


def test_init_swapped_for_another_method_of_the_module(monkeypatch):
    monkeypatch.setattr(m.MetaFrameFormat, "__init__", m.MetaFrameFormat.to_dict)
    with pytest.raises(TypeError, match=r"^__init__\(\) should return None, not 'dict'$"):
        m.Meta(None, 0, None, None, None)


def test_classes_with_their_own_construction(monkeypatch):
    made = []

    class Recording(type):
        def __call__(cls, *args, **kwargs):
            made.append((cls.__name__, kwargs))
            return super().__call__(*args, **kwargs)

    class Source(m.MetaSource, metaclass=Recording):
        pass

    class Module(m.MetaModule):
        def __new__(cls, **kwargs):
            made.append(("Module.__new__", kwargs))
            return super().__new__(cls)

    monkeypatch.setattr(m, "MetaSource", Source)
    monkeypatch.setattr(m, "MetaModule", Module)
    meta = m.Meta(NODE, 0, NODE, 0, None)
    assert made == [("Module.__new__", {"cur_node": NODE, "feed_port_idx": 0}),
                    ("Source", {"src_node": NODE, "src_output_port": 0, "src_name": None})]
    assert type(meta.source) is Source and meta.module.feed_port_idx == 0


def test_merge_through_properties_and_special_attributes():
    log = []

    class Source(m.MetaSource):
        @property
        def frame_id(self):
            log.append("get")
            return vars(self).get("frame_id")

        @frame_id.setter
        def frame_id(self, value):
            log.append(("set", value))
            vars(self)["frame_id"] = value

    source = Source()
    source.update({"frame_id": 3})
    source.update({"frame_id": 3})
    assert log == ["get", "get", ("set", 3), "get", "get"]
    with pytest.raises(TypeError, match="__class__ must be set to a class"):
        source.update({"__class__": 1})


def test_to_dict_honours_a_subclass_dict():
    class Source(m.MetaSource):
        __dict__ = property(lambda self: {"made": "up"})

    class Counting(m.MetaSource):
        def __getattribute__(self, name):
            Counting.reads.append(name)
            return super().__getattribute__(name)
        reads = []

    assert Source().to_dict() == {"made": "up"}
    assert Counting().to_dict() == {} and Counting.reads == ["to_dict", "__dict__"]


def test_merge_keys_fresh_from_json_are_stored_once_per_name():
    source = m.MetaSource(NODE, 0)
    key = "".join(["frame", "_id"])  # equal to, but not, the interned name
    source.update({key: 5})
    source.update({"".join(["frame", "_id"]): 5.0})
    assert source.frame_id == 5 and type(source.frame_id) is int
    assert list(source.to_dict()).count("frame_id") == 1


def test_constructor_follows_the_class_init_as_it_stands(monkeypatch):
    seen = []
    monkeypatch.setattr(m.PemuData, "__init__", lambda self, *a, **k: seen.append((a, k)))
    m.PemuData(1, 2, src_name=3)
    assert seen == [((1, 2), {"src_name": 3})]
    monkeypatch.undo()

    class Envelope(m.PemuData):
        def __init__(self, *args):
            seen.append(args)
            super().__init__(*args)

    assert Envelope(0, NODE).meta.module.id == "node-1" and seen[-1] == (0, NODE)
    monkeypatch.setattr(m.MetaModule, "__init__", lambda self, **k: seen.append(k))
    assert "id" not in vars(m.Meta(NODE, 0, NODE, 0, None).module)
    assert seen[-1] == {"cur_node": NODE, "feed_port_idx": 0}
    monkeypatch.setattr(m.MetaFrameFormat, "__init__", m.MetaFrameFormat.to_dict)
    with pytest.raises(TypeError, match=r"^__init__\(\) should return None, not 'dict'$"):
        m.MetaFrameFormat()
    with pytest.raises(TypeError, match=r"^__init__\(\) takes at most 6 positional "
                                        r"arguments \(10 given\)$"):
        m.PemuData(*range(9))


@pytest.mark.parametrize("held, received, replaced", [
    ("node-1", "".join(["node", "-1"]), False),
    ("node-1", "node-2", True),
    ("caf\u00e9", "cafe", True),
    (2 ** 70, 2 ** 70 + 0, False),
    (2 ** 70, 2 ** 70 + 1, True),
    (0.0, -0.0, False),
    (float("nan"), float("nan"), True),
    (7, 7.0, False),
    (True, 1, False),
])
def test_merge_compares_received_values_as_python_does(held, received, replaced):
    source = m.MetaSource()
    source.update({"frame_id": held})
    source.update({"frame_id": received})
    assert (source.frame_id is received) == replaced


def texts_differing_in_one_place(alphabet="ab"):
    """Pairs of texts of every length up to 20, equal or differing in one
    character (first, middle or last); the texts are built at run time, so
    no two are the same object."""
    for length in range(21):
        base = "".join(alphabet[i % len(alphabet)] for i in range(length))
        yield base, "".join(list(base))
        for at in {0, length // 2, length - 1} if length else ():
            yield base, base[:at] + "z" + base[at + 1:]


@pytest.mark.parametrize("alphabet", ["ab", "\u00e9\u00e8", "\u20ac\u2190", "\U0001f600\U0001f601"])
def test_merge_compares_texts_of_every_length(alphabet):
    for held, received in texts_differing_in_one_place(alphabet):
        source = m.MetaSource()
        source.update({"name": held})
        source.update({"name": received})
        assert source.name is (received if held != received else held), (held, received)


def test_keys_of_every_length_keep_their_own_names():
    import json

    pairs = [p for p in texts_differing_in_one_place() if p[0]]
    for held, received in pairs:
        source = m.MetaSource()
        source.update(json.loads(json.dumps({held: 1, received: 2})))
        expected = {held: 1, received: 2} if held != received else {held: 2}
        assert {k: v for k, v in vars(source).items() if k in expected} == expected


def test_merge_of_many_distinct_keys_stores_interned_names():
    import json
    import sys

    source = m.MetaSource()
    keys = ["key_%d" % i for i in range(3000)]
    source.update(json.loads(json.dumps(dict.fromkeys(keys, 1))))
    stored = [k for k in vars(source) if k.startswith("key_")]
    assert stored == keys and all(sys.intern(k) is k for k in stored)


def test_module_attributes_read_as_attribute_access_reads_them(monkeypatch, envelope):
    import types

    class Lazy(types.ModuleType):
        def __getattr__(self, name):
            return lambda *args: 42.0 if name == "time" else {"from": name}

    monkeypatch.setattr(m, "time", Lazy("time"))
    monkeypatch.setattr(m, "json", Lazy("json"))
    assert m.Meta(None, 0, None, None, None).ts == 42.0
    assert envelope.parse_pemu_data(b"{}") == {"from": "loads", "frame": None}
    bare = types.ModuleType.__new__(types.ModuleType)  # no namespace at all
    monkeypatch.setattr(m, "time", bare)
    monkeypatch.setattr(m, "json", bare)
    with pytest.raises(AttributeError):
        m.Meta(None, 0, None, None, None)
    with pytest.raises(AttributeError):
        envelope.parse_pemu_data(b"{}")


def test_parse_and_create_call_replaced_meta_operations(monkeypatch, envelope):
    seen = []
    monkeypatch.setattr(m.Meta, "update_source", lambda self, *a, **k: seen.append(("s", a, k)))
    monkeypatch.setattr(m.Meta, "update_frame_format",
                        lambda self, *a, **k: seen.append(("f", a, k)))
    monkeypatch.setattr(m.Meta, "to_dict", lambda self: {"made": "here"})
    empty = {}
    envelope.parse_pemu_data({"meta": {"frame_format": empty}})
    assert seen == [("s", (), {"source_info": None}), ("f", (empty,), {})]
    assert seen[1][1][0] is empty
    assert envelope.create_pemu_data()["meta"] == {"made": "here"}


def test_component_updates_step_aside_for_other_update_methods(monkeypatch, envelope):
    seen = []
    monkeypatch.setattr(m.MetaSource, "update", lambda self, info: seen.append(info))

    class FrameFormat(m.MetaFrameFormat):
        def update(self, info):
            seen.append(("sub", info))

    envelope.meta.frame_format = FrameFormat()
    empty = {}
    envelope.parse_pemu_data({"meta": {"source": empty}})
    envelope.meta.update_source()
    assert seen[0] is empty and seen[1] == ("sub", {}) and seen[2] == {}
    assert seen[2] is not empty and type(seen[2]) is dict


def test_attributes_set_through_a_property_added_to_the_class(monkeypatch):
    log = []

    def setter(self, value):
        log.append(value)
        vars(self)["_frame_id"] = value

    monkeypatch.setattr(m.MetaSource, "frame_id",
                        property(lambda self: vars(self).get("_frame_id"), setter))
    monkeypatch.setattr(m.Meta, "ts", property(lambda self: 1.0, lambda self, v: log.append("ts")),
                        raising=False)
    meta = m.Meta(NODE, 0, NODE, 0, None)
    meta.update_source({"frame_id": 7})
    assert log == ["ts", None, 7] and meta.source.frame_id == 7
    assert list(vars(meta.source)) == ["id", "type", "name", "source_name", "source_key",
                                       "output_port_idx", "_frame_id", "ts"]


def test_attribute_reads_follow_the_generic_rules():
    reads = []

    class Envelope(m.PemuData):
        @property
        def meta(self):
            reads.append("meta")
            return vars(self)["meta"]

        @meta.setter
        def meta(self, value):
            vars(self)["meta"] = value

    envelope = Envelope(0, NODE, NODE, 0)
    envelope.parse_pemu_data({})
    envelope.create_pemu_data()
    assert reads == ["meta", "meta", "meta"]
    plain = m.PemuData(0, NODE)
    del plain.meta
    with pytest.raises(AttributeError, match=r"^'PemuData' object has no attribute 'meta'$"):
        plain.create_pemu_data()
    m.PemuData.meta = "class level"
    try:
        with pytest.raises(AttributeError, match="'str' object has no attribute 'to_dict'"):
            plain.create_pemu_data()
    finally:
        del m.PemuData.meta


def test_clock_read_through_whatever_builtin_the_time_name_holds(monkeypatch):
    import os
    import types

    clock = types.ModuleType("clock")
    clock.time = os.getpid  # a built-in taking no arguments, like time.time
    monkeypatch.setattr(m, "time", clock)
    meta = m.Meta(NODE, 0, NODE, 0, None)
    assert meta.ts == meta.source.ts == os.getpid()
    clock.time = os.getcwd.__call__  # not a built-in function object
    assert m.Meta(None, 0, None, None, None).ts == os.getcwd()


class Recording:
    """A data descriptor that keeps its value in the instance dict under
    another name and logs every read and write."""

    def __init__(self, name, log):
        self.name, self.log = name, log

    def __get__(self, obj, cls=None):
        if obj is None:
            return self
        self.log.append(("get", self.name))
        return vars(obj).get("_" + self.name)

    def __set__(self, obj, value):
        self.log.append(("set", self.name, value))
        vars(obj)["_" + self.name] = value


def test_descriptors_added_after_use_are_honoured(monkeypatch):
    # What the classes hold is looked up once and remembered until the
    # class changes: each change must be seen by the next operation.
    for _ in range(3):
        envelope = m.PemuData(0, NODE, NODE, 0)
        envelope.meta.update_source({"name": "x", "frame_id": 1})
        envelope.create_pemu_data()
    log = []
    monkeypatch.setattr(m.MetaSource, "name", Recording("name", log))
    monkeypatch.setattr(m.Meta, "source", Recording("source", log), raising=False)
    envelope = m.PemuData(0, NODE, NODE, 0)
    source = vars(envelope.meta)["_source"]
    assert log == [("set", "name", "OD Node"), ("set", "source", source)]
    del log[:]
    envelope.meta.update_source({"name": "y", "id": "node-1"})
    assert log == [("get", "source"), ("get", "name"), ("get", "name"), ("set", "name", "y")]
    monkeypatch.undo()
    envelope = m.PemuData(0, NODE, NODE, 0)
    envelope.meta.update_source({"name": "z"})
    assert vars(envelope.meta.source)["name"] == "z" and "source" in vars(envelope.meta)


def change_a_base(log, monkeypatch):
    class Source(m.MetaSource):
        pass

    return Source(), lambda: monkeypatch.setattr(m.MetaSource, "frame_id",
                                                 Recording("frame_id", log))


def replace_the_bases(log, monkeypatch):
    class Plain:
        pass

    class Guarded:
        frame_id = Recording("frame_id", log)

    class Record(Plain):
        update = m.MetaSource.update

    return Record(), lambda: setattr(Record, "__bases__", (Guarded,))


def give_a_class_attribute_a_setter(log, monkeypatch):
    class Value:
        pass

    class Record:
        update = m.MetaSource.update
        frame_id = Value()

    def change():
        Value.__get__ = lambda self, obj, cls=None: log.append(("get", "frame_id"))
        Value.__set__ = lambda self, obj, value: log.append(("set", "frame_id", value))
    return Record(), change


@pytest.mark.parametrize("fresh_keys", [False, True], ids=["literal keys", "keys from JSON"])
@pytest.mark.parametrize("scenario", [change_a_base, replace_the_bases,
                                      give_a_class_attribute_a_setter])
def test_merge_follows_classes_that_change_after_use(scenario, fresh_keys, monkeypatch):
    import json

    def entries(value):
        return json.loads('{"frame_id": %d}' % value) if fresh_keys else {"frame_id": value}

    log = []
    record, change = scenario(log, monkeypatch)
    for value in (1, 2, 2):
        type(record).update(record, entries(value))
    assert vars(record)["frame_id"] == 2 and log == []
    change()
    type(record).update(record, entries(3))
    # Read twice through the descriptor (presence, comparison), then set.
    assert log == [("get", "frame_id"), ("get", "frame_id"), ("set", "frame_id", 3)]
    assert vars(record)["frame_id"] == 2


def test_keys_from_json_answered_for_each_record_type():
    import json

    log = []

    class Guarded:
        frame_id = Recording("frame_id", log)
        update = m.MetaSource.update

    source, guarded = m.MetaSource(), Guarded()
    for value in (1, 2):
        source.update(json.loads('{"frame_id": %d}' % value))
        Guarded.update(guarded, json.loads('{"frame_id": %d}' % value))
    assert vars(source)["frame_id"] == 2 and "frame_id" not in vars(guarded)
    assert [entry for entry in log if entry[0] == "set"] == [("set", "frame_id", 1),
                                                            ("set", "frame_id", 2)]
