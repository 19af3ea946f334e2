#!/usr/bin/env bash
# Checks the type stubs against the modules installed into .venv (install_project first):
# every name, signature and property the stubs declare exists at run time and the other way
# round, so what type-checks also runs. The allowlist holds what no stub can say.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
ensure_venv

# From a scratch folder, so the repository's own folders are not on the path.
work=$(mktemp -d /tmp/orvane-stubs.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$orvane_python" -m mypy.stubtest --allowlist "$orvane_root/scripts/stubtest-allowlist.txt" \
    OrvaneHardwareAPI orvane orvane.haptics orvane._haptics
