"""Registry servers as the user runs them, `python -m did_vek.registry`, in processes of their
own on 127.0.0.1, and a small HTTP client for them on http.client."""

import http.client
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass

from postgres_server import free_port


@dataclass(frozen=True)
class Answer:
    status: int
    headers: dict[str, str]
    body: bytes

    def json(self):
        return json.loads(self.body)


class RegistryProcess:
    """`python -m did_vek.registry --db DB` on a free port, in a process group of its own so
    that its uvicorn workers go down with it."""

    def __init__(self, db: str, *, workers: int = 1, options: tuple[str, ...] = ()) -> None:
        self.db, self.workers, self.options = db, workers, options
        self.port = free_port()
        self.process: subprocess.Popen[bytes] | None = None

    def start(self, timeout: float = 30.0) -> "RegistryProcess":
        command = [sys.executable, "-m", "did_vek.registry", "--db", self.db, "--host", "127.0.0.1",
                   "--port", str(self.port), "--workers", str(self.workers), *self.options]
        # A file, not a pipe: nobody reads while the server runs, and a full pipe would stop it.
        self.output = tempfile.TemporaryFile()
        self.process = subprocess.Popen(command, stdout=self.output, stderr=subprocess.STDOUT,
                                        start_new_session=True)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"the registry exited with {self.process.returncode}: {self.printed()}")
            try:
                if self.request("GET", "/1.0/methods", timeout=1).status == 200:
                    return self
            except OSError:
                pass
            time.sleep(0.05)
        self.kill()
        raise RuntimeError(f"the registry on port {self.port} did not answer within {timeout} s: {self.printed()}")

    def printed(self) -> str:
        """The end of what the server wrote."""
        self.output.seek(0)
        return self.output.read()[-2000:].decode(errors="replace")

    def alive(self) -> bool:
        return self.process is not None and self.process.poll() is None

    def kill(self) -> None:
        """SIGKILL to the server and its workers: nothing of theirs runs after this."""
        if self.process is not None and self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
        self._reap()

    def _reap(self) -> None:
        if self.process is not None:
            self.process.wait(15)
            self.output.close()

    def request(self, method: str, path: str, body: str | None = None, headers: dict[str, str] | None = None,
                timeout: float = 30.0) -> Answer:
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            connection.request(method, path, body=None if body is None else body.encode(), headers=headers or {})
            response = connection.getresponse()
            return Answer(response.status, {k.lower(): v for k, v in response.getheaders()}, response.read())
        finally:
            connection.close()

    def publish(self, signed: str, did: str, if_match: str | None = None) -> Answer:
        headers = {"Content-Type": "application/json"}
        if if_match is not None:
            headers["If-Match"] = f'"{if_match}"'
        return self.request("POST", f"/dids/{did}", signed, headers)

    def log(self, did: str) -> list[dict]:
        answer = self.request("GET", f"/dids/{did}/log")
        assert answer.status == 200, answer
        return answer.json()
