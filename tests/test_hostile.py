"""Hostile callers and payloads.

Mapping subclasses, keys and values whose methods raise, answer in odd
shapes, or change the mapping, the envelope or the module's namespace half-way
through an operation, and call back into the same envelope.  After every
step: no crash, either the documented result or an ordinary exception (never the
SystemError of an internal fault), and once the hostility stops the envelope
still works.
"""
import functools
import gc
import json
import types

import pytest
from hypothesis import given, strategies as st

from conftest import NODE
from pemu_sdk.redis import pemu_data as m
from soak import count, examples

MODULE_NAMES = ("time", "json", "MetaSource", "MetaModule", "MetaFrameFormat", "Meta",
                "img_to_str", "str_to_img", "img_to_base64str", "base64_to_img")
# The classes as loaded, whatever a hostile step binds in the namespace.
PemuData, Meta, MetaSource, MetaModule, MetaFrameFormat = (
    m.PemuData, m.Meta, m.MetaSource, m.MetaModule, m.MetaFrameFormat)


def restore(saved):
    """Puts the module namespace back exactly as saved, order included."""
    if list(vars(m).items()) != list(saved.items()):
        vars(m).clear()
        vars(m).update(saved)


def fake_codec(wrap=lambda name, honest: honest()):
    """Codec functions whose results name their input; `wrap` may intervene."""
    def fake(name, tag, arg):
        return lambda **kw: wrap(name, lambda: (tag, kw.get(arg)))
    return {"img_to_str": fake("img_to_str", "encoded", "image"),
            "img_to_base64str": fake("img_to_base64str", "encoded", "image"),
            "str_to_img": fake("str_to_img", "decoded", "img_as_str"),
            "base64_to_img": fake("base64_to_img", "decoded", "b64_bytes")}


@pytest.fixture
def codec(monkeypatch):
    for name, fake in fake_codec().items():
        monkeypatch.setattr(m, name, fake)


def assert_envelope_works(env):
    out = env.parse_pemu_data(b'{"meta": {"source": {"frame_id": "ok"}, '
                              b'"frame_format": {"encoder": "x"}}, "frame": "t"}')
    assert out["frame"] == ("decoded", "t") and env.meta.source.frame_id == "ok"
    doc = env.create_pemu_data(frame="f", ext_info={"extra": 1})
    assert doc["meta"]["source"] is vars(env.meta.source) and doc["meta"]["extra"] == 1
    assert doc["frame"] == ("encoded", "f") and env.parse_pemu_data(b"{}") == {"frame": None}


# -- the hostile objects -------------------------------------------------------

def odd_values():
    """Values of the wrong shape, made afresh for each pick: the module may write
    into a mapping or list it is given, and a shared one would carry that (and
    the hooks in it) into later examples, which Hypothesis replays."""
    return (None, 0, -1, "", "text", b"bytes", 1.5, float("nan"), [], [("a", 1, 2)],
            [None], ("a",), {"k": None}, object())


class Chaos:
    """Decides, at every callback, what the callback does (drawn by Hypothesis)."""

    ACTIONS = ("honest", "honest", "raise", "odd", "clear-mapping", "grow-mapping",
               "reenter", "clear-descriptors", "new-meta", "break-meta", "module", "gc")
    ERRORS = (KeyError, ValueError, TypeError, RuntimeError, AttributeError, LookupError)

    def __init__(self, data, env):
        self.data, self.env = data, env
        self.calm, self.depth = False, 0
        self.returned = []  # what the fake codec functions answered
        self.mappings = []  # every mapping handed to the module, to change any of them

    def draw(self, strategy, label):
        return self.data.draw(strategy, label=label)

    def pick(self, options, label):
        return self.draw(st.sampled_from(options), label)

    def answer(self, where, honest, mapping=None):
        """The callback's answer: the honest one, or an odd value, or it raises;
        before answering it may change things.  `mapping` is the one being read,
        if any; else one handed over earlier (a dict the module may be walking)."""
        action = "honest" if self.calm else self.pick(self.ACTIONS, where)
        env = self.env
        if mapping is None and self.mappings and action.endswith("-mapping"):
            mapping = self.pick(self.mappings, "which mapping")
        if action == "raise":
            raise self.pick(self.ERRORS, "error")(where)
        if action == "odd":
            return self.pick(odd_values(), "odd value")
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
            target, name = self.pick([(env, "meta"), (env.meta, "source"),
                                      (env.meta, "frame_format"), (env.meta, "ts")], "broken")
            setattr(target, name, self.pick(odd_values(), "replacement"))
        elif action == "module":
            name = self.pick(MODULE_NAMES, "module name")
            if self.draw(st.booleans(), "delete"):
                vars(m).pop(name, None)
            else:
                setattr(m, name, self.pick(odd_values() + (Meta, len), "as"))
        elif action == "gc":
            gc.collect()
        return honest()


