#!/usr/bin/env bash
# Runs the scene tests of the package as built for .venv with another MuJoCo release (default
# the oldest the library steps, lib.sh's orvane_mujoco_older) in a virtual environment of its
# own, build/venv-mujoco-RELEASE: one build serves every release it has a layout for.
#
#   bash scripts/test-mujoco-release.sh [RELEASE [WHEEL]]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
release=${1:-$orvane_mujoco_older}
ensure_venv

# The wheel the rest of CI tests (scripts/build-wheel.sh), or one built now.
wheel=${2:-$(bash scripts/build-wheel.sh)}

venv=build/venv-mujoco-$release
[[ -x "$venv/bin/python" ]] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check "mujoco==$release" \
    pytest hypothesis numpy
# The installed MuJoCo must stay as it is.
"$venv/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps \
    "$wheel"
"$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel[mujoco]"
"$venv/bin/python" -c "import mujoco, sys; sys.exit(mujoco.__version__ != '$release')" || {
    echo "the [mujoco] extra changed MuJoCo $release" >&2
    exit 1
}
# The library's row for this release is what the release's own headers say.
include=$("$venv/bin/python" -c "import mujoco, os; print(os.path.dirname(mujoco.__file__))")/include
"${CXX:-c++}" -std=c++20 -I "$include" -I Library/src -I Library/include \
    scripts/mujoco-layout-row.cpp -o "$venv/layout-row"
diff <(sed -n "\|^// MuJoCo $release\$|,/^},\$/p" Library/src/haptics/MujocoLayouts.inc | tail -n +2) \
    <("$venv/layout-row") || {
    echo "the row of MuJoCo $release is not what its headers say: run scripts/update-mujoco-layouts.sh" >&2
    exit 1
}
PATH="$PWD/$venv/bin:$PATH" "$venv/bin/python" -m pytest -q -p no:cacheprovider \
    tests/test_scenes.py tests/test_touch.py tests/test_scene_safety.py \
    tests/test_tools.py::test_demo_pushes_a_box_in_a_mujoco_scene
