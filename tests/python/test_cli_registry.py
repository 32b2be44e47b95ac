# The did-vek commands that run a registry or talk to one, as a user runs them: exit status 0,
# 1 when the registry refuses or serves what does not verify, 2 for usage, input and connection
# errors; one line on stderr for every error.
import json
import os
import subprocess
import sys
import time
import urllib.error
import urllib.request

import pytest

from did_vek import RegistryClient
from holders import Holder, history, timestamp
from registries import FakeRegistry, StallingRegistry, free_socket, needs_registry_extra, registry  # noqa: F401 (the fixture)
from test_cli import run


@pytest.fixture
def published(registry):
    """A DID with three versions in the registry, the last listing key-3 only."""
    holder = history(3)
    with RegistryClient(registry) as client:
        for version in holder.versions:
            client.publish(version)
    return holder


def key_file(tmp_path, secret):
    path = tmp_path / "key"
    descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    os.write(descriptor, f"{secret}\n".encode())
    os.close(descriptor)
    return path


def registry_run(registry, *args, **options):
    return run(args[0], "--registry", registry, *args[1:], **options)


def test_publish_resolve_log_deactivate(tmp_path, registry):
    holder = Holder()
    (tmp_path / "v1.json").write_text(holder.write())

    first = registry_run(registry, "publish", tmp_path / "v1.json")
    again = registry_run(registry, "publish", "-", stdin=holder.versions[0].encode())
    assert first.out == f"published: {holder.did} version 1 at {timestamp(1)}\n"
    assert again.out == f"already published: {holder.did} version 1 at {timestamp(1)}\n"
    registry_run(registry, "publish", "-", stdin=holder.write(services=["https://consent.example"]).encode())

    latest = json.loads(registry_run(registry, "resolve", holder.did).out)
    assert latest["service"][0]["serviceEndpoint"] == "https://consent.example"
    older = json.loads(registry_run(registry, "resolve", holder.did, "--version-id", "1", "--json").out)
    assert older["didDocumentMetadata"]["nextVersionId"] == "2" and "service" not in older["didDocument"]
    assert json.loads(registry_run(registry, "log", holder.did).out) == [json.loads(v) for v in holder.versions]
    # What the client builds from the verified history is what the registry serves.
    for options, query in (([], ""), (["--version-id", "1"], "?versionId=1"),
                           (["--version-time", timestamp(1)], f"?versionTime={timestamp(1)}")):
        assert json.loads(registry_run(registry, "resolve", holder.did, "--json", *options).out) == served(
            registry, holder.did, query)

    done = registry_run(registry, "deactivate", "--key", key_file(tmp_path, holder.secret), "--key-id", "key-1",
                        holder.did)
    assert done.out.startswith(f"deactivated: {holder.did} version 3 at ")
    result = json.loads(registry_run(registry, "resolve", "--json", holder.did).out)
    assert result["didDocument"] is None and result["didDocumentMetadata"]["deactivated"] is True
    assert result == served(registry, holder.did, "?versionId=1")
    assert sorted(json.loads(registry_run(registry, "resolve", holder.did).out)) == ["@context", "created", "id",
                                                                                    "updated"]


def served(registry, did, query):
    """The registry's own resolution result for `did` (a 410 included), without the log's proofs
    and what they carry, which a client checks and does not print."""
    try:
        with urllib.request.urlopen(f"{registry}/1.0/identifiers/{did}{query}", timeout=10) as answer:
            result = json.load(answer)
    except urllib.error.HTTPError as error:
        result = json.load(error)
    for name in ("vekLog", "signed"):
        result["didResolutionMetadata"].pop(name, None)
    return result


