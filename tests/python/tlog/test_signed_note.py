# Signed notes, vkeys, checkpoints and cosignatures against values computed here by hand from
# their definitions, and the published example of the signed-note format.
import base64
import hashlib

import pytest

from conftest import PUBLIC, SECRET
from did_vek import DIDEngine
from did_vek.tlog.checkpoint import Checkpoint, open_checkpoint
from did_vek.tlog.errors import FormatError, InvalidProof
from did_vek.tlog.note import COSIGNATURE_V1, Signer, Verifier, parse_note, verify_note

EXAMPLE_VKEY = "example.com/foo+530d903a+AekyeRrm56hApGFkyQR4ZCbV54Id2LKaANYcrnKv3U2k"
EXAMPLE_NOTE = ("This is an example message.\n\n— example.com/foo Uw2QOkn8srV1yJGh2VYRlL1Tnagv1YEq6TfXppzi2ONncAlTgK7"
                "Ztg1ERYNZXsYjOBH3mFXmRKuwHjG1Yu72IneyaQM=\n")
ORIGIN = "log.example/did-vek"
ROOT = hashlib.sha256(b"a root").digest()
TEXT = f"{ORIGIN}\n12345\n{base64.b64encode(ROOT).decode()}\n"
KEY = bytes.fromhex(PUBLIC)


def by_hand_vkey(name, key_type):
    key_id = hashlib.sha256(name.encode() + b"\x0a" + bytes([key_type]) + KEY).digest()[:4]
    return f"{name}+{key_id.hex()}+{base64.b64encode(bytes([key_type]) + KEY).decode()}", key_id


def test_the_published_example_note_verifies():
    verifier = Verifier.from_vkey(EXAMPLE_VKEY)
    assert verifier.vkey == EXAMPLE_VKEY
    [verified] = verify_note(parse_note(EXAMPLE_NOTE), [verifier])
    assert verified.verifier == verifier and verified.timestamp is None
    tampered = EXAMPLE_NOTE.replace("example message", "example massage")
    with pytest.raises(InvalidProof, match="does not verify"):
        verify_note(parse_note(tampered), [verifier])


@pytest.mark.parametrize("key_type", [0x01, COSIGNATURE_V1])
def test_vkeys_and_key_ids_as_computed_by_hand(key_type):
    vkey, key_id = by_hand_vkey(ORIGIN, key_type)
    signer = Signer(ORIGIN, DIDEngine.from_secret_key(SECRET), key_type)
    assert signer.verifier.vkey == vkey and signer.verifier.key_id == key_id
    assert Verifier.from_vkey(vkey) == signer.verifier


def test_a_signed_checkpoint_as_computed_by_hand():
    signed = Checkpoint(ORIGIN, 12345, ROOT).sign(Signer(ORIGIN, DIDEngine.from_secret_key(SECRET)))
    text, line = signed.split("\n\n")
    assert text + "\n" == TEXT
    dash, name, data = line.removesuffix("\n").split(" ")
    raw = base64.b64decode(data)
    assert (dash, name, raw[:4]) == ("—", ORIGIN, by_hand_vkey(ORIGIN, 1)[1])
    assert DIDEngine.verify_with_key(TEXT, raw[4:].hex(), PUBLIC)
    opened = open_checkpoint(signed, [Verifier.from_vkey(by_hand_vkey(ORIGIN, 1)[0])])
    assert opened.checkpoint == Checkpoint(ORIGIN, 12345, ROOT)


def test_a_cosignature_as_computed_by_hand():
    witness = Signer("witness.example/w1", DIDEngine.from_secret_key(SECRET), COSIGNATURE_V1)
    signature = witness.sign(TEXT, timestamp=1_679_315_147)
    raw = base64.b64decode(signature.line.split(" ")[2])
    assert raw[:4] == by_hand_vkey("witness.example/w1", 4)[1]
    assert raw[4:12] == (1_679_315_147).to_bytes(8, "big")
    assert DIDEngine.verify_with_key(f"cosignature/v1\ntime 1679315147\n{TEXT}", raw[12:].hex(), PUBLIC)
    note = parse_note(TEXT + "\n" + signature.line)
    [verified] = verify_note(note, [witness.verifier])
    assert verified.timestamp == 1_679_315_147
    # The time is signed: another time in front of the same signature does not verify.
    moved = base64.b64encode(raw[:4] + (1_679_315_148).to_bytes(8, "big") + raw[12:]).decode()
    with pytest.raises(InvalidProof):
        verify_note(parse_note(f"{TEXT}\n— witness.example/w1 {moved}\n"), [witness.verifier])


