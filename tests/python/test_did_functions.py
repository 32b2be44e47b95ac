"""parse_did_py, is_valid_did_py and create_did_py."""
import collections
import re
import string
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

import did_vek_core as m
from conftest import Parts

IDENTIFIER_CHARS = string.ascii_letters + string.digits + "-.:_"
VALID_DID = re.compile(r"did:vek:[A-Za-z0-9._:-]+")


@pytest.mark.parametrize(
    "did, valid",
    [(d, True) for d in ["did:vek:abc", "did:vek:a:b:c", "did:vek:A-b.c_9", "did:vek::", "did:vek:" + "x" * 99999]]
    + [(d, False) for d in ["did:vek:", "DID:vek:abc", "did:VEK:abc", "did:web:abc", "did:vek", "did:", "",
                            "did:vek:a b", "did:vek:a/b", "did:vek:a#b", "did:vek:a?b", "did:vek:a@b", "did:vek:a%20",
                            "did:vek:é", "did:vek:a\u0661", "did:vek:ａ", "did:vek:a\x00", "did:vek:a+b", " did:vek:abc",
                            "did:vek:abc ", "did:vek:abc\n", "\tdid:vek:abc"]],
)
def test_validity(did, valid):
    assert m.is_valid_did_py(did) is valid


@pytest.mark.parametrize(
    "text, expected",
    [("did:vek:abc", ("vek", "abc")), ("did:web:abc", ("web", "abc")), ("did:vek:a:b", ("vek", "a:b")),
     ("did::", ("", "")), ("did:vek:", ("vek", "")), ("did:vek:a b", ("vek", "a b")), ("did:é:ü\x00/", ("é", "ü\x00/")),
     ("did:vek", None), ("did:", None), ("did", None), ("", None), ("DID:vek:abc", None), (" did:vek:a", None)],
)
def test_parse(text, expected):
    result = m.parse_did_py(text)
    assert result == expected and type(result) is (tuple if expected else type(None))


@pytest.mark.parametrize(
    "parts, expected",
    [(["abc"], "did:vek:abc"), (["a", "b", "c"], "did:vek:a:b:c"), (("a", "b", "c"), "did:vek:a:b:c"),
     (collections.UserList(["x", "y"]), "did:vek:x:y"), ([""], "did:vek:"), (["", ""], "did:vek::"),
     (["a:b", "", "c"], "did:vek:a:b::c"), (["A-b.c_9"], "did:vek:A-b.c_9")],
)
def test_create(parts, expected):
    assert m.create_did_py(parts) == expected


NEEDS_PART, BAD_CHARACTERS = "DID must have at least one identifier part", "DID contains invalid characters"
IS_STR = "argument 'parts': Can't extract `str` to `Vec`"


def not_converted(type_name, expected="Sequence"):
    return f"argument 'parts': '{type_name}' object cannot be converted to '{expected}'"


@pytest.mark.parametrize(
    "parts, error, message",
    [([], ValueError, NEEDS_PART), ((), ValueError, NEEDS_PART), (b"", ValueError, NEEDS_PART),
     (range(0), ValueError, NEEDS_PART), (["a b"], ValueError, BAD_CHARACTERS), (["a/b"], ValueError, BAD_CHARACTERS),
     (["#"], ValueError, BAD_CHARACTERS), (["é"], ValueError, BAD_CHARACTERS),
     (["a", "", "\x00"], ValueError, BAD_CHARACTERS), ("did:vek:abc", TypeError, IS_STR), ("", TypeError, IS_STR),
     ({"a"}, TypeError, not_converted("set")), ({"a": "b"}, TypeError, not_converted("dict")),
     ((p for p in "a"), TypeError, not_converted("generator")), (map(str, "a"), TypeError, not_converted("map")),
     (7, TypeError, not_converted("int")), (None, TypeError, not_converted("NoneType")),
     (["a", 1], TypeError, not_converted("int", "PyString")), ([b"a"], TypeError, not_converted("bytes", "PyString")),
     (b"ab", TypeError, not_converted("int", "PyString")), (range(2), TypeError, not_converted("int", "PyString"))],
)
def test_create_errors(parts, error, message):
    with pytest.raises(error) as info:
        m.create_did_py(parts)
    assert (type(info.value), info.value.args) == (error, (message,))


# The length only sizes the list in advance: a wrong or failing __len__ must not matter.
@pytest.mark.parametrize("length", [lambda: 1 // 0, lambda: 0, lambda: 1000, lambda: 2**40, lambda: sys.maxsize])
def test_length_is_only_a_hint(length):
    assert m.create_did_py(Parts(lambda: iter(["a", "b"]), length)) == "did:vek:a:b"


TEXT = st.text(st.sampled_from(IDENTIFIER_CHARS + " /#é") | st.characters(codec="utf-8"), max_size=12)


@given(st.lists(TEXT, max_size=5))
def test_created_dids_are_valid_and_parse_back(parts):
    try:
        did = m.create_did_py(parts)
    except ValueError as error:
        bad = any(not set(part) <= set(IDENTIFIER_CHARS) for part in parts)
        assert str(error) == (BAD_CHARACTERS if parts else NEEDS_PART) and (bad or not parts)
        return
    assert did == "did:vek:" + ":".join(parts)
    assert m.is_valid_did_py(did) is (did != "did:vek:")
    assert m.parse_did_py(did) == ("vek", ":".join(parts))


@given(st.builds(str.__add__, st.sampled_from(["", "did:", "did:vek:", "did:vek", "did::", " did:vek:"]), TEXT))
def test_validity_and_parse_follow_the_grammar(text):
    assert m.is_valid_did_py(text) is bool(VALID_DID.fullmatch(text))
    expected = tuple(text.split(":", 2)[1:]) if text.startswith("did:") and text.count(":") >= 2 else None
    assert m.parse_did_py(text) == expected
