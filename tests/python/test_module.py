# The module and its classes, and the binding layer: argument binding, conversion and their errors.
import importlib
import json
import re
import shutil
import subprocess
import sys

import pytest

import did_vek_core as m
from conftest import DID, PUBLIC, SECRET, SIG1, sequence

E, B = m.DIDEngine, m.DIDDocumentBuilder
ENGINE, ADD_SERVICE = E(), B(DID).add_service  # each call of ADD_SERVICE below fails before it adds anything


def test_surface_and_reimport():
    names = ["DIDEngine", "DIDDocumentBuilder", "parse_did_py", "is_valid_did_py", "create_did_py", "__version__"]
    assert (m.__all__, m.__version__, m.__doc__) == (names, "0.1.0", "")
    # The functions exist only under their "_py" names, bound to the module; the failure type is not exported.
    assert not any(hasattr(m, name) for name in ("parse_did", "is_valid_did", "create_did", "PanicException"))
    functions = [m.parse_did_py, m.is_valid_did_py, m.create_did_py]
    assert [(f.__self__, f.__text_signature__, f.__doc__) for f in functions] == [
        (m, "(did)", "Parse a DID string"), (m, "(did)", "Validate a did:vek identifier"),
        (m, "(parts)", "Create a did:vek identifier")]
    methods = [E, B, E.from_secret_key, E.verify_with_key, B.build, B.add_service]
    assert [(c.__text_signature__, c.__doc__) for c in methods] == [
        ("()", ""), ("(did)", ""), ("(secret_hex)", None), ("(message, signature, public_key)", None),
        ("($self)", None), ("($self, service_id, service_type, endpoint)", None)]
    pytest.raises(TypeError, type, "Sub", (B,), {}), pytest.raises(AttributeError, setattr, ENGINE, "public_key", "")
    del sys.modules["did_vek_core"]
    try:
        assert importlib.import_module("did_vek_core") is m
    finally:
        sys.modules["did_vek_core"] = m


