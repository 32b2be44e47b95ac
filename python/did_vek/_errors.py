"""The one exception of document verification."""


class InvalidDocument(ValueError):
    """The text is not a signed document that this method's engine issues, or its proof fails.

    The message says what is wrong, in one line.
    """


class InvalidCredential(ValueError):
    """A credential that cannot be issued, or whose proof does not hold; the message says why, in one line."""
