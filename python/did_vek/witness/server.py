"""Running a witness: one process over one state file, served as the registry is served."""

from ..registry.server import run_uvicorn
from .app import create_app
from .protocol import Witness


def serve(witness: Witness, host: str = "127.0.0.1", port: int = 8080) -> None:
    """Serve `witness` until interrupted."""
    run_uvicorn(create_app(witness), host=host, port=port)
