"""The native decoding of payload bytes.

Its outcome must be that of the other route, json.loads(data.decode()): the
same values of the same exact types, key order and float bits, or the same
exception with the same message.  The other route is forced by binding, in
the module's namespace, a stand-in `json` module whose `loads` is the real
one (an envelope then runs exactly what it ran before the decoder existed).
"""
import builtins
import contextlib
import json
import json.decoder
import math
import os
import struct
import subprocess
import sys
import types
import uuid

import pytest
from hypothesis import given, strategies as st

from pemu_sdk.redis import pemu_data as m
from soak import examples
from conftest import NODE

KEY = "an_uncommon_key_4e1f"  # never interned by anything but the decoder
SEEN = []                      # what the stand-ins below record


@contextlib.contextmanager
def other_route():
    stand_in = types.ModuleType("json")
    stand_in.loads = json.loads
    saved = m.json
    m.json = stand_in
    try:
        yield
    finally:
        m.json = saved


def outcome(data):
    try:
        return "value", m.PemuData(0, NODE, NODE, 0).parse_pemu_data(data)
    except Exception as exc:  # noqa: BLE001 - the outcome is compared
        return "error", (type(exc), str(exc))


def assert_same(a, b):
    # Iterative: documents may nest deeper than Python code can recurse.
    pending = [(a, b, "$")]
    while pending:
        a, b, path = pending.pop()
        assert type(a) is type(b), (path, a, b)
        if isinstance(a, dict):
            assert len(a) == len(b), path
            for (ka, va), (kb, vb) in zip(a.items(), b.items()):
                assert type(ka) is type(kb) and ka == kb, (path, ka, kb)
                pending.append((va, vb, path + "[%r]" % (ka,)))
        elif isinstance(a, list):
            assert len(a) == len(b), path
            pending.extend((x, y, path + "[%d]" % i) for i, (x, y) in enumerate(zip(a, b)))
        elif isinstance(a, float):
            assert (struct.pack("<d", a) == struct.pack("<d", b)
                    or (math.isnan(a) and a is b)), path
        else:
            assert a == b, (path, a, b)  # (str of another width are never equal)


def both_outcomes(data):
    native = outcome(data)
    with other_route():
        return native, outcome(data)


def assert_routes_agree(data, outcomes=None):
    native, other = outcomes or both_outcomes(data)
    assert native[0] == other[0], (data[:200], native, other)
    if native[0] == "error":
        assert native[1] == other[1], data[:200]
    else:
        assert_same(native[1], other[1])
    return native


def native_taken(data=None):
    """Whether the native decoder made the document: only it shares keys
    between documents, so two documents alive together share their key
    object only through it."""
    data = data or json.dumps({"result": {KEY: 1}}).encode()
    try:
        first = m.PemuData(0, NODE, NODE, 0).parse_pemu_data(data)
        second = m.PemuData(0, NODE, NODE, 0).parse_pemu_data(data)
    except LookupError:
        return False
    keys = [list(doc["result"]) if isinstance(doc["result"], dict) else [None]
            for doc in (first, second)]
    return keys[0] == keys[1] == [KEY] and keys[0][0] is keys[1][0]


# ---- which route is taken

def test_native_route_is_taken_and_the_observable_tells_the_routes_apart():
    assert native_taken()
    with other_route():
        assert not native_taken()


# Stand-ins for the other route's parts.  Those whose code is swapped into
# json's own functions run with json's globals, so they signal by raising.
def record(*args, **kwargs):
    raise LookupError("other route")


def recording_loads(s, **kwargs):
    raise LookupError("other route")


class RecordingDecoder(json.JSONDecoder):
    def decode(self, s, *args, **kwargs):
        raise LookupError("other route")


class Matcher:
    """Stands in for decode's whitespace matcher."""
    def __init__(self, real):
        self.real = real

    def __call__(self, s, idx):
        SEEN.append(idx)
        return self.real(s, idx)


def swap_code(monkeypatch, function, replacement):
    monkeypatch.setattr(function, "__code__", replacement.__code__)


