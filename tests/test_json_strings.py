"""Strings with escapes, decoded in one pass into a growing buffer of code
points and then copied at their narrowest width: whatever the mix of
escapes, raw UTF-8 and runs of plain ASCII, and wherever the buffer has to
grow, a string is the other route's, of the same width and length."""
import json

import pytest
from hypothesis import given, strategies as st

from soak import examples
from test_json_decoder import assert_routes_agree

# The buffer starts empty and grows to 64, 192, 448, ... code points; a run
# of plain ASCII may make it grow past several of those at once.
LENGTHS = [1, 7, 8, 9, 63, 64, 65, 191, 192, 193, 447, 448, 449, 3000]
PIECES = {
    "ascii escapes": "\\n",
    "latin-1": "\\u00e9",
    "two bytes": "\\u20ac",
    "four bytes": "\\ud83d\\ude00",
    "lone surrogate": "\\udc00",
    "raw UTF-8": "\u00e9\u20ac",
}


@pytest.mark.parametrize("piece", list(PIECES.values()), ids=list(PIECES))
@pytest.mark.parametrize("n", LENGTHS)
def test_escaped_strings_around_buffer_growth_decode_as_the_other_route(piece, n):
    texts = [
        piece * n,                          # escapes only
        "x" * n + piece,                    # a long run before the escape
        piece + "x" * n,                    # and after it
        ("ab" + piece) * (n // 3 + 1),      # short runs between escapes
        "x" * n + piece + "y" * n + piece,  # runs that grow the buffer twice
    ]
    body = ", ".join('"%s"' % t for t in texts)
    assert_routes_agree(('{"result": [%s]}' % body).encode("utf-8", "surrogatepass"))
    for text in texts:  # the string at the very end of the document
        assert_routes_agree(('"%s"' % text).encode("utf-8", "surrogatepass"))


def test_strings_after_one_beyond_the_kept_buffer_decode_as_the_other_route():
    # The buffer of code points is kept between documents up to 2^18 code
    # points and released beyond: strings before, beyond and after that.
    for n in (100, 300000, 10, 270000, 5):
        text = "\\u20ac" * n + "x" * (n % 17)
        assert_routes_agree(('{"result": "%s"}' % text).encode())


# The highest code point of each width and the lowest of the next, the
# escapes spelled with a letter, and runs of plain ASCII, in any mix: the
# widest code point decides the width, wherever it comes in the string.
UNITS = st.sampled_from(["\x7f", "\x80", "\xff", "\u0100", "\uffff", "\U00010000",
                         "\U0010ffff", "\n", "\"", "\\", "/", "\b", "\f", "\r", "\t"])
RUNS = st.integers(1, 1000).map(lambda n: ("plain ascii " * (n // 12 + 1))[:n])


@examples(150)
@given(texts=st.lists(st.lists(UNITS | RUNS, max_size=30).map("".join), min_size=1, max_size=4))
def test_any_mix_of_widths_escapes_and_runs_decodes_as_the_other_route(texts):
    # Every '/' as its escape, which json.dumps never writes.
    assert_routes_agree(json.dumps({"result": texts}).replace("/", "\\/").encode())
