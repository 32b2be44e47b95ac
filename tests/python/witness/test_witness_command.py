# `did-vek witness` refuses, in one line and with exit status 2, whatever would keep it from
# witnessing, before it listens. (It running is what the SIGKILL test drives.)
import pytest

from did_vek import DIDEngine
from did_vek._keyfile import write_secret
from did_vek.cli import main
from did_vek.tlog.note import COSIGNATURE_V1, Signer
from witness_logs import Log

LOG_VKEY = Log(1).vkey
COSIGNER_VKEY = Signer("w2", DIDEngine(), COSIGNATURE_V1).verifier.vkey


@pytest.mark.parametrize("change, message", [
    ({"--name": "w 1"}, "the witness name 'w 1' is empty or holds a space"),
    ({"--log": LOG_VKEY.replace("+", "+0", 1)}, "--log: the key ID of vkey"),
    ({"--log": COSIGNER_VKEY}, "--log: w2 is not a log's key"),
    ({"--key": "missing.key"}, "cannot open key file missing.key"),
    ({"--db": "no/such/directory/w.sqlite3"}, "the state no/such/directory/w.sqlite3 cannot be opened"),
])
def test_what_keeps_a_witness_from_starting(tmp_path, monkeypatch, capsys, change, message):
    monkeypatch.chdir(tmp_path)
    write_secret("w.key", "22" * 32, replace=False)
    options = {"--name": "witness.example/w1", "--db": "w.sqlite3", "--key": "w.key", "--log": LOG_VKEY, "--port": "0"}
    options.update(change)
    assert main(["witness", *(part for option in options.items() for part in option)]) == 2
    error = capsys.readouterr().err
    assert error.startswith("did-vek witness: ") and message in error and error.count("\n") == 1