DECODER = json.decoder.JSONDecoder
CHANGES = {
    "json rebound": lambda mp: mp.setattr(m, "json", types.SimpleNamespace(loads=recording_loads)),
    "loads wrapped": lambda mp: mp.setattr(json, "loads", recording_loads),
    "loads code": lambda mp: swap_code(mp, json.loads, recording_loads),
    "loads keyword default changed in place": lambda mp: mp.setitem(
        json.loads.__kwdefaults__, "cls", RecordingDecoder),
    "loads keyword defaults replaced": lambda mp: mp.setattr(
        json.loads, "__kwdefaults__", dict(json.loads.__kwdefaults__, cls=RecordingDecoder)),
    "default decoder replaced": lambda mp: mp.setattr(json, "_default_decoder",
                                                      RecordingDecoder()),
    "default decoder's class changed": lambda mp: mp.setattr(json._default_decoder, "__class__",
                                                             RecordingDecoder),
    "decode replaced on the class": lambda mp: mp.setattr(DECODER, "decode", record),
    "raw_decode replaced on the class": lambda mp: mp.setattr(DECODER, "raw_decode", record),
    "decode code": lambda mp: swap_code(mp, DECODER.decode, record),
    "raw_decode code": lambda mp: swap_code(mp, DECODER.raw_decode, record),
    "decode defaults": lambda mp: mp.setattr(
        DECODER.decode, "__defaults__", (Matcher(DECODER.decode.__defaults__[0]),)),
    "decode on the instance": lambda mp: mp.setitem(vars(json._default_decoder), "decode",
                                                    record),
    "raw_decode on the instance": lambda mp: mp.setitem(vars(json._default_decoder),
                                                        "raw_decode", record),
    "instance dict replaced": lambda mp: mp.setattr(
        json._default_decoder, "__dict__", dict(vars(json._default_decoder), decode=record)),
    "scan_once replaced": lambda mp: mp.setattr(
        json._default_decoder, "scan_once", lambda s, i: (record(s), len(s))),
    "isinstance shadowed in json": lambda mp: mp.setitem(
        vars(json), "isinstance", lambda o, t: SEEN.append(o) or isinstance(o, t)),
    "len shadowed in json.decoder": lambda mp: mp.setitem(
        vars(json.decoder), "len", lambda o: SEEN.append(o) or len(o)),
    "builtin len replaced": lambda mp: mp.setattr(
        builtins, "len", lambda o, _len=len: SEEN.append(o) or _len(o)),
}


@pytest.mark.parametrize("change", list(CHANGES))
def test_native_route_steps_aside_for_what_python_code_could_see(monkeypatch, change):
    SEEN.clear()
    data = b'{"result": [1, 2]}'
    # Taken just before the change, so that what the route remembers of
    # json's state is fresh: the change must be noticed at the next call.
    assert native_taken()
    with monkeypatch.context() as mp:
        CHANGES[change](mp)
        try:
            m.PemuData(0, NODE, NODE, 0).parse_pemu_data(data)
        except LookupError as exc:
            assert str(exc) == "other route"
        else:
            assert SEEN, "the other route was not taken"
        assert not native_taken(json.dumps({"result": {KEY: 1}}).encode())
    assert native_taken(), "the native route did not come back once restored"


def test_bytes_subclass_and_tracing_take_the_other_route():
    class Payload(bytes):
        def decode(self, *args):
            SEEN.append(self)
            return bytes.decode(self, *args)

    SEEN.clear()
    m.PemuData(0, NODE, NODE, 0).parse_pemu_data(Payload(b'{"result": 1}'))
    assert SEEN

    frames = []
    sys.setprofile(lambda frame, event, arg: frames.append(frame.f_code.co_name))
    try:
        m.PemuData(0, NODE, NODE, 0).parse_pemu_data(b'{"result": 1}')
    finally:
        sys.setprofile(None)
    assert "raw_decode" in frames


# ---- same outcome as the other route

