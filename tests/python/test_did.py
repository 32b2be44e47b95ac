# parse_did_py, is_valid_did_py and create_did_py, with every rule of the `parts` conversion.
import re

import pytest
from hypothesis import given
from hypothesis import strategies as st

import did_vek_core as m
from conftest import sequence

IDENTIFIER_CHARS = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-.:_"
NEEDS, BAD = (ValueError, "DID must have at least one identifier part"), (ValueError, "DID contains invalid characters")


@pytest.mark.parametrize("did, valid", [
    *[(d, True) for d in ["did:vek:a:b", "did:vek:" + IDENTIFIER_CHARS, "did:vek::", "did:vek:" + "x" * 99999]],
    *[(d, False) for d in ["did:vek:", "DID:vek:a", "did:VEK:a", "did:web:a", "did:vek", "", "did:vek:a b", "did:vek:/",
                           "did:vek:#", "did:vek:%20", "did:vek:é", "did:vek:\u0661", "did:vek:ａ", "did:vek:\x00",
                           "did:vek:\x7f", " did:vek:a", "did:vek:a ", "did:vek:a\n"]]])
def test_validity(did, valid):
    assert m.is_valid_did_py(did=did) is valid


@pytest.mark.parametrize("text, expected", [
    ("did:vek:abc", ("vek", "abc")), ("did:web:a:b", ("web", "a:b")), ("did::", ("", "")), ("did:vek:", ("vek", "")),
    ("did:é:ü\x00/ x", ("é", "ü\x00/ x")), ("did:vek", None), ("did:", None), ("", None), ("DID:vek:a", None),
    (" did:vek:a", None)])
def test_parse(text, expected):
    assert (m.parse_did_py(did=text), type(m.parse_did_py(text))) == (expected, type(expected))


def not_converted(type_name, expected="Sequence"):
    return TypeError, f"argument 'parts': '{type_name}' object cannot be converted to '{expected}'"


@pytest.mark.parametrize("parts, expected", [
    (["abc"], "did:vek:abc"), (("a", "b"), "did:vek:a:b"), ([""], "did:vek:"), (["a:b", "", "c"], "did:vek:a:b::c"),
    # The length only sizes the list in advance: a wrong or failing __len__ must not matter.
    *[(sequence(lambda: iter("ab"), n), "did:vek:a:b") for n in (lambda: 1 // 0, lambda: -1, lambda: 2**63)],
    ([], NEEDS), ((), NEEDS), (b"", NEEDS), (range(0), NEEDS), (["a b"], BAD), (["a", "é"], BAD), (["\x00"], BAD),
    ("did:vek:a", (TypeError, "argument 'parts': Can't extract `str` to `Vec`")), ({"a"}, not_converted("set")),
    ({"a": "b"}, not_converted("dict")), (iter([]), not_converted("list_iterator")), (None, not_converted("NoneType")),
    (sequence(lambda: 5), (TypeError, "argument 'parts': iter() returned non-iterator of type 'int'")),
    (["a", 1], not_converted("int", "PyString")), (b"ab", not_converted("int", "PyString")),
    (("a b", b"b"), not_converted("bytes", "PyString"))])  # every item is converted before any is checked
def test_create(parts, expected):
    if isinstance(expected, str):
        assert m.create_did_py(parts=parts) == expected
    else:
        pytest.raises(expected[0], m.create_did_py, parts).match(f"^{re.escape(expected[1])}$")


@given(st.lists(st.text(st.sampled_from(IDENTIFIER_CHARS + " /#é\x00") | st.characters(codec="utf-8"))))
def test_created_dids_are_valid_and_parse_back(parts):
    joined = ":".join(parts)
    if not parts or not set(joined) <= set(IDENTIFIER_CHARS):
        pytest.raises(ValueError, m.create_did_py, parts).match((BAD if parts else NEEDS)[1])
    else:
        did = m.create_did_py(parts)
        assert did == "did:vek:" + joined and m.parse_did_py(did) == ("vek", joined)
        assert m.is_valid_did_py(did) is (joined != "")  # the bare prefix is the one result that is not valid