CHAOS = None  # the Chaos of the running example, for the hooks below


def hooked(where, honest):
    """A method that lets the chaos decide, then answers as `honest` would."""
    def method(self, *args):
        mapping = self if isinstance(self, dict) else getattr(self, "content", None)
        return CHAOS.answer(where, lambda: honest(self, *args), mapping)
    return method


class HDict(dict):
    """A dict subclass: every way in which the module reads it is a hook."""
    items = hooked("items", lambda d: list(dict.items(d)))
    get = hooked("get", dict.get)
    __getitem__ = hooked("getitem", dict.__getitem__)
    __setitem__ = hooked("setitem", dict.__setitem__)


class HMapping:
    """Not a dict at all: only items() and get()."""

    def __init__(self, content):
        self.content = dict(content)
    items = hooked("items", lambda s: iter(list(s.content.items())))
    get = hooked("get", lambda s, *args: s.content.get(*args))


class HStr(str):
    """A key whose hash and comparisons are hooks."""
    __hash__ = hooked("hash", str.__hash__)
    __eq__ = hooked("eq", str.__eq__)
    __ne__ = hooked("ne", str.__ne__)


class HValue:
    """A value whose comparisons, truth and formatting are hooks."""

    def __init__(self, value):
        self.value = value
    __eq__ = hooked("eq", lambda s, other: s.value == other)
    __ne__ = hooked("ne", lambda s, other: s.value != other)
    __gt__ = hooked("gt", lambda s, other: s.value > other)
    __bool__ = hooked("bool", lambda s: bool(s.value))
    __format__ = hooked("format", lambda s, format_spec: format(s.value, format_spec))
    __hash__ = object.__hash__


# -- the drawn operations ------------------------------------------------------

KEYS = ("id", "type", "name", "frame_id", "source_key", "encoder", "with_base64", "ts",
        "extra", "update", "to_dict", "__dict__")
PLAIN = st.one_of(st.none(), st.booleans(), st.integers(-3, 3), st.floats(allow_nan=True),
                  st.text(max_size=5))


def key(chaos):
    name = chaos.pick(KEYS, "key")
    return HStr(name) if chaos.draw(st.booleans(), "hostile key") else name


def value(chaos):
    plain = chaos.draw(PLAIN, "value")
    return HValue(plain) if chaos.draw(st.booleans(), "hostile value") else plain


def mapping(chaos, nested=True):
    entries = [(key(chaos), value(chaos)) for _ in range(chaos.draw(st.integers(0, 4), "size"))]
    if nested and chaos.draw(st.booleans(), "nested"):
        entries += [(part, mapping(chaos, False)) for part in ("source", "frame_format")]
    kind = chaos.pick(["dict", "HDict", "HMapping", "odd"], "mapping kind")
    if kind == "odd":
        return chaos.pick(odd_values(), "odd mapping")
    made = {"dict": dict, "HDict": HDict, "HMapping": HMapping}[kind](entries)
    chaos.mappings.append(getattr(made, "content", made))
    return made


def payload(chaos):
    kind = chaos.pick(["mapping", "text", "broken text"], "payload kind")
    if kind == "mapping":
        doc = mapping(chaos)
        content = getattr(doc, "content", doc)
        if isinstance(content, dict):
            dict.update(content, meta=mapping(chaos), frame=value(chaos))
        return doc
    text = json.dumps({"meta": {"source": {"frame_id": chaos.draw(PLAIN, "frame id")},
                                "frame_format": {"encoder": chaos.draw(PLAIN, "encoder")}},
                       "frame": chaos.draw(st.none() | st.text(max_size=3), "frame")}).encode()
    if kind == "broken text":
        text = text[:chaos.draw(st.integers(0, len(text)), "cut")] + chaos.draw(
            st.binary(max_size=4), "tail")
    return text


def step(chaos, env):
    """One drawn operation on `env` with hostile arguments, checking its result."""
    op = chaos.pick(["parse", "create", "update", "to_dict", "construct", "frame_format"],
                    "operation")
    version = chaos.pick([1, 1, 0, -1, 0.5, None, "1", HValue(1), HValue(0)], "version")
    from_codec = chaos.returned
    if op == "parse":
        data = payload(chaos)
        out = env.parse_pemu_data(data, version, value(chaos), value(chaos))
        # the mapping given, the one decoded from bytes, or the decoded frame
        assert out is data or type(out) is dict or any(out is r for r in from_codec)
    elif op == "create":
        out = env.create_pemu_data(version, mapping(chaos), value(chaos),
                                   chaos.pick([None, "frame"], "frame"),
                                   value(chaos), value(chaos))
        assert out is None or any(out is r for r in from_codec) or (
            type(out) is dict and list(out) == ["meta", "result", "frame"])
    elif op == "update":
        which = chaos.pick(["update_source", "update_frame_format", "update_module"], "update")
        assert getattr(env.meta, which)(mapping(chaos)) is None
    elif op == "to_dict":
        assert list(env.meta.to_dict()) == ["ts", "source", "module", "frame_format"]
    elif op == "construct":
        node = mapping(chaos)
        PemuData(value(chaos), node, node, value(chaos), value(chaos))
    else:
        assert type(vars(MetaFrameFormat(**{key(chaos): value(chaos)}))) is dict


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