HAND_PICKED = [
    b'{"result": [1, -0, 0.5, -0.0, 1e308, 1.7976931348623157e308, 1e400, -1e400, 5e-324,'
    b' 2.5e-324, 1E+2, 1e-2, 123456789012345678, 1234567890123456789, -9223372036854775809,'
    b' 0.1, 1.0000000000000002, 9007199254740993]}',
    b'{"result": "\\"\\\\\\/\\b\\f\\n\\r\\t\\u0041\\u00e9\\u20AC\\ud83d\\ude00"}',
    b'{"result": ["\\ud800", "\\udc00", "\\ud800\\ud800", "\\udc00\\ud800", "\\ud800x",'
    b' "\\ud800\\u0041", "\\ud800\\udbff\\udc00", "\\ud800\\", "\\ud800\\u12", "\\u12"]}',
    b'{"result": "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf\xef\xbf\xbf\x7f"}',
    b'{"a": 1, "b": 2, "a": 3, "": {}, "result": [[], {}, [[]], [{}]]}',
    b' \t\r\n{ "result" : [ true , false , null ] } \n',
    b'{"result": NaN}', b'{"result": [Infinity, -Infinity]}', b'{"result": -Inf}',
    b'\xef\xbb\xbf{"result": 1}', b'', b'   ', b'{', b'{"result": 1', b'{"result": 1}}',
    b'{"result": 1} x', b'{"result": [1,]}', b'{"result": 1,}', b'{,}', b'[1 2]',
    b'{"result": 01}', b'{"result": 1.}', b'{"result": .5}', b'{"result": 1e}',
    b'{"result": 1e+}', b'{"result": -}', b'{"result": +1}', b'{"result": tru}',
    b'{"result": True}', b'{"result": nul}', b'{result: 1}', b"{'result': 1}",
    b'{"result": "a\x00b"}', b'{"result": "a\x1fb"}', b'{"result": "a\tb"}',
    b'{"result": "\\x41"}', b'{"result": "\\u00G0"}', b'{"result": "abc}', b'"abc"',
    b'{"result": "\xff"}', b'{"result": "\xc0\x80"}', b'{"result": "\xe0\x80\x80"}',
    b'{"result": "\xed\xa0\x80"}', b'{"result": "\xf4\x90\x80\x80"}', b'{"result": "\xc3"}',
    b'{"result": "\xe2\x82"}', b'{"result": "\x80"}', b'{"result": "\xf8\x88\x80\x80\x80"}',
    b'{"result": 1}\xff', b'{"\xc3\xa9": 1, "result": 2}', b'{"k\\u00e9y": 1, "result": 2}',
    b'[1, 2, 3]', b'12', b'"text"', b'null', b'{"meta": null}', b'{"meta": {"source": 5}}',
    b'{"result": ' + b'9' * 5000 + b'}', b'{"result": -' + b'1' * 4300 + b'}',
    b'{"result": ' + b'1' * 4301 + b'}', b'{"result": 0.' + b'0' * 400 + b'1e400}',
    b'{"result": "' + b'x' * 20000 + b'"}', b'{"' + b'k' * 100 + b'": 1}',
]


@pytest.mark.parametrize("data", HAND_PICKED, ids=range(len(HAND_PICKED)))
def test_hand_picked_texts_have_the_outcome_of_the_other_route(data):
    assert_routes_agree(data)


def test_nesting_near_the_recursion_limit_has_the_outcome_of_the_other_route():
    # Around the limit, from a fixed depth: the native route either succeeds
    # where the other route would, or declines to it.
    def at_depth(depth, data):
        if depth:
            return at_depth(depth - 1, data)
        return both_outcomes(data)

    limit = sys.getrecursionlimit()
    here = len(__import__("inspect").stack())
    texts, results = [], []
    sys.setrecursionlimit(here + 150)
    try:
        for nesting in range(60, 160, 3):
            for opener, closer in ((b"[", b"]"), (b'{"a":', b"}")):
                texts.append(b'{"result": ' + opener * nesting + b"1" + closer * nesting + b"}")
                results.append(at_depth(10, texts[-1]))
        deep = b'{"result": ' + b"[" * 100000 + b"]" * 100000 + b"}"
        texts.append(deep)
        results.append(both_outcomes(deep))
    finally:
        sys.setrecursionlimit(limit)
    for data, outcomes in zip(texts, results):
        assert_routes_agree(data, outcomes)
    if sys.version_info < (3, 12):
        # (From 3.12 on, C levels are counted apart from Python frames.)
        assert {native[0] for native, _ in results} == {"value", "error"}


