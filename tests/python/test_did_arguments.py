"""Lists and tuples of parts are read directly; every other sequence is iterated."""

import pytest

import did_vek_core as vek


class ReversedList(list):
    """A list subclass whose iteration differs from its storage."""

    def __iter__(self):
        return iter(self[::-1])


@pytest.mark.parametrize(
    ("parts", "expected"),
    [
        (["a", "b"], "did:vek:a:b"),
        (("a", "b"), "did:vek:a:b"),
        (ReversedList(["a", "b"]), "did:vek:b:a"),
        (map(str.lower, ["A"]), None),
        (iter(["a"]), None),
    ],
)
def test_create_did_reads_each_kind_of_sequence(parts, expected):
    if expected is None:  # iterable but not a sequence
        with pytest.raises(TypeError, match="'Sequence'"):
            vek.create_did_py(parts)
    else:
        assert vek.create_did_py(parts) == expected


@pytest.mark.parametrize("parts", [["a", 1], ("a", 1), ["a", b"b"], ("a b", 2)])
def test_a_non_str_item_is_a_type_error_before_any_character_check(parts):
    with pytest.raises(TypeError, match="^argument 'parts': '(int|bytes)' object cannot be converted to 'PyString'"):
        vek.create_did_py(parts)


@pytest.mark.parametrize(
    ("did", "expected"),
    [("did:vek:a:b", ("vek", "a:b")), ("did:web:x", ("web", "x")), ("did::x", ("", "x")), ("did:vek", None)],
)
def test_parse_did(did, expected):
    assert vek.parse_did_py(did) == expected
