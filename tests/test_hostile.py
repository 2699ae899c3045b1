"""Hostile callers and payloads.

Mapping subclasses, keys and values whose methods raise, answer in odd
shapes, or change the mapping, the envelope or the module's namespace half-way
through an operation, and call back into the same envelope.  After every
step: no crash, either a specified result or an ordinary exception (never the
SystemError of an internal fault), and once the hostility stops the envelope
still works.
"""
import functools
import gc
import json
import sys
import types

import pytest
from hypothesis import given, strategies as st

from conftest import NODE
from pemu_sdk.redis import pemu_data as m
from soak import count, examples

CODEC = ("img_to_str", "str_to_img", "img_to_base64str", "base64_to_img")
MODULE_NAMES = ("time", "json", "MetaSource", "MetaModule", "MetaFrameFormat", "Meta") + CODEC
# The classes as loaded, whatever a hostile step binds in the namespace.
PemuData, Meta, MetaSource, MetaModule, MetaFrameFormat = (
    m.PemuData, m.Meta, m.MetaSource, m.MetaModule, m.MetaFrameFormat)


def restore(saved):
    """Puts the module namespace back exactly as saved, order included."""
    namespace = vars(m)
    if list(namespace.items()) != list(saved.items()):
        namespace.clear()
        namespace.update(saved)


# -- the hostile objects -------------------------------------------------------

class Chaos:
    """Decides, at every callback, what the callback does (drawn by Hypothesis)."""

    ACTIONS = ("honest", "honest", "raise", "odd", "clear-mapping", "grow-mapping",
               "reenter", "clear-descriptors", "new-meta", "break-meta", "module", "gc")
    ODD = (None, 0, -1, "", "text", b"bytes", 1.5, float("nan"), [], [("a", 1, 2)],
           [None], ("a",), {"k": None}, object())

    def __init__(self, data, env):
        self.data, self.env = data, env
        self.calm = False
        self.depth = 0
        self.returned = []  # what the fake codec functions answered
        self.mappings = []  # every mapping handed to the module, to change any of them

    def draw(self, strategy, label):
        return self.data.draw(strategy, label=label)

    def act(self, where, mapping=None):
        """Runs one drawn action; returns (True, value) to answer with an odd value.
        `mapping` is the one being read, if any; else one handed over earlier
        (a plain dict the module may be walking) is changed."""
        if self.calm:
            return False, None
        action = self.draw(st.sampled_from(self.ACTIONS), where)
        env = self.env
        if mapping is None and self.mappings and action.endswith("-mapping"):
            mapping = self.draw(st.sampled_from(self.mappings), "which mapping")
        if action == "raise":
            raise self.draw(st.sampled_from([KeyError, ValueError, TypeError, RuntimeError,
                                             AttributeError, LookupError]), "error")(where)
        if action == "odd":
            return True, self.draw(st.sampled_from(self.ODD), "odd value")
        if action == "clear-mapping" and isinstance(mapping, dict):
            dict.clear(mapping)
        elif action == "grow-mapping" and isinstance(mapping, dict):
            for i in range(self.draw(st.integers(1, 20), "grow")):
                dict.__setitem__(mapping, "grown%d" % i, i)
        elif action == "reenter" and self.depth < 3:
            self.depth += 1
            try:
                step(self, env)
            finally:
                self.depth -= 1
        elif action == "clear-descriptors" and isinstance(env.meta, Meta):
            for part in (env.meta.source, env.meta.frame_format, env.meta.module):
                vars(part).clear()
        elif action == "new-meta":
            env.meta = Meta(NODE, 0, NODE, 0, None)
        elif action == "break-meta":
            target, name = self.draw(st.sampled_from([
                (env, "meta"), (env.meta, "source"), (env.meta, "frame_format"),
                (env.meta, "ts")]), "broken")
            setattr(target, name, self.draw(st.sampled_from(self.ODD), "replacement"))
        elif action == "module":
            name = self.draw(st.sampled_from(MODULE_NAMES), "module name")
            if self.draw(st.booleans(), "delete"):
                vars(m).pop(name, None)
            else:
                setattr(m, name, self.draw(st.sampled_from(self.ODD + (Meta, len)), "as"))
        elif action == "gc":
            gc.collect()
        return False, None


CHAOS = None  # the Chaos of the running example, for the hooks below


def hook(where, honest, mapping=None):
    odd, value = CHAOS.act(where, mapping)
    return value if odd else honest()


