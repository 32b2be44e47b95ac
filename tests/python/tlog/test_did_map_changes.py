# The native map under change: random runs of updates and discards between roots and proofs,
# each against the reference root of a plain dict; bad keys refused before anything changes;
# two threads on one map.
import random
import threading

import pytest

from did_vek.tlog.dmap import DidMap
from test_did_map import BASE, dids, reference_root, value, with_bit


def check_against(tree, model, picks):
    root = tree.root()
    assert root == reference_root(model) and len(tree) == len(model)
    for key in picks.sample(sorted(model), min(4, len(model))):
        assert tree.prove(key).verify(root, key) == model[key] == tree.get(key)


@pytest.mark.parametrize("seed", range(6))
def test_random_updates_and_discards_keep_the_reference_root(seed):
    picks = random.Random(seed)
    pool = [*dids(150), *(with_bit(BASE, bit) for bit in (255, 254, 200, 9, 0)), BASE]
    model = dict.fromkeys(picks.sample(pool, picks.randrange(len(pool))), value(0))
    tree = DidMap(model.items())
    for step in range(1, 25):
        if picks.random() < 0.6:
            # Repeated keys within a batch: the later pair wins.
            batch = [(picks.choice(pool), value(step * 100 + n)) for n in range(picks.choice([1, 3, 20, 120]))]
            model.update(batch)
            tree.update(batch)
        else:
            gone = picks.sample(pool, picks.choice([1, 5, 60]))
            for key in gone:
                model.pop(key, None)
            tree.discard(iter(gone))
        if picks.random() < 0.7:  # also several changes between two roots
            check_against(tree, model, picks)
    check_against(tree, model, picks)


@pytest.mark.parametrize("call", [
    lambda tree: tree.update([(BASE, value(1)), (BASE[:31], value(1))]),
    lambda tree: tree.update({BASE: value(1)[:31]}),
    lambda tree: tree.discard([BASE, BASE + b"\x00"]),
    lambda tree: tree.prove(BASE[:1]),
    lambda tree: tree.get(b""),
    lambda tree: DidMap([(BASE, bytes(33))]),
], ids=["update key", "update value", "discard", "prove", "get", "construct"])
def test_keys_and_values_of_another_length_change_nothing(call):
    tree = DidMap(dids(40).items())
    root = tree.root()
    with pytest.raises(ValueError, match="32 bytes"):
        call(tree)
    assert tree.root() == root and len(tree) == 40 and tree.get(BASE) is None


def test_two_threads_on_one_map():
    pairs = dids(3000)
    tree = DidMap(pairs.items())
    keys = list(pairs)
    failures = []

    def change():
        for batch in range(40):
            tree.update({key: value(batch) for key in keys[batch * 50:batch * 50 + 400]})
            tree.root()

    def prove():
        for n in range(400):
            root = tree.root()
            try:
                tree.prove(keys[n]).verify(root, keys[n])
            except Exception as error:  # a change between root() and prove() may move the root
                failures.append(error)

    threads = [threading.Thread(target=change), threading.Thread(target=prove)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    final = dict(pairs)
    for batch in range(40):
        final.update({key: value(batch) for key in keys[batch * 50:batch * 50 + 400]})
    assert tree.root() == reference_root(final)
    assert all(type(failure).__name__ == "InvalidProof" for failure in failures)


@pytest.mark.parametrize("call", [
    lambda: DidMap([("k" * 32, value(0))]),
    lambda: DidMap([(BASE,)]),
    lambda: DidMap([BASE + value(0)]),
    lambda: DidMap().discard([bytearray(32)]),
    lambda: DidMap().prove("k" * 32),
], ids=["str key", "lone key", "joined pair", "bytearray", "str proved"])
def test_what_is_not_a_pair_of_bytes_is_a_type_error(call):
    with pytest.raises(TypeError):
        call()


def test_a_mapping_builds_the_map_of_its_pairs():
    pairs = dids(50)
    assert DidMap(pairs).root() == DidMap(pairs.items()).root() == reference_root(pairs)
