"""A witness of transparency logs (C2SP tlog-witness): it cosigns a log's checkpoint only when
the checkpoint extends the newest one it cosigned for that log, so a log cannot show two
histories to clients that require its cosignature.

The protocol (`protocol`, `request`) and the witness's state (`state`) need no HTTP; `app` and
`server` put them on the network and need the registry's extra.
"""

from .protocol import Conflict, Refused, Witness
from .state import Held, WitnessState

__all__ = ["Conflict", "Held", "Refused", "Witness", "WitnessState"]