class HDict(dict):
    """A dict subclass: every way in which the module reads it is a hook."""

    def items(self):
        return hook("items", lambda: list(dict.items(self)), self)

    def get(self, *args):
        return hook("get", lambda: dict.get(self, *args), self)

    def __getitem__(self, key):
        return hook("getitem", lambda: dict.__getitem__(self, key), self)

    def __setitem__(self, key, value):
        return hook("setitem", lambda: dict.__setitem__(self, key, value), self)


class HMapping:
    """Not a dict at all: only items() and get()."""

    def __init__(self, content):
        self.content = dict(content)

    def items(self):
        return hook("items", lambda: iter(list(self.content.items())), self.content)

    def get(self, *args):
        return hook("get", lambda: self.content.get(*args), self.content)


class HStr(str):
    """A key whose hash and comparisons are hooks."""

    def __hash__(self):
        return hook("hash", lambda: str.__hash__(self))

    def __eq__(self, other):
        return hook("eq", lambda: str.__eq__(self, other))

    def __ne__(self, other):
        return hook("ne", lambda: str.__ne__(self, other))


class HValue:
    """A value whose comparisons, truth and formatting are hooks."""

    def __init__(self, value):
        self.value = value

    def __eq__(self, other):
        return hook("eq", lambda: self.value == other)

    def __ne__(self, other):
        return hook("ne", lambda: self.value != other)

    def __gt__(self, other):
        return hook("gt", lambda: self.value > other)

    def __bool__(self):
        return bool(hook("bool", lambda: bool(self.value)))

    def __format__(self, spec):
        return hook("format", lambda: format(self.value, spec))

    __hash__ = object.__hash__


# -- the drawn operations ------------------------------------------------------

KEYS = ("id", "type", "name", "frame_id", "source_key", "encoder", "with_base64", "ts",
        "extra", "update", "to_dict")
PLAIN = st.one_of(st.none(), st.booleans(), st.integers(-3, 3), st.floats(allow_nan=True),
                  st.text(max_size=5))


def key(chaos):
    name = chaos.draw(st.sampled_from(KEYS), "key")
    return HStr(name) if chaos.draw(st.booleans(), "hostile key") else name


def value(chaos):
    plain = chaos.draw(PLAIN, "value")
    return HValue(plain) if chaos.draw(st.booleans(), "hostile value") else plain


def mapping(chaos, depth=0):
    entries = [(key(chaos), value(chaos)) for _ in range(chaos.draw(st.integers(0, 4), "size"))]
    if depth < 1 and chaos.draw(st.booleans(), "nested"):
        entries += [(part, mapping(chaos, depth + 1)) for part in ("source", "frame_format")]
    kind = chaos.draw(st.sampled_from(["dict", "HDict", "HMapping", "odd"]), "mapping kind")
    if kind == "odd":
        return chaos.draw(st.sampled_from(Chaos.ODD), "odd mapping")
    made = {"dict": dict, "HDict": HDict, "HMapping": HMapping}[kind](entries)
    chaos.mappings.append(made.content if kind == "HMapping" else made)
    return made


def payload(chaos):
    kind = chaos.draw(st.sampled_from(["mapping", "text", "broken text"]), "payload kind")
    if kind == "mapping":
        doc = mapping(chaos)
        if isinstance(doc, (dict, HMapping)):
            content = doc if isinstance(doc, dict) else doc.content
            dict.__setitem__(content, "meta", mapping(chaos))
            dict.__setitem__(content, "frame", value(chaos))
        return doc
    doc = {"meta": {"source": {"frame_id": chaos.draw(PLAIN, "frame id")},
                    "frame_format": {"encoder": chaos.draw(PLAIN, "encoder")}},
           "frame": chaos.draw(st.one_of(st.none(), st.text(max_size=3)), "frame")}
    text = json.dumps(doc).encode()
    if kind == "broken text":
        cut = chaos.draw(st.integers(0, len(text)), "cut")
        text = text[:cut] + chaos.draw(st.binary(max_size=4), "tail")
    return text