@examples(150)
@given(st.data())
def test_hostile_sequences(data):
    global CHAOS
    env = PemuData(0, NODE, NODE, 0)
    CHAOS = chaos = Chaos(data, env)

    def codec_answer(name, honest):
        chaos.returned.append(chaos.answer(name, honest))
        return chaos.returned[-1]

    original = dict(vars(m))
    try:
        vars(m).update(fake_codec(codec_answer))
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
        assert_envelope_works(env)
    finally:
        restore(original)


# -- hostile payload bytes and documents ---------------------------------------

JSON = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(),
    lambda children: st.lists(children, max_size=4)
    | st.dictionaries(st.text(max_size=8), children, max_size=4), max_leaves=20)
META_KEYS = st.sampled_from(["meta", "source", "frame_format", "frame", "result", "encoder",
                             "with_base64", "id", "frame_id", "ts"])
PAYLOAD_LIKE = st.recursive(JSON, lambda children: st.dictionaries(META_KEYS, children,
                                                                   max_size=5), max_leaves=25)


def check_parse(env, data, version=1):
    """Parses; the outcome is the documented result or an ordinary exception."""
    try:
        out = env.parse_pemu_data(data, version)
    except (ValueError, AttributeError, TypeError, RecursionError) as exc:
        return exc
    if version == 0:
        assert out == ("decoded", data)
    else:
        assert type(out) is dict and (out["frame"] is None or out["frame"][0] == "decoded")
    return out


@examples(300)
@given(doc=PAYLOAD_LIKE, how=st.sampled_from(["as is", "truncate", "non-utf8", "junk"]),
       at=st.integers(0, 1 << 16), junk=st.binary(max_size=64),
       version=st.sampled_from([1, 0, -1]))
def test_random_payload_bytes(codec, doc, how, at, junk, version):
    env = PemuData(0, NODE, NODE, 0)
    text = json.dumps(doc).encode()
    at %= len(text) + 1
    text = {"as is": text, "truncate": text[:at], "junk": junk,
            "non-utf8": text[:at] + b"\xff\xc3" + junk + text[at:]}[how]
    check_parse(env, text, version)
    if isinstance(doc, dict) and version:
        check_parse(env, doc, version)  # the document itself, as a mapping
    assert_envelope_works(env)


@pytest.mark.parametrize("data", [
    b"[" * 100000 + b"]" * 100000,  # nested past the recursion limit
    b'{"meta": ' * 50000 + b"{}" + b"}" * 50000,
    b'{"meta": {"source": ' + b'{"a": ' * 50000 + b"1" + b"}" * 50002,
    b"", b"\x00", b"\xff" * 10, b'"\xed\xa0\x80"', b'{"meta": {"source": {"\xc0\xaf": 1}}}',
    '{"meta": {}}'.encode("utf-16"), b'{"meta": {"source": {"a": NaN, "b": Infinity}}}',
    b'{"frame": "\\ud800"}', b'{"meta": {"source": {"": 1, "__class__": 2}}}',
])
def test_odd_payload_bytes(codec, data):
    env = PemuData(0, NODE, NODE, 0)
    out = check_parse(env, data)
    assert not isinstance(out, RecursionError) or len(data) > 100000
    assert_envelope_works(env)


def test_huge_payload(codec):
    big = "x" * (8 << 20)
    doc = {"meta": {"source": {"frame_id": big, "name": big[:1000]},
                    "frame_format": {("k%d" % i): i for i in range(count(20000))}},
           "result": list(range(count(200000))), "frame": big}
    env = PemuData(0, NODE, NODE, 0)
    out = check_parse(env, json.dumps(doc).encode())
    assert out["frame"] == ("decoded", big) and out["result"] == doc["result"]
    assert env.meta.source.frame_id == big and len(vars(env.meta.frame_format)) == count(20000)
    assert_envelope_works(env)


# -- one-off hostile shapes ----------------------------------------------------

