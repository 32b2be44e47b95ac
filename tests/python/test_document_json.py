import json
import shutil
import subprocess
import sys

import pytest
from conftest_documents import CONTEXTS, DID, SECRET, compact_record, stamps

from did_vek_core import DIDDocumentBuilder, DIDEngine


def test_fresh_builder_byte_exact():
    text = DIDDocumentBuilder(did=DID).build()
    (stamp, _) = stamps(text)
    context = ",\n".join(f'    "{url}"' for url in CONTEXTS)
    assert text == (
        f'{{\n  "@context": [\n{context}\n  ],\n  "id": "{DID}",\n'
        f'  "created": "{stamp}",\n  "updated": "{stamp}"\n}}'
    )
    assert text.split("\n")[1] == '  "@context": ['
    assert not text.endswith("\n")
    assert [len(url) for url in CONTEXTS[:2]] == [28, 48]
    assert CONTEXTS[2].startswith("https://") and CONTEXTS[2].endswith("/ns/vek/v1")


ESCAPES = [
    ('"', '\\"'), ("\\", "\\\\"), ("\b", "\\b"), ("\t", "\\t"), ("\n", "\\n"), ("\f", "\\f"), ("\r", "\\r"),
    ("\x00", "\\u0000"), ("\x01", "\\u0001"), ("\x1b", "\\u001b"), ("\x1f", "\\u001f"),
    ("/", "/"), ("\x7f", "\x7f"), ("é", "é"), ("\u2028", "\u2028"), ("😀", "😀"),
]


@pytest.mark.parametrize("char, written", ESCAPES, ids=[repr(c) for c, _ in ESCAPES])
def test_escaping_in_every_text_member(char, written):
    text_in = f"<{char}>"
    builder = DIDDocumentBuilder(DID)
    builder.set_controller(text_in)
    builder.add_verification_method(text_in, text_in)
    builder.add_service(text_in, text_in, text_in)
    text = builder.build()
    out = f"<{written}>"
    for member in ("controller", "type", "publicKeyHex", "serviceEndpoint"):
        assert f'"{member}": "{out}"' in text
    assert text.count(f'"id": "{DID}#{out}"') == 2
    assert text.count(out) == 6
    assert json.loads(text)["service"][0]["serviceEndpoint"] == text_in


# An LD_PRELOAD shim for the real-time clock: once started, each reading returns the next
# whole second (with the largest fraction, which must be dropped), so the number and order
# of readings behind each timestamp become visible.
CLOCK_SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <time.h>
static long next_second = -1;
void clock_shim_start(long second) { next_second = second; }
int clock_gettime(clockid_t id, struct timespec *now) {
    if (id != CLOCK_REALTIME || next_second < 0)
        return ((int (*)(clockid_t, struct timespec *))dlsym(RTLD_NEXT, "clock_gettime"))(id, now);
    now->tv_sec = next_second++;
    now->tv_nsec = 999999999;
    return 0;
}
"""
SCRIPT = f"""
import ctypes, json, sys
from did_vek_core import DIDDocumentBuilder, DIDEngine

builder, engine = DIDDocumentBuilder({DID!r}), DIDEngine.from_secret_key({SECRET!r})
start = ctypes.CDLL(None).clock_shim_start
start(ctypes.c_long(int(sys.argv[1])))
built = builder.build()
start(ctypes.c_long(int(sys.argv[1])))
print(json.dumps([built, engine.create_document({DID!r})]))
"""


@pytest.fixture(scope="module")
def clock_shim(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler for the clock shim")
    directory = tmp_path_factory.mktemp("clock")
    (directory / "shim.c").write_text(CLOCK_SHIM)
    subprocess.run([compiler, "-shared", "-fPIC", "-o", directory / "shim.so", directory / "shim.c", "-ldl"],
                   check=True)
    return directory / "shim.so"


@pytest.mark.parametrize("start, readings", [
    (0, ["1970-01-01T00:00:00Z", "1970-01-01T00:00:01Z", "1970-01-01T00:00:02Z"]),
    (951868799, ["2000-02-29T23:59:59Z", "2000-03-01T00:00:00Z", "2000-03-01T00:00:01Z"]),
    (1735689599, ["2024-12-31T23:59:59Z", "2025-01-01T00:00:00Z", "2025-01-01T00:00:01Z"]),
])
def test_clock_readings_per_document(clock_shim, start, readings):
    run = subprocess.run([sys.executable, "-c", SCRIPT, str(start)], capture_output=True, text=True, check=True,
                         env={"LD_PRELOAD": str(clock_shim), "PATH": ""})
    built, signed = json.loads(run.stdout)
    # build(): one reading for both members; create_document: T1, then T2 (signed), then T3.
    assert stamps(built) == readings[:1] * 2
    assert stamps(signed) == readings
    document = json.loads(signed)["document"]
    assert DIDEngine.from_secret_key(SECRET).verify(compact_record(document), json.loads(signed)["proof"]["proofValue"])
