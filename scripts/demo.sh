#!/usr/bin/env bash
# Installs the module and runs its main job.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore .
python3 -c 'import OrvaneHardwareAPI as api; api.print_cpp_version()'