def deep_objects(doc):
    """Every object of a document once, by identity."""
    seen, pending = {}, [doc]
    while pending:
        o = pending.pop()
        if id(o) not in seen:
            seen[id(o)] = o
            if isinstance(o, dict):
                pending.extend(o)
                pending.extend(o.values())
            elif isinstance(o, list):
                pending.extend(o)
    return list(seen.values())


def long_text(unit, n):
    return (unit * (n // len(unit) + 1))[:n]


# Shapes that once crashed or inflated the native route: deep nesting that
# declines at its bottom, long strings with escapes or non-ASCII text, and
# the same not well-formed, many keys.
SHAPES = [
    b'{"result": ' + b"[" * 1500 + b"NaN" + b"]" * 1500 + b"}",
    b'{"result": ' + b'{"a": ' * 900 + b"NaN" + b"}" * 900 + b"}",
    b'{"result": ' + b"[" * 900,
    b'{"result": ' + b'[{"k": ' * 450 + b'"\\ud800\\q"' + b"}]" * 450 + b"}",
    b'{"result": "' + long_text(b"\xd0\x96", 3001) + b'\\n"}',     # cut in a sequence
    b'{"result": "\\t' + long_text(b"\xe6\xb1\x89", 3000) + b'\xed\xa0\x80"}',  # a surrogate
    b'{"result": "\\n' + b"x" * 13 + b'\xf4\x90\x80\x80"}',         # above U+10FFFF
    b'{"result": "\\n' + b"x" * 21 + b'\xc0\xaf\xe0\x80\xaf"}',    # overlong
    b'{"result": "\\n' + b"x" * 8 + b'\x1f"}',                       # a control byte
    json.dumps({"result": [{"key_%d_%s" % (i, "x" * (i % 70)): i for i in range(j, j + 600)}
                           for j in range(0, 1200, 300)]}).encode(),
]
LONG_TEXTS = ["\n" + "x" * 70000, long_text("\u00e9\u6c49\U0001f600 \"a\"\\", 9000),
              long_text("\u0416\u0436", 5000) + "\t", long_text("\u6c49", 5000) + "\ud800"]


def assert_no_larger_than_the_other_route(data, document):
    with other_route():
        other = outcome(data)[1]
    assert (sum(map(sys.getsizeof, deep_objects(document)))
            <= sum(map(sys.getsizeof, deep_objects(other))))


@pytest.mark.parametrize("data", SHAPES, ids=range(len(SHAPES)))
def test_hostile_shapes_have_the_outcome_of_the_other_route(data):
    native = assert_routes_agree(data)
    if native[0] == "value":
        assert_no_larger_than_the_other_route(data, native[1])


@pytest.mark.parametrize("text", LONG_TEXTS, ids=range(len(LONG_TEXTS)))
def test_long_strings_decode_as_the_other_route_decodes_them(text):
    # At offsets around the eight-byte steps of the scan, escaped or raw.
    for prefix in ("", "a" * 3, "\u00e9" * 7, "\n"):
        for suffix in ("", "\n", "z" * 9):
            for ascii in (False, True):
                data = json.dumps({"result": prefix + text + suffix}, ensure_ascii=ascii)
                data = data.encode("utf-8", "surrogatepass")
                native = assert_routes_agree(data)
                if native[0] == "value":
                    assert_no_larger_than_the_other_route(data, native[1])


def test_equal_keys_are_one_str_within_a_document():
    # More distinct keys than the table has slots, so many share one, and
    # keys written with escapes, with non-ASCII text or longer than the table
    # takes: each text is one object, as in the other route's documents.
    keys = ["k%d" % i for i in range(700)] + ["\u00e9t\u00e9", "x" * 80, "\U0001f600"]
    rows = [dict.fromkeys(keys[i::3] + keys[::-7], i) for i in range(6)]
    text = json.dumps({"result": rows}).replace('"k1"', '"\\u006b1"')
    for route in (contextlib.nullcontext, other_route):
        with route():
            doc = m.PemuData(0, NODE, NODE, 0).parse_pemu_data(text.encode())
        by_text = {}
        for row in doc["result"]:
            for key in row:
                by_text.setdefault(key, set()).add(id(key))
        assert set(by_text) == set(keys)
        assert all(len(ids) == 1 for ids in by_text.values()), route


def test_received_keys_are_interned_nowhere_but_where_names_are_set():
    fresh = "rare_%s" % uuid.uuid4().hex[:12]   # a text nothing has interned
    data = json.dumps({"meta": {"source": {"frame_id": 3}}, "result": {fresh: 1}}).encode()
    doc = m.PemuData(0, NODE, NODE, 0).parse_pemu_data(data)
    key = next(iter(doc["result"]))
    assert sys.intern("".join(fresh)) is not key
    # A key that is one of the envelope's own names arrives as that name.
    source = doc["meta"]["source"]
    assert next(iter(source)) is sys.intern("".join(["frame", "_id"]))


# Each run in a child process, so that a crash is seen rather than suffered:
# one thread of the given stack size parses ever deeper documents, printing
# the outcome of each.
STACK_CHILD = r"""
import json, sys, threading
from pemu_sdk.redis import pemu_data as m
size, route, opener, closer = int(sys.argv[1]), sys.argv[2], sys.argv[3].encode(), sys.argv[4].encode()
sys.setrecursionlimit(10000)
envelope = m.PemuData(0, {"id": "n"}, None, 0)
parse = (lambda data: json.loads(data.decode())) if route == "json" else envelope.parse_pemu_data
def run():
    for depth in range(200, 2401, 200):
        data = b'{"result": ' + opener * depth + b'1' + closer * depth + b'}'
        try:
            parse(data)
            print(depth, "ok", flush=True)
        except Exception as exc:
            print(depth, type(exc).__name__, flush=True)
threading.stack_size(size)
thread = threading.Thread(target=run)
thread.start()
thread.join()
"""


@pytest.mark.skipif(bool(os.environ.get("PEMU_SANITIZED")),
                    reason="the sanitizers enlarge frames, and report the other route's crashes")
@pytest.mark.parametrize("kind", [("[", "]"), ('{"a":', "}")], ids=["arrays", "objects"])
def test_small_thread_stacks_crash_no_more_than_the_other_route(kind, tmp_path):
    for size in (128 << 10, 192 << 10, 256 << 10, 512 << 10, 1 << 20):
        runs = {route: subprocess.run(
            [sys.executable, "-c", STACK_CHILD, str(size), route, *kind], cwd=str(tmp_path),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)   # not the source tree
            for route in ("json", "native")}
        reached = {route: run.stdout.decode().splitlines() for route, run in runs.items()}
        assert reached["native"][:len(reached["json"])] == reached["json"], size
        if runs["json"].returncode == 0:
            assert runs["native"].returncode == 0, (size, runs["native"].stderr[-400:])


def test_repeated_keys_share_a_str_and_nothing_mutable_is_shared():
    doc = m.PemuData(0, NODE, NODE, 0).parse_pemu_data(
        b'{"result": [{"k": [], "v": {}}, {"k": [], "v": {}}]}')
    first, second = doc["result"]
    assert next(iter(first)) is next(iter(second))
    assert first["k"] is not second["k"] and first["v"] is not second["v"]


def test_constants_are_the_default_decoder_s_own_objects():
    doc = m.PemuData(0, NODE, NODE, 0).parse_pemu_data(b'{"result": [NaN, Infinity]}')
    assert doc["result"][0] is json.loads("NaN")
    assert doc["result"] == doc["result"]


# ---- generated documents and their mutations

scalars = (st.none() | st.booleans() | st.integers() | st.integers(-2 ** 70, 2 ** 70)
           | st.floats(allow_nan=False) | st.sampled_from([-0.0, 5e-324, 1e308, 1e-7, 1e22])
           | st.text() | st.text(alphabet=st.characters(min_codepoint=0xD7F0, max_codepoint=0xE010))
           | st.sampled_from(["source", "id", KEY, "é", "\x00", "\\"]))
values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=5)
                      | st.dictionaries(st.text(max_size=8) | st.sampled_from(["a", "b", "id"]),
                                        inner, max_size=5), max_leaves=25)