def step(chaos, env):
    """One drawn operation on `env` with hostile arguments; returns what it checks."""
    op = chaos.draw(st.sampled_from(["parse", "create", "update", "to_dict", "construct",
                                     "frame_format"]), "operation")
    version = chaos.draw(st.sampled_from([1, 1, 0, -1, 0.5, None, "1", HValue(1),
                                          HValue(0)]), "version")
    from_codec = chaos.returned
    if op == "parse":
        data = payload(chaos)
        out = env.parse_pemu_data(data, version, value(chaos), value(chaos))
        # the mapping given, the one decoded from bytes, or the decoded frame
        assert out is data or type(out) is dict or any(out is r for r in from_codec)
    elif op == "create":
        out = env.create_pemu_data(version, mapping(chaos), value(chaos),
                                   chaos.draw(st.sampled_from([None, "frame"]), "frame"),
                                   value(chaos), value(chaos))
        assert out is None or any(out is r for r in from_codec) or (
            type(out) is dict and list(out) == ["meta", "result", "frame"])
    elif op == "update":
        which = chaos.draw(st.sampled_from(["update_source", "update_frame_format",
                                            "update_module"]), "update")
        assert getattr(env.meta, which)(mapping(chaos)) is None
    elif op == "to_dict":
        out = env.meta.to_dict()
        assert list(out) == ["ts", "source", "module", "frame_format"]
    elif op == "construct":
        node = mapping(chaos)
        PemuData(value(chaos), node, node, value(chaos), value(chaos))
    else:
        made = MetaFrameFormat(**{key(chaos): value(chaos) for _ in range(2)})
        assert type(vars(made)) is dict


def fake_codec():
    """Codec functions that are hooks too; results say which one made them."""
    def make(name, tag):
        def fake(**kwargs):
            out = hook(name, lambda: (tag, name, sorted(kwargs)))
            CHAOS.returned.append(out)
            return out
        return fake
    return {"img_to_str": make("img_to_str", "encoded"),
            "img_to_base64str": make("img_to_base64str", "encoded"),
            "str_to_img": make("str_to_img", "decoded"),
            "base64_to_img": make("base64_to_img", "decoded")}


def assert_usable(env):
    """The envelope, left as the operations made it, still parses and creates."""
    payload = {"meta": {"source": {"frame_id": "check"}, "frame_format": {"encoder": "x"}},
               "frame": "text"}
    assert env.parse_pemu_data(payload) is payload
    assert payload["frame"] == ("decoded", "str_to_img", ["encoder", "img_as_str",
                                                           "with_base64"])
    doc = env.create_pemu_data(frame="frame", ext_info={"extra": 1})
    assert doc["meta"]["source"] is vars(env.meta.source)
    assert env.meta.source.frame_id == "check" and doc["meta"]["extra"] == 1
    assert env.parse_pemu_data(b'{"frame": null}') == {"frame": None}


@examples(150)
@given(st.data())
def test_hostile_sequences(data):
    global CHAOS
    env = PemuData(0, NODE, NODE, 0)
    CHAOS = chaos = Chaos(data, env)
    original = dict(vars(m))
    try:
        vars(m).update(fake_codec())
        honest = dict(vars(m))
        for _ in range(data.draw(st.integers(1, 6), label="steps")):
            try:
                step(chaos, env)
            except (SystemError, AssertionError):
                raise
            except Exception:
                pass  # an ordinary exception: allowed
            chaos.calm = True
            mend(env, honest)
            chaos.calm = False
        chaos.calm = True
        assert_usable(env)
    finally:
        restore(original)


def mend(env, namespace):
    """Undoes what a hostile caller breaks on purpose, by assignment: the
    module namespace and the envelope's parts.  What it passed to the
    operations must not have broken anything."""
    restore(namespace)
    if not isinstance(env.meta, Meta):
        env.meta = Meta(NODE, 0, NODE, 0, None)
    for part, cls in (("source", MetaSource), ("module", MetaModule),
                      ("frame_format", MetaFrameFormat)):
        if not isinstance(getattr(env.meta, part), cls):
            setattr(env.meta, part, cls())


# -- hostile payload bytes and documents ---------------------------------------

JSON = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(),
    lambda children: st.lists(children, max_size=4)
    | st.dictionaries(st.text(max_size=8), children, max_size=4),
    max_leaves=20)
META_KEYS = st.sampled_from(["meta", "source", "frame_format", "frame", "result", "encoder",
                             "with_base64", "id", "frame_id", "ts"])
PAYLOAD_LIKE = st.recursive(JSON, lambda children: st.dictionaries(META_KEYS, children,
                                                                   max_size=5), max_leaves=25)


def mangle(text, how, where, junk):
    if how == "truncate":
        return text[:where % (len(text) + 1)]
    if how == "non-utf8":
        at = where % (len(text) + 1)
        return text[:at] + b"\xff\xc3" + junk + text[at:]
    if how == "junk":
        return junk
    return text


