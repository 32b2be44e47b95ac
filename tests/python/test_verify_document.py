# verify_document and did_for_public_key: what the engine issues passes in any layout; a document outside the record
# rules, any tampering and any other signer fails with InvalidDocument.
import copy
import dataclasses
import json
import re

import pytest

import did_vek
from record_form import compact_record_form  # the bytes the verifier checks: what an attacker would sign
from conftest import PUBLIC, SECRET

ENGINE, FOREIGN = did_vek.DIDEngine.from_secret_key(SECRET), did_vek.DIDEngine()
KEY_DID = ENGINE.create_did_from_key()
SIGNED = ENGINE.create_document(KEY_DID)
DOCUMENT_ORDER = ["@context", "id", "verificationMethod", "authentication", "assertionMethod", "created", "updated"]
METHOD_ORDER = ["id", "type", "controller", "publicKeyHex"]


class Twice:  # a member written twice with the same value
    def __init__(self, value):
        self.value = value


def write(value):
    """Compact JSON in the members' insertion order, Twice members written twice: what a signer of chosen texts
    might sign, and texts that json.dumps cannot write."""
    if isinstance(value, dict):
        members = [(k, v.value) for k, v in value.items() if isinstance(v, Twice) for _ in (1, 2)] + [
            (k, v) for k, v in value.items() if not isinstance(v, Twice)]
        return "{" + ",".join(f"{json.dumps(k)}:{write(v)}" for k, v in members) + "}"
    if isinstance(value, list):
        return "[" + ",".join(map(write, value)) + "]"
    return json.dumps(value)


def declared(text=SIGNED):
    """The parsed text with the document in declared member order, which is the order the engine signs."""
    wrapper = json.loads(text)
    document = {name: wrapper["document"][name] for name in DOCUMENT_ORDER}
    document["verificationMethod"] = [{name: m[name] for name in METHOD_ORDER} for m in document["verificationMethod"]]
    return {"document": document, "proof": wrapper["proof"]}


def signed_by(engine, wrapper):
    """The text with a proof by `engine` over the bytes the verifier rebuilds, or, where it cannot rebuild any,
    over the document's compact text."""
    try:
        message = compact_record_form(wrapper["document"])
    except (ValueError, TypeError, AttributeError):
        message = write(wrapper["document"])
    wrapper["proof"]["proofValue"] = engine.sign(message)
    return write(wrapper)


def refused(text, **options):
    with pytest.raises(did_vek.InvalidDocument) as caught:
        did_vek.verify_document(text, **options)
    message = str(caught.value)
    assert message and "\n" not in message
    return message


def test_the_signed_bytes_are_the_compact_record_form_in_declared_order():
    genuine = declared()
    assert signed_by(ENGINE, copy.deepcopy(genuine)) == write(genuine)
    assert not did_vek.DIDEngine.verify_with_key(json.dumps(json.loads(SIGNED)["document"], separators=(",", ":")),
                                                 genuine["proof"]["proofValue"], PUBLIC)  # sorted is not signed


@pytest.mark.parametrize("did", [KEY_DID, "did:vek:abc", "did:vek::", "did:vek:A-b.c_9:x"])
def test_round_trip(did):
    text = ENGINE.create_document(did)
    wrapper, verified = json.loads(text), did_vek.verify_document(text, did=did)
    assert dataclasses.asdict(verified) == {
        "did": did, "public_key": PUBLIC, "key_id": "key-1", "created": wrapper["document"]["created"],
        "updated": wrapper["document"]["updated"], "proof_created": wrapper["proof"]["created"],
        "key_derived": did == KEY_DID, "document": wrapper["document"]}
    assert did_vek.verify_document(text) == verified and hash(did_vek.verify_document(text)) == hash(verified)
    with pytest.raises(dataclasses.FrozenInstanceError):
        verified.did = KEY_DID
    assert "for" in refused(text, did=did + "x")


def escape_every_character(text):
    return re.sub(r'"([^"]*)"', lambda m: '"' + "".join(f"\\u{ord(c):04x}" for c in m.group(1)) + '"', text)


def reversed_members(value):
    if isinstance(value, dict):
        return {name: reversed_members(value[name]) for name in reversed(value)}
    return [reversed_members(element) for element in value] if isinstance(value, list) else value