formats = st.fixed_dictionaries({
    "ensure_ascii": st.booleans(), "sort_keys": st.booleans(),
    "indent": st.none() | st.integers(0, 3) | st.sampled_from(["\t", " \r\n"]),
    "separators": st.sampled_from([None, (",", ":"), (" , ", " : "), (",\n", ":\t")])})


def serialised(value, fmt):
    try:
        text = json.dumps({"result": value}, allow_nan=False, **fmt)
    except ValueError:
        text = json.dumps({"result": None})
    return text.encode("utf-8", "surrogatepass")


@examples(150)
@given(values, formats)
def test_generated_documents_decode_as_the_other_route_decodes(value, fmt):
    assert_routes_agree(serialised(value, fmt))


MUTATIONS = st.one_of(
    st.tuples(st.just("truncate"), st.integers(0, 10 ** 6)),
    st.tuples(st.just("flip"), st.integers(0, 10 ** 6), st.integers(1, 255)),
    st.tuples(st.just("insert"), st.integers(0, 10 ** 6), st.sampled_from(
        [b"\xff", b"\xc3", b"\xed\xa0\x80", b"\xef\xbb\xbf", b"\x00", b"\x1f", b",", b"]",
         b"}", b"[", b"{", b'"', b"\\", b"\\u", b"\\ud800", b"\\udc00", b"e", b"-", b".",
         b"0", b"NaN", b" ", b"\t", b"x"])),
    st.tuples(st.just("prepend"), st.sampled_from([b"\xef\xbb\xbf", b" ", b"[", b"x"])),
    st.tuples(st.just("append"), st.sampled_from([b" ", b"x", b",", b"}", b"\n\n", b"\xff"])),
    st.tuples(st.just("nest"), st.integers(1, 3000)),
)


