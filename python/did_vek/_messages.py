"""How messages quote values taken from untrusted input."""

import json


def quoted(text: str, limit: int = 80) -> str:
    """`text` as a JSON string with every non-ASCII and control character escaped, shortened.

    Messages quote values from untrusted input: escaping keeps them on one line and printable
    on any terminal, and lone surrogates cannot make printing fail.
    """
    if len(text) > limit:
        return json.dumps(text[:limit]) + "..."
    return json.dumps(text)
