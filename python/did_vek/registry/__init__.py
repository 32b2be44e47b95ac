"""The did:vek registry: stores the versions of DIDs, accepts only valid ones, serves them over HTTP.

Needs the `registry` extra (Starlette, uvicorn, psycopg); the rest of `did_vek` does not.
"""

from .app import create_app
from .engines import open_store
from .importer import ImportRefused, import_lines
from .log_writer import open_log
from .server import serve
from .store import Store

__all__ = ["open_store", "open_log", "create_app", "serve", "import_lines", "ImportRefused", "Store"]
