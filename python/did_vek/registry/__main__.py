"""python -m did_vek.registry: run a registry server, as `did-vek serve` does."""

import argparse
import sys

from .._cli_common import add_serve_limits, port_argument, serve_limits, workers_argument
from .limits import ServeLimits
from .server import CannotListen, serve
from .store import StoreUnavailable


def main() -> None:
    parser = argparse.ArgumentParser(prog="python -m did_vek.registry", description="Run a did:vek registry.")
    parser.add_argument("--db", default="did-vek-registry.sqlite3",
                        help="SQLite file, or a postgresql:// URL (default: %(default)s)")
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default: %(default)s)")
    parser.add_argument("--port", type=port_argument, default=8080, help="port to listen on (default: %(default)s)")
    parser.add_argument("--workers", type=workers_argument, default=1,
                        help="server processes (default: %(default)s)")
    add_serve_limits(parser)
    arguments = parser.parse_args()
    try:
        serve(arguments.db, host=arguments.host, port=arguments.port, workers=arguments.workers,
              limits=ServeLimits(**serve_limits(arguments)))
    except (CannotListen, StoreUnavailable) as error:
        # As the did-vek commands do: an address or a store that cannot be used is exit status 2.
        print(f"{parser.prog}: {error}", file=sys.stderr)
        sys.exit(2)


if __name__ == "__main__":
    main()
