"""The two ways a transparency-log text or proof can fail."""


class FormatError(ValueError):
    """A text that is not of its format (a note, a checkpoint, a proof, a policy); one line saying why."""


class InvalidProof(ValueError):
    """A well-formed proof or signature that does not prove what it claims; one line saying why."""
