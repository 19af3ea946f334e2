#!/usr/bin/env bash
# Installs everything the tests need, then runs every suite: the C++ suite through CTest
# (plain, then under AddressSanitizer and UndefinedBehaviorSanitizer) and the Python suite
# through pytest against the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
pybind11_dir=$(python3 -m pybind11 --cmakedir)

echo "== C++ suite"
cmake -S . -B build/ctest -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DORVANE_BUILD_TESTS=ON -Dpybind11_DIR="$pybind11_dir" >/dev/null
cmake --build build/ctest -j "$jobs"
ctest --test-dir build/ctest --output-on-failure -j "$jobs"

echo "== C++ suite under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORVANE_SANITIZE=ON \
    -DORVANE_BUILD_TESTS=ON -Dpybind11_DIR="$pybind11_dir" >/dev/null
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/asan --output-on-failure -j "$jobs"

echo "== Python suite"
python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore .
python3 -m pytest -q tests

echo "== Windows backend, cross-compiled and run under wine"
bash scripts/test-windows.sh

echo "== Fuzzing the decoders and the port listing"
bash scripts/test-fuzz.sh

echo "== Python suite against the module built with the sanitizers"
bash scripts/test-python-asan.sh
