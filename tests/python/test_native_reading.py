# The native reading of signed documents: its strict parse refuses exactly what the Python strict parser
# refuses, with the same words; it gives the interpreter lock up while it works; and texts handed to it
# stay safe while other threads change the list they came in.
import json
import threading
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import did_vek
from did_vek import _native
from conftest import ticks_during
from histories import KEYS, life_of_a_did, stamp, version
from strict_parse import parse_strict

LIFE = life_of_a_did()
# Refusals of the parse itself; any other refusal is about the value, which parsed.
PARSE_REFUSALS = ("not JSON", "duplicate member", "is not a JSON value", "is out of range", "lone surrogate")


def native_parse_refusal(text):
    try:
        _native.read_signed(text)
    except ValueError as error:
        message = str(error)
        return message if any(part in message for part in PARSE_REFUSALS) else None
    return None


def python_parse_refusal(text):
    """The Python parser's refusal, or the one its callers made of a text without a UTF-8 form."""
    try:
        value = parse_strict(text)
    except did_vek.InvalidDocument as error:
        return str(error)
    try:
        json.dumps(value, ensure_ascii=False).encode()
    except UnicodeEncodeError:
        return "lone surrogate"
    return None


json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(max_size=5),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.sampled_from("abc"), inner, max_size=3),
    max_leaves=10)
# One edit of a text: what a mistyped or hostile document is made of.
EDITS = ["", " ", ",", ":", "[", "]", "{", "}", '"', "\\", "1", "-", ".", "e", "0", "NaN", "-Infinity", "1e999",
         "\\u0041", "\x00", "\x1f", "\u00e9", '"a":1,"a":1']


@settings(max_examples=400, deadline=None)
@given(json_values, st.sampled_from([None, (",", ":"), (", ", ": ")]), st.integers(0, 200), st.sampled_from(EDITS),
       st.integers(0, 2))
def test_the_parse_refuses_what_the_python_parser_refuses_in_its_words(value, separators, at, edit, removed):
    text = json.dumps(value, separators=separators)
    at = min(at, len(text))
    text = text[:at] + edit + text[at + removed:]
    native, python = native_parse_refusal(text), python_parse_refusal(text)
    assert (native is None) == (python is None), (text, native, python)
    # Python's decoder words a few refusals differently ("Invalid \\escape: 'x'"), and a lone surrogate is
    # refused where it is read, before any later fault; the others are the same.
    if python is not None and "surrogate" not in native and any(word in python for word in ("Expecting", "Extra data", "JSON value", "range",
                                                               "duplicate")):
        assert native == python


@pytest.mark.parametrize("text, message", [
    ('["\\ud800"]', "a text holds the lone surrogate U+D800, which has no UTF-8 form"),
    ('["\\ud83d\\u0041"]', "a text holds the lone surrogate U+D83D, which has no UTF-8 form"),
    ("[\ud800]", "a text holds the lone surrogate U+D800, which has no UTF-8 form"),
    ('["a\nb"]', "not JSON: Invalid control character at line 1 column 4"),
    ('["abc', "not JSON: Unterminated string starting at line 1 column 2"),
])
def test_refusals_python_words_differently_or_reads_later(text, message):
    with pytest.raises(ValueError) as caught:
        _native.read_signed(text)
    assert str(caught.value) == message


@pytest.mark.parametrize("call", [lambda: _native.read_signed(b"{}"), lambda: _native.verify_history(b"[]"),
                                  lambda: _native.verify_history(["{}", 1]), lambda: _native.sign_document(KEYS[0], "{}", 1),
                                  lambda: _native.sign_document(object(), "{}", "key-1")])
def test_arguments_of_other_types(call):
    pytest.raises(TypeError, call)


def test_other_threads_run_while_a_history_is_verified():
    long_history = "[" + ",".join(version(KEYS[0], "key-1", {"key-1": KEYS[0]}, updated=stamp(n))
                                  for n in range(300)) + "]"

    def verify():
        assert len(_native.verify_history(long_history)) == 300

    assert ticks_during(verify) > 5


def test_a_list_changed_by_another_thread_meanwhile():
    # The texts are copied before the lock is given up: a text dropped from the list by
    # another thread meanwhile must not be read after it is freed.
    shared, stop = [], threading.Event()

    def churn():
        while not stop.is_set():
            shared[:] = [text.replace("", "") + " " for text in LIFE]  # new objects every time
            time.sleep(0)

    shared[:] = list(LIFE)
    thread = threading.Thread(target=churn)
    thread.start()
    try:
        for _ in range(200):
            assert len(_native.verify_history(shared)) == len(LIFE)
    finally:
        stop.set()
        thread.join()
