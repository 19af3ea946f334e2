#!/usr/bin/env bash
# Checks the type stubs against the modules installed into .venv (install_project first):
# every name, signature and property the stubs declare exists at run time and the other way
# round, so what type-checks also runs (orvane with its submodules: haptics, _haptics,
# demo). The allowlist holds what no stub can say.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
ensure_venv

# From a scratch folder, so the repository's own folders are not on the path.
work=$(mktemp -d /tmp/orvane-stubs.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
# The demo plots with matplotlib when it is there (the plot extra); it need not be here.
printf '[mypy]\n[mypy-matplotlib.*]\nignore_missing_imports = True\n' >mypy.ini
"$orvane_python" -m mypy.stubtest --mypy-config-file mypy.ini \
    --allowlist "$orvane_root/scripts/stubtest-allowlist.txt" \
    OrvaneHardwareAPI orvane
