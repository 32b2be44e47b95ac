# A process without a usable random source: DIDEngine() raises PanicException every time,
# and everything that needs no fresh randomness keeps working in that process.
import json
import platform
import subprocess
import sys

import pytest

from conftest import PUBLIC, SECRET, SIG1

# Runs in a child process. The filter makes getrandom(2) look missing and every open
# fail, the way a sandbox or an old kernel without /dev would; libsodium is first touched
# after it is installed.
CHILD = r"""
import ctypes, errno, json, struct, sys
import did_vek_core as m

GETRANDOM, OPENS, ARCH = {syscalls}
SECCOMP_RET_ALLOW, SECCOMP_RET_ERRNO = 0x7FFF0000, 0x00050000
LD_ABS, JEQ, RET = 0x20, 0x15, 0x06

def instruction(code, jt, jf, k):
    return struct.pack("HBBI", code, jt, jf, k)

rules = [(GETRANDOM, errno.ENOSYS)] + [(number, errno.ENOENT) for number in OPENS]
program = [instruction(LD_ABS, 0, 0, 4), instruction(JEQ, 1, 0, ARCH), instruction(RET, 0, 0, SECCOMP_RET_ALLOW),
           instruction(LD_ABS, 0, 0, 0)]
for number, error in rules:
    program += [instruction(JEQ, 0, 1, number), instruction(RET, 0, 0, SECCOMP_RET_ERRNO | error)]
program.append(instruction(RET, 0, 0, SECCOMP_RET_ALLOW))
code = ctypes.create_string_buffer(b"".join(program))
fprog = struct.pack("HxxxxxxP", len(program), ctypes.addressof(code))
libc = ctypes.CDLL(None, use_errno=True)
assert libc.prctl(38, 1, 0, 0, 0) == 0  # PR_SET_NO_NEW_PRIVS
assert libc.prctl(22, 2, ctypes.c_char_p(fprog), 0, 0) == 0, ctypes.get_errno()  # PR_SET_SECCOMP, filter

results = []
for attempt in range(2):
    try:
        m.DIDEngine()
        results.append("no exception")
    except BaseException as error:
        results.append([type(error).__name__, isinstance(error, Exception), str(error)])
engine = m.DIDEngine.from_secret_key({secret!r})
signature = engine.sign("")
results.append([engine.public_key, signature, engine.verify("", signature),
                m.DIDEngine.verify_with_key("", signature, engine.public_key),
                json.loads(engine.create_document("did:vek:x"))["proof"]["type"]])
print(json.dumps(results))
"""

# (getrandom, the open calls, AUDIT_ARCH_*) of each architecture the test knows.
SYSCALLS = {
    "x86_64": (318, (2, 257, 437), 0xC000003E),
    "aarch64": (278, (56, 437), 0xC00000B7),
}


@pytest.mark.skipif(platform.machine() not in SYSCALLS, reason="syscall numbers known for x86_64 and aarch64 only")
def test_no_random_source_raises_panic_and_the_rest_keeps_working():
    child = CHILD.format(syscalls=SYSCALLS[platform.machine()], secret=SECRET)
    run = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    panic = ["PanicException", False, "Error: No such file or directory"]
    assert json.loads(run.stdout) == [panic, panic, [PUBLIC, SIG1, True, True, "Ed25519Signature2020"]]
