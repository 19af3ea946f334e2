#!/usr/bin/env bash
# Builds the package against another MuJoCo release (default: the newest 3.x, lib.sh's
# orvane_mujoco_older) in a virtual environment of its own, build/venv-mujoco-RELEASE, and
# runs the scene tests there: the build takes that release's layouts from its headers.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
release=${1:-$orvane_mujoco_older}

venv=build/venv-mujoco-$release
[[ -x "$venv/bin/python" ]] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check "mujoco==$release" \
    "pybind11>=3" "scikit-build-core>=0.10" cmake ninja pytest hypothesis numpy
# The project's own build folder for this release; the installed MuJoCo must stay as it is.
PATH="$PWD/$venv/bin:$PATH" "$venv/bin/python" -m pip install -q --disable-pip-version-check \
    --no-build-isolation --config-settings=build-dir="build/mujoco-$release" ".[mujoco]"
"$venv/bin/python" -c "import mujoco, sys; sys.exit(mujoco.__version__ != '$release')" || {
    echo "the [mujoco] extra changed MuJoCo $release" >&2
    exit 1
}
PATH="$PWD/$venv/bin:$PATH" "$venv/bin/python" -m pytest -q -p no:cacheprovider \
    tests/test_scenes.py tests/test_touch.py tests/test_scene_safety.py \
    tests/test_tools.py::test_demo_pushes_a_box_in_a_mujoco_scene
