# Moving a registry from SQLite to PostgreSQL with the commands a user would run: `did-vek export`
# from the running SQLite registry, `did-vek import --db postgresql://...`, and a server on the new
# store that serves the same versions in the same order.
import json
import os
import subprocess
import sys

from registry_histories import keyed, keyed_version
from registry_process import RegistryProcess



def did_vek(*arguments):
    return subprocess.run([sys.executable, "-m", "did_vek", *arguments], capture_output=True, text=True, timeout=120,
                          env={**os.environ, "DID_VEK_REGISTRY": ""})


def served(server):
    lines = server.request("GET", "/export?limit=1000").body.decode().splitlines()
    return [(line["did"], line["versionId"], line["signed"]) for line in map(json.loads, lines)]


def test_a_registry_moves_from_sqlite_to_postgresql(tmp_path, postgres_db):
    keys = [keyed(f"moving-{i}") for i in range(3)]
    old = RegistryProcess(str(tmp_path / "old.sqlite3")).start()
    try:
        for second in range(4):  # interleaved, so that acceptance order is not DID order
            for key in keys:
                assert old.publish(keyed_version(key, second), key.engine.create_did_from_key()).status == 201
        exported = did_vek("export", "--registry", f"http://127.0.0.1:{old.port}")
        assert exported.returncode == 0, exported.stderr
        before = served(old)
    finally:
        old.kill()
    lines = tmp_path / "registry.jsonl"
    lines.write_text(exported.stdout)
    imported = did_vek("import", "--db", postgres_db, str(lines))
    assert (imported.returncode, imported.stdout.strip()) == (0, "imported: 12 added, 0 skipped"), imported.stderr
    again = did_vek("import", "--db", postgres_db, str(lines))
    assert (again.returncode, again.stdout.strip()) == (0, "imported: 0 added, 12 skipped"), again.stderr
    new = RegistryProcess(postgres_db).start()
    try:
        assert served(new) == before
        for key in keys:
            assert len(new.log(key.engine.create_did_from_key())) == 4
    finally:
        new.kill()
