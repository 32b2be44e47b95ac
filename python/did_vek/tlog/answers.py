"""The checks of the proofs a registry sends with its answers (their "vekLog"), against one checkpoint.

An answer shows a DID's versions and proves, against one signed checkpoint, that the log's last
entry is a map entry whose map names the leaf hash of the latest of those versions, or that the
DID is absent exactly when no version is shown. Each version entry names its predecessor's leaf
hash, so the latest one commits to the whole history shown. Entries are rebuilt from the signed
documents the answer shows; what the answer says an entry is (its `extra` line) must match, and
is never used in place of the rebuilt one.

These functions take the checkpoint already opened (its signatures checked): every proof of one
answer holds that checkpoint byte for byte, so its signatures are checked once.
"""

from collections.abc import Mapping, Sequence
from typing import Any

from .._signed import read_signed
from . import merkle
from ._base64 import decode
from .checkpoint import Checkpoint
from .dmap import MapProof, map_key
from .entries import MapEntry, VersionEntry, document_hash, latest_leaf_of_value_forms, parse_entry, version_entries
from .errors import FormatError, InvalidProof
from .proof import TlogProof

# A consistency proof between trees of at most 2**63 - 1 leaves has at most this many hashes.
_MAX_CONSISTENCY = 64


def history_checkpoint(vek_log: Any) -> str:
    """The signed checkpoint of a history answer's `vekLog`."""
    return _text(_object(vek_log), "checkpoint")


def history_consistency(vek_log: Any) -> list[bytes] | None:
    """The consistency proof of a history answer's `vekLog`, or None when it carries none."""
    hashes = _object(vek_log).get("consistency")
    if hashes is None:
        return None
    if not isinstance(hashes, list) or not all(isinstance(hash_, str) for hash_ in hashes):
        raise InvalidProof('the vekLog\'s "consistency" is not a list of base64 hashes')
    return consistency_hashes(hashes, 'the vekLog\'s "consistency"')


def consistency_hashes(lines: Sequence[str], where: str) -> list[bytes]:
    """The hashes of a consistency proof written one base64 hash a line; `InvalidProof` naming
    `where` for too many or a malformed one."""
    if len(lines) > _MAX_CONSISTENCY:
        raise InvalidProof(f"{where} has {len(lines)} hashes")
    try:
        return [decode(line, f"consistency hash {number}", length=merkle.HASH_SIZE)
                for number, line in enumerate(lines, 1)]
    except FormatError as error:
        raise InvalidProof(f"{where}: {error}") from None


def resolution_checkpoint(vek_log: Any) -> str:
    """The signed checkpoint of a resolution answer's `vekLog`: the one its map entry's proof holds."""
    return _proof(_object(vek_log), "mapProof").checkpoint


def receipt_checkpoint(proof: Any) -> str:
    """The signed checkpoint of a publish receipt: the one its proof of the new entry holds."""
    return _receipt_proof(proof).checkpoint


def check_receipt(document: str, version_id: int, log_index: Any, proof: Any, vek_log: Any, signed: str,
                  checkpoint: Checkpoint) -> None:
    """Check a publish receipt for the signed `document` as version `version_id` of its DID: `proof`
    proves its entry at `log_index` against `checkpoint`, and the `vekLog` shows the map naming it.

    The entry is rebuilt from the document, except its `prev`: the publisher does not hold the
    version before, so that field is read from the proof's `extra` line. The map names that exact
    entry, so a wrong `prev` is caught by whoever checks the history.
    """
    served = read_signed(document)
    tlog_proof = _receipt_proof(proof)
    if type(log_index) is not int or log_index != tlog_proof.index:
        raise InvalidProof(f"the receipt's logIndex {log_index!r} is not the index its proof proves")
    if tlog_proof.extra is None:
        raise InvalidProof("the receipt's proof does not carry the entry it proves")
    entry_text = _decoded(tlog_proof.extra)
    entry = _version_entry(entry_text, served.did)
    if entry.version_id != version_id or entry.document_hash != document_hash(served.canonical):
        raise InvalidProof(f"the receipt proves another entry than version {version_id} of the document published")
    _check_inclusion(tlog_proof, entry_text, signed, checkpoint)
    _check_map(served.did, entry.leaf_hash, _object(vek_log), signed, checkpoint)


def check_history(did: str, versions: Sequence[str], vek_log: Any, signed: str, checkpoint: Checkpoint, *,
                  value_forms: bool = False) -> None:
    """Check that the history answer of `did` showing `versions` (signed documents, oldest first)
    is proven by its `vekLog` against `checkpoint`, whose signed text is `signed`. With
    `value_forms`, the versions are in their value form and verified to be of `did` already.

    `InvalidProof` for a proof that is missing, malformed or proves something else.
    """
    vek_log = _object(vek_log)
    if history_checkpoint(vek_log) != signed:
        raise InvalidProof("the vekLog's checkpoint is not the one checked")
    if value_forms:
        _check_map(did, latest_leaf_of_value_forms(did, versions), vek_log, signed, checkpoint)
        return
    try:
        entries = version_entries(versions)
    except FormatError as error:
        raise InvalidProof(f"the versions served: {error}") from None
    if entries and entries[0].did != did:
        raise InvalidProof(f"the versions served are of {entries[0].did}, not {did}")
    _check_map(did, entries[-1].leaf_hash if entries else None, vek_log, signed, checkpoint)


