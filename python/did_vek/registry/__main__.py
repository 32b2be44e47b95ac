"""python -m did_vek.registry: run a registry server, as `did-vek serve` does."""

import argparse
import sys

from .._cli_common import add_serve_limits, port_argument, serve_limits, workers_argument
from .limits import ServeLimits
from .server import CannotListen, UnusableCertificate, serve
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
    parser.add_argument("--tls-cert", metavar="FILE", help="serve HTTPS with this PEM certificate (chain)")
    parser.add_argument("--tls-key", metavar="FILE", help="the PEM private key of --tls-cert")
    arguments = parser.parse_args()
    try:
        serve(arguments.db, host=arguments.host, port=arguments.port, workers=arguments.workers,
              limits=ServeLimits(**serve_limits(arguments)), tls_cert=arguments.tls_cert, tls_key=arguments.tls_key)
    except (CannotListen, StoreUnavailable, UnusableCertificate) as error:
        # As the did-vek commands do: an address, a store or a certificate that cannot be used is exit status 2.
        print(f"{parser.prog}: {error}", file=sys.stderr)
        sys.exit(2)


if __name__ == "__main__":
    main()
