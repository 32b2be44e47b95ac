# verify_history: a DID's versions from creation to deactivation, each signed by a key of the version before;
# every breach of the rules names the version and the rule.
import dataclasses
import json

import pytest

import did_vek
from histories import DID, KEYS, deactivation, document, life_of_a_did, stamp, version

LIFE = life_of_a_did()
FIRST, SECOND, THIRD = {"key-1": KEYS[0]}, {"key-2": KEYS[1]}, {"key-3": KEYS[2]}


def test_a_life_from_creation_to_deactivation():
    history = did_vek.verify_history(LIFE)
    assert (history.did, history.deactivated, history.created, history.updated) == (DID, True, stamp(0), stamp(40))
    assert [(v.version_id, v.version_time, v.key_id, v.public_key) for v in history.versions] == [
        ("1", stamp(0), "key-1", KEYS[0].public_key), ("2", stamp(10), "key-1", KEYS[0].public_key),
        ("3", stamp(20), "key-1", KEYS[0].public_key), ("4", stamp(30), "key-2", KEYS[1].public_key),
        ("5", stamp(40), "key-2", KEYS[1].public_key)]
    assert history.latest is history.versions[-1] and [v.signed for v in history.versions] == LIFE
    assert history.versions[2].document == json.loads(LIFE[2])["document"]
    assert history.versions[2].proof == json.loads(LIFE[2])["proof"]
    with pytest.raises(dataclasses.FrozenInstanceError):
        history.deactivated = False


@pytest.mark.parametrize("versions, deactivated", [(LIFE[:1], False), (LIFE[:3], False), (LIFE, True)])
def test_every_prefix_is_a_history(versions, deactivated):
    assert did_vek.verify_history(versions).deactivated == deactivated


def test_the_json_array_the_registry_serves_is_the_same_history():
    as_array = "[" + ",".join(LIFE) + "]"
    from_texts, from_array = did_vek.verify_history(LIFE), did_vek.verify_history(as_array)
    assert from_array == from_texts and [v.signed for v in from_array.versions] == LIFE


def test_a_deactivation_right_after_creation():
    history = did_vek.verify_history([LIFE[0], deactivation(KEYS[0], "key-1", updated=stamp(1))])
    assert history.deactivated and "assertionMethod" not in history.latest.document


@pytest.mark.parametrize("version_id, version_time, expected", [
    (None, None, "5"), ("1", None, "1"), ("4", None, "4"), (None, stamp(0), "1"), (None, stamp(9), "1"),
    (None, stamp(10), "2"), (None, stamp(35), "4"), (None, "2099-01-01T00:00:00Z", "5")])
def test_at_selects_a_version(version_id, version_time, expected):
    history = did_vek.verify_history(LIFE)
    assert history.at(version_id, version_time).version_id == expected
    assert history.at(version_id=version_id, version_time=version_time).version_id == expected


@pytest.mark.parametrize("arguments, error", [
    ({"version_id": "6"}, LookupError), ({"version_id": "01"}, LookupError), ({"version_id": "0"}, LookupError),
    ({"version_time": "2025-12-31T23:59:59Z"}, LookupError),
    ({"version_id": "1", "version_time": stamp(0)}, ValueError),
    ({"version_time": "2026-01-01"}, ValueError), ({"version_time": "2026-02-30T00:00:00Z"}, ValueError)])
def test_at_refuses(arguments, error):
    with pytest.raises(error):
        did_vek.verify_history(LIFE).at(**arguments)


OTHER_DID = KEYS[1].create_did_from_key()
BREACHES = {
    # H1: the first version starts the history with its own key, for the DID of that key.
    "first signed by a key it does not list": ([version(KEYS[1], "key-2", FIRST)], "version 1 breaks H1"),
    "first signed by a key listed for authentication only":
        ([version(KEYS[0], "key-1", {"key-1": KEYS[0], "key-2": KEYS[1]}, assertion=["key-2"])], "version 1 breaks H1"),
    "first for a DID not derived from its key": ([version(KEYS[1], "key-2", SECOND)], "version 1 breaks H1"),
    "first not signed over its values": ([LIFE[0].replace(stamp(0), stamp(1), 1)], "version 1 breaks H1"),
    "first outside the record rules": ([document(FIRST)], "version 1 breaks H1"),
    # H2: each later version is for the same DID and signed by an assertion key of the version before.
    "a later one for another DID": ([LIFE[0], version(KEYS[1], "key-2", SECOND, did=OTHER_DID, updated=stamp(5))],
                                    "version 2 breaks H2"),
    "a later one signed by the key it brings in": ([LIFE[0], version(KEYS[1], "key-2", SECOND, updated=stamp(5))],
                                                  "version 2 breaks H2"),
    "a later one signed by a key the one before retired": (LIFE[:3] + [version(KEYS[0], "key-1", FIRST, updated=stamp(25))],
                                                          "version 4 breaks H2"),
    "a later one under another key's id": ([LIFE[0], version(KEYS[2], "key-1", THIRD, updated=stamp(5))],
                                           "version 2 breaks H2"),
    "a later one outside the record rules": ([LIFE[0], LIFE[1].replace('"id"', '"ID"', 1)], "version 2 breaks H2"),
    # H3: time moves forward.
    "a later one at the same time": ([LIFE[0], version(KEYS[0], "key-1", FIRST, updated=stamp(0))], "version 2 breaks H3"),
    "a later one earlier": (LIFE[:2] + [version(KEYS[0], "key-1", SECOND, updated=stamp(9))], "version 3 breaks H3"),
    "versions out of order": ([LIFE[0], LIFE[2], LIFE[1]], "version 3 breaks H2"),
    "a version replayed": (LIFE[:2] + [LIFE[1]], "version 3 breaks H3"),
    # H4: nothing follows a deactivation, whoever signs it.
    "a version after the deactivation": (LIFE + [version(KEYS[1], "key-2", SECOND, updated=stamp(50))],
                                        "version 6 breaks H4"),
}


