#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine: the compilers and
# CMake come with the machine; GoogleTest and friends from Debian, the rest from PyPI.
set -euo pipefail

apt_packages=(libgtest-dev clang-format strace)
missing=()
for p in "${apt_packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}"
fi

python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore \
    "pybind11>=2.13,<2.14" "scikit-build-core>=0.10" cmake ninja pytest hypothesis