LAYOUTS = {
    "as issued": lambda w: SIGNED,
    "compact": lambda w: json.dumps(w, separators=(",", ":")),
    "declared order": lambda w: json.dumps(declared(), indent=2),
    "reversed order": lambda w: json.dumps(reversed_members(w)),
    "sorted, indent 4": lambda w: json.dumps(w, sort_keys=True, indent=4),
    "tab indent": lambda w: json.dumps(w, indent="\t"),
    "\\u escapes": lambda w: escape_every_character(json.dumps(w)),
    "escaped solidus": lambda w: json.dumps(w).replace("/", "\\/"),
    "white space": lambda w: " \t\r\n" + json.dumps(w, indent=1).replace("\n", "\r\n").replace(": ", " :\t ") + "\n\n",
}


@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS)
def test_any_layout_of_the_same_values_verifies(layout):
    text = layout(json.loads(SIGNED))
    assert did_vek.verify_document(text) == did_vek.verify_document(SIGNED)


def paths(value, at=()):
    """Every member and element, at every level, as a path of names and indexes."""
    items = value.items() if isinstance(value, dict) else enumerate(value) if isinstance(value, list) else ()
    for key, inner in items:
        yield at + (key,)
        yield from paths(inner, at + (key,))


def added_members(path):  # members a lenient verifier would pass over
    return {("document",): [("service", [{"id": KEY_DID + "#s", "type": "T", "serviceEndpoint": "https://evil"}]),
                            ("controller", "did:vek:mallory")],
            ("document", "verificationMethod", 0): [("publicKeyMultibase", "f" + PUBLIC)]}.get(path, [("extra", "x")])


JSON_TYPES = {str: "a string", int: "a number", list: "an array", dict: "an object", type(None): "null"}


def tampers():
    """(path, operation, new value or None) for every member: changed, added to, removed, duplicated, wrong type."""
    for path in paths(declared()):
        value = get(declared(), path)
        if isinstance(value, str):
            yield path, "changed", value + "x"
        if isinstance(value, dict):
            yield from ((path, f"given {member[0]}", member) for member in added_members(path))
        if isinstance(value, list):
            yield path, "added to", value
        if isinstance(path[-1], str):
            yield path, "duplicated", Twice(value)
        yield path, "removed", None
        for wrong in {str: [1, ["x"]], list: ["x", {}], dict: [[], None]}[type(value)]:
            yield path, f"made {JSON_TYPES[type(wrong)]}", wrong


def get(value, path):
    for key in path:
        value = value[key]
    return value


def tampered(path, operation, new):
    wrapper = declared()
    parent, key = get(wrapper, path[:-1]), path[-1]
    if operation == "removed":
        del parent[key]
    elif operation.startswith("given"):
        parent[key][new[0]] = new[1]
    elif operation == "added to":
        parent[key].append(copy.deepcopy(new[-1]))
    else:
        parent[key] = new
    return wrapper


SIGNERS = {"as signed": None, "own key through sign()": ENGINE, "foreign key": FOREIGN}
# Changes that the record rules allow: re-signed by the document's own key, they make a new document that
# verifies. Unsigned, or signed by another key, they fail like every other change.
ALLOWED_CHANGES = {(("document",), "given service"), (("document",), "given controller"),
                   (("document", "authentication"), "added to"), (("document", "authentication"), "removed"),
                   (("document", "assertionMethod"), "added to")}
CASES = [pytest.param(path, operation, new, signer, id=f"{'.'.join(map(str, path))} {operation}, {name}")
         for path, operation, new in tampers() for name, signer in SIGNERS.items()
         # Re-signing is over the document: it needs one, left an object.
         if signer is None or (path[0] == "document" and (len(path) > 1 or operation.startswith("given")))]


@pytest.mark.parametrize("path, operation, new, signer", CASES)
def test_tampering_fails_however_it_is_signed(path, operation, new, signer):
    wrapper = tampered(path, operation, new)
    text = write(wrapper) if signer is None else signed_by(signer, wrapper)
    if signer is ENGINE and (path, operation) in ALLOWED_CHANGES:
        assert did_vek.verify_document(text).document == wrapper["document"]
    else:
        refused(text)


