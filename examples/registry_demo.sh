#!/bin/sh
# A DID's life in a registry, from the command line: a registry on a temporary SQLite file,
# a key-derived DID published, a service added, its key rotated, an older version resolved,
# the DID deactivated. Usage: registry_demo.sh [PATH_TO_DID_VEK]
set -eu
did_vek=${1:-did-vek}
# The demo works in a directory of its own: a path to the command must still hold there.
case $did_vek in */*) did_vek=$(cd "$(dirname "$did_vek")" && pwd)/$(basename "$did_vek") ;; esac
# The interpreter beside the command (a venv's), for what the command line does not do.
python=$(dirname "$(command -v "$did_vek")")/python
[ -x "$python" ] || python=python3
dir=$(mktemp -d)
server=
stop() {
    if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
    rm -rf "$dir"
}
trap stop EXIT
trap 'exit 1' INT TERM

run() { echo "\$ did-vek $*"; "$did_vek" "$@"; }
# Prints the command with its redirection, then runs it into the file.
run_to() { out=$1; shift; echo "\$ did-vek $* > $(basename "$out")"; "$did_vek" "$@" > "$out"; }

port=$("$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
export DID_VEK_REGISTRY="http://127.0.0.1:$port"
# The client remembers each registry's log key and newest checkpoint. This registry is new, with
# a key of its own, on a port an earlier one may have had: a remembered one would be refused.
export DID_VEK_STATE="$dir/state"
echo "\$ did-vek serve --db registry.sqlite3 --port $port &"
"$did_vek" serve --db "$dir/registry.sqlite3" --port "$port" &
server=$!
"$python" - "$DID_VEK_REGISTRY/healthz" <<'EOF'
import sys, time, urllib.request
deadline = time.monotonic() + 30
while True:
    try:
        with urllib.request.urlopen(sys.argv[1], timeout=1) as answer:
            print(f"(the registry answers /healthz: {answer.read().decode()})")
            break
    except OSError:
        if time.monotonic() > deadline:
            sys.exit("the registry did not start")
        time.sleep(0.1)
EOF
echo "(DID_VEK_REGISTRY=$DID_VEK_REGISTRY: the commands below use it)"

cd "$dir"
echo; echo "# Version 1: a key-derived DID, its key listed for assertion and authentication"
run keygen --out key-1
did=$("$did_vek" did --key key-1)
key_1=$("$did_vek" public-key --key key-1)
run_to v1.doc build "$did" --method key-1 "$key_1" --assertion-method key-1 --authentication key-1
run_to v1.json sign-document --key key-1 --key-id key-1 v1.doc
run publish v1.json
run publish v1.json

# Each version's "updated" must be later than the one before: a second apart.
sleep 1
echo; echo "# Version 2: the same key, and a consent service"
run_to v2.doc build "$did" --method key-1 "$key_1" --assertion-method key-1 --authentication key-1 \
    --consent-service https://consent.example/inbox
run_to v2.json sign-document --key key-1 --key-id key-1 v2.doc
run publish v2.json

sleep 1
echo; echo "# Version 3: a new key replaces the old one, which signs this last use of it"
run keygen --out key-2
key_2=$("$did_vek" public-key --key key-2)
run_to v3.doc build "$did" --method key-2 "$key_2" --assertion-method key-2 --authentication key-2 \
    --consent-service https://consent.example/inbox
run_to v3.json sign-document --key key-1 --key-id key-1 v3.doc
run publish v3.json

echo; echo "# Resolved, the client checking the whole history itself"
run resolve "$did"
run resolve --version-id 1 --json "$did"

echo; echo "# As a universal-resolver client asks (base URL $DID_VEK_REGISTRY/1.0): the W3C view, checked again"
"$python" - "$DID_VEK_REGISTRY/1.0" "$did" <<'EOF'
import json, sys, urllib.request
from did_vek import InvalidDocument, verify_resolution

base, did = sys.argv[1:]


def get(path):
    with urllib.request.urlopen(urllib.request.Request(base + path, headers={"Accept": "*/*"}), timeout=10) as answer:
        return answer, json.load(answer)


