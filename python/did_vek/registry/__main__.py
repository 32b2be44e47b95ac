"""python -m did_vek.registry: run a registry server."""

import argparse
import sys

from .limits import ServeLimits
from .server import serve
from .store import StoreUnavailable


def main() -> None:
    parser = argparse.ArgumentParser(prog="python -m did_vek.registry", description="Run a did:vek registry.")
    parser.add_argument("--db", default="did-vek-registry.sqlite3",
                        help="SQLite file, or a postgresql:// URL (default: %(default)s)")
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default: %(default)s)")
    parser.add_argument("--port", type=int, default=8080, help="port to listen on (default: %(default)s)")
    parser.add_argument("--workers", type=int, default=1, help="server processes (default: %(default)s)")
    defaults = ServeLimits()
    parser.add_argument("--max-connections", type=int, default=defaults.max_connections,
                        help="connections open at once per process (default: %(default)s)")
    parser.add_argument("--idle-timeout", type=float, default=defaults.idle_timeout,
                        help="seconds a kept-alive connection may stay idle (default: %(default)s)")
    parser.add_argument("--request-timeout", type=float, default=defaults.request_timeout,
                        help="seconds for a request to arrive whole, and for each part of an answer to be"
                             " taken (default: %(default)s)")
    arguments = parser.parse_args()
    if arguments.workers < 1 or arguments.max_connections < 1:
        parser.error("--workers and --max-connections must be at least 1")
    if not arguments.idle_timeout > 0 or not arguments.request_timeout > 0:
        parser.error("--idle-timeout and --request-timeout must be above 0")
    limits = ServeLimits(max_connections=arguments.max_connections, idle_timeout=arguments.idle_timeout,
                         request_timeout=arguments.request_timeout)
    try:
        serve(arguments.db, host=arguments.host, port=arguments.port, workers=arguments.workers, limits=limits)
    except StoreUnavailable as error:
        # As the did-vek commands do: a store that cannot be reached is exit status 2.
        print(f"{parser.prog}: {error}", file=sys.stderr)
        sys.exit(2)


if __name__ == "__main__":
    main()
