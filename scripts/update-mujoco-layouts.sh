#!/usr/bin/env bash
# Writes Library/src/haptics/MujocoLayouts.inc, the structure layouts of the MuJoCo releases
# the library can step (lib.sh's orvane_mujoco_releases, or the releases given): for each it
# fetches that release's wheel, compiles scripts/mujoco-layout-row.cpp against the headers
# inside and keeps what the program prints. Run it after changing the list, and commit the
# result; the build itself needs no MuJoCo.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
releases=("$@")
((${#releases[@]})) || releases=("${orvane_mujoco_releases[@]}")
mapfile -t releases < <(printf '%s\n' "${releases[@]}" | sort -V -u)

work=build/mujoco-layouts
python=$(command -v python3)
[[ -x "$orvane_python" ]] && python=$orvane_python
cxx=${CXX:-c++}
out=Library/src/haptics/MujocoLayouts.inc
rows=$(mktemp)
trap 'rm -f "$rows"' EXIT
for release in "${releases[@]}"; do
    dir=$work/$release
    # The headers are in the mujoco wheel up to 3.x, in its mujoco-core part from 4.0 on.
    for package in mujoco mujoco-core; do
        [[ -f "$dir/include/mujoco/mujoco.h" ]] && break
        rm -rf "$dir" && mkdir -p "$dir"
        "$python" -m pip download -q --disable-pip-version-check --no-deps --only-binary=:all: \
            -d "$dir" "$package==$release"
        "$python" -c 'import glob, sys, zipfile
for file in glob.glob(sys.argv[1] + "/*.whl"):
    with zipfile.ZipFile(file) as wheel:
        for name in wheel.namelist():
            if name.startswith("mujoco/include/"):
                wheel.extract(name, sys.argv[1] + "/wheel")' "$dir"
        if [[ -d "$dir/wheel/mujoco/include" ]]; then
            mv "$dir/wheel/mujoco/include" "$dir/include"
        fi
        rm -rf "$dir/wheel" "$dir"/*.whl
    done
    if [[ ! -f "$dir/include/mujoco/mujoco.h" ]]; then
        echo "no wheel of MuJoCo $release for this machine ships its headers" >&2
        exit 1
    fi
    "$cxx" -std=c++20 -I "$dir/include" -I Library/src -I Library/include \
        scripts/mujoco-layout-row.cpp -o "$dir/row"
    echo "// MuJoCo $release" >>"$rows"
    "$dir/row" >>"$rows"
done
{
    echo "// Written by scripts/update-mujoco-layouts.sh from each release's own headers; do not edit."
    cat "$rows"
} >"$out"
echo "$out: ${releases[*]}"
