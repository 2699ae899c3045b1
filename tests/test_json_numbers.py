"""Numbers in payload bytes: every float the native decoder makes has the
bits of float(text), which is what json.loads makes, whichever way the
decoder converts it (in one floating-point operation where that is exact, in
128-bit integers, or through the interpreter's own conversion), and every
int is int(text).

The hardest texts are those next to a point halfway between two doubles:
one rounding too many sends them to the wrong neighbour.
"""
import decimal
import json
import struct

import pytest
from hypothesis import given, strategies as st

from pemu_sdk.redis import pemu_data as m
from soak import examples
from conftest import NODE


def decoded(texts):
    """The numbers `texts` as the envelope decodes them from bytes."""
    data = ('{"result": [%s]}' % ", ".join(texts)).encode()
    return m.PemuData(0, NODE, NODE, 0).parse_pemu_data(data)["result"]


def bits(x):
    return struct.pack("<d", x)


def assert_exact(texts):
    for text, value in zip(texts, decoded(texts)):
        expected = json.loads(text)
        assert type(value) is type(expected), text
        if isinstance(expected, float):
            assert bits(value) == bits(expected) == bits(float(text)), (text, value, expected)
        else:
            assert value == expected == int(text), text


HAND_PICKED = [
    # one operation of doubles: significand up to 2^53, powers up to 10^22
    "0.91", "-0.78", "1.5", "0.1", "0.3", "1e22", "1e-22", "9007199254740992.0",
    "-0.0", "0.0", "0e0", "-0e-0", "0.000", "123456789012345.6e7",
    # past it: 128-bit integers, or the interpreter's conversion
    "1e23", "1e-23", "1e27", "1e-27", "1e28", "1e-28", "0e30", "-0e-30",
    "1765291234.5679016", "1765291234.5678902", "9007199254740993.0",
    "9007199254740993e0", "9007199254740995.0", "18014398509481986.0",
    "18014398509481990.0", "18446744073709551615.0", "1844674407370955161.5",
    "9999999999999999999e-27", "1234567890123456789.0", "12345678901234567890e-10",
    "1.7976931348623157e308", "1e309", "4.9406564584124654e-324", "2.2250738585072014e-308",
    "0." + "0" * 30 + "1", "1" + "0" * 30 + ".0", "-9223372036854775808", "9223372036854775807",
    "999999999999999999", "1000000000000000000", "-1000000000000000000",
    # just above a point halfway between two doubles, by less than the
    # bits a 128-bit quotient keeps: only its remainder tells them from a tie
    "4.868986904408276046e-5", "4.043146669291197305e-5", "2.553794422408792447E-7",
    "3.488813002592925839E-9", "8.515657785765027261E-7",
]


def test_hand_picked_numbers_are_exact():
    assert_exact(HAND_PICKED)


def neighbour(x):
    """The next double above the positive finite `x`."""
    return struct.unpack("<d", struct.pack("<q", struct.unpack("<q", struct.pack("<d", x))[0] + 1))[0]


def near_halfway(x):
    """Texts of 17 to 19 significant digits closest to the point halfway
    between `x` and the double above it, on both sides, and that point
    itself where it has at most 19 digits."""
    exact = decimal.Context(prec=80)
    half = exact.divide(exact.add(decimal.Decimal(x), decimal.Decimal(neighbour(x))), 2)
    texts = set()
    for prec in (17, 18, 19):
        for rounding in (decimal.ROUND_FLOOR, decimal.ROUND_CEILING):
            texts.add(str(decimal.Context(prec=prec, rounding=rounding).plus(half)))
    return sorted(texts)


# Magnitudes whose 19-digit texts stay within the exponents converted in
# 128-bit integers, and a few beyond.
magnitudes = st.floats(min_value=1e-9, max_value=1e45, allow_nan=False, allow_infinity=False)


@examples(300)
@given(st.lists(magnitudes, min_size=1, max_size=20), st.booleans())
def test_texts_next_to_halfway_points_round_as_float_does(xs, negative):
    texts = [t for x in xs for t in near_halfway(x)]
    assert_exact(["-" + t if negative else t for t in texts])


@examples(300)
@given(st.lists(st.tuples(st.integers(0, 10 ** 19 - 1), st.integers(0, 19),
                          st.integers(-40, 40) | st.none(), st.booleans()),
                min_size=1, max_size=20))
def test_generated_decimal_texts_are_exact(parts):
    texts = []
    for significand, point, exponent, negative in parts:
        digits = str(significand)
        point = min(point, len(digits) - 1)
        text = digits[:len(digits) - point] + ("." + digits[len(digits) - point:] if point else "")
        if exponent is not None:
            text += "e%d" % exponent
        texts.append(("-" if negative else "") + text)
    assert_exact(texts)


@examples(200)
@given(st.lists(st.floats(allow_nan=False, allow_infinity=False), min_size=1, max_size=20))
def test_shortest_texts_of_doubles_give_the_doubles_back(xs):
    texts = [repr(x) for x in xs]
    for x, value in zip(xs, decoded(texts)):
        assert bits(value) == bits(x)


@pytest.mark.parametrize("text", ["1.", ".5", "1e", "1e+", "-", "01", "1.e5", "--1", "1e5.0"])
def test_malformed_numbers_raise_as_json_loads_does(text):
    with pytest.raises(ValueError) as native:
        decoded([text])
    with pytest.raises(ValueError) as other:
        json.loads('{"result": [%s]}' % text)
    assert str(native.value) == str(other.value)