@pytest.fixture
def decoded(monkeypatch):
    """Fake decoders, so that any truthy frame decodes to a marker."""
    monkeypatch.setattr(m, "str_to_img", lambda **kw: ("decoded", kw["img_as_str"]))
    monkeypatch.setattr(m, "base64_to_img", lambda **kw: ("decoded", kw["b64_bytes"]))


def check_parse(env, data, version=1):
    """Parses; the outcome is the specified result or an ordinary exception."""
    try:
        out = env.parse_pemu_data(data, version)
    except (ValueError, AttributeError, TypeError, RecursionError) as exc:
        assert not isinstance(exc, SystemError)
        return exc
    if version == 0:
        assert out == ("decoded", data)
    else:
        assert isinstance(out, dict) and "frame" in out
        frame = out["frame"]
        assert frame is None or frame[0] == "decoded"
    return out


@examples(300)
@given(doc=PAYLOAD_LIKE, how=st.sampled_from(["as is", "truncate", "non-utf8", "junk"]),
       where=st.integers(0, 1 << 16), junk=st.binary(max_size=64),
       version=st.sampled_from([1, 0, -1]))
def test_random_payload_bytes(decoded, doc, how, where, junk, version):
    env = m.PemuData(0, NODE, NODE, 0)
    text = mangle(json.dumps(doc).encode(), how, where, junk)
    check_parse(env, text, version)
    if isinstance(doc, dict) and version:
        check_parse(env, doc, version)  # the document itself, as a mapping
    assert_envelope_works(env)


def assert_envelope_works(env):
    out = env.parse_pemu_data(b'{"meta": {"source": {"frame_id": "ok"}}, "frame": "t"}')
    assert out["frame"] == ("decoded", "t") and env.meta.source.frame_id == "ok"
    assert list(env.create_pemu_data()) == ["meta", "result", "frame"]


@pytest.mark.parametrize("text", [
    b"[" * 100000 + b"]" * 100000,
    b'{"meta": ' * 50000 + b"{}" + b"}" * 50000,
    b'{"meta": {"source": ' + b'{"a": ' * 50000 + b"1" + b"}" * 50002,
], ids=["nested-lists", "nested-objects", "nested-source"])
def test_deeply_nested_payload(decoded, text):
    env = m.PemuData(0, NODE, NODE, 0)
    assert isinstance(check_parse(env, text), RecursionError)
    assert_envelope_works(env)


def test_deep_payload_document_within_the_limit(decoded):
    # as deep as the json module takes: the envelope does not recurse into it
    env = m.PemuData(0, NODE, NODE, 0)
    depth = sys.getrecursionlimit() // 2
    inner = {"frame_id": 1}
    for _ in range(depth):
        inner = {"nested": inner}
    text = json.dumps({"meta": {"source": inner}, "frame": "t"}).encode()
    out = check_parse(env, text)
    assert out["frame"] == ("decoded", "t") and "nested" in vars(env.meta.source)


def test_huge_payload(decoded):
    big = "x" * (8 << 20)
    doc = {"meta": {"source": {"frame_id": big, "name": big[:1000]},
                    "frame_format": {("k%d" % i): i for i in range(count(20000))}},
           "result": list(range(count(200000))), "frame": big}
    env = m.PemuData(0, NODE, NODE, 0)
    out = check_parse(env, json.dumps(doc).encode())
    assert out["frame"] == ("decoded", big) and out["result"] == doc["result"]
    assert env.meta.source.frame_id == big and len(vars(env.meta.frame_format)) == count(20000)
    assert_envelope_works(env)


@pytest.mark.parametrize("data", [
    b"", b"\x00", b"\xff" * 10, b'"\xed\xa0\x80"', b'{"meta": {"source": {"\xc0\xaf": 1}}}',
    '{"meta": {}}'.encode("utf-16"), b'{"meta": {"source": {"a": NaN, "b": Infinity}}}',
    b'{"frame": "\\ud800"}', b'{"meta": {"source": {"": 1, "__class__": 2}}}',
])
def test_odd_payload_bytes(decoded, data):
    env = m.PemuData(0, NODE, NODE, 0)
    check_parse(env, data)
    assert_envelope_works(env)


# -- one-off hostile shapes ----------------------------------------------------

@pytest.mark.parametrize("part", ["source", "frame_format"])
@pytest.mark.parametrize("entry", [
    '"update": 1', '"to_dict": "x"', '"__init__": 0', '"__dict__": {"update": 1}',
    '"__class__": 1', '"__weakref__": 2'])
