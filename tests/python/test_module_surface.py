"""The module object, its classes, and the names, signatures and documentation it shows."""
import copy
import gc
import importlib
import re
import shutil
import subprocess
import sys
import weakref

import pytest

import did_vek_core as m
from conftest import TEST1

E, B = m.DIDEngine, m.DIDDocumentBuilder
NAMES = ["DIDEngine", "DIDDocumentBuilder", "parse_did_py", "is_valid_did_py", "create_did_py", "__version__"]


def test_module_attributes():
    assert (m.__all__, m.__version__, m.__doc__) == (NAMES, "0.1.0", "")
    # The functions exist only under their "_py" names; the internal-failure type is not exported.
    assert not any(hasattr(m, name) for name in ("parse_did", "is_valid_did", "create_did", "PanicException"))


def test_reimport_returns_the_cached_module():
    del sys.modules["did_vek_core"]
    try:
        again = importlib.import_module("did_vek_core")
    finally:
        sys.modules["did_vek_core"] = m
    assert again is m and m.__all__ == NAMES


# Runs in a child process so that the sub-interpreter cannot disturb this one. The legacy
# configuration lets the import reach the module's own check rather than CPython's refusal
# of single-phase modules in isolated interpreters.
SUBINTERPRETER_SCRIPT = """
import did_vek_core
try:
    import _interpreters
except ImportError:
    import _testcapi  # before 3.13; the sub-interpreter prints its traceback to stderr
    _testcapi.run_in_subinterp("import did_vek_core")
else:
    interpreter = _interpreters.create(_interpreters.new_config("legacy"))
    print(_interpreters.exec(interpreter, "import did_vek_core").formatted)
print("main still works:", did_vek_core.is_valid_did_py("did:vek:a"))
"""


def test_second_interpreter_is_refused():
    run = subprocess.run([sys.executable, "-c", SUBINTERPRETER_SCRIPT], capture_output=True, text=True, timeout=60)
    if "No module named '_testcapi'" in run.stderr:
        pytest.skip("this interpreter offers no way to start a sub-interpreter")
    assert run.returncode == 0, run.stderr
    assert re.search("ImportError: .*does not support sub-interpreters", run.stdout + run.stderr)
    assert "main still works: True" in run.stdout


@pytest.mark.parametrize("cls", [E, B])
def test_classes(cls):
    assert (cls.__module__, cls.__qualname__) == ("builtins", cls.__name__)
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Derived", (cls,), {})


@pytest.mark.parametrize(
    "callable_, signature, doc",
    [(E, "()", ""), (E.from_secret_key, "(secret_hex)", None), (E.create_did, "($self, id)", None),
     (E.sign, "($self, message)", None), (E.create_did_from_key, "($self)", None),
     (E.verify, "($self, message, signature)", None), (E.create_document, "($self, did)", None),
     (E.verify_with_key, "(message, signature, public_key)", None), (B, "(did)", ""), (B.build, "($self)", None),
     (B.add_service, "($self, service_id, service_type, endpoint)", None),
     (m.parse_did_py, "(did)", "Parse a DID string"), (m.is_valid_did_py, "(did)", "Validate a did:vek identifier"),
     (m.create_did_py, "(parts)", "Create a did:vek identifier")],
)
def test_signatures_and_documentation(callable_, signature, doc):
    assert (callable_.__text_signature__, callable_.__doc__) == (signature, doc)


@pytest.mark.parametrize("function", [m.parse_did_py, m.is_valid_did_py, m.create_did_py])
def test_module_functions_are_bound_to_the_module(function):
    assert function.__module__ == "did_vek_core" and function.__self__ is m


@pytest.mark.parametrize("name", ["public_key", "public_key_multibase"])
def test_properties_are_read_only(engine, name):
    before = getattr(engine, name)
    with pytest.raises(AttributeError, match="not writable"):
        setattr(engine, name, "00")
    with pytest.raises(AttributeError, match="not writable"):
        delattr(engine, name)
    assert getattr(engine, name) == before


@pytest.mark.parametrize("make", [E, lambda: B("did:vek:a")], ids=["engine", "builder"])
def test_instances_have_no_dict_weakref_or_gc(make):
    instance = make()
    assert not hasattr(instance, "__dict__") and not gc.is_tracked(instance)
    with pytest.raises(AttributeError):
        instance.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(instance)
    with pytest.raises(TypeError, match="cannot pickle"):  # no copy can carry the state out
        copy.copy(instance)


def test_static_methods_on_class_and_instance(engine):
    for owner in (E, engine):
        assert owner.from_secret_key(TEST1["secret_key"]).public_key == TEST1["public_key"]
        assert owner.verify_with_key("", TEST1["signature"], TEST1["public_key"]) is True


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils' nm")
def test_entry_point_is_the_only_exported_symbol():
    exported = subprocess.run(["nm", "-D", "--defined-only", m.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in exported.stdout.splitlines()] == ["PyInit_did_vek_core"]
