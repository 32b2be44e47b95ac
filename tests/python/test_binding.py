"""Argument binding, argument conversion and the exceptions they raise."""
import json

import pytest

import did_vek_core as m
from conftest import TEST1, Parts

E, B = m.DIDEngine, m.DIDDocumentBuilder


ADD_SERVICE = B("did:vek:a").add_service  # every call below fails before it could add anything


@pytest.mark.parametrize(
    "call, message",
    [(lambda: ADD_SERVICE("a", "b"), "missing 1 required positional argument: 'endpoint'"),
     (lambda: ADD_SERVICE("a"), "missing 2 required positional arguments: 'service_type' and 'endpoint'"),
     (lambda: ADD_SERVICE(), "missing 3 required positional arguments: 'service_id', 'service_type', and 'endpoint'"),
     (lambda: ADD_SERVICE(endpoint="e"), "missing 2 required positional arguments: 'service_id' and 'service_type'"),
     (lambda: ADD_SERVICE("a", "b", "c", "d"), "takes 3 positional arguments but 4 were given"),
     (lambda: ADD_SERVICE("a", "b", "c", x="d"), "got an unexpected keyword argument 'x'"),
     (lambda: ADD_SERVICE("a", "b", endpoint="c", service_id="d"), "got multiple values for argument 'service_id'")],
)
def test_add_service_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == f"DIDDocumentBuilder.add_service() {message}"


