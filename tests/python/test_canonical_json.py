# The JSON Canonicalization Scheme: RFC 8785's own examples, and agreement with an independent
# implementation (the jcs package) over generated JSON.
import json
import struct

import jcs
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from did_vek import _native


# RFC 8785 appendix B: IEEE 754 bit patterns and the text ECMAScript gives each.
@pytest.mark.parametrize("bits, form", [
    ("0000000000000000", "0"), ("8000000000000000", "0"), ("0000000000000001", "5e-324"),
    ("8000000000000001", "-5e-324"), ("7fefffffffffffff", "1.7976931348623157e+308"),
    ("ffefffffffffffff", "-1.7976931348623157e+308"), ("4340000000000000", "9007199254740992"),
    ("c340000000000000", "-9007199254740992"), ("4430000000000000", "295147905179352830000"),
    ("44b52d02c7e14af5", "9.999999999999997e+22"), ("44b52d02c7e14af6", "1e+23"),
    ("44b52d02c7e14af7", "1.0000000000000001e+23"), ("444b1ae4d6e2ef4e", "999999999999999700000"),
    ("444b1ae4d6e2ef4f", "999999999999999900000"), ("444b1ae4d6e2ef50", "1e+21"),
    ("3eb0c6f7a0b5ed8c", "9.999999999999997e-7"), ("3eb0c6f7a0b5ed8d", "0.000001"),
    ("41b3de4355555553", "333333333.3333332"), ("41b3de4355555554", "333333333.33333325"),
    ("41b3de4355555555", "333333333.3333333"), ("41b3de4355555556", "333333333.3333334"),
    ("41b3de4355555557", "333333333.33333343"), ("becbf647612f3696", "-0.0000033333333333333333"),
    ("43143ff3c1cb0959", "1424953923781206.2"),
])
def test_the_rfcs_numbers(bits, form):
    value = struct.unpack(">d", bytes.fromhex(bits))[0]
    assert _native.canonicalize(repr(value)) == form
    assert _native.canonicalize(f"[{form}]") == f"[{form}]"


@pytest.mark.parametrize("text, canonical", [
    # RFC 8785 3.2.2: whitespace, numbers and string escapes.
    ('{"numbers": [333333333.33333329, 1E30, 4.50, 2e-3, 0.000000000000000000000000001],\n'
     ' "string": "\\u20ac$\\u000F\\u000aA\'\\u0042\\u0022\\u005c\\\\\\"\\/",\n "literals": [null, true, false]}',
     '{"literals":[null,true,false],"numbers":[333333333.3333333,1e+30,4.5,0.002,1e-27],'
     '"string":"€$\\u000f\\nA\'B\\"\\\\\\\\\\"/"}'),
    # RFC 8785 3.2.3: names sorted by UTF-16 code units, so U+1F600 (D83D DE00) before U+FB33.
    ('{"\\u20ac": 1, "\\r": 2, "\\ufb33": 3, "1": 4, "\\ud83d\\ude00": 5, "\\u0080": 6, "\\u00f6": 7}',
     '{"\\r":2,"1":4,"\u0080":6,"ö":7,"€":1,"😀":5,"\ufb33":3}'),
    ("  [1.0, -0, -0.0, 0e5]\n",
     "[1,0,0,0]"),
    ("[1e-400, 123456789012345678901234567890, 0.1e1, 5E-7, 1e21, 1e20]",
     "[0,1.2345678901234568e+29,1,5e-7,1e+21,100000000000000000000]"),
    ('"\\u007f\\u2028\\ud834\\udd1e"', '"\x7f\u2028𝄞"'),
    # Records in an array: one order of names serves the next record only if its names are the same.
    ('[{"b": 1, "a": 2}, {"b": 3, "a": 4}, {"a": 5, "b": 6}, {"b": 7, "c": 8}, {"b": 9}, {"b": [{"y": 1, "x": 2}]}]',
     '[{"a":2,"b":1},{"a":4,"b":3},{"a":5,"b":6},{"b":7,"c":8},{"b":9},{"b":[{"x":2,"y":1}]}]'),
])
def test_canonical_forms(text, canonical):
    assert _native.canonicalize(text) == canonical


@pytest.mark.parametrize("text, refusal", [
    ('{"a": 1, "a": 2}', 'duplicate member "a"'),
    ('["\\udc00"]', r"lone surrogate U\+DC00"),
    ("[NaN]", "NaN is not a JSON value"),
    ("[1e400]", "out of range"),
    ("1" * 400, "out of range"),
    ("[1,]", "not JSON"),
])
def test_refusals(text, refusal):
    with pytest.raises(ValueError, match=refusal):
        _native.canonicalize(text)


# Any text (supplementary characters and controls included) as names and strings; floats that a
# double holds; integers within a double's exact range, where every implementation agrees.
names = st.text(max_size=6)
leaves = (st.none() | st.booleans() | st.text(max_size=12) | st.integers(-(2 ** 53), 2 ** 53)
          | st.floats(allow_nan=False, allow_infinity=False))
values = st.recursive(leaves, lambda inner: st.lists(inner, max_size=5) | st.dictionaries(names, inner, max_size=5),
                      max_leaves=30)


@settings(max_examples=200, deadline=None)
@given(values, st.booleans())
def test_agrees_with_an_independent_implementation(value, ascii_only):
    assert _native.canonicalize(json.dumps(value, ensure_ascii=ascii_only, indent=1)) == jcs.canonicalize(value).decode()
