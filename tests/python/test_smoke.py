import did_vek_core


def test_imports():
    assert did_vek_core.__version__ == "0.1.0"