def test_an_added_service_verifies_signed_by_the_documents_own_key_only():
    wrapper, service = declared(), [{"id": KEY_DID + "#s", "type": "T", "serviceEndpoint": "https://consent"}]
    members = list(wrapper["document"].items())  # "service" in its declared place, before "created"
    wrapper["document"] = dict(members[:5] + [("service", service)] + members[5:])
    assert did_vek.verify_document(signed_by(ENGINE, copy.deepcopy(wrapper))).document["service"] == service
    assert refused(write(wrapper)).startswith("proof.proofValue does not verify")
    assert refused(signed_by(FOREIGN, wrapper)).startswith("proof.proofValue does not verify")


@pytest.mark.parametrize("did", [KEY_DID, "did:vek:abc"])
def test_any_key_can_issue_a_document_for_a_chosen_did_but_only_a_derived_one_is_bound(did):
    wrapper = declared(ENGINE.create_document(did))
    wrapper["document"]["verificationMethod"][0]["publicKeyHex"] = FOREIGN.public_key
    verified = did_vek.verify_document(signed_by(FOREIGN, wrapper))
    assert (verified.did, verified.public_key, verified.key_derived) == (did, FOREIGN.public_key, False)


def test_proof_created_is_not_covered_by_the_signature():
    wrapper = declared()
    wrapper["proof"]["created"] = "1999-01-01T00:00:00Z"
    assert did_vek.verify_document(write(wrapper)).proof_created == "1999-01-01T00:00:00Z"


@pytest.mark.parametrize("stamp, valid", [
    ("2024-02-29T23:59:59Z", True), ("1970-01-01T00:00:00Z", True), ("9999-12-31T23:59:59Z", True),
    ("2023-02-29T00:00:00Z", False), ("2024-13-01T00:00:00Z", False), ("2024-01-01T24:00:00Z", False),
    ("2024-01-01T00:00:60Z", False), ("0000-01-01T00:00:00Z", False), ("2024-01-01T00:00:00", False),
    ("2024-01-01 00:00:00Z", False), ("2024-01-01t00:00:00z", False), ("2024-01-01T00:00:00.5Z", False),
    ("2024-01-01T00:00:00+00:00", False), ("2024-1-01T00:00:00Z", False), ("２０２４-01-01T00:00:00Z", False)])
@pytest.mark.parametrize("where, field", [(("document", "created"), "created"), (("document", "updated"), "updated"),
                                         (("proof", "created"), "proof_created")])
def test_timestamps_are_real_utc_times_in_one_form(where, field, stamp, valid):
    wrapper = declared()
    if where[0] == "document":  # "updated" may not be before "created": the widest span, then one of them
        wrapper["document"]["created"], wrapper["document"]["updated"] = "1970-01-01T00:00:00Z", "9999-12-31T23:59:59Z"
    get(wrapper, where[:-1])[where[-1]] = stamp
    text = signed_by(ENGINE, wrapper)  # re-signed: the owner of the key issued these values
    if valid:
        assert getattr(did_vek.verify_document(text), field) == stamp
    else:
        assert f"{'.'.join(where)} " in refused(text)


@pytest.mark.parametrize("created, updated, valid", [
    ("2024-01-01T00:00:00Z", "2024-01-01T00:00:00Z", True), ("2024-01-01T00:00:00Z", "2024-01-01T00:00:01Z", True),
    ("2024-01-01T00:00:01Z", "2024-01-01T00:00:00Z", False), ("2025-01-01T00:00:00Z", "2024-12-31T23:59:59Z", False)])
def test_updated_is_not_before_created(created, updated, valid):
    wrapper = declared()
    wrapper["document"]["created"], wrapper["document"]["updated"] = created, updated
    text = signed_by(ENGINE, wrapper)
    if valid:
        assert did_vek.verify_document(text).updated == updated
    else:
        assert "is before document.created" in refused(text)


def upper_case_key(wrapper):
    wrapper["document"]["verificationMethod"][0]["publicKeyHex"] = PUBLIC.upper()
    return signed_by(ENGINE, wrapper)


def upper_case_signature(wrapper):
    wrapper["proof"]["proofValue"] = wrapper["proof"]["proofValue"].upper()  # verify_with_key would take it
    return write(wrapper)


@pytest.mark.parametrize("make", [upper_case_key, upper_case_signature])
def test_hex_is_lower_case_as_the_engine_writes_it(make):
    assert "lower-case hex" in refused(make(declared()))


