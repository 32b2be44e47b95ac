# The store every store-level and HTTP test runs against, fresh for each test.
import pytest


@pytest.fixture
def db(tmp_path):
    """A store spec for open_store / create_app: a new SQLite file."""
    return str(tmp_path / "registry.sqlite3")
