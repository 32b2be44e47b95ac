"""The two ways a transparency-log text or proof can fail."""


class FormatError(ValueError):
    """A text that is not of its format (a note, a checkpoint, a proof, a policy); one line saying why."""


class InvalidProof(ValueError):
    """A well-formed proof or signature that does not prove what it claims; one line saying why."""


class Discrepancy(InvalidProof):
    """What a registry serves contradicts the log it signed (found by an audit): proof that it misbehaves."""


class ForkDetected(InvalidProof):
    """Two signed checkpoints of one log that no single append-only history can have both of.

    `old` is the checkpoint the client had verified before and `new` the one it was shown: the
    same size with another root, or a larger tree whose proof, leading to its root, gives
    another root at the old size. Both are signed texts, the evidence to publish.
    """

    def __init__(self, message: str, old: str, new: str) -> None:
        super().__init__(message)
        self.old = old
        self.new = new

    def __reduce__(self) -> tuple[type["ForkDetected"], tuple[str, str, str]]:
        return type(self), (str(self), self.old, self.new)