@pytest.mark.parametrize("part", ["source", "frame_format"])
@pytest.mark.parametrize("entry, refused", [
    ('"update": 1', None), ('"to_dict": "x"', None), ('"__init__": 0', None),
    ('"__dict__": {"update": 1}', None),
    ('"__class__": 1', TypeError), ('"__weakref__": 2', AttributeError)])
def test_payload_cannot_break_the_envelope(codec, part, entry, refused):
    # merged, the first names would hide the descriptor's operations or
    # replace its attribute mapping, and the envelope would fail on every
    # later payload: they are skipped.  The others are refused by the
    # interpreter for this payload alone.
    env = PemuData(0, NODE, NODE, 0)
    poison = '{"meta": {"%s": {"frame_id": 7, %s, "extra": 8}}, "frame": null}' % (part, entry)
    record = getattr(env.meta, part)
    if refused is None:
        assert env.parse_pemu_data(poison.encode())["frame"] is None
        assert (record.frame_id, record.extra) == (7, 8)
    else:
        with pytest.raises(refused):
            env.parse_pemu_data(poison.encode())
        assert record.frame_id == 7  # applied before the refused entry
    assert set(vars(record)) & {"update", "to_dict", "__init__", "__dict__", "__class__"} == set()
    assert_envelope_works(env)


class FlakyKey(str):
    """A key whose hash fails once, when armed, and is honest after that."""
    armed = False

    def __hash__(self):
        if self.armed:
            self.armed = False
            raise KeyError("hash")
        return str.__hash__(self)


def test_update_skips_names_of_operations_and_storage():
    for record in (MetaSource(NODE, 0), MetaModule(NODE, 0), MetaFrameFormat()):
        mapping, flaky = record.to_dict(), FlakyKey("update")
        entries = {"to_dict": 2, "id": "x", "__dict__": {}, flaky: 1}
        flaky.armed = True
        assert type(record).update(record, entries) is None
        assert record.to_dict() is mapping
        assert record.id == "x" and "update" not in mapping and "to_dict" not in mapping


@pytest.mark.parametrize("setup", [
    lambda env: setattr(env.meta, "source", env.meta),  # to_dict recurses into itself
    lambda env: setattr(env.meta.source, "to_dict", env.meta.to_dict),
    # the clock builds an envelope, whose Meta reads the clock: no Python frame between
    lambda env: setattr(m, "time", types.SimpleNamespace(
        time=functools.partial(PemuData, 0, NODE, NODE))),
])
def test_recursion_through_the_envelope_stops(monkeypatch, setup):
    env = PemuData(0, NODE, NODE, 0)
    monkeypatch.setattr(m, "time", m.time)
    setup(env)
    for call in (env.meta.to_dict, env.create_pemu_data, lambda: PemuData(0, NODE, NODE)):
        try:
            call()
        except RecursionError:
            pass


class Keyword(str):
    """A keyword name whose hash and comparisons change the caller's dict of
    keywords (once) while the call binds its arguments."""
    kwargs = None

    def __eq__(self, other):
        self.changed()
        return str.__eq__(self, other)

    def __hash__(self):
        self.changed()
        return str.__hash__(self)

    def changed(self):
        kwargs, self.kwargs = self.kwargs, None
        if kwargs is not None:
            self.change(kwargs)


@pytest.mark.parametrize("change", [
    dict.clear, lambda kw: kw.update(("extra%d" % i, i) for i in range(50)),
    lambda kw: [kw.pop(k) for k in list(kw) if type(k) is str],
    lambda kw: kw.update((k, None) for k in list(kw))],
    ids=["clear", "grow", "drop-others", "replace-values"])
@pytest.mark.parametrize("call, name, others", [
    (lambda env, kw: env.parse_pemu_data(**kw), "data", {"version": 1, "encoder": None}),
    (lambda env, kw: env.create_pemu_data(**kw), "result", {"version": 1, "frame": None}),
    (lambda env, kw: PemuData(**kw), "cur_node", {"feed_idx": 0, "src_port": 0}),
    (lambda env, kw: MetaFrameFormat(**kw), "encoder", {"with_base64": True, "x": 1}),
], ids=["parse", "create", "construct", "collector"])
def test_keywords_changing_while_bound(codec, change, call, name, others):
    env, key = PemuData(0, NODE, NODE, 0), Keyword(name)
    kwargs = dict(others, **{key: {"frame": None}})
    key.change, key.kwargs = change, kwargs  # armed from here on
    try:
        call(env, kwargs)
    except TypeError as exc:  # a keyword lost or unexpected: the binding's own message
        assert "argument" in str(exc)
    except AttributeError:  # None bound in place of a mapping
        assert kwargs.get("version", 1) is None
    assert key.kwargs is None, "the keywords were not changed"
    assert_envelope_works(env)
