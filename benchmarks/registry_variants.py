"""The registry with store settings that its command line does not offer, for comparison only.

    uvicorn registry_variants:sqlite_normal --factory --app-dir benchmarks   (store: $DID_VEK_BENCH_DB)
"""

import os

from starlette.applications import Starlette

from did_vek.registry import create_app
from did_vek.registry.sqlite import SqliteStore

DB_VARIABLE = "DID_VEK_BENCH_DB"


def sqlite_normal() -> Starlette:
    """SQLite syncing its log only at checkpoints: an acknowledged version survives a killed
    process, but a power loss can take the last ones."""
    return create_app(SqliteStore(os.environ[DB_VARIABLE], synchronous="NORMAL"))
