"""`did-vek witness` as its operator runs it, in a process of its own on 127.0.0.1."""

import http.client
import os
import signal
import socket
import subprocess
import sys
import time
from dataclasses import dataclass


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port: int = probe.getsockname()[1]
        return port


@dataclass(frozen=True)
class Answer:
    status: int
    content_type: str
    body: bytes


class WitnessProcess:
    def __init__(self, name: str, db: str, key: str, logs: list[str]) -> None:
        self.arguments = ["--name", name, "--db", db, "--key", key, *(a for log in logs for a in ("--log", log))]
        self.port = free_port()
        self.process: subprocess.Popen[bytes] | None = None
        self.vkey = ""

    def start(self, timeout: float = 30.0) -> "WitnessProcess":
        command = [sys.executable, "-m", "did_vek", "witness", *self.arguments, "--port", str(self.port)]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        assert self.process.stdout is not None
        self.vkey = self.process.stdout.readline().decode().strip()
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"the witness exited with {self.process.returncode}")
            try:
                self.post(b"", timeout=1)  # a 400 once it listens
                return self
            except OSError:
                time.sleep(0.02)
        self.kill()
        raise RuntimeError(f"the witness on port {self.port} did not answer within {timeout} s")

    def kill(self) -> None:
        if self.process is not None and self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGKILL)
        if self.process is not None:
            self.process.wait(15)
            assert self.process.stdout is not None
            self.process.stdout.close()

    def post(self, body: bytes, timeout: float = 10.0) -> Answer:
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            connection.request("POST", "/add-checkpoint", body=body)
            response = connection.getresponse()
            return Answer(response.status, response.getheader("content-type", ""), response.read())
        except http.client.HTTPException as error:  # an answer cut short: the witness died
            raise ConnectionError(f"{type(error).__name__}: {error}") from None
        finally:
            connection.close()
