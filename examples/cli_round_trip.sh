#!/bin/sh
# The did-vek command line, end to end: a key, a signed document, its verification, and a
# tampered copy that fails. Usage: cli_round_trip.sh [PATH_TO_DID_VEK]
set -eu
did_vek=${1:-did-vek}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

run() { echo "\$ did-vek $*"; "$did_vek" "$@"; }

run keygen --out "$dir/key"
ls -l "$dir/key" | cut -d' ' -f1
echo "\$ did-vek issue --key $dir/key > $dir/signed.json"
"$did_vek" issue --key "$dir/key" > "$dir/signed.json"
head -c 200 "$dir/signed.json"; echo " ..."
run verify "$dir/signed.json"
run verify --json "$dir/signed.json"

# Move the document's "updated" on to 2999: the proof no longer covers the values.
sed 's/"updated": "[0-9]\{4\}/"updated": "2999/' "$dir/signed.json" > "$dir/tampered.json"
if run verify "$dir/tampered.json"; then
    echo "the tampered copy verified: this is a fault" >&2
    exit 1
else
    echo "(the tampered copy fails, exit status $?)"
fi