@pytest.mark.parametrize("versions, message", BREACHES.values(), ids=BREACHES)
def test_every_breach_names_the_version_and_the_rule(versions, message):
    with pytest.raises(did_vek.InvalidDocument) as caught:
        did_vek.verify_history(versions)
    assert str(caught.value).startswith(message + ": ") and "\n" not in str(caught.value)


@pytest.mark.parametrize("versions, message", [
    ([], "the history is empty"), ("[]", "the history is empty"), ("{}", "a JSON array"), ("", "not JSON"),
    ("[" + LIFE[0] + "," + LIFE[0].replace("{", '{"document": 1, ', 1) + "]", 'duplicate member "document"'),
    ("[" + LIFE[0] + ", 7]", "version 2 breaks H2: the text must be an object")])
def test_texts_that_are_no_history(versions, message):
    with pytest.raises(did_vek.InvalidDocument, match=message):
        did_vek.verify_history(versions)


@pytest.mark.parametrize("versions", [LIFE[0].encode(), None, 5, [LIFE[0].encode()]])
def test_arguments_of_other_types(versions):
    pytest.raises(TypeError, did_vek.verify_history, versions)


TAMPERED_SECOND = LIFE[1].replace("consent.example", "consent.example.org")
# The per-version check names every rule a version breaks, not only the first: the registry,
# which runs it too, answers in another order than the history's messages.
NEXT = {
    "a first version": (None, LIFE[0], ()),
    "a later version": (LIFE[0], LIFE[1], ()),
    "first signed by a key it does not list": (None, version(KEYS[1], "key-2", FIRST), ("key_not_listed",)),
    "first for a DID not derived from its key": (None, version(KEYS[1], "key-2", SECOND), ("not_key_derived",)),
    "first not signed over its values": (None, LIFE[0].replace(stamp(0), stamp(1)), ("signature",)),
    "for another DID, by a key not listed": (LIFE[0], version(KEYS[1], "key-2", SECOND, did=OTHER_DID, updated=stamp(5)),
                                            ("other_did", "key_not_listed")),
    "at the same time": (LIFE[0], version(KEYS[0], "key-1", FIRST, updated=stamp(0)), ("not_later",)),
    "a replay not signed over its values": (LIFE[1], TAMPERED_SECOND, ("signature", "not_later")),
    "after the deactivation": (LIFE[4], version(KEYS[1], "key-2", SECOND, updated=stamp(50)),
                               ("deactivated", "key_not_listed")),
}


@pytest.mark.parametrize("previous, text, broken", NEXT.values(), ids=NEXT)
def test_the_per_version_check_names_every_rule_broken(previous, text, broken):
    from did_vek import _native
    rules, public_key = _native.check_next(previous, text)
    assert rules == broken
    assert public_key == ("" if broken else KEYS[0].public_key)


def test_many_versions_are_judged_in_one_call_as_one_by_one():
    from did_vek import _native
    assert _native.check_pairs([(previous, text) for previous, text, _ in NEXT.values()]) == \
        [broken for _, _, broken in NEXT.values()]
    with pytest.raises(ValueError, match="the previous version"):
        _native.check_pairs([(LIFE[0], LIFE[1]), ("{}", LIFE[1])])


def exported(text):
    """`text` as an export's reader hands it over, read once."""
    from did_vek import _native
    signed = json.loads(text)
    row = {"seq": 1, "did": signed["document"]["id"], "versionId": "1", "signed": signed, "logIndex": 1}
    return _native.read_export([json.dumps(row)])[0][4]


def test_versions_read_from_an_export_are_judged_as_their_texts():
    from did_vek import _native
    pairs = [(previous, text) for previous, text, _ in NEXT.values()]
    read = [(None if previous is None else exported(previous), exported(text)) for previous, text in pairs]
    mixed = [(previous, exported(text)) for previous, text in pairs]
    expected = [broken for _, _, broken in NEXT.values()]
    assert _native.check_pairs(read) == _native.check_pairs(mixed) == expected
