"""A witness of transparency logs (C2SP tlog-witness): it cosigns a log's checkpoint only when
the checkpoint extends the newest one it cosigned for that log, so a log cannot show two
histories to clients that require its cosignature.

The protocol (`protocol`, `request`) and the witness's state (`state`) are judged apart from
HTTP; `app` and `server` put them on the network. The witness shares the registry's refusals
and HTTP layer, so it needs the registry's extra.
"""

from ..registry.store import Refused
from .protocol import Conflict, Witness
from .state import Held, WitnessState

__all__ = ["Conflict", "Held", "Refused", "Witness", "WitnessState"]
