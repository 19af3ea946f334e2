#!/usr/bin/env bash
# Builds the Python module against the pybind11 2.13 series, in a virtual environment of
# its own (build/venv-pybind11-2.13), and runs the module's surface tests against it:
# the older series must keep building and behaving the same.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
ensure_venv

venv=build/venv-pybind11-2.13
build=build/pybind11-2.13
[[ -x "$venv/bin/python" ]] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check "pybind11>=2.13,<2.14" pytest \
    hypothesis numpy
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_BUILD_PYTHON=ON \
    -DORVANE_BUILD_TESTS=OFF -DPython_EXECUTABLE="$PWD/$venv/bin/python" >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
PATH="$PWD/$build/tools:$PATH" PYTHONPATH="$PWD/$build" "$venv/bin/python" -m pytest -q \
    -p no:cacheprovider tests/test_module.py tests/test_varnix3.py tests/test_handle.py \
    tests/test_stream_classes.py tests/test_hostile_callers.py
