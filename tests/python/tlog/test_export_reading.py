# The export's lines read natively once: what the native reader takes is what json.loads and
# the signed-document reader would make of it, what it leaves is left to them, and an audit
# over lines only json.loads reads reports what it reports over strict ones.
import hashlib
import json
import re

import pytest

from did_vek import InvalidDocument, _native
from did_vek._signed import read_signed
from did_vek.tlog import Discrepancy
from did_vek.tlog.audit import _row, audit
from histories import DID, KEYS, life_of_a_did, version
from lying_log import Served
from test_audit import LIES, honest

V1 = json.loads(life_of_a_did()[0])
OTHER_V1 = json.loads(version(KEYS[2], "key-1", {"key-1": KEYS[2]}, did=KEYS[2].create_did_from_key()))
ROW = {"seq": 1, "did": DID, "versionId": "1", "signed": V1, "logIndex": 3}
PLAIN = json.dumps(ROW)


def line(**members):
    return json.dumps({**ROW, **members})


LINES = {  # an export line, and what the native reader makes of it: its version read whole, its row only, nothing
    "a row with its signed document": (PLAIN, "version"),
    "members in another order, the DID escaped": (
        json.dumps(dict(reversed(ROW.items()))).replace(DID, DID.replace(":", "\\u003a")), "version"),
    "a signed document of another DID": (line(signed=OTHER_V1), "row"),
    "a signed document with a member the rules refuse": (line(signed={**V1, "extra": 1}), "row"),
    "a document without its proof": (line(signed={"document": V1["document"]}), "row"),
    "a member twice": (PLAIN.replace('"seq": 1', '"seq": 0, "seq": 1'), None),
    "a member twice inside the signed document": (PLAIN.replace('"proof": {', '"proof": 5, "proof": {'), None),
    "a logIndex beyond 64 bits": (line(logIndex=2**70), None),
    "a logIndex written as a fraction": (line(logIndex=3.0), None),
    "a seq that is a boolean": (line(seq=True), None),
    "a versionId that is a number": (line(versionId=1), None),
    "a signed document that is a list": (line(signed=[V1]), None),
    "no seq": (json.dumps({name: value for name, value in ROW.items() if name != "seq"}), None),
    "an array": (json.dumps([ROW]), None),
    "no JSON": (PLAIN[:-1], None),
    "NaN in another member": (line(note=float("nan")), None),
    "an escaped lone surrogate in another member": (line(note="\ud800"), None),
    "a lone surrogate itself": (PLAIN[:-1] + ', "note": "\ud800"}', None),
}


def as_before(text):
    """The row and the signed document that json.loads and the value form's reading make of a line."""
    try:
        row = _row(text)
    except Discrepancy:
        return None, None
    try:
        return row, read_signed(_native.value_form(row["signed"]))
    except (InvalidDocument, UnicodeEncodeError):
        return row, None


@pytest.mark.parametrize("text, taken", LINES.values(), ids=LINES)
def test_a_line_is_read_natively_as_json_loads_reads_it_or_left_to_it(text, taken):
    [read] = _native.read_export([text])
    row, signed = as_before(text)
    if taken is None:
        assert read is None
        return
    seq, index, did, version_id, exported = read
    assert (seq, index, did, version_id) == (row["seq"], row["logIndex"], row["did"], row["versionId"])
    assert (exported is not None) == (taken == "version")
    if exported is None:
        assert signed is None or signed.did != did
    else:
        assert exported.value_form == signed.canonical
        assert exported.document_hash == hashlib.sha256(signed.canonical.encode()).digest()


def test_only_the_reader_makes_an_exported_version():
    with pytest.raises(ValueError, match="read_export"):
        _native.ExportedVersion()
    with pytest.raises(TypeError):
        _native.read_export([PLAIN.encode()])


class Lenient(Served):
    """The same log, each export line with its seq written twice: json.loads reads it, the strict reader does not."""

    def export(self, after=0):
        for text in super().export(after):
            yield text.replace('{"seq": ', '{"seq": 0, "seq": ', 1)


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("served, message", [(lambda: Served(honest()), None), *LIES.values()],
                         ids=["honest", *LIES])
def test_an_audit_of_lines_only_json_loads_reads_finds_what_it_finds_over_strict_ones(served, message, threads):
    strict = served()
    lenient = Lenient(strict.log, tiles=strict.changed, withhold=strict.withhold, rows=strict.rows)
    if message is None:
        assert audit(lenient, threads=threads) == audit(strict, threads=threads)
        return
    for source in (strict, lenient):
        with pytest.raises(Discrepancy) as caught:
            audit(source, threads=threads)
        assert re.search(message, str(caught.value))
