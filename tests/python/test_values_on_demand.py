# A verified document and a history's versions read their document and proof from the signed text only
# when asked: whatever a caller does with such a result, the values are those of the text.
import copy
import dataclasses
import json
import pickle

import pytest

import did_vek
from histories import life_of_a_did

LIFE = life_of_a_did()

# (result, the text it was verified from, the members it holds as values)
RESULTS = {
    "verified document": (lambda: did_vek.verify_document(LIFE[0]), LIFE[0], ("document",)),
    "version of texts": (lambda: did_vek.verify_history(LIFE).versions[1], LIFE[1], ("document", "proof")),
    "version of an array": (lambda: did_vek.verify_history("[" + ",".join(LIFE) + "]").versions[1], LIFE[1],
                            ("document", "proof")),
}
USES = {
    "as it is": lambda result: result,
    "copied": copy.copy,
    "deep-copied": copy.deepcopy,
    "pickled": lambda result: pickle.loads(pickle.dumps(result)),
    "replaced": dataclasses.replace,
}


@pytest.mark.parametrize("use", USES.values(), ids=USES.keys())
@pytest.mark.parametrize("result, text, members", RESULTS.values(), ids=RESULTS.keys())
def test_values_are_those_of_the_text_whatever_is_done_with_the_result(result, text, members, use):
    fresh, used = result(), use(result())
    for member in members:
        assert getattr(used, member) == json.loads(text)[member]
    assert used == fresh and hash(used) == hash(fresh)
    with pytest.raises(AttributeError):
        used.undefined  # noqa: B018


def test_an_unknown_attribute_is_no_value_to_read():
    verified = did_vek.verify_document(LIFE[0])
    with pytest.raises(AttributeError):
        verified.proof  # noqa: B018  (a verified document holds no proof)
