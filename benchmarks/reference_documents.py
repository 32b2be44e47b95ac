"""The two document producers written the way a Python user would: `json` and `cryptography`.

They give the same text as `DIDEngine.create_document` and `DIDDocumentBuilder.build` (the
driver checks this before timing them), so the benchmark compares equal work.
"""

from __future__ import annotations

import json
import re
from datetime import datetime, timezone

from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

CONTEXTS = [
    "https://www.w3.org/ns/did/v1",
    "https://w3id.org/security/suites/ed25519-2020/v1",
    "https://did-vek.dev/ns/vek/v1",
]
KEY_TYPE = "Ed25519VerificationKey2020"
VALID_DID = re.compile(r"did:vek:[A-Za-z0-9._:-]+")


def timestamp() -> str:
    return datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def check_did(did: str) -> None:
    if not VALID_DID.fullmatch(did):
        raise ValueError("Invalid DID")


def document(did: str, controller: str | None, methods: list[tuple[str, str]], authentication: list[str],
             assertion: list[str], services: list[tuple[str, str, str]]) -> dict:
    """The document record in its declared member order; empty parts are left out."""
    created = timestamp()
    doc: dict = {"@context": CONTEXTS, "id": did}
    if controller is not None:
        doc["controller"] = controller
    if methods:
        doc["verificationMethod"] = [
            {"id": f"{did}#{key_id}", "type": KEY_TYPE, "controller": did, "publicKeyHex": key_hex}
            for key_id, key_hex in methods
        ]
    if authentication:
        doc["authentication"] = [f"{did}#{key_id}" for key_id in authentication]
    if assertion:
        doc["assertionMethod"] = [f"{did}#{key_id}" for key_id in assertion]
    if services:
        doc["service"] = [
            {"id": f"{did}#{service_id}", "type": service_type, "serviceEndpoint": endpoint}
            for service_id, service_type, endpoint in services
        ]
    doc["created"] = created
    doc["updated"] = created
    return doc


class Engine:
    """An Ed25519 key that issues signed DID documents."""

    def __init__(self, private_key: Ed25519PrivateKey) -> None:
        self.private_key = private_key
        self.public_key_hex = private_key.public_key().public_bytes_raw().hex()

    def create_document(self, did: str) -> str:
        check_did(did)
        doc = document(did, None, [("key-1", self.public_key_hex)], ["key-1"], ["key-1"], [])
        doc["updated"] = timestamp()
        signed_text = json.dumps(doc, separators=(",", ":"), ensure_ascii=False)
        proof = {
            "type": "Ed25519Signature2020",
            "created": timestamp(),
            "verificationMethod": f"{did}#key-1",
            "proofPurpose": "assertionMethod",
            "proofValue": self.private_key.sign(signed_text.encode()).hex(),
        }
        return json.dumps({"document": doc, "proof": proof}, indent=2, sort_keys=True, ensure_ascii=False)


class DocumentBuilder:
    """Records the parts of an unsigned DID document and writes it on `build`."""

    def __init__(self, did: str) -> None:
        check_did(did)
        self.did = did
        self.controller: str | None = None
        self.methods: list[tuple[str, str]] = []
        self.authentication: list[str] = []
        self.assertion: list[str] = []
        self.services: list[tuple[str, str, str]] = []

    def set_controller(self, controller: str) -> None:
        self.controller = controller

    def add_verification_method(self, key_id: str, public_key_hex: str) -> None:
        self.methods.append((key_id, public_key_hex))

    def add_authentication(self, key_id: str) -> None:
        self.authentication.append(key_id)

    def add_assertion_method(self, key_id: str) -> None:
        self.assertion.append(key_id)

    def add_service(self, service_id: str, service_type: str, endpoint: str) -> None:
        self.services.append((service_id, service_type, endpoint))

    def build(self) -> str:
        doc = document(self.did, self.controller, self.methods, self.authentication, self.assertion,
                       self.services)
        return json.dumps(doc, indent=2, ensure_ascii=False)
