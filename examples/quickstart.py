"""A tour of did_vek_core: identifiers, an engine's keys and signatures, and DID documents."""

import json

import did_vek
import did_vek_core as vek


def show(title: str, value: object) -> None:
    print(f"{title:<28} {value}")


print("== DID identifiers")
did = vek.create_did_py(["example", "alice"])
show("create_did_py", did)
show("parse_did_py", vek.parse_did_py(did))
show("is_valid_did_py", vek.is_valid_did_py(did))
show("is_valid_did_py('did:vek:')", vek.is_valid_did_py("did:vek:"))

print("\n== A key engine")
engine = vek.DIDEngine()
show("public_key", engine.public_key)
show("public_key_multibase", engine.public_key_multibase)
key_did = engine.create_did_from_key()
show("create_did_from_key", key_did)
message = "hello, did:vek"
signature = engine.sign(message)
show("sign", signature)
show("verify", engine.verify(message, signature))
show("verify (other message)", engine.verify(message + "!", signature))
show("verify_with_key", vek.DIDEngine.verify_with_key(message, signature, engine.public_key))

print("\n== A signed document")
signed = engine.create_document(key_did)
print(signed)
wrapper = json.loads(signed)
# The proof covers the document's compact form in its declared member order.
order = ["@context", "id", "controller", "verificationMethod", "authentication", "assertionMethod",
         "service", "created", "updated"]
method_order = ["id", "type", "controller", "publicKeyMultibase", "publicKeyHex"]
document = wrapper["document"]
record = {name: document[name] for name in order if name in document}
record["verificationMethod"] = [{name: m[name] for name in method_order if name in m}
                                for m in record["verificationMethod"]]
compact = json.dumps(record, separators=(",", ":"), ensure_ascii=False)
proof = wrapper["proof"]
public_key = document["verificationMethod"][0]["publicKeyHex"]
show("proof verifies", vek.DIDEngine.verify_with_key(compact, proof["proofValue"], public_key))
# did_vek does all of that, and also refuses any other shape of document.
verified = did_vek.verify_document(signed, did=key_did)
show("verify_document", f"{verified.did}, key-derived: {verified.key_derived}")

print("\n== A builder document")
builder = vek.DIDDocumentBuilder(key_did)
builder.set_controller("did:vek:controller")
builder.add_verification_method("key-1", engine.public_key)
builder.add_verification_method("key-2", vek.DIDEngine().public_key)
builder.add_authentication("key-1")
builder.add_assertion_method("key-2")
builder.add_consent_service("https://consent.example/alice")
builder.add_talvo_service("https://provenance.example/alice")
print(builder.build())
