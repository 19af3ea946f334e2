#!/usr/bin/env bash
# Installs the package with its plotting extra and runs the main job, orvane-demo: a
# haptic loop against the simulated arm that comes with the package, then a simulated
# handle. Arguments go to orvane-demo (for example --seconds 10, or --port /dev/ttyACM0
# for a real arm). The plot lands in orvane-demo.png in the current folder.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore "$here[plot]"

# The command is on PATH once installed; the environment's scripts folder is the fallback
# for shells whose PATH does not include it yet.
demo=$(command -v orvane-demo ||
    python3 -c 'import sysconfig; print(sysconfig.get_path("scripts") + "/orvane-demo")')
exec "$demo" "$@"
