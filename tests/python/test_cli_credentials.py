# The credential commands: issued with a key file as the issuer's key, verified against the registry.
import json

from credentials import credential
from histories import DID, SECRETS, life_of_a_did, stamp
from registries import registry  # noqa: F401 (the fixture)
from test_cli import run
from test_cli_registry import key_file

import did_vek


def test_issue_and_verify_against_the_registry(tmp_path, registry):
    with did_vek.RegistryClient(registry) as client:
        for version in life_of_a_did():
            client.publish(version)
    (tmp_path / "unsigned.json").write_text(credential(DID))
    key = key_file(tmp_path, SECRETS[0])
    issued = run("issue-credential", "--key", key, "--key-id", "key-1", "--created", stamp(5), tmp_path / "unsigned.json")
    assert issued.status == 0 and json.loads(issued.out)["proof"]["verificationMethod"] == f"{DID}#key-1"
    (tmp_path / "signed.json").write_text(issued.out)
    verified = run("verify-credential", "--registry", registry, tmp_path / "signed.json")
    assert (verified.status, verified.out) == (0, f"valid: issued by {DID} with {DID}#key-1 "
                                                  f"({did_vek.DIDEngine.from_secret_key(SECRETS[0]).public_key}, "
                                                  "version 1, no longer current)\n")
    as_json = json.loads(run("verify-credential", "--json", "--registry", registry, "-", stdin=issued.out.encode()).out)
    assert (as_json["version_id"], as_json["current"], as_json["standard_proof"]) == ("1", False, True)

    # After the rotation the old key signs nothing its issuer stands behind.
    late = run("issue-credential", "--key", key, "--key-id", "key-1", "--created", stamp(25), "-",
               stdin=credential(DID).encode())
    refused = run("verify-credential", "--registry", registry, "-", stdin=late.out.encode())
    assert refused.status == 1 and "was not an assertion key" in refused.err
    tampered = run("verify-credential", "--registry", registry, "-", stdin=issued.out.replace("Zoë", "Zoe").encode())
    assert tampered.status == 1 and "does not verify" in tampered.err


def test_input_errors_are_exit_2(tmp_path):
    key = key_file(tmp_path, SECRETS[0])
    for stdin, message in ((b"[]", "no \"issuer\" DID"), (b"{", "not JSON"),
                           (credential(DID).replace('"type"', '"kind"').encode(), 'no "type"')):
        result = run("issue-credential", "--key", key, "--key-id", "key-1", stdin=stdin)
        assert result.status == 2 and message in result.err
    unreachable = run("verify-credential", "--registry", "http://127.0.0.1:9", "-",
                      stdin=did_vek.issue_credential(did_vek.SigningKey(SECRETS[0]), credential(DID),
                                                     verification_method=f"{DID}#key-1").encode())
    assert unreachable.status == 2
