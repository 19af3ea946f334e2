#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine: the compilers and
# CMake come with the machine; GoogleTest and friends from Debian, the rest from PyPI.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ensure_debian_packages libgtest-dev clang-format strace

python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore \
    "pybind11>=2.13,<2.14" "scikit-build-core>=0.10" cmake ninja pytest hypothesis
