# Registries for the client tests, on 127.0.0.1 only: the real server in a thread of this
# process, and a fake one that answers what a test tells it to (a registry that lies).
import http.server
import json
import socket
import threading
import time
from contextlib import contextmanager

import pytest


def _registry_extra_installed():
    try:
        import starlette  # noqa: F401
        import uvicorn  # noqa: F401
    except ImportError:
        return False
    return True


# The wheel's own check installs the base package only: there the client runs against the
# fake registry, and what needs the real one is skipped.
needs_registry_extra = pytest.mark.skipif(not _registry_extra_installed(), reason="no registry extra")


def free_socket():
    # IPPROTO_TCP named: asyncio turns Nagle off only on sockets that say they are TCP, and
    # with Nagle on every answer waits 40 ms for the delayed acknowledgement.
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    return listener


@contextmanager
def real_registry(db, authority=None):
    """The registry application on a SQLite file, served by uvicorn until the block ends; over
    HTTPS with the server certificate of `authority` when it is given."""
    if not _registry_extra_installed():
        pytest.skip("no registry extra")
    import uvicorn
    from did_vek.registry import create_app

    listener = free_socket()
    tls = {} if authority is None else {"ssl_certfile": str(authority.server_certificate),
                                        "ssl_keyfile": str(authority.server_key)}
    server = uvicorn.Server(uvicorn.Config(create_app(str(db)), log_level="warning", **tls))
    thread = threading.Thread(target=server.run, kwargs={"sockets": [listener]}, daemon=True)
    thread.start()
    deadline = time.monotonic() + 20
    while not server.started:
        assert thread.is_alive() and time.monotonic() < deadline, "the registry did not start"
        time.sleep(0.02)
    try:
        yield f"{'http' if authority is None else 'https'}://127.0.0.1:{listener.getsockname()[1]}"
    finally:
        server.should_exit = True
        thread.join(20)
        listener.close()


class FakeRegistry:
    """Answers GET and POST from `routes`: path -> (status, body); 404 for any other path.

    A body that is not bytes is sent as JSON. `connections` counts the TCP connections made;
    with `drop_idle`, the server closes each connection after one answer without saying so,
    as a server does that drops idle keep-alive connections.
    """

    def __init__(self, routes, *, drop_idle=False):
        self.routes = routes
        self.paths = []
        self.connections = 0
        fake = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def setup(self):
                fake.connections += 1
                super().setup()

            def do_GET(self):
                fake.paths.append(self.path)
                status, body = fake.routes.get(self.path, (404, {"detail": "no such path"}))
                data = body if isinstance(body, bytes) else json.dumps(body).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)
                self.close_connection = drop_idle

            def do_POST(self):
                self.rfile.read(int(self.headers.get("Content-Length", 0)))
                self.do_GET()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"

    def __enter__(self):
        threading.Thread(target=self.server.serve_forever, args=(0.02,), daemon=True).start()
        return self

    def __exit__(self, *exc_info):
        self.server.shutdown()
        self.server.server_close()


@pytest.fixture(scope="module")
def registry(tmp_path_factory):
    """The URL of a real registry on a new SQLite file, shared by the tests of one module."""
    with real_registry(tmp_path_factory.mktemp("registry") / "registry.sqlite3") as url:
        yield url


class StallingRegistry:
    """Answers every request slowly enough to hold a client whose timeout bounds each read only.

    `trickle`: a 1 MB answer, one byte at a time; `continue`: interim `100 Continue` answers, one
    after the other, never the final one. The gap between sends is `gap` seconds.
    """

    def __init__(self, how, *, gap=0.05):
        self.how, self.gap = how, gap
        self.listener = free_socket()
        self.listener.listen()
        self.listener.settimeout(0.05)
        self.url = f"http://127.0.0.1:{self.listener.getsockname()[1]}"
        self.stop = threading.Event()

    def _stall(self, connection):
        with connection:
            connection.recv(65536)
            if self.how == "trickle":
                connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                                   b"Content-Length: 1000000\r\n\r\n[")
            while not self.stop.wait(self.gap):
                try:
                    connection.sendall(b" " if self.how == "trickle" else b"HTTP/1.1 100 Continue\r\n\r\n")
                except OSError:
                    return

    def _accept(self):
        while not self.stop.is_set():
            try:
                connection, _ = self.listener.accept()
            except TimeoutError:
                continue
            threading.Thread(target=self._stall, args=(connection,), daemon=True).start()

    def __enter__(self):
        self.acceptor = threading.Thread(target=self._accept, daemon=True)
        self.acceptor.start()
        return self

    def __exit__(self, *exc_info):
        self.stop.set()
        self.acceptor.join(5)
        self.listener.close()