def check_resolution(did: str, vek_log: Any, signed: str, checkpoint: Checkpoint, *,
                     document: str | None = None, version_id: int | None = None) -> None:
    """Check that a resolution answer of `did` is proven by its `vekLog` against `checkpoint`.

    `document` is the signed document served and `version_id` the version it is said to be;
    without them (an answer that serves no version) the `vekLog` must either prove the DID
    absent or name its latest entry, which is then checked against the map but not rebuilt.
    """
    if (document is None) != (version_id is None):
        raise ValueError("a served document needs its versionId, and only a served document has one")
    vek_log = _object(vek_log)
    if "entry" not in vek_log:
        if document is not None:
            raise InvalidProof(f"a version of {did} was served without its log entry")
        if "proof" in vek_log or "chain" in vek_log:
            raise InvalidProof("the vekLog proves an entry that it does not name")
        _check_map(did, None, vek_log, signed, checkpoint)
        return
    entry_text = _text(vek_log, "entry")
    entry = _version_entry(entry_text, did)
    if document is not None:
        served = read_signed(document)
        if served.did != did:
            raise InvalidProof(f"the document served is of {served.did}, not {did}")
        if entry.document_hash != document_hash(served.canonical):
            raise InvalidProof(f"the log entry of {did} holds the hash of another document than the one served")
        if entry.version_id != version_id:
            raise InvalidProof(f"the log entry is of version {entry.version_id}, not of the version {version_id} served")
    _check_inclusion(_proof(vek_log, "proof"), entry_text, signed, checkpoint)
    latest = entry
    chain = vek_log.get("chain", [])
    if not isinstance(chain, list) or not all(isinstance(text, str) for text in chain):
        raise InvalidProof('the vekLog\'s "chain" is not a list of entry texts')
    for text in chain:
        later = _version_entry(text, did)
        if later.version_id != latest.version_id + 1 or later.previous != latest.leaf_hash:
            raise InvalidProof(f"the entry of version {later.version_id} of {did} does not follow "
                               f"the entry of version {latest.version_id}")
        latest = later
    _check_map(did, latest.leaf_hash, vek_log, signed, checkpoint)


def _check_map(did: str, latest: bytes | None, vek_log: Mapping[str, Any], signed: str, checkpoint: Checkpoint) -> None:
    """Check that the tree's last entry is a map entry whose map gives `did` the value `latest`
    (the leaf hash of its latest version entry), or proves it absent when `latest` is None."""
    entry_text = _text(vek_log, "mapEntry")
    map_entry = _parse(entry_text)
    if not isinstance(map_entry, MapEntry):
        raise InvalidProof('the vekLog\'s "mapEntry" is not a map entry')
    proof = _proof(vek_log, "mapProof")
    if proof.index != checkpoint.size - 1:
        raise InvalidProof(f"the map entry is entry {proof.index}, not the last entry {checkpoint.size - 1} of the tree")
    _check_inclusion(proof, entry_text, signed, checkpoint)
    try:
        map_proof = MapProof.from_json(vek_log.get("map"))
    except FormatError as error:
        raise InvalidProof(f'the vekLog\'s "map": {error}') from None
    value = map_proof.verify(map_entry.root, map_key(did))
    if value == latest:
        return
    if latest is None:
        raise InvalidProof(f"the log's map names an entry of {did}, but no version of it was served")
    if value is None:
        raise InvalidProof(f"the log's map proves {did} absent, but versions of it were served")
    raise InvalidProof(f"the log's map names another entry of {did} than that of the latest version served")


def _check_inclusion(proof: TlogProof, entry_text: str, signed: str, checkpoint: Checkpoint) -> None:
    if proof.checkpoint != signed:
        raise InvalidProof("the proofs of one answer hold different checkpoints")
    entry = entry_text.encode()
    if proof.extra is not None and proof.extra != entry:
        raise InvalidProof(f"a proof's extra line is not the entry {proof.index} it proves")
    merkle.verify_inclusion(merkle.leaf_hash(entry), proof.index, checkpoint.size, proof.path, checkpoint.root)


def _decoded(entry: bytes) -> str:
    try:
        return entry.decode("utf-8")
    except UnicodeDecodeError:
        raise InvalidProof("a proof's entry is not UTF-8 text") from None


def _version_entry(text: str, did: str) -> VersionEntry:
    entry = _parse(text)
    if not isinstance(entry, VersionEntry) or entry.did != did:
        raise InvalidProof(f"{text[:80]!r} is not a version entry of {did}")
    return entry


def _parse(text: str) -> VersionEntry | MapEntry:
    try:
        return parse_entry(text)
    except FormatError as error:
        raise InvalidProof(f"the vekLog: {error}") from None


def _proof(vek_log: Mapping[str, Any], name: str) -> TlogProof:
    try:
        return TlogProof.parse(_text(vek_log, name))
    except FormatError as error:
        raise InvalidProof(f'the vekLog\'s "{name}": {error}') from None


def _receipt_proof(proof: Any) -> TlogProof:
    if not isinstance(proof, str):
        raise InvalidProof('the receipt has no text "proof"')
    try:
        return TlogProof.parse(proof)
    except FormatError as error:
        raise InvalidProof(f"the receipt's proof: {error}") from None


def _object(value: Any) -> Mapping[str, Any]:
    if not isinstance(value, Mapping):
        raise InvalidProof("the answer's vekLog is not an object")
    return value


def _text(vek_log: Mapping[str, Any], name: str) -> str:
    value = vek_log.get(name)
    if not isinstance(value, str):
        raise InvalidProof(f'the answer\'s vekLog has no text "{name}"')
    return value