def mutate(data, mutation):
    kind, *args = mutation
    if kind == "truncate":
        return data[:args[0] % (len(data) + 1)]
    if kind == "flip":
        if not data:
            return data
        i = args[0] % len(data)
        return data[:i] + bytes([data[i] ^ args[1]]) + data[i + 1:]
    if kind == "insert":
        i = args[0] % (len(data) + 1)
        return data[:i] + args[1] + data[i:]
    if kind == "prepend":
        return args[0] + data
    if kind == "append":
        return data + args[0]
    return b'{"result": ' + b"[" * args[0] + data + b"]" * args[0] + b"}"


@examples(300)
@given(values, formats, st.lists(MUTATIONS, min_size=1, max_size=3))
def test_mutated_documents_have_the_outcome_of_the_other_route(value, fmt, mutations):
    data = serialised(value, fmt)
    for mutation in mutations:
        data = mutate(data, mutation)
    assert_routes_agree(data)


# ---- allocation failures

testcapi = pytest.importorskip("_testcapi")


@pytest.mark.skipif(not hasattr(testcapi, "set_nomemory"), reason="needs set_nomemory")
def test_allocation_failures_fall_back_or_raise_memory_error():
    data = json.dumps({"result": [{"k": "v" * 40, KEY: [1.5, 2 ** 80, "\u00e9\u20ac"]}] * 3,
                       "meta": {"source": {"frame_id": 7}}}).encode()
    expected = outcome(data)[1]
    envelope = m.PemuData(0, NODE, NODE, 0)

    def parse_failing(start, stop):
        testcapi.set_nomemory(start, stop)
        try:
            return envelope.parse_pemu_data(data)
        except MemoryError:
            return None
        except SystemError as exc:
            # 3.13's own scanner, failing an allocation, may report it so.
            assert "returned a result with an exception set" in str(exc)
            return None
        finally:
            testcapi.remove_mem_hooks()

    # One failed allocation, wherever it falls in the native decoding, is
    # recovered by the other route; failing from some point on for good
    # ends in the interpreter's MemoryError.
    single = [parse_failing(start, start + 1) for start in range(0, 300, 2)]
    lasting = [parse_failing(start, 0) for start in range(0, 300, 7)]
    for got in single + lasting:
        if got is not None:
            assert_same(got, expected)
    assert sum(got is not None for got in single) > len(single) // 2
    assert None in lasting
    assert_same(envelope.parse_pemu_data(data), expected)
