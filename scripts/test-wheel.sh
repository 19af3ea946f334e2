#!/usr/bin/env bash
# Installs a built wheel (scripts/build-wheel.sh) with its test extra into a fresh virtual
# environment and runs the Python suite against it: what users install is what is tested,
# with no compiler involved and nothing from the checkout on the import path.
#
#   bash scripts/test-wheel.sh dist/OrvaneHardwareAPI-...whl [PYTEST ARGS...]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

wheel=$1
shift
venv=build/venv-wheel
rm -rf "$venv"
python3 -m venv "$venv" 2>/dev/null || { ensure_debian_packages python3-venv; python3 -m venv "$venv"; }
SECONDS=0
"$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel[test]"
echo "installed $(basename "$wheel") with its test extra in ${SECONDS} s"

# The tools must come from the wheel: a suite that found no simulator would skip its tests.
sim=$(PATH="$PWD/$venv/bin:$PATH" command -v orvane-sim)
[[ "$sim" == "$PWD/$venv/bin/orvane-sim" ]] || { echo "orvane-sim is not the wheel's: $sim"; exit 1; }
"$venv/bin/python" - <<'PY'
import os, sys
import OrvaneHardwareAPI, orvane
for module in (OrvaneHardwareAPI, orvane):
    if not os.path.realpath(module.__file__).startswith(os.path.realpath(sys.prefix)):
        sys.exit(f"{module.__name__} comes from {module.__file__}, not the wheel")
PY
PATH="$PWD/$venv/bin:$PATH" VIRTUAL_ENV="$PWD/$venv" \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" tests
