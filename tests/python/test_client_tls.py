# HTTPS: the registry served with a certificate of a private CA; the client and the commands trust it only
# through --ca / ca=, and a certificate that does not verify is a RegistryError with status 0.
import socket
import subprocess
import sys
import time

import pytest

from did_vek import RegistryClient, RegistryError
from holders import Holder
from registries import needs_registry_extra, real_registry
from test_cli import run

certificates = pytest.importorskip("certificates", reason="cryptography makes the test certificates")


@pytest.fixture(scope="module")
def authority(tmp_path_factory):
    return certificates.make_authority(tmp_path_factory.mktemp("ca"))


@pytest.fixture(scope="module")
def https_registry(tmp_path_factory, authority):
    with real_registry(tmp_path_factory.mktemp("https") / "registry.sqlite3", authority) as url:
        yield url


def test_the_client_publishes_and_resolves_over_https_with_a_private_ca(https_registry, authority):
    holder = Holder()
    with RegistryClient(https_registry, ca=str(authority.certificate)) as client:
        assert client.publish(holder.write()).created
        assert client.resolve(holder.did).version_id == "1"


@pytest.fixture(scope="module")
def other_authority(tmp_path_factory):
    return certificates.make_authority(tmp_path_factory.mktemp("other-ca"), name="another CA")


@pytest.mark.parametrize("trust", ["the system's", "another CA"])
def test_a_certificate_that_does_not_verify_is_refused_with_status_0(https_registry, other_authority, trust):
    ca = None if trust == "the system's" else str(other_authority.certificate)
    with RegistryClient(https_registry, ca=ca) as client, pytest.raises(RegistryError) as refused:
        client.log("did:vek:0000000000000000")
    assert refused.value.status == 0 and "certificate does not verify" in refused.value.detail


@pytest.mark.parametrize("url, ca, message", [
    ("http://127.0.0.1:1", "ca.pem", "https://"),
    ("https://127.0.0.1:1", "/no/such/ca.pem", "cannot read CA certificates"),
])
def test_a_ca_that_cannot_be_used_is_a_value_error(url, ca, message):
    with pytest.raises(ValueError, match=message):
        RegistryClient(url, ca=ca)


def test_the_commands_take_a_ca(https_registry, authority, other_authority, tmp_path):
    holder = Holder()
    (tmp_path / "v1.json").write_text(holder.write())
    trusted = run("publish", "--registry", https_registry, "--ca", authority.certificate, tmp_path / "v1.json")
    assert trusted.status == 0 and trusted.out.startswith("published")
    refused = run("resolve", "--registry", https_registry, "--ca", other_authority.certificate, holder.did)
    assert refused.status == 2 and "certificate does not verify" in refused.err


@pytest.mark.parametrize("options, message", [
    (["--tls-cert", "{ca}"], "needs both a certificate"),
    (["--tls-cert", "{ca}", "--tls-key", "{ca}"], "cannot serve HTTPS"),
    (["--tls-cert", "/no/such.pem", "--tls-key", "/no/such.key"], "cannot serve HTTPS"),
])
def test_serve_refuses_tls_files_it_cannot_use(options, message, authority, tmp_path):
    options = [option.format(ca=authority.certificate) for option in options]
    refused = run("serve", "--db", tmp_path / "registry.sqlite3", "--port", "0", *options)
    assert refused.status == 2 and message in refused.err


@needs_registry_extra
def test_serve_answers_https(authority, tmp_path):
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    server = subprocess.Popen([sys.executable, "-m", "did_vek", "serve", "--db", str(tmp_path / "registry.sqlite3"),
                               "--port", str(port), "--tls-cert", str(authority.server_certificate),
                               "--tls-key", str(authority.server_key)], stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 20
        with RegistryClient(f"https://127.0.0.1:{port}", ca=str(authority.certificate)) as client:
            while True:
                try:
                    client.log("did:vek:0000000000000000")
                except RegistryError as error:
                    if error.status == 404:
                        break
                    assert server.poll() is None and time.monotonic() < deadline, "the registry did not start"
                    time.sleep(0.1)
    finally:
        server.terminate()
        server.wait(20)
