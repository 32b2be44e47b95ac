"""The transparency log's building blocks: Merkle trees and proofs, tiles, signed notes and
checkpoints, cosignatures, proofs of logging, the DID map, trust policies and log entries; and
the client's side: its remembered state and the checks of a registry's answers against it.

Each module holds one format, structure or check; only `state` stores anything, and none fetches.
"""

from .errors import Discrepancy, FormatError, ForkDetected, InvalidProof

__all__ = ["Discrepancy", "FormatError", "ForkDetected", "InvalidProof"]
