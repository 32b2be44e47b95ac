# A DID's holder writing its versions, for the client tests: fresh keys, so that every test has
# a DID of its own in a registry the tests share, and times from a day ago, in no registry's
# future. The documents come from the shared builders of `histories`.
import secrets
from datetime import datetime, timedelta, timezone

import did_vek
import histories

START = datetime.now(timezone.utc).replace(microsecond=0) - timedelta(days=1)


def timestamp(seconds):
    return (START + timedelta(seconds=seconds)).strftime("%Y-%m-%dT%H:%M:%SZ")


class Holder:
    """Holds the keys of one key-derived DID and signs each next version with a current key."""

    def __init__(self):
        self.secret = secrets.token_hex(32)
        engine = did_vek.DIDEngine.from_secret_key(self.secret)
        self.did = engine.create_did_from_key()
        self.first_key = ("key-1", engine)
        self.keys = {"key-1": engine}
        self.versions = []

    def write(self, *, services=(), keys=None, deactivate=False, updated=None, signer=None, did=None):
        """The next version: `keys` ({key id: engine}) replaces the listed keys; the signer, a
        (key id, engine) pair, is by default the first key of the last version."""
        signer_id, signer_engine = signer or next(iter(self.keys.items()))
        listed = {} if deactivate else self.keys if keys is None else keys
        signed = histories.version(
            signer_engine, signer_id, listed, did=did or self.did, created=timestamp(0),
            updated=updated or timestamp(len(self.versions) + 1),
            services=[(f"consent-{number}", "BilateralConsentService", url) for number, url in enumerate(services)])
        self.versions.append(signed)
        self.keys = listed
        return signed


def history(count):
    """A holder with `count` versions: a consent service from version 2, a new key in version 3."""
    holder = Holder()
    holder.write()
    for number in range(2, count + 1):
        keys = {f"key-{number}": did_vek.DIDEngine()} if number == 3 else None
        holder.write(services=[f"https://consent.example/{number}"], keys=keys)
    return holder
