# Content negotiation as RFC 9110 weighs Accept: q-values, q=0 refusing, the most specific range deciding.
import pytest

from did_vek.registry.negotiation import negotiate
from did_vek.registry.resolution import FOR_DID, FOR_DID_URL

LD = 'application/ld+json;profile="https://w3id.org/did-resolution"'
RESULT = "application/did-resolution"
DEREFERENCING = "application/did-url-dereferencing"

FOR_A_DID = [
    # Accept, the representation chosen (None: 406)
    (None, LD),
    ("", LD),
    ("*/*", LD),
    ("application/*", LD),
    ("application/ld+json", LD),
    (LD, LD),
    ('application/ld+json; profile="https://w3id.org/did-resolution"; q=0.9', LD),
    ("application/ld+json;profile=https://w3id.org/did-resolution", LD),
    ('application/ld+json;profile="https://example.com/other"', None),
    (RESULT, RESULT),
    ("application/did", "application/did"),
    ("APPLICATION/DID+JSON", "application/did+json"),
    ("text/html, application/json", "application/json"),
    ("application/json, application/did-resolution", RESULT),            # equal weights: the server's order
    ("application/did-resolution;q=0.1, application/did", "application/did"),
    ("application/did;q=0.5, application/did+json", "application/did+json"),
    ("application/did-resolution;q=0, application/did", "application/did"),
    ("*/*;q=0.5, application/ld+json;q=0", RESULT),                       # the specific q=0 beats */*
    ("application/*;q=0.1, application/did+json", "application/did+json"),
    ("application/*, application/did-resolution;q=0, application/ld+json;q=0", "application/did"),
    ("*/*;q=0", None),
    ("application/did;q=0", None),
    ("application/json;q=x", None),                                       # a malformed weight leaves its range out
    ("application/json;q=1.5", None),
    ("text/html", None),
    ("image/*", None),
    ('application/json;q=0.2, application/ld+json;profile="a,b";q=0.3, application/did;q=0.25', "application/did"),
    (DEREFERENCING, DEREFERENCING),
]


@pytest.mark.parametrize("accept, chosen", FOR_A_DID)
def test_a_did_is_answered_in_the_representation_accept_weighs_highest(accept, chosen):
    answer = negotiate(accept, FOR_DID)
    assert (None if answer is None else str(answer)) == chosen


@pytest.mark.parametrize("accept, chosen", [
    (None, "application/did+json"),
    ("*/*", "application/did+json"),
    ("application/did", "application/did"),
    (DEREFERENCING, DEREFERENCING),
    (f"{DEREFERENCING};q=0.5, application/json", "application/json"),
    (RESULT, RESULT),  # served as application/did+json: a part of a document is no resolution result
])
def test_a_did_url_prefers_the_part_it_names(accept, chosen):
    assert str(negotiate(accept, FOR_DID_URL)) == chosen
