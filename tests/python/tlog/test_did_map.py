# The DID map against a reference written from its definition, membership and absence proofs
# for every key, keys that share long prefixes, the empty map, and every changed byte refused.
import random
from hashlib import sha256

import pytest

from did_vek.tlog.dmap import ZERO, DidMap, MapProof, map_key
from did_vek.tlog.errors import FormatError, InvalidProof


def reference_root(pairs, depth=0):
    if not pairs:
        return ZERO
    if len(pairs) == 1:
        [(key, value)] = pairs.items()
        return sha256(b"\x02" + key + value).digest()
    bit = {key: key[depth // 8] >> (7 - depth % 8) & 1 for key in pairs}
    left = {k: v for k, v in pairs.items() if not bit[k]}
    right = {k: v for k, v in pairs.items() if bit[k]}
    return sha256(b"\x03" + reference_root(left, depth + 1) + reference_root(right, depth + 1)).digest()


def value(n):
    return sha256(b"value %d" % n).digest()


def dids(count, start=0):
    return {map_key(f"did:vek:test:{n}"): value(n) for n in range(start, start + count)}


def with_bit(key, position):
    flipped = int.from_bytes(key, "big") ^ (1 << (255 - position))
    return flipped.to_bytes(32, "big")


BASE = sha256(b"base").digest()
# Keys sharing 255, 254, 200 and 0 bits with BASE.
CLOSE = {BASE: value(0), with_bit(BASE, 255): value(1), with_bit(BASE, 254): value(2), with_bit(BASE, 200): value(3),
         with_bit(BASE, 0): value(4)}


@pytest.mark.parametrize("pairs", [{}, dids(1), dids(2), dids(3), dids(17), dids(1000), CLOSE],
                         ids=["empty", "1", "2", "3", "17", "1000", "close"])
def test_roots_and_every_membership_proof(pairs):
    tree = DidMap(pairs.items())
    root = tree.root()
    assert root == reference_root(pairs)
    for key, expected in pairs.items():
        proof = tree.prove(key)
        assert MapProof.from_json(proof.to_json()) == proof
        assert proof.verify(root, key) == expected


@pytest.mark.parametrize("pairs", [{}, dids(1), dids(2), dids(1000), CLOSE], ids=["empty", "1", "2", "1000", "close"])
def test_absence_proofs(pairs):
    tree = DidMap(pairs.items())
    root = tree.root()
    absent = [*dids(1000, start=5000), with_bit(BASE, 253), with_bit(BASE, 100), with_bit(with_bit(BASE, 255), 254)]
    for key in absent:
        proof = tree.prove(key)
        assert proof.verify(root, key) is None
        if proof.leaf is not None:
            assert proof.leaf[0] != key


def test_keys_sharing_long_prefixes_have_long_proofs():
    tree = DidMap(CLOSE.items())
    assert len(tree.prove(BASE).siblings) == 256
    assert len(tree.prove(with_bit(BASE, 200)).siblings) == 201
    assert len(tree.prove(with_bit(BASE, 0)).siblings) == 1
    # An absent key beside BASE ^ bit 254 ends at that key's leaf, at depth 255, proving absence.
    absent = with_bit(with_bit(BASE, 254), 255)
    proof = tree.prove(absent)
    assert len(proof.siblings) == 255 and proof.leaf == (with_bit(BASE, 254), value(2))
    assert proof.verify(tree.root(), absent) is None


def test_the_empty_map():
    tree = DidMap()
    assert tree.root() == ZERO
    proof = tree.prove(BASE)
    assert proof == MapProof((), None) and proof.to_json() == {"siblings": [], "leaf": None}
    assert proof.verify(ZERO, BASE) is None
    with pytest.raises(InvalidProof):
        MapProof((), (BASE, value(0))).verify(ZERO, BASE)


def changed_bytes(proof, positions):
    fields = [*proof.siblings, *(proof.leaf or ())]
    for field in range(len(fields)):
        for position in positions:
            changed = list(fields)
            changed[field] = changed[field][:position] + bytes([changed[field][position] ^ 0x40]) + changed[field][position + 1:]
            leaf = None if proof.leaf is None else (changed[-2], changed[-1])
            yield MapProof(tuple(changed[:len(proof.siblings)]), leaf)


@pytest.mark.parametrize("pairs, keys, positions", [
    (dids(1000), [*list(dids(1000))[:10], *list(dids(10, start=9000))], range(32)),
    (dids(1), [map_key("did:vek:test:0"), BASE], range(32)),
    (CLOSE, [*CLOSE, with_bit(BASE, 253)], [0, 13, 31]),
], ids=["1000", "1", "close"])
def test_every_proof_with_one_byte_changed_is_refused(pairs, keys, positions):
    tree = DidMap(pairs.items())
    root = tree.root()
    for key in keys:
        proof = tree.prove(key)
        for changed in changed_bytes(proof, positions):
            with pytest.raises(InvalidProof):
                changed.verify(root, key)
        if proof.siblings:  # the proof of a key on the other side of the root, or of its absence
            with pytest.raises(InvalidProof):
                proof.verify(root, with_bit(key, 0))
            with pytest.raises(InvalidProof):
                MapProof(proof.siblings[:-1], proof.leaf).verify(root, key)
        with pytest.raises(InvalidProof):
            MapProof((*proof.siblings, value(9)), proof.leaf).verify(root, key)


def test_malformed_proofs_are_refused_with_their_reason():
    single = {BASE: value(0)}
    root = reference_root(single)
    with pytest.raises(InvalidProof, match="deepest sibling"):
        MapProof((ZERO,), (BASE, value(0))).verify(root, BASE)
    with pytest.raises(InvalidProof, match="does not share"):
        MapProof((value(1),), (with_bit(BASE, 0), value(0))).verify(root, BASE)
    with pytest.raises(InvalidProof, match="wrong length"):
        MapProof((), None).verify(root[:31], BASE)
    with pytest.raises(InvalidProof, match="not 32 bytes"):
        MapProof((value(1)[:31],), None).verify(root, BASE)


@pytest.mark.parametrize("document, message", [
    ([], "an object"), ({"siblings": []}, "an object"), ({"siblings": [], "leaf": None, "x": 1}, "an object"),
    ({"siblings": "AA==", "leaf": None}, "a list"), ({"siblings": [1], "leaf": None}, "a list"),
    ({"siblings": ["AA=="], "leaf": None}, "1 bytes, not 32"), ({"siblings": [], "leaf": []}, "null or an object"),
    ({"siblings": [], "leaf": {"key": "AA=="}}, "null or an object"),
    ({"siblings": [], "leaf": {"key": "AA==", "value": "AA=="}}, "not 32"),
    ({"siblings": ["A" * 43 + "="] * 257, "leaf": None}, "at most 256"),
])
def test_json_that_is_not_a_map_proof(document, message):
    with pytest.raises(FormatError, match=message):
        MapProof.from_json(document)


def test_updates_in_batches_give_the_root_and_proofs_of_the_whole_map():
    # Small batches into a larger map insert each key; large ones sort the map again.
    picks = random.Random(7)
    pairs = dids(3000, start=10_000)
    tree = DidMap(pairs.items())
    tree.root()
    for batch in range(12):
        changes = dids(picks.choice([1, 5, 100]), start=batch * 40)  # overlapping ranges: some keys change value
        changes = {key: value(batch * 1000 + n) for n, key in enumerate(changes)}
        pairs.update(changes)
        tree.update(changes)
        root = tree.root()
        assert root == reference_root(pairs) and len(tree) == len(pairs)
        for key in picks.sample(list(pairs), 5):
            assert tree.prove(key).verify(root, key) == pairs[key] == tree.get(key)
