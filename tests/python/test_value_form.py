# The one writer of the value form: for values made of Python objects it writes what the standard
# library's writer (the oracle here) writes with members sorted and a two-space layout (and, on one
# line, with its default layout), and a signed document read in any layout comes back in that form.
import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from did_vek import _native
from histories import life_of_a_did


def oracle(value):
    text = json.dumps(value, ensure_ascii=False, sort_keys=True, indent=2)
    try:
        text.encode()
    except UnicodeEncodeError:  # a lone surrogate: only the escaped spelling prints
        text = json.dumps(value, sort_keys=True, indent=2)
    return text


# Texts from every plane, controls, U+007F and lone surrogates included.
texts = st.text(st.characters(codec=None, min_codepoint=0, max_codepoint=0x10ffff), max_size=6)
values = st.recursive(
    st.none() | st.booleans() | st.integers(-10**30, 10**30) | st.floats() | texts,
    lambda inner: st.lists(inner, max_size=3) | st.tuples(inner) | st.dictionaries(texts, inner, max_size=4),
    max_leaves=12)


@settings(max_examples=500, deadline=None)
@given(values)
def test_python_values_as_the_standard_library_writes_them(value):
    assert _native.value_form(value) == oracle(value)
    try:
        line = json.dumps(value, ensure_ascii=False).encode()
    except UnicodeEncodeError:
        pytest.raises(UnicodeEncodeError, _native.json_line, value)
    else:
        assert _native.json_line(value) == line


class Number(int):
    def __repr__(self):
        return "not a number's spelling"


@pytest.mark.parametrize("value, error", [
    ({1: "a"}, TypeError), ([{1, 2}], TypeError), (b"bytes", TypeError), ([Number(7)], None),
])
def test_other_types(value, error):
    if error is None:
        assert _native.value_form(value) == oracle(value)
    else:
        pytest.raises(error, _native.value_form, value)


@pytest.mark.parametrize("layout", [dict(), dict(indent=2, sort_keys=True), dict(separators=(",", ":"), ensure_ascii=True)])
@pytest.mark.parametrize("text", life_of_a_did())
def test_a_signed_document_in_any_layout_comes_back_in_the_value_form(text, layout):
    document, proof, _, value_form = _native.read_signed(json.dumps(json.loads(text), **layout))
    assert value_form == oracle({"document": document, "proof": proof})