@pytest.mark.parametrize("arguments, status, message", [
    (["resolve", "{unknown}"], 1, "not found"),
    (["resolve", "{did}", "--version-id", "4"], 1, "not found"),
    (["resolve", "{did}", "--version-id", "01"], 2, "not a version id"),
    (["resolve", "{did}", "--version-time", "2026-1-1T00:00:00Z"], 2, "not a time of the form"),
    (["resolve", "{did}", "--version-time", "2026-02-30T00:00:00Z"], 2, "not a time of the form"),
    (["resolve", "{did}", "--version-id", "1", "--version-time", "{t1}"], 2, "not allowed with"),
    (["resolve", "did:vek:"], 2, "not a valid did:vek DID"),
    (["log", "{unknown}"], 1, "not found"),
    (["publish", "{dir}/missing.json"], 2, "cannot read"),
    (["publish", "{dir}/junk.json"], 1, "invalid"),
    (["publish", "{dir}/stale.json"], 1, "HTTP 409"),
    (["deactivate", "--key", "{dir}/old-key", "--key-id", "key-1", "{did}"], 1, "may sign the next version"),
    (["deactivate", "--key", "{dir}/missing-key", "--key-id", "key-3", "{did}"], 2, "key file"),
    (["audit", "--threads", "0"], 2, "not a number of threads"),
])
def test_exit_status(tmp_path, registry, published, arguments, status, message):
    (tmp_path / "junk.json").write_text('{"document": {}, "proof": {}}')
    (tmp_path / "stale.json").write_text(published.write(updated=timestamp(2)))
    key_file(tmp_path, published.secret).rename(tmp_path / "old-key")
    fields = {"did": published.did, "unknown": Holder().did, "dir": tmp_path, "t1": timestamp(1)}
    result = registry_run(registry, *[argument.format(**fields) for argument in arguments])
    assert (result.status, result.out) == (status, "")
    assert message in result.err


@pytest.mark.parametrize("url, message", [
    ("http://127.0.0.1:{port}", "Connection refused"),
    ("127.0.0.1:{port}", "registry URL"),
])
def test_no_registry_is_exit_2(url, message):
    with free_socket() as unused:
        port = unused.getsockname()[1]
    result = run("resolve", "--registry", url.format(port=port), "did:vek:abc")
    assert result.status == 2 and message in result.err


def test_the_registry_url_from_the_environment(registry, published):
    result = subprocess.run([sys.executable, "-m", "did_vek", "resolve", published.did], capture_output=True,
                            env={**os.environ, "DID_VEK_REGISTRY": registry}, timeout=60)
    assert result.returncode == 0 and json.loads(result.stdout)["id"] == published.did


def tampered_log(holder):
    log = [json.loads(version) for version in holder.versions]
    log[1]["document"]["updated"] = timestamp(9)
    return log


def history_body(holder, versions):
    return {"did": holder.did, "versions": versions}


@pytest.mark.parametrize("answer, status, message", [
    (lambda holder: (200, history_body(holder, tampered_log(holder))), 1, "does not verify: version 2 breaks H2"),
    (lambda holder: (200, history_body(holder, [json.loads(v) for v in history(1).versions])), 1, "the history of"),
    (lambda holder: (200, history_body(holder, [json.loads(v) for v in holder.versions])), 1, "not proven by its log"),
    (lambda holder: (500, {"detail": "disk full"}), 2, "the registry failed: disk full (HTTP 500)"),
    (lambda holder: (302, b""), 2, "unexpected answer (HTTP 302)"),
], ids=["tampered history", "another DID's history", "no proofs", "server error", "redirect"])
def test_what_a_registry_answers_decides_the_exit_status(answer, status, message):
    holder = history(2)
    with FakeRegistry({"/dids/" + holder.did.replace(":", "%3A") + "/history": answer(holder)}) as fake:
        result = registry_run(fake.url, "resolve", holder.did)
    assert result.status == status and message in result.err


