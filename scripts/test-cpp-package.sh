#!/usr/bin/env bash
# Installs the C++ library from a configured build folder into a scratch prefix, then
# configures and builds the programs in examples/cpp against it through find_package, as a
# program outside this project would, and runs them against the build folder's simulated
# arm: the arm's identity, then the servo loop, which must leave the arm at zero force.
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
cmake -S examples/cpp -B "$work/build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/build" >/dev/null

# start_sim ARGS...: an orvane-sim arm on a pseudo-terminal; sets $port.
start_sim() {
    : >"$work/sim.out"
    "$build/tools/orvane-sim" arm "$@" >"$work/sim.out" &
    sim_pid=$!
    for _ in $(seq 50); do [[ -s "$work/sim.out" ]] && break; sleep 0.1; done
    port=$(head -n 1 "$work/sim.out")
}
stop_sim() {
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=
}

start_sim --device-id 7
out=$("$work/build/wake_arm" "$port")
echo "$out"
[[ "$out" == "library 0.1.1: arm 7, model 4,"* ]] || { echo "unexpected answer from wake_arm"; exit 1; }
stop_sim

start_sim --trace "$work/trace"
out=$("$work/build/servo_loop" "$port")
stop_sim
echo "$out"
# The push took the arm into the wall 5 mm in front of it, and the last request on the wire
# is a zero force.
depth=$(sed -n 's/^pushed \([0-9.]*\) mm.*/\1/p' <<<"$out")
awk -v d="$depth" 'BEGIN { exit !(d > 5.0) }' || { echo "servo_loop never reached the wall"; exit 1; }
last=$(awk 'NF == 5 { f = $3 " " $4 " " $5 } END { print f }' "$work/trace")
awk -v f="$last" 'BEGIN { split(f, v, " "); exit !(v[1] == 0 && v[2] == 0 && v[3] == 0) }' ||
    { echo "servo_loop left a force on the arm: $last"; exit 1; }