answer, result = get(f"/identifiers/{did}?versionId=2")
print(f"GET /1.0/identifiers/{did}?versionId=2: {answer.status} {answer.headers['Content-Type']}")
print("  @context:", json.dumps(result["didDocument"]["@context"]))
print("  publicKeyMultibase:", result["didDocument"]["verificationMethod"][0]["publicKeyMultibase"])
verified = verify_resolution(result)
print(f"  verify_resolution: signed by {verified.key_id}, the DID derives from that key: {verified.key_derived}")
try:
    verify_resolution(get(f"/identifiers/{did}")[1])
except InvalidDocument as error:
    print(f"  version 3 alone: {str(error)[:100]}...")
answer, method = get(f"/identifiers/{did}%23key-2")
print(f"GET /1.0/identifiers/{did}%23key-2: {answer.headers['Content-Type']} {method['type']}")
EOF

echo; echo "# The log's proofs: a publish receipt (here, of sending version 3 again) and a resolution's vekLog"
"$python" - "$DID_VEK_REGISTRY" "$did" v3.json <<'EOF'
import json, sys, urllib.request

registry, did, version = sys.argv[1:]
request = urllib.request.Request(f"{registry}/dids/{did}", data=open(version, "rb").read(), method="POST",
                                 headers={"Content-Type": "application/json"})
with urllib.request.urlopen(request, timeout=10) as answer:
    receipt = json.load(answer)
print(f"POST /dids/{did}: {answer.status}, logIndex {receipt['logIndex']}")
print("  proof (c2sp.org/tlog-proof@v1, then the checkpoint):")
for line in receipt["proof"].splitlines()[:4]:
    print("   ", line[:100])
print("  vekLog.mapEntry:", receipt["vekLog"]["mapEntry"].strip())
with urllib.request.urlopen(f"{registry}/1.0/identifiers/{did}", timeout=10) as answer:
    vek_log = json.load(answer)["didResolutionMetadata"]["vekLog"]
print(f"GET /1.0/identifiers/{did}: vekLog with", ", ".join(sorted(vek_log)))
print("  entry:", vek_log["entry"].strip())
print("  map proof:", len(vek_log["map"]["siblings"]), "siblings, leaf", "present" if vek_log["map"]["leaf"] else "absent")
EOF

echo; echo "# The old key can no longer write"
sleep 1
run_to v4.doc build "$did" --method key-1 "$key_1" --assertion-method key-1
run_to v4.json sign-document --key key-1 --key-id key-1 v4.doc
# The refusal goes to stdout here, to keep its place among the lines above and below.
if run publish v4.json 2>&1; then
    echo "the registry took a version signed by a replaced key: this is a fault" >&2
    exit 1
else
    echo "(refused, exit status $?)"
fi

echo; echo "# Deactivated by the current key: the last version"
run deactivate --key key-2 --key-id key-2 "$did"
echo "\$ GET /1.0/identifiers/$did"
"$python" - "$DID_VEK_REGISTRY/1.0/identifiers/$did" <<'EOF'
import json, sys, urllib.error, urllib.request
try:
    urllib.request.urlopen(sys.argv[1], timeout=10)
    sys.exit("a deactivated DID resolved with 200: this is a fault")
except urllib.error.HTTPError as answer:
    print(answer.status, answer.reason)
    result = json.load(answer)
    print("didDocument:", json.dumps(result["didDocument"]))
    print("deactivated:", json.dumps(result["didDocumentMetadata"]["deactivated"]))
EOF

echo; echo "# The log, checked offline: anyone can audit what the registry serves"
echo "\$ did-vek log $did | did-vek verify-history -"
"$did_vek" log "$did" | "$did_vek" verify-history -

echo; echo "# The whole transparency log, audited: tiles, entries, the DID map, every version"
run audit