def test_signatures_of_unknown_keys_are_ignored_and_a_known_key_is_known_by_name_and_id():
    log = Signer(ORIGIN, DIDEngine.from_secret_key(SECRET))
    other = Signer(ORIGIN, DIDEngine())  # the same name, another key: another key ID
    signed = log.sign_note(TEXT).removesuffix("\n") + "\n" + other.sign(TEXT).line
    assert [v.verifier for v in verify_note(parse_note(signed), [log.verifier])] == [log.verifier]
    assert open_checkpoint(signed, [other.verifier]).log == other.verifier
    with pytest.raises(InvalidProof, match="no signature of a known log key"):
        open_checkpoint(signed, [Signer("elsewhere", DIDEngine.from_secret_key(SECRET)).verifier])


@pytest.mark.parametrize("vkey, message", [
    ("example.com/foo+530d903a", "not <name>"),
    ("example.com/foo+530D903A+AekyeRrm56hApGFkyQR4ZCbV54Id2LKaANYcrnKv3U2k", "lower-case hex"),
    ("example.com/foo+530d903b+AekyeRrm56hApGFkyQR4ZCbV54Id2LKaANYcrnKv3U2k", "name and key give 530d903a"),
    ("example.com/bar+530d903a+AekyeRrm56hApGFkyQR4ZCbV54Id2LKaANYcrnKv3U2k", "key ID"),
    ("example.com/foo+530d903a+AekyeRrm56hApGFkyQR4ZCbV54Id2LKaANYcrnKv3U2", "base64"),
    ("example.com/foo+530d903a+AukyeRrm56hApGFkyQR4ZCbV54Id2LKaANYcrnKv3U2k", "signature type 0x02"),
    ("example.com/foo+530d903a+AekyeRrm56hApGFkyQR4ZCbV54Id2LKaANYcrnKv", "32 bytes"),
    (" example.com/foo+530d903a+AekyeRrm56hApGFkyQR4ZCbV54Id2LKaANYcrnKv3U2k", "space"),
    ("+530d903a+AekyeRrm56hApGFkyQR4ZCbV54Id2LKaANYcrnKv3U2k", "empty"),
])
def test_vkeys_that_are_not_one(vkey, message):
    with pytest.raises(FormatError, match=message):
        Verifier.from_vkey(vkey)


@pytest.mark.parametrize("note, message", [
    ("text\n— a AAAAAAA=\n", "no blank line"),
    ("text\n\n— a AAAAAAA=", "does not end in a newline"),
    ("text\n\n- a AAAAAAA=\n", "not a signature line"),
    ("text\n\n— a b AAAAAAA=\n", "not a signature line"),
    ("text\n\n— a+b AAAAAAA=\n", "holds a space or a"),
    ("text\n\n— a AAAA\n", "too short"),
    ("text\n\n— a AAAAAAA\n", "not base64"),
    ("text\n\n— a AAAAAAB=\n", "one padded form"),
    ("te\rxt\n\n— a AAAAAAA=\n", "control character"),
    ("text\n\n— a AAAAAAA=\n\n", "no signature lines"),
    ("text\n\n" + "— a AAAAAAA=\n" * 65, "more than 64"),
])
def test_notes_that_are_not_signed_notes(note, message):
    with pytest.raises(FormatError, match=message):
        parse_note(note)


def test_the_text_is_what_comes_before_the_last_blank_line():
    note = parse_note("a\n\nb\n\n— a AAAAAAA=\n— b AAAAAAA=\n")
    assert note.text == "a\n\nb\n" and [s.name for s in note.signatures] == ["a", "b"]
    assert str(note) == "a\n\nb\n\n— a AAAAAAA=\n— b AAAAAAA=\n"


@pytest.mark.parametrize("text, message", [
    ("origin\n12345\n", "an origin, a size and a root"),
    ("origin\n012345\n" + TEXT.split("\n")[2] + "\n", "leading zeros"),
    ("origin\n-1\n" + TEXT.split("\n")[2] + "\n", "leading zeros"),
    ("origin\n9223372036854775808\n" + TEXT.split("\n")[2] + "\n", "larger than"),
    ("origin\n5\nAAAA\n", "3 bytes, not 32"),
    ("\n5\n" + TEXT.split("\n")[2] + "\n", "no empty lines"),
    (TEXT + "\n", "no empty lines"),
    (TEXT[:-1], "ends in a newline"),
])
def test_checkpoints_that_are_not_one(text, message):
    with pytest.raises(FormatError, match=message):
        Checkpoint.parse(text)


def test_checkpoints_round_trip_with_and_without_extension_lines():
    assert Checkpoint.parse(TEXT) == Checkpoint(ORIGIN, 12345, ROOT)
    assert Checkpoint.parse(TEXT + "ext 1\n").extensions == ("ext 1",)
    assert Checkpoint.parse(TEXT).text == TEXT
    assert Checkpoint.parse(f"o\n0\n{base64.b64encode(bytes(32)).decode()}\n").size == 0