@pytest.mark.parametrize("how", ["trickle", "continue"])
def test_a_registry_that_stalls_cannot_hold_a_command(monkeypatch, how):
    monkeypatch.setenv("DID_VEK_TIMEOUT", "0.5")
    with StallingRegistry(how) as stalling:
        started = time.monotonic()
        result = registry_run(stalling.url, "resolve", history(1).did)
    assert result.status == 2 and "timed out" in result.err
    assert time.monotonic() - started < 5


def test_export_then_import_into_a_fresh_store(tmp_path, registry, published):
    exported = registry_run(registry, "export").out
    (tmp_path / "export.jsonl").write_text(exported)
    db = tmp_path / "copy.sqlite3"

    first = run("import", "--db", db, tmp_path / "export.jsonl")
    again = run("import", "--db", db, "-", stdin=exported.encode())
    count = len(exported.splitlines())
    assert (first.out, again.out) == (f"imported: {count} added, 0 skipped\n", f"imported: 0 added, {count} skipped\n")

    from did_vek.registry import open_store
    store = open_store(str(db))
    try:
        copied = [json.loads(version.signed) for version in store.log(published.did)]
    finally:
        store.close()
    with RegistryClient(registry) as client:
        assert copied == [json.loads(text) for text in client.log(published.did)]


def test_import_stops_at_a_line_that_does_not_verify(tmp_path, registry, published):
    lines = [json.loads(line) for line in registry_run(registry, "export").out.splitlines()]
    mine = [line for line in lines if line["did"] == published.did]
    mine[1]["signed"]["document"]["updated"] = timestamp(9)
    result = run("import", "--db", tmp_path / "copy.sqlite3", "-",
                 stdin="\n".join(json.dumps(line) for line in mine).encode())
    assert result.status == 1 and "line 2:" in result.err


@needs_registry_extra
def test_serve(tmp_path):
    with free_socket() as unused:
        port = unused.getsockname()[1]
    server = subprocess.Popen([sys.executable, "-m", "did_vek", "serve", "--db", tmp_path / "served.sqlite3",
                               "--port", str(port)], stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 30
        while True:
            try:
                with urllib.request.urlopen(f"http://127.0.0.1:{port}/healthz", timeout=1) as answer:
                    assert json.load(answer) == {"status": "ok"}
                    break
            except OSError:
                assert server.poll() is None and time.monotonic() < deadline, server.stderr.read().decode()
                time.sleep(0.1)
        holder = history(1)
        assert RegistryClient(f"http://127.0.0.1:{port}").publish(holder.versions[0]).created
    finally:
        server.terminate()
        server.wait(30)
    assert (tmp_path / "served.sqlite3").exists()


@pytest.mark.parametrize("arguments, message", [
    (["--port", "{busy}"], "cannot listen on 127.0.0.1 port {busy}"),
    (["--db", "{dir}/missing/registry.sqlite3"], "cannot be opened"),
    (["--db", "{dir}"], "cannot be opened"),
    (["--port", "65536"], "not a port number"),
    (["--workers", "0"], "not a number of processes"),
])
@needs_registry_extra
def test_serve_refuses_to_start_without_a_port_or_a_store(tmp_path, arguments, message):
    with free_socket() as busy:
        busy.listen()
        fields = {"busy": busy.getsockname()[1], "dir": tmp_path}
        result = run("serve", "--port", "0", *[argument.format(**fields) for argument in arguments])
    assert result.status == 2 and message.format(**fields) in result.err


@pytest.mark.parametrize("command", [["serve", "--port", "0"], ["import", "--db", "copy.sqlite3", "-"]])
def test_without_the_registry_extra(tmp_path, command):
    # As in a base install: the server's dependencies cannot be imported.
    base_install = "import sys; sys.modules['starlette'] = None; from did_vek.cli import main; sys.exit(main())"
    done = subprocess.run([sys.executable, "-c", base_install, *command], capture_output=True, cwd=tmp_path,
                          timeout=60)
    assert (done.returncode, done.stderr.decode()) == (
        2, f"did-vek {command[0]}: the registry needs its extra: pip install 'did-vek[registry]'\n")
