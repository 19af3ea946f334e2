#!/usr/bin/env bash
# Runs the whole Python suite against a module built with AddressSanitizer and
# UndefinedBehaviorSanitizer. The interpreter is not instrumented, so the sanitizer runtime
# is preloaded into it; leak checking is off (the interpreter keeps memory until exit by
# design). Any sanitizer report fails the run: it aborts the process, and reports are
# written to files (pytest's capture would swallow them) that are printed and counted.
#
#   PYTEST_ARGS   extra pytest arguments, for example "-k hostile"
#
# The soak and property tests run smaller here, since the sanitizers slow every call (and
# hold freed memory back, so memory is not judged); ORVANE_SOAK_* and
# ORVANE_PROPERTY_EXAMPLES given by the caller win.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
ensure_venv

# The sanitized build of the C++ suite (scripts/test-all.sh), with the Python modules: one
# compile of the library for both.
build=build/asan
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORVANE_SANITIZE=ON \
    -DORVANE_BUILD_PYTHON=ON -DPython_EXECUTABLE="$orvane_python" >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null

module=$(find "$build" -maxdepth 1 -name 'OrvaneHardwareAPI*.so' | head -n 1)
[[ -n "$module" ]] || { echo "no module built in $build"; exit 1; }
runtime=$(${CXX:-c++} -print-file-name=libasan.so)
[[ -f "$runtime" ]] || { echo "no sanitizer runtime found ($runtime)"; exit 1; }
# The C++ runtime is preloaded too: the interpreter does not link it, and without it at
# start-up the sanitizer cannot intercept the throwing of C++ exceptions.
cxx_runtime=$(${CXX:-c++} -print-file-name=libstdc++.so)
# The project environment's interpreter itself, not a launcher script in front of it.
python=$orvane_python

log="$build/pytest.log"
reports="$PWD/$build/sanitizer-report"
rm -f "$reports".*
status=0
# PATH lets the tests find the tools built alongside the module (the device simulator).
PATH="$PWD/$build/tools:$PATH" PYTHONPATH="$PWD/$build" LD_PRELOAD="$runtime $cxx_runtime" \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:log_path="$reports" \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path="$reports" \
    PYTHONMALLOC=malloc ORVANE_SANITIZED=1 \
    ORVANE_SOAK_EXCHANGES="${ORVANE_SOAK_EXCHANGES:-10000}" \
    ORVANE_SOAK_STREAMS="${ORVANE_SOAK_STREAMS:-1000}" \
    ORVANE_PROPERTY_EXAMPLES="${ORVANE_PROPERTY_EXAMPLES:-15}" \
    "$python" -m pytest -q -p no:cacheprovider ${PYTEST_ARGS:-} tests 2>&1 | tee "$log" ||
    status=$?

if compgen -G "$reports.*" >/dev/null ||
    grep -qE 'ERROR: AddressSanitizer|runtime error:|ERROR: LeakSanitizer' "$log"; then
    cat "$reports".* 2>/dev/null | head -n 60 || true
    echo "sanitizer report in the Python suite: see $reports.* and $log"
    exit 1
fi
exit "$status"
