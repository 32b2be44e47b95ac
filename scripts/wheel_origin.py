"""pytest plugin of check-wheels: stops the run unless did_vek_core and did_vek, as the
collected tests imported them, come from the environment under test (sys.prefix)."""

import importlib
import os
import sys

import pytest


def pytest_collection_finish(session):
    prefix = os.path.realpath(sys.prefix) + os.sep
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    for name in ("did_vek_core", "did_vek"):
        module = sys.modules.get(name) or importlib.import_module(name)
        origin = os.path.realpath(module.__file__)
        if not origin.startswith(prefix):
            pytest.exit(f"check-wheel: {name} was imported from {origin}, not from {sys.prefix}", returncode=1)
        reporter.write_line(f"check-wheel: {name} from {origin}")