# In a child process, so that the sub-interpreter cannot disturb this one. The legacy configuration
# lets the import reach the module's own check rather than CPython's refusal of single-phase
# modules in isolated interpreters; before 3.13 the sub-interpreter prints its traceback to stderr.
def test_second_interpreter_is_refused():
    start = ("import _testcapi as t; t.run_in_subinterp('import did_vek_core')" if sys.version_info < (3, 13) else
             "import _interpreters as i; print(i.exec(i.create(i.new_config('legacy')), 'import did_vek_core'))")
    script = f"import did_vek_core; {start}; print('main still works:', did_vek_core.is_valid_did_py('did:vek:a'))"
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    if "No module named '_testcapi'" in run.stderr:
        pytest.skip("this interpreter offers no way to start a sub-interpreter")
    assert run.returncode == 0 and "main still works: True" in run.stdout, run.stderr
    assert re.search("ImportError: .*does not support sub-interpreters", run.stdout + run.stderr)


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils' nm")
def test_entry_point_is_the_only_exported_symbol():
    exported = subprocess.run(["nm", "-D", "--defined-only", m.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in exported.stdout.splitlines()] == ["PyInit_did_vek_core"]


AS = "DIDDocumentBuilder.add_service() "


@pytest.mark.parametrize("call, message", [
    (lambda: ADD_SERVICE("a", "b"), AS + "missing 1 required positional argument: 'endpoint'"),
    (lambda: ADD_SERVICE(endpoint=""), AS + "missing 2 required positional arguments: 'service_id' and 'service_type'"),
    (lambda: ADD_SERVICE("a", "b", "c", "d"), AS + "takes 3 positional arguments but 4 were given"),
    (lambda: ADD_SERVICE("a", "b", "c", x="d"), AS + "got an unexpected keyword argument 'x'"),
    (lambda: ADD_SERVICE("a", "b", endpoint="c", service_id="d"), AS + "got multiple values for argument 'service_id'"),
    (lambda: E(1), "DIDEngine.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: m.create_did_py(1, parts=2), "create_did_py() got multiple values for argument 'parts'"),  # unconverted
    (lambda: B.build(E()), None), (lambda: E.sign(B(DID), "m"), None), (lambda: E.public_key.__get__(B(DID)), None)])
def test_binding_errors(call, message):  # the last three: receivers of the wrong type
    assert message in (None, str(pytest.raises(TypeError, call).value))


@pytest.mark.parametrize("value", [b"m", None, 7, object()], ids=lambda value: type(value).__name__)
@pytest.mark.parametrize("call, argument", [  # arguments are converted in order: the first failure wins
    (lambda v: ENGINE.verify("m", v), "signature"), (lambda v: E.verify_with_key(v, None, 1), "message"),
    (lambda v: E.verify_with_key("m", "00", v), "public_key"), (lambda v: E.from_secret_key(v), "secret_hex"),
    (lambda v: ENGINE.create_did(v), "id"), (lambda v: m.is_valid_did_py(v), "did"), (lambda v: B(v), "did"),
    (lambda v: ADD_SERVICE("s", v, "e"), "service_type"), (lambda v: m.create_did_py(["a", v]), "parts")])
def test_non_str_arguments(call, argument, value):
    error = pytest.raises(TypeError, call, value).value
    expected = f"argument '{argument}': '{type(value).__name__}' object cannot be converted to 'PyString'"
    assert (type(error), str(error)) == (TypeError, expected)


@pytest.mark.parametrize("call", [
    lambda: ENGINE.sign("\ud800"), lambda: ENGINE.verify("m", "ab\udfff"), lambda: m.parse_did_py("did:vek:\ud800"),
    lambda: m.create_did_py(["a", "\ud800"]), lambda: B("did:vek:\ud800")])
def test_lone_surrogate_raises_the_interpreters_error_unchanged(call):
    pytest.raises(UnicodeEncodeError, call).match(r"^'utf-8' codec can't encode character '\\ud[8f]..' in position")


class Odd(str):  # every method Python code might consult says something other than the text
    __str__ = __repr__ = __getitem__ = lambda self, *index: "did:vek:decoy"  # noqa: E731
    __eq__, __hash__, __len__ = (lambda self, other: True), (lambda self: 0), (lambda self: 0)
    __iter__, encode = (lambda self: iter(["decoy"])), (lambda self, *args, **kwargs: b"decoy")


def test_str_subclass_is_read_as_its_own_text():
    engine, builder = E.from_secret_key(Odd(SECRET)), B(Odd(DID))
    builder.add_service(Odd("s"), Odd("T"), Odd("e"))
    assert (engine.public_key, engine.sign(Odd("")), engine.verify(Odd(""), Odd(SIG1))) == (PUBLIC, SIG1, True)
    assert (m.parse_did_py(Odd("did:vek:a:b")), m.create_did_py([Odd("a")])) == (("vek", "a:b"), "did:vek:a")
    assert json.loads(builder.build())["service"] == [{"id": DID + "#s", "type": "T", "serviceEndpoint": "e"}]
    pytest.raises(TypeError, m.create_did_py, Odd("ab")).match("Can't extract `str` to `Vec`")


def items_then(error):
    yield "a"
    raise error


@pytest.mark.parametrize("error_type", [TypeError, type("OwnTypeError", (TypeError,), {}), ValueError])
def test_errors_from_iterating_parts(error_type):
    error = error_type("boom")
    error.__cause__ = cause = KeyError("k")
    raised = pytest.raises(error_type, m.create_did_py, sequence(lambda: items_then(error))).value
    # Only an exact TypeError is replaced: by one with the argument's designation and the same cause.
    expected = ("argument 'parts': boom", False) if error_type is TypeError else ("boom", True)
    assert (str(raised), raised is error, raised.__cause__) == (*expected, cause)
