# A write goes out with the one after it, or when its step of the event loop ends; in order, and
# nothing is lost or sent after the connection ends.
import asyncio

import pytest

from did_vek.registry.joined_writes import JoinedWrites


class Recording(asyncio.Transport):
    def __init__(self) -> None:
        super().__init__()
        self.calls: list[tuple[str, bytes]] = []
        self.closing = False

    def write(self, data):
        self.calls.append(("write", bytes(data)))

    def close(self):
        self.calls.append(("close", b""))
        self.closing = True

    def abort(self):
        self.calls.append(("abort", b""))
        self.closing = True

    def is_closing(self):
        return self.closing


@pytest.mark.parametrize("steps, calls", [
    ([[b"head", b"body"]], [("write", b"headbody")]),
    ([[b"head"], [b"body"]], [("write", b"head"), ("write", b"body")]),
    ([[b"head", b"", b"body", "close"]], [("write", b"head"), ("write", b"body"), ("close", b"")]),
    ([[b"head", b"body", b"tail"]], [("write", b"headbody"), ("write", b"tail")]),
    ([[b"head", "abort"], [b"late"]], [("abort", b"")]),
    ([[b"head", "closed under it"]], [("close", b"")]),  # the peer went away before the step ended
])
def test_an_answers_head_goes_out_with_its_body(steps, calls):
    async def run() -> list[tuple[str, bytes]]:
        raw = Recording()
        joined = JoinedWrites(raw, asyncio.get_running_loop())
        for step in steps:
            for action in step:
                if action == "close":
                    joined.close()
                elif action == "abort":
                    joined.abort()
                elif action == "closed under it":
                    raw.close()
                else:
                    joined.write(action)
            await asyncio.sleep(0)  # the step ends
        await asyncio.sleep(0)
        return raw.calls

    assert asyncio.run(run()) == calls
