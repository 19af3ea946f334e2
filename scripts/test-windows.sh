#!/usr/bin/env bash
# The Windows backend: cross-compiles the library and its tests with mingw-w64 (64-bit
# into build/win64, 32-bit into build/win32) and runs them under wine in a fresh prefix,
# with pseudo-terminals as COM ports and scripted devices behind them
# (Library/tests/win32/wine_harness.py). The 32-bit programs run only where 32-bit wine
# is installed; elsewhere they are compiled only, because such a program would exit
# without running anything. Fails on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
ensure_venv

ensure_debian_packages g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 libgtest-dev

jobs=${ORVANE_JOBS:-2}
for arch in x86_64:win64 i686:win32; do
    build="build/${arch#*:}"
    echo "== Windows build ${arch%%:*} ($build)"
    toolchain=()  # given once: a configured folder keeps it
    [[ -f "$build/CMakeCache.txt" ]] ||
        toolchain=(-DCMAKE_TOOLCHAIN_FILE="cmake/mingw-w64-${arch%%:*}.cmake")
    cmake -S . -B "$build" -G Ninja -Wno-deprecated "${toolchain[@]}" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_BUILD_TESTS=ON >/dev/null
    cmake --build "$build" -j "$jobs"
done

# A fresh prefix, booted without a display, and one wineserver for the whole run.
export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/orvane-wineprefix.XXXXXX)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
cleanup() {
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
echo "== booting a wine prefix in $WINEPREFIX"
wineserver -p >/dev/null 2>&1  # started first: a server left by wineboot would refuse a second one
wineboot -i >/dev/null 2>&1

status=0
echo "== Windows tests under wine (64-bit)"
"$orvane_python" Library/tests/win32/wine_harness.py build/win64 || status=1

# A 32-bit program under a wine without its 32-bit half prints nothing and exits 0.
probe=$(wine build/win32/Library/tests/win32/orvane_serialcomm_key.exe probe 2>/dev/null || true)
if [[ "$probe" == *"probe: runs"* ]]; then
    echo "== Windows tests under wine (32-bit)"
    "$orvane_python" Library/tests/win32/wine_harness.py build/win32 || status=1
else
    echo "== 32-bit Windows programs compiled only: this wine cannot run them (no wine32)"
fi
exit $status
