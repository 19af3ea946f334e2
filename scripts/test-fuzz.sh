#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs each one for a bounded time, all at once. Fails on any finding: a crash, a
# sanitizer report, a leak, a broken check, a slow input or a target that ran too little.
#
#   ORVANE_FUZZ_SECONDS   run time of each target, default 30 (nightly: 3600 or more)
#   ORVANE_FUZZ_TARGETS   targets to run, default all: handle_receive varnix3_receive port_listing
#                         mcap_reader codec_frames record_message
#
# The corpus each run grows is kept in build/fuzz/corpus/<target> and reused by the next
# run; the seeds in fuzz/corpus/<target> are read, never written. Findings are saved as
# build/fuzz/findings/<target>-crash-<hash> (and -leak-, -timeout-, -oom-); rerun one with
#   build/fuzz/fuzz_<target> build/fuzz/findings/<file>
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
ensure_venv  # CMake and Ninja

seconds=${ORVANE_FUZZ_SECONDS:-30}
targets=(${ORVANE_FUZZ_TARGETS:-handle_receive varnix3_receive port_listing mcap_reader codec_frames record_message})
clang_version=14

# clang and its runtime libraries (libFuzzer and the sanitizers) come from Debian.
ensure_debian_packages "clang-$clang_version" "libclang-rt-$clang_version-dev" \
    "${orvane_build_packages[@]}"

build=build/fuzz
cmake -S fuzz -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER="clang++-$clang_version" >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null

mkdir -p "$build/findings" "$build/logs"
declare -A pids
for t in "${targets[@]}"; do
    mkdir -p "$build/corpus/$t"
    # Standard output and error of the library are closed (the error lines of failing
    # streams would flood the log); libFuzzer and the sanitizers keep their own channel.
    "$build/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=4096 -close_fd_mask=3 -print_final_stats=1 \
        -artifact_prefix="$build/findings/$t-" \
        "$build/corpus/$t" "fuzz/corpus/$t" >"$build/logs/$t.log" 2>&1 &
    pids[$t]=$!
done

passed=0
failed=0
for t in "${targets[@]}"; do
    rc=0
    wait "${pids[$t]}" || rc=$?
    log="$build/logs/$t.log"
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    corpus=$(find "$build/corpus/$t" -type f | wc -l)
    if ((rc != 0)) || [[ -z "$runs" ]] || grep -qE '^(==[0-9]+== ?ERROR|SUMMARY:)' "$log"; then
        echo "FAIL fuzz_$t (exit $rc): see $log"
        grep -E 'ERROR|SUMMARY|fuzz check|Test unit written|^#0|^    #[0-9]' "$log" | head -n 40 || true
        failed=$((failed + 1))
    else
        echo "ok   fuzz_$t: $runs executions in ${seconds} s, corpus $corpus inputs"
        passed=$((passed + 1))
    fi
done
echo "fuzz: $passed passed, $failed failed"
((failed == 0))
