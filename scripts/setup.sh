#!/usr/bin/env bash
# Installs what is missing (Debian packages, a virtual environment, the package with its
# extras) and does nothing else when everything is in place.
# Usage: setup.sh VENV EXTRAS [PYTHON]; without PYTHON, scripts/find-python chooses one.
set -euo pipefail
venv=$1
extras=$2
python=${3:-}

packages=(g++ make pkg-config libssl-dev libsodium-dev nlohmann-json3-dev doctest-dev)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing Debian packages: ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

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

echo "setup: building and installing did-vek-core[$extras]"
"$venv/bin/python" -m pip install -q ".[$extras]"
