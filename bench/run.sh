#!/usr/bin/env bash
# One command for the whole benchmark: installs what it needs (strace and valgrind from
# Debian, pyserial and the build tools from PyPI into .venv; nothing is installed twice), builds the
# library, the Python module and the bench programs in build/bench, runs every client
# against the same device peer and writes bench/results/latest.json.
#
#   bash bench/run.sh            # the full run, about two minutes
#   bash bench/run.sh --quick    # fewer exchanges, for a smoke run
#   bash bench/run.sh --servo    # the servo-loop benchmark instead (bench/servo.py), against
#                                # orvane-sim; writes bench/results/servo.json
#   bash bench/run.sh --ports    # the cost of one port open among 2,000 processes holding
#                                # 10 and 50 files each (bench/open_cost.cpp), as the machine
#                                # is and again beside two CPU burners; writes
#                                # bench/results/ports.json
#   bash bench/run.sh --bridge   # the bridge's round trip over zenoh on loopback and the
#                                # recording under load (bench/bridge.py, which runs
#                                # bench/record.py for 60 s); writes
#                                # bench/results/bridge.json
#   bash bench/run.sh --scenes   # couplings and MuJoCo scenes on the servo loop at 1 kHz,
#                                # with and without a GC-busy thread (bench/scenes.py);
#                                # writes bench/results/scenes.json
# Further options go to bench/bench.py (--only KEYS, --status-data N, --keep-profiles).
# Exit status 1 means a target was missed (see "Targets" at the end of the output).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

if [[ "${1:-}" == "--ports" ]]; then
    shift
    cmake -S . -B build/ports -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANE_BUILD_BENCH=ON \
        -DORVANE_BUILD_PYTHON=OFF -DORVANE_BUILD_TESTS=OFF -DORVANE_BUILD_TOOLS=OFF >/dev/null
    cmake --build build/ports -j 2 --target orvane-bench-open >/dev/null
    mkdir -p bench/results
    {
        build/ports/bench/orvane-bench-open "$@"
        build/ports/bench/orvane-bench-open --burners 2 "$@"
    } | tee bench/results/ports.json
    exit 0
fi

if [[ "${1:-}" == "--bridge" ]]; then
    shift
    ensure_venv eclipse-zenoh mcap
    cmake -S . -B build/servo -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANE_BUILD_PYTHON=ON \
        -DORVANE_BUILD_TESTS=OFF -DORVANE_BUILD_TOOLS=ON \
        -Dpybind11_DIR="$(python3 -m pybind11 --cmakedir)" >/dev/null
    cmake --build build/servo -j 2 >/dev/null
    exec python3 bench/bridge.py --build build/servo "$@"
fi

ensure_debian_packages strace valgrind

ensure_venv pyserial

if [[ "${1:-}" == "--servo" ]]; then
    shift
    cmake -S . -B build/servo -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANE_BUILD_PYTHON=ON \
        -DORVANE_BUILD_TESTS=OFF -DORVANE_BUILD_TOOLS=ON -DORVANE_BUILD_BENCH=ON \
        -Dpybind11_DIR="$(python3 -m pybind11 --cmakedir)" >/dev/null
    cmake --build build/servo -j 2 >/dev/null
    exec python3 bench/servo.py --build build/servo "$@"
fi

if [[ "${1:-}" == "--scenes" ]]; then
    shift
    ensure_venv "mujoco==$orvane_mujoco_version"
    cmake -S . -B build/servo -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANE_BUILD_PYTHON=ON \
        -DORVANE_BUILD_TESTS=OFF -DORVANE_BUILD_TOOLS=ON -DORVANE_BUILD_BENCH=ON \
        -Dpybind11_DIR="$(python3 -m pybind11 --cmakedir)" >/dev/null
    cmake --build build/servo -j 2 >/dev/null
    exec python3 bench/scenes.py --build build/servo "$@"
fi

# Release, as the installed module is built; two jobs at most on these machines.
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANE_BUILD_BENCH=ON \
    -DORVANE_BUILD_PYTHON=ON -DORVANE_BUILD_TESTS=OFF -DORVANE_BUILD_TOOLS=OFF \
    -DPython_EXECUTABLE="$orvane_python" >/dev/null
cmake --build build/bench -j 2 >/dev/null

exec "$orvane_python" bench/bench.py --build build/bench "$@"
