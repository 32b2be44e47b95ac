"""The transparency log's building blocks: Merkle trees and proofs, tiles, signed notes and
checkpoints, cosignatures, proofs of logging, the DID map, trust policies and log entries.

Each module holds one format or structure; none of them stores or fetches anything.
"""

from .errors import FormatError, InvalidProof

__all__ = ["FormatError", "InvalidProof"]
