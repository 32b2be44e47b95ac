# The benchmarks' own parts, tested apart from the product's suite: python -m pytest benchmarks/tests
# (the registry extra and PostgreSQL's server programs installed, as for `make test`).
import importlib.util
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path[:0] = [str(ROOT / "benchmarks"), str(ROOT / "tests" / "python")]

# The product suite's private PostgreSQL, under a name of its own: two modules named conftest
# cannot both be imported as such.
_spec = importlib.util.spec_from_file_location("product_conftest", ROOT / "tests" / "python" / "conftest.py")
assert _spec is not None and _spec.loader is not None
_product = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_product)
postgres_server = _product.postgres_server
postgres_db = _product.postgres_db
db = _product.db
log_key_file = _product.log_key_file
