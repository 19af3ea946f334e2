#!/usr/bin/env bash
# The other end of every extra's range: a built wheel installed into a fresh virtual
# environment with the oldest release each extra allows (pyproject.toml), and the tests of
# what those extras serve (the bridge, recordings, plots, the live view) run against it.
#
#   bash scripts/test-extras-oldest.sh dist/OrvaneHardwareAPI-...whl
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

wheel=$1
venv=build/venv-extras-oldest
rm -rf "$venv"
python3 -m venv "$venv"
# The lower bounds of the plot, record and bridge extras, exactly.
oldest=$("$orvane_python" - <<'PY'
import re, tomllib
extras = tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]
pins = []
for extra in ("plot", "record", "bridge", "live"):
    for requirement in extras[extra]:
        name, low = re.match(r"([A-Za-z0-9_.-]+)\s*>=\s*([0-9.]+)", requirement).groups()
        if f"{name}=={low}" not in pins:
            pins.append(f"{name}=={low}")
print(" ".join(pins))
PY
)
echo "oldest extras: $oldest"
# shellcheck disable=SC2086
"$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel" $oldest pytest hypothesis websockets protobuf
PATH="$PWD/$venv/bin:$PATH" VIRTUAL_ENV="$PWD/$venv" "$venv/bin/python" -m pytest -q \
    -p no:cacheprovider tests/test_bridge.py tests/test_recording.py tests/test_live.py \
    tests/test_tools.py -k "not mujoco"
