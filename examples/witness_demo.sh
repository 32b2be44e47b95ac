#!/bin/sh
# A registry whose checkpoints two witnesses must cosign, and a client that trusts it only so:
# two `did-vek witness` processes, a registry with --witness and --quorum, a trust policy that
# requires both witnesses, a publish and a resolution checked under it, and what the witnesses
# signed. Usage: witness_demo.sh [PATH_TO_DID_VEK]
set -eu
did_vek=${1:-did-vek}
case $did_vek in */*) did_vek=$(cd "$(dirname "$did_vek")" && pwd)/$(basename "$did_vek") ;; esac
python=$(dirname "$(command -v "$did_vek")")/python
[ -x "$python" ] || python=python3
dir=$(mktemp -d)
pids=
stop() {
    for pid in $pids; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
    rm -rf "$dir"
}
trap stop EXIT
trap 'exit 1' INT TERM
cd "$dir"

free_port() { "$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
wait_for() {
    "$python" - "$1" <<'PY'
import sys, time, urllib.error, urllib.request
deadline = time.monotonic() + 30
while True:
    try:
        urllib.request.urlopen(sys.argv[1], timeout=1)
        break
    except urllib.error.HTTPError:
        break  # it answers
    except OSError:
        if time.monotonic() > deadline:
            sys.exit(f"{sys.argv[1]} did not answer")
        time.sleep(0.1)
PY
}

echo "# The log's key, and its verifier key, which the witnesses are told"
"$did_vek" keygen --out log.key > /dev/null
log_vkey=$("$python" -c 'import sys; from did_vek.registry.log_key import load_log_key; print(load_log_key(sys.argv[1], "demo.example/did-vek").vkey)' log.key)
echo "log vkey: $log_vkey"

echo; echo "# Two witnesses, each with its own key and state"
policy="log $log_vkey"
witness_options=
for name in w1 w2; do
    port=$(free_port)
    "$did_vek" keygen --out "$name.key" > /dev/null
    echo "\$ did-vek witness --name $name.demo.example --db $name.sqlite3 --key $name.key --log LOG_VKEY --port $port &"
    "$did_vek" witness --name "$name.demo.example" --db "$name.sqlite3" --key "$name.key" --log "$log_vkey" \
        --port "$port" > "$name.vkey" &
    pids="$pids $!"
    wait_for "http://127.0.0.1:$port/add-checkpoint"
    vkey=$(head -n 1 "$name.vkey")
    echo "  its vkey: $vkey"
    policy="$policy
witness $name $vkey http://127.0.0.1:$port"
    witness_options="$witness_options --witness $vkey http://127.0.0.1:$port"
done
printf '%s\ngroup both all w1 w2\nquorum both\n' "$policy" > policy.txt
echo; echo "# The trust policy: this log, cosigned by both witnesses"
cat policy.txt

echo; echo "# The registry: a checkpoint is served only once both witnesses cosigned it"
port=$(free_port)
registry="http://127.0.0.1:$port"
echo "\$ did-vek serve --db registry.sqlite3 --log-key log.key --origin demo.example/did-vek --witness W1_VKEY URL --witness W2_VKEY URL --quorum 2 --port $port &"
# shellcheck disable=SC2086
"$did_vek" serve --db registry.sqlite3 --log-key log.key --origin demo.example/did-vek $witness_options \
    --quorum 2 --port "$port" > serve.out &
pids="$pids $!"
wait_for "$registry/healthz"

"$did_vek" keygen --out key-1 > /dev/null
did=$("$did_vek" did --key key-1)
"$did_vek" build "$did" --method key-1 "$("$did_vek" public-key --key key-1)" --assertion-method key-1 > v1.doc
"$did_vek" sign-document --key key-1 --key-id key-1 v1.doc > v1.json
echo; echo "\$ did-vek publish --registry $registry --trust policy.txt --state state v1.json"
"$did_vek" publish --registry "$registry" --trust policy.txt --state state v1.json
echo "\$ did-vek resolve --registry $registry --trust policy.txt --state state $did"
"$did_vek" resolve --registry "$registry" --trust policy.txt --state state "$did" | head -n 5
echo "  ..."
echo; echo "# The checkpoint served: the log's signature, then both witnesses' cosignatures"
"$python" -c 'import sys, urllib.request; print(urllib.request.urlopen(sys.argv[1] + "/tlog/checkpoint").read().decode(), end="")' "$registry"
