#!/usr/bin/env bash
# Installs the package with its plotting extra into the project's virtual environment
# (.venv, made on first use) and runs the main job, orvane-demo: a haptic loop against the
# simulated arm that comes with the package, then a simulated handle. Arguments go to
# orvane-demo (for example --seconds 10, --port /dev/ttyACM0 for a real arm, or --scene mujoco,
# which installs the mujoco extra too). The plot
# lands in orvane-demo.png in the current folder. The machine's own Python is not changed.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ensure_venv
extras=plot
# A MuJoCo scene needs the mujoco package as well.
[[ " $* " == *" --scene "* || " $* " == *" --scene="* ]] && extras=plot,mujoco
install_project "$extras"
exec "$orvane_venv/bin/orvane-demo" "$@"
