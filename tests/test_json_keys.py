"""Keys in payload bytes, read eight bytes at a time: whatever byte ends a
key's plain text and wherever it falls in a word, and however near the end
of the document, a key is decoded as the other route decodes it, equal keys
are one str within a document, and short ASCII keys are one str across
documents.  String values are read the same way: short ASCII values are one
str across documents too, any other value is made afresh."""
import json

import pytest

from pemu_sdk.redis import pemu_data as m
from conftest import NODE
from test_json_decoder import assert_routes_agree, native_taken

LENGTHS = list(range(0, 19)) + [23, 24, 25, 31, 32, 33, 63, 64, 65, 66, 72, 80]
# What may stand in a key besides plain ASCII, written as json.dumps writes it
# with and without ensure_ascii, and raw (a control byte, which declines).
ODD = ["\\u00e9", "\u00e9", "\\n", "\\\"", "\\\\", "\\u006b", "\u20ac", "\U0001f600", "\x01"]


def key_texts():
    for n in LENGTHS:
        yield "k" * n
        for odd in ODD:
            for at in sorted({0, n // 2, n}):
                yield "k" * at + odd + "k" * (n - at)


@pytest.mark.parametrize("n", LENGTHS)
def test_keys_of_every_length_and_stop_decode_as_the_other_route(n):
    keys = [k for k in key_texts() if k.count("k") == n or len(k) == n]
    body = ", ".join('"%s": %d' % (k, i) for i, k in enumerate(keys))
    assert_routes_agree(('{"result": {%s}}' % body).encode("utf-8", "surrogatepass"))
    # the same keys last in the document, right before its closing bytes
    for i, k in enumerate(keys):
        assert_routes_agree(('{"result": 1, "%s": %d}' % (k, i)).encode())
        assert_routes_agree(('{"result": {"%s":%d}}' % (k, i)).encode())
    # and as values, in an array and last before the closing bytes
    body = ", ".join('"%s"' % k for k in keys)
    assert_routes_agree(('{"result": [%s]}' % body).encode("utf-8", "surrogatepass"))
    for k in keys:
        assert_routes_agree(('{"result": "%s"}' % k).encode("utf-8", "surrogatepass"))


def parsed(text):
    return m.PemuData(0, NODE, NODE, 0).parse_pemu_data(text.encode())


@pytest.mark.parametrize("n", [0, 1, 7, 8, 9, 15, 16, 17, 63, 64])
def test_short_ascii_keys_are_one_str_across_documents_and_escapes(n):
    key = "q" * n
    escaped = "\\u0071" * n
    data = '{"result": [{"%s": 1}, {"%s": 2}]}' % (key, escaped)
    first, second = parsed(data)["result"], parsed(data)["result"]
    objects = {id(next(iter(d))) for d in first + second}
    assert len(objects) == 1 and next(iter(first[0])) == key


@pytest.mark.parametrize("n", [65, 66, 80])
def test_long_keys_are_one_str_within_a_document_only(n):
    key = "q" * n
    data = '{"result": [{"%s": 1}, {"%s": 2}]}' % (key, key)
    first, second = parsed(data)["result"], parsed(data)["result"]
    assert next(iter(first[0])) is next(iter(first[1]))
    assert next(iter(first[0])) is not next(iter(second[0]))


def test_keys_that_collide_in_the_table_keep_their_own_text():
    # Far more keys than the table has slots, in two documents alive
    # together: each key is its own text, whichever slot it fell into.
    keys = ["key_%d_%s" % (i, "x" * (i % 20)) for i in range(3000)]
    data = json.dumps({"result": dict.fromkeys(keys, 0)})
    first, second = parsed(data)["result"], parsed(data)["result"]
    assert list(first) == list(second) == keys
    assert native_taken()


@pytest.mark.parametrize("n", [0, 1, 7, 8, 9, 31, 32, 33, 40])
def test_short_ascii_values_are_one_str_across_documents(n):
    value = "v" * n
    data = '{"result": ["%s", "%s", "\\u00e9%s", "%s\\n"]}' % (value, "\\u0076" * n, value, value)
    first, second = parsed(data)["result"], parsed(data)["result"]
    assert first == second == [value, value, "\u00e9" + value, value + "\n"]
    shared = n < 32  # plain text under 32 bytes, however near the end of a word
    assert (first[0] is second[0]) == shared
    if n > 1:  # (the interpreter keeps one str of each single character)
        # values with escapes or non-ASCII text are new objects each time
        assert all(first[i] is not second[i] for i in (1, 2, 3))


def test_values_that_collide_in_the_table_keep_their_own_text():
    # Far more values than the table has slots, each the start of others:
    # one that falls where a longer one with the same start is held is
    # still its own text.
    bases = ["value_%d_%s" % (i, "y" * 31) for i in range(300)]
    values = [base[:n] for base in bases for n in range(31, 0, -1)]
    data = json.dumps({"result": values, "frame": None})
    first, second = parsed(data)["result"], parsed(data)["result"]
    assert first == second == values
    assert native_taken()
