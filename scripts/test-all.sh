#!/usr/bin/env bash
# Installs everything the tests need, then runs every suite: the C++ suite through CTest
# (plain, then under AddressSanitizer and UndefinedBehaviorSanitizer), a program built
# against the installed C++ package, the wheel (built once and repaired to manylinux) with the
# Python suite against it in a fresh environment, the scene tests of that same wheel with the
# oldest MuJoCo release it steps, the type stubs against the
# installed modules, the module built with the older pybind11 series, mypy over examples/,
# the Windows backend, the fuzz targets and the Python suite against a sanitized module. The machine's own Python is not changed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

bash scripts/install-deps.sh
ensure_venv

jobs=$(nproc)

echo "== C++ suite"
cmake -S . -B build/ctest -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DORVANE_BUILD_TESTS=ON >/dev/null
cmake --build build/ctest -j "$jobs"
ctest --test-dir build/ctest --output-on-failure -j "$jobs"

echo "== C++ suite under AddressSanitizer and UndefinedBehaviorSanitizer"
# With the Python modules too: the sanitized Python suite at the end uses this build.
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORVANE_SANITIZE=ON \
    -DORVANE_BUILD_TESTS=ON -DORVANE_BUILD_PYTHON=ON -DPython_EXECUTABLE="$orvane_python" >/dev/null
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/asan --output-on-failure -j "$jobs" -E Mujoco
# MuJoCo keeps process-wide allocations of its own (its parser's and plugin tables) that it
# never frees; its library is loaded and closed at run time, so no suppression can name it.
# The scene tests still run under both sanitizers, without the leak check.
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/asan --output-on-failure -j "$jobs" -R Mujoco

echo "== The servo loop's C++ tests under ThreadSanitizer"
# Only the loop and the lock-free parts it is built from: the rest of the suite has no
# threads to race.
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_BUILD_TESTS=ON \
    -DORVANE_BUILD_TOOLS=OFF -DORVANE_BUILD_PYTHON=OFF \
    -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
    -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread >/dev/null
cmake --build build/tsan -j "$jobs" --target orvane_library_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --test-dir build/tsan \
    --output-on-failure -j "$jobs" -R 'ServoLoop|EffectSlots|Pacer|LatestValue|HistoryRing|Histogram'

echo "== A program built against the installed C++ package"
bash scripts/test-cpp-package.sh build/ctest

echo "== The wheel: built once, repaired to manylinux, the Python suite against it installed fresh"
wheel=$(bash scripts/build-wheel.sh)
bash scripts/test-wheel.sh "$wheel"
# The later stages (stubs, type checks, the other MuJoCo release) see the same wheel.
"$orvane_python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$wheel"
"$orvane_python" -m pip install -q --disable-pip-version-check "$wheel[test]"

echo "== The extras' oldest releases against the same wheel"
bash scripts/test-extras-oldest.sh "$wheel"

echo "== The scene tests of the same build with the oldest MuJoCo it steps"
bash scripts/test-mujoco-release.sh "$orvane_mujoco_older" "$wheel"

echo "== The type stubs against the installed modules"
bash scripts/test-stubs.sh

echo "== The module built with pybind11 2.13"
bash scripts/test-pybind11-213.sh

echo "== Type check of examples/"
"$orvane_python" -m mypy --check-untyped-defs examples

echo "== Windows backend, cross-compiled and run under wine"
bash scripts/test-windows.sh

echo "== Fuzzing the decoders and the port listing"
bash scripts/test-fuzz.sh

echo "== Python suite against the module built with the sanitizers"
bash scripts/test-python-asan.sh