@pytest.mark.parametrize(
    "call, message",
    [(lambda: E(1), "DIDEngine.__new__() takes 0 positional arguments but 1 was given"),
     (lambda: E(x=1), "DIDEngine.__new__() got an unexpected keyword argument 'x'"),
     (lambda: B(), "DIDDocumentBuilder.__new__() missing 1 required positional argument: 'did'"),
     (lambda: B("did:vek:a", did="b"), "DIDDocumentBuilder.__new__() got multiple values for argument 'did'"),
     (lambda: m.parse_did_py(), "parse_did_py() missing 1 required positional argument: 'did'"),
     (lambda: m.is_valid_did_py("a", "b"), "is_valid_did_py() takes 1 positional argument but 2 were given"),
     # Binding comes before conversion: the ints are never looked at.
     (lambda: m.create_did_py(1, parts=2), "create_did_py() got multiple values for argument 'parts'"),
     (lambda: E.from_secret_key(secret="0"), "DIDEngine.from_secret_key() got an unexpected keyword argument 'secret'"),
     (lambda: E.verify_with_key("m", "s"), "DIDEngine.verify_with_key() missing 1 required positional argument: "
                                           "'public_key'"),
     (lambda: E().create_did(), "DIDEngine.create_did() missing 1 required positional argument: 'id'"),
     (lambda: E().create_did_from_key(1), None), (lambda: E().create_did_from_key(x=1), None),
     (lambda: B("did:vek:a").build(1), None),
     # Receivers of the wrong type.
     (lambda: B.add_authentication(E(), "k"), None), (lambda: E.sign(B("did:vek:a"), "m"), None),
     (lambda: E.public_key.__get__(B("did:vek:a")), None), (lambda: E.create_did_from_key(B("did:vek:a")), None)],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert message is None or str(info.value) == message


def test_every_parameter_by_keyword(engine, builder):
    signature = engine.sign(message="m")
    assert engine.verify(signature=signature, message="m")
    assert E.verify_with_key(public_key=engine.public_key, signature=signature, message="m")
    assert E.from_secret_key(secret_hex=TEST1["secret_key"]).public_key == TEST1["public_key"]
    assert (engine.create_did(id="x"), m.create_did_py(parts=["x"])) == ("did:vek:x", "did:vek:x")
    assert json.loads(engine.create_document(did="did:vek:x"))["document"]["id"] == "did:vek:x"
    assert (m.parse_did_py(did="did:vek:a"), m.is_valid_did_py(did="did:vek:a")) == (("vek", "a"), True)
    assert B(did="did:vek:a").build()
    for method, kwargs in [("set_controller", {"controller": "did:vek:c"}), ("add_authentication", {"key_id": "k"}),
                           ("add_verification_method", {"public_key_hex": "00", "key_id": "k"}),
                           ("add_assertion_method", {"key_id": "k"}), ("add_consent_service", {"endpoint": "c"}),
                           ("add_service", {"endpoint": "e", "service_type": "T", "service_id": "s"}),
                           ("add_talvo_service", {"endpoint": "t"})]:
        assert getattr(builder, method)(**kwargs) is None
    document = json.loads(builder.build())
    assert document["controller"] == "did:vek:c"
    assert [s["serviceEndpoint"] for s in document["service"]] == ["c", "e", "t"]


@pytest.mark.parametrize("value", [b"m", None, 7, bytearray(b"m"), 1.5, ["m"]])
@pytest.mark.parametrize(
    "call, argument",
    [(lambda e, v: e.sign(v), "message"), (lambda e, v: e.verify("m", v), "signature"),
     (lambda e, v: e.verify(v, "00"), "message"), (lambda e, v: E.verify_with_key("m", "00", v), "public_key"),
     (lambda e, v: E.from_secret_key(v), "secret_hex"),
     (lambda e, v: E.verify_with_key(v, None, 1), "message"),  # converted in order, the first failure wins
     (lambda e, v: e.create_did(v), "id"), (lambda e, v: e.create_document(v), "did"),
     (lambda e, v: m.parse_did_py(v), "did"), (lambda e, v: m.is_valid_did_py(v), "did"), (lambda e, v: B(v), "did"),
     (lambda e, v: B("did:vek:a").add_service("s", v, "e"), "service_type"),
     (lambda e, v: m.create_did_py(["a", v]), "parts")],
)
def test_non_str_arguments_are_rejected(engine, call, argument, value):
    with pytest.raises(TypeError) as info:
        call(engine, value)
    assert type(info.value) is TypeError
    expected = f"argument '{argument}': '{type(value).__name__}' object cannot be converted to 'PyString'"
    assert str(info.value) == expected


class Text(str):
    def __str__(self):  # never consulted: the text itself is converted
        return "something else"


def test_str_subclasses_and_empty_str(engine):
    signature = engine.sign(Text("m"))
    assert signature == engine.sign("m") and engine.verify(Text("m"), Text(signature))
    assert E.verify_with_key(Text(""), Text(TEST1["signature"]), Text(TEST1["public_key"]))
    assert m.create_did_py([Text("a"), "b"]) == "did:vek:a:b"
    assert m.parse_did_py(Text("did:vek:a")) == ("vek", "a")
    assert engine.create_did("") == "did:vek:" and engine.verify("", engine.sign(""))


@pytest.mark.parametrize(
    "call",
    [lambda e: e.sign("\ud800"), lambda e: e.verify("m", "ab\udfff"), lambda e: E.verify_with_key("m", "00", "\ud800"),
     lambda e: m.parse_did_py("did:vek:\ud800"), lambda e: m.create_did_py(["a", "\ud800"]),
     lambda e: B("did:vek:\ud800")],
)
def test_lone_surrogate_raises_unicode_error_unchanged(engine, call):
    with pytest.raises(UnicodeEncodeError, match="surrogates not allowed") as info:
        call(engine)
    assert "argument" not in str(info.value)


def raising(error):
    raise error


def yield_then_raise(error):
    yield "a"
    raise error


class OwnTypeError(TypeError):
    pass


@pytest.mark.parametrize("iterate", [raising, yield_then_raise], ids=["in __iter__", "in __next__"])
@pytest.mark.parametrize("error_type", [TypeError, OwnTypeError, ValueError, RuntimeError])
def test_iteration_errors(iterate, error_type):
    error = error_type("boom")
    error.__cause__ = cause = KeyError("k")
    with pytest.raises(error_type) as info:
        m.create_did_py(Parts(lambda: iterate(error)))
    if error_type is TypeError:  # only an exact TypeError gets the argument's designation
        assert (type(info.value), str(info.value)) == (TypeError, "argument 'parts': boom")
    else:
        assert info.value is error
    assert info.value.__cause__ is cause
