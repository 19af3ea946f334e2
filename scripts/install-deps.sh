#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine: the compilers and
# CMake come with the machine; GoogleTest and friends from Debian, the Python tools into
# the project's virtual environment (.venv).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ensure_debian_packages libgtest-dev clang-format strace "${orvane_build_packages[@]}"
ensure_venv