# Escapes of lone surrogates parse into texts without a UTF-8 form; they must fail as invalid, never crash.
@pytest.mark.parametrize("old, new", [(KEY_DID + '"', KEY_DID + '\\ud800"'), ('"id"', '"\\udfffid"'),
                                      ("ns/vek/v1", "ns/vek/v1\\ud800"), ('"proofValue": "', '"proofValue": "\\ud800'),
                                      ('"Ed25519Signature2020"', '"\\ud83d"'), ("{", '{"\\ud800": 1, ')])
def test_lone_surrogates_fail_cleanly(old, new):
    text = SIGNED.replace(old, new, 1)
    assert text != SIGNED
    refused(text)


def test_surrogates_in_the_argument_itself():
    refused(SIGNED.replace(KEY_DID, KEY_DID + "\ud800"))
    refused(SIGNED, did="\ud800")


@pytest.mark.parametrize("text, message", [
    ("", "not JSON"), ("[]", "must be an object, not an array"), ('"x"', "not a string"), ("null", "not null"),
    ("{}x", "not JSON: Extra data"), ("{}{}", "Extra data"), ("\ufeff{}", "BOM"), ("{} // signed", "not JSON"),
    ('{"a": NaN}', "NaN is not a JSON value"), ('{"a": -Infinity}', "-Infinity"), ('{"a": 1e999}', "out of range"),
    ('{"a": ' + "1" * 5000 + "}", "out of range"), ("[" * 100_000, "nested too deeply"),
    ('{"proof": 1, "proof": 1}', 'duplicate member "proof"'), ('{"a": {"b": {"c": 1, "c": 1}}}', 'duplicate member "c"'),
    ('{"document": {}}', 'lacks the member "proof"'), ('{"document": 1, "proof": 1, "x": 1}', 'the member "x"')])
def test_only_one_json_object_with_unique_members(text, message):
    assert message in refused(text)


def test_the_builders_output_is_not_a_signed_document_until_signed():
    builder = did_vek.DIDDocumentBuilder(KEY_DID)
    builder.add_verification_method("key-1", PUBLIC), builder.add_authentication("key-1")
    builder.add_assertion_method("key-1"), builder.add_consent_service("https://consent.example")
    assert refused(builder.build()) == 'the text lacks the member "document"'
    wrapper = {"document": json.loads(builder.build()), "proof": declared()["proof"]}
    assert refused(write(wrapper)).startswith("proof.proofValue does not verify")
    assert did_vek.verify_document(signed_by(ENGINE, wrapper)).document == wrapper["document"]


@pytest.mark.parametrize("call", [lambda: did_vek.verify_document(SIGNED.encode()),
                                  lambda: did_vek.verify_document(None), lambda: did_vek.verify_document(SIGNED, did=1),
                                  lambda: did_vek.did_for_public_key(bytes.fromhex(PUBLIC))])
def test_arguments_of_other_types(call):
    pytest.raises(TypeError, call)


@pytest.mark.parametrize("key", [PUBLIC, PUBLIC.upper(), PUBLIC[:32] + PUBLIC[32:].upper()])
def test_did_for_public_key(key):
    assert did_vek.did_for_public_key(key) == KEY_DID
    assert did_vek.did_for_public_key(FOREIGN.public_key) == FOREIGN.create_did_from_key()


@pytest.mark.parametrize("key", ["", PUBLIC[:-1], PUBLIC + "0", "0x" + PUBLIC[2:], " " + PUBLIC[1:], PUBLIC[:-1] + "g",
                                 "٠" * 64, PUBLIC[:-1] + "\n"])
def test_did_for_public_key_refuses_anything_but_64_hex_digits(key):
    pytest.raises(ValueError, did_vek.did_for_public_key, key)


def test_the_compact_record_form_escapes_as_the_engine_writes():  # no valid signed document holds such a text
    texts = "|".join(['"', "\\", "\b", "\t", "\n", "\f", "\r", "\x00", "\x1b", "\x1f", "/", "\x7f", "é😀", "a: b"])
    builder = did_vek.DIDDocumentBuilder(KEY_DID)
    builder.set_controller(texts), builder.add_verification_method(texts, texts), builder.add_authentication(texts)
    builder.add_assertion_method(texts), builder.add_service(texts, texts, texts)
    pretty = builder.build()  # the record form too, laid out: no string holds a raw line feed or '": '
    assert compact_record_form(json.loads(pretty)) == re.sub(r"\n *", "", pretty).replace('": ', '":')
