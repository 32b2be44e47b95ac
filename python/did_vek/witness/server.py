"""Running a witness under uvicorn: one process over one state file."""

from .app import create_app
from .protocol import Witness


def serve(witness: Witness, host: str = "127.0.0.1", port: int = 8080) -> None:
    """Serve `witness` until interrupted."""
    import uvicorn

    uvicorn.run(create_app(witness), host=host, port=port, log_level="warning", proxy_headers=False,
                server_header=False)
