"""did:vek identifiers, Ed25519 keys and DID documents.

The objects of the native core under plain names; signing and verifying DID documents of
any content; the verified history of a DID's versions; W3C credentials issued and verified
with did:vek and did:key keys.
"""

from did_vek_core import DIDDocumentBuilder, DIDEngine
from did_vek_core import create_did_py as create_did
from did_vek_core import is_valid_did_py as is_valid_did
from did_vek_core import parse_did_py as parse_did

from ._errors import InvalidCredential, InvalidDocument
from ._history import History, Version, verify_history
from ._keys import did_for_public_key
from ._sign import sign_document
from ._verify import VerifiedDocument, verify_document
from ._signing_key import SigningKey
from ._view import record_of, verify_resolution, view_of
from .tlog.errors import ForkDetected, InvalidProof
from .client import NotFound, Published, RegistryClient, RegistryError, Resolution
from .credentials import KnownHistories, VerifiedCredential, issue_credential, verify_credential

__version__ = "0.1.0"

__all__ = [
    "DIDEngine",
    "DIDDocumentBuilder",
    "parse_did",
    "is_valid_did",
    "create_did",
    "sign_document",
    "verify_document",
    "VerifiedDocument",
    "view_of",
    "record_of",
    "verify_resolution",
    "verify_history",
    "History",
    "Version",
    "InvalidDocument",
    "InvalidProof",
    "ForkDetected",
    "did_for_public_key",
    "RegistryClient",
    "Published",
    "Resolution",
    "RegistryError",
    "NotFound",
    "SigningKey",
    "issue_credential",
    "verify_credential",
    "VerifiedCredential",
    "InvalidCredential",
    "KnownHistories",
    "__version__",
]
