#!/usr/bin/env bash
# Installs what is missing (Debian packages, a virtual environment, the package with its
# extras) and does nothing else when everything is in place.
# Usage: setup.sh VENV EXTRAS [PYTHON]; without PYTHON, scripts/find-python chooses one.
set -euo pipefail
venv=$1
extras=$2
python=${3:-}

# nlohmann/json and doctest are for the C++ tests only: nlohmann/json is their independent
# reader and writer, which the core's JSON is compared against byte for byte.
"$(dirname "$0")/ensure-debian-packages" g++ make pkg-config libssl-dev libsodium-dev nlohmann-json3-dev doctest-dev
# The registry reaches PostgreSQL through libpq; its tests start a private PostgreSQL server.
"$(dirname "$0")/ensure-debian-packages" libpq5 postgresql
# The registry's benchmarks load the servers with wrk and serve a baseline from nginx.
case ",$extras," in
    *,bench,*) "$(dirname "$0")/ensure-debian-packages" wrk nginx ;;
esac

[ -n "$python" ] || python=$("$(dirname "$0")/find-python")
version() { "$1" -c 'import sys; print(sys.version_info[:2])' 2>/dev/null; }
if [ ! -x "$venv/bin/python" ] || [ "$(version "$venv/bin/python")" != "$(version "$python")" ]; then
    echo "setup: creating $venv with $python"
    rm -rf "$venv"
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
fi

# The C++ unit tests are built with the same CMake and Ninja as the module.
if ! "$venv/bin/python" -c 'import cmake, ninja' >/dev/null 2>&1; then
    echo "setup: installing cmake and ninja into $venv"
    "$venv/bin/python" -m pip install -q cmake ninja
fi

# The distribution was called did-vek-core before the did_vek package joined it.
if "$venv/bin/python" -m pip show -q did-vek-core >/dev/null 2>&1; then
    "$venv/bin/python" -m pip uninstall -y -q did-vek-core
fi
echo "setup: building and installing did-vek[$extras]"
"$venv/bin/python" -m pip install -q ".[$extras]"
