#!/usr/bin/env bash
# Installs the C++ library from a configured build folder into a scratch prefix, then
# configures and builds examples/cpp-consumer against it through find_package, as a program
# outside this project would, and runs it against the build folder's simulated arm.
#
#   bash scripts/test-cpp-package.sh [BUILD_DIR]    (default build/ctest)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
ensure_venv

build=${1:-build/ctest}
[[ -f "$build/CMakeCache.txt" ]] || { echo "$build is not a configured build folder"; exit 1; }
work=$(mktemp -d /tmp/orvane-package.XXXXXX)
sim_pid=
cleanup() {
    [[ -z "$sim_pid" ]] || kill "$sim_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

cmake --build "$build" --target OrvaneLibrary orvane-sim -j "$(nproc)" >/dev/null
cmake --install "$build" --prefix "$work/prefix" --component Development >/dev/null
cmake -S examples/cpp-consumer -B "$work/build" -G Ninja \
    -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/build" >/dev/null
# The simulator prints its port as its first line.
"$build/tools/orvane-sim" arm --device-id 7 >"$work/sim.out" &
sim_pid=$!
for _ in $(seq 50); do [[ -s "$work/sim.out" ]] && break; sleep 0.1; done
port=$(head -n 1 "$work/sim.out")
out=$("$work/build/cpp-consumer" "$port")
echo "$out"
[[ "$out" == "library 0.1.1: arm 7, model 4,"* ]] || { echo "unexpected answer from the consumer"; exit 1; }