def test_payload_cannot_break_the_envelope(decoded, part, entry):
    # merged, these names would hide the descriptor's operations or replace
    # its attribute mapping: the envelope would fail on every later payload
    env = PemuData(0, NODE, NODE, 0)
    poison = '{"meta": {"%s": {"frame_id": 7, %s, "extra": 8}}, "frame": null}' % (part, entry)
    assert env.parse_pemu_data(poison.encode())["frame"] is None
    record = getattr(env.meta, part)
    assert (record.frame_id, record.extra) == (7, 8)
    assert set(vars(record)) & {"update", "to_dict", "__init__", "__dict__", "__class__"} == set()
    assert_envelope_works(env)


def test_update_skips_names_of_operations_and_storage():
    class Custom:
        pass

    for record in (MetaSource(NODE, 0), MetaModule(NODE, 0), MetaFrameFormat()):
        mapping = record.to_dict()
        assert type(record).update(record, {"update": 1, "to_dict": 2, "id": "x",
                                            "__dict__": {}, "__class__": Custom}) is None
        assert type(record) is not Custom and record.to_dict() is mapping
        assert record.id == "x" and "update" not in mapping and "to_dict" not in mapping


class SelfRef:
    """A Meta-shaped object whose components are itself."""

    def __init__(self):
        self.source = self.module = self.frame_format = self

    def update(self, info):
        return None


@pytest.mark.parametrize("setup", [
    lambda env: setattr(env.meta, "source", env.meta),  # to_dict recurses into itself
    lambda env: setattr(env.meta.source, "to_dict", env.meta.to_dict),
    lambda env: setattr(env, "meta", SelfRef()),
    # the clock builds an envelope, whose Meta reads the clock: no Python frame between
    lambda env: setattr(m, "time", types.SimpleNamespace(
        time=functools.partial(PemuData, 0, NODE, NODE))),
])
def test_recursion_through_the_envelope_stops(monkeypatch, setup):
    env = PemuData(0, NODE, NODE, 0)
    monkeypatch.setattr(m, "time", m.time)
    setup(env)
    for call in (lambda: env.meta.to_dict(), env.create_pemu_data,
                 lambda: PemuData(0, NODE, NODE)):
        try:
            call()
        except (RecursionError, AttributeError):
            pass


class Keyword(str):
    """A keyword name whose hash and comparisons change the caller's dict of
    keywords while the call binds its arguments."""
    kwargs = None

    def __eq__(self, other):
        self.changed()
        return str.__eq__(self, other)

    def __hash__(self):
        self.changed()
        return str.__hash__(self)

    def changed(self):
        kwargs, self.kwargs = self.kwargs, None  # disarmed while it changes them
        if kwargs is not None:
            self.change(kwargs)
            self.ran = True


CHANGES = {
    "clear": dict.clear,
    "grow": lambda kw: kw.update(("extra%d" % i, i) for i in range(50)),
    "drop-others": lambda kw: [kw.pop(k) for k in list(kw) if type(k) is str],
    "replace-values": lambda kw: kw.update((k, None) for k in list(kw)),
}


@pytest.mark.parametrize("change", list(CHANGES))
@pytest.mark.parametrize("call, name, others", [
    (lambda env, kw: env.parse_pemu_data(**kw), "data", {"version": 1, "encoder": None}),
    (lambda env, kw: env.create_pemu_data(**kw), "result", {"version": 1, "frame": None}),
    (lambda env, kw: PemuData(**kw), "cur_node", {"feed_idx": 0, "src_port": 0}),
    (lambda env, kw: MetaFrameFormat(**kw), "encoder", {"with_base64": True, "x": 1}),
], ids=["parse", "create", "construct", "collector"])
def test_keywords_changing_while_bound(decoded, change, call, name, others):
    env = PemuData(0, NODE, NODE, 0)
    key = Keyword(name)
    kwargs = dict(others)
    kwargs[key] = {"frame": None}
    key.change, key.ran = CHANGES[change], False
    key.kwargs = kwargs  # armed from here on
    try:
        call(env, kwargs)
    except TypeError as exc:  # a keyword lost or unexpected: the binding's own message
        assert "argument" in str(exc)
    except AttributeError:  # None bound in place of a mapping
        assert change == "replace-values"
    key.kwargs = None
    assert key.ran
    assert_envelope_works(env)
