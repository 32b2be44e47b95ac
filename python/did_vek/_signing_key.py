"""Ed25519 signing keys whose secret stays in native memory.

`DIDEngine` signs texts and gives no secret away; a Data Integrity proof signs raw bytes. A
`SigningKey` holds its seed in the native object only, which wipes it when the object goes.
"""

from . import _native
from ._keyfile import read_secret
from ._keys import did_for_public_key


class SigningKey:
    """An Ed25519 key made from a secret seed: 64 hex digits, or a key file of the package."""

    __slots__ = ("_key",)

    def __init__(self, secret_hex: str) -> None:
        if not isinstance(secret_hex, str):
            raise TypeError(f"secret_hex must be str, not {type(secret_hex).__name__}")
        self._key = _native.SigningKey(secret_hex)

    @classmethod
    def from_key_file(cls, path: str) -> "SigningKey":
        """The key in a key file (`KeyFileError` if the file is not a private one holding a secret)."""
        return cls(read_secret(path))

    @property
    def public_key(self) -> str:
        """The public key, 64 lower-case hex digits."""
        return self._key.public_key

    @property
    def did(self) -> str:
        """The key-derived did:vek DID of the public key."""
        return did_for_public_key(self._key.public_key)

    @property
    def did_key(self) -> str:
        """The did:key DID of the public key ("did:key:z6Mk...")."""
        return self._key.did_key

    def sign(self, data: bytes) -> bytes:
        """The 64-byte Ed25519 signature of `data` itself: no text, no encoding, no hashing."""
        if not isinstance(data, bytes):
            raise TypeError(f"data must be bytes, not {type(data).__name__}")
        return self._key.sign(data)

    def __repr__(self) -> str:
        return f"SigningKey(public_key={self._key.public_key!r})"

    def __reduce__(self) -> str | tuple[object, ...]:
        # Pickling or copying would write the secret out, or make a second copy of it.
        raise TypeError("a SigningKey cannot be pickled or copied")


def verify_signature(data: bytes, signature: bytes, public_key: str) -> bool:
    """Whether `signature` is the Ed25519 signature of the bytes `data` by `public_key` (hex)."""
    return _native.verify_ed25519(data, signature, public_key)
