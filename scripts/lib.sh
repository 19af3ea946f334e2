# Helpers shared by the scripts; source it, do not run it.

# ensure_debian_packages PACKAGE...: installs those of the Debian packages that are not
# installed yet (the package lists are refreshed once per script run). Waits up to ten
# minutes for a package manager that another script holds.
ensure_debian_packages() {
    local p missing=()
    for p in "$@"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    ((${#missing[@]})) || return 0
    if [[ -z "${_orvane_apt_updated:-}" ]]; then
        DEBIAN_FRONTEND=noninteractive apt-get update -qq
        _orvane_apt_updated=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=600 \
        "${missing[@]}" >/dev/null
}

# The project's virtual environment: everything the scripts install from PyPI goes into
# .venv in the repository, never into the machine's own Python.
orvane_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
orvane_venv="$orvane_root/.venv"
orvane_python="$orvane_venv/bin/python"

# The MuJoCo releases the library can step: scripts/update-mujoco-layouts.sh writes their
# layouts into the library, and pyproject.toml's mujoco extra names their range. .venv has
# the newest, scripts/test-mujoco-release.sh runs the scene tests of the same build with
# another (the oldest unless told).
orvane_mujoco_releases=(3.17.0 4.0.0 4.0.1)
orvane_mujoco_version=4.0.1
orvane_mujoco_older=3.17.0

# What building, testing and type-checking need; changing this list refreshes .venv. MuJoCo
# is among them for the scene tests and the check that its layout row matches its headers.
orvane_venv_packages=("pybind11>=3" "scikit-build-core>=0.10" cmake ninja pytest hypothesis
    numpy mypy "mujoco==$orvane_mujoco_version")

# ensure_venv [PACKAGE...]: makes .venv if it is missing (or broken) and installs the
# listed tools plus any further packages not installed there yet, then puts .venv/bin first
# on PATH for the rest of the script. Re-running it installs nothing new.
ensure_venv() {
    if ! "$orvane_python" -c 'import sys' 2>/dev/null; then
        rm -rf "$orvane_venv"
        if ! python3 -m venv "$orvane_venv" 2>/dev/null; then
            # Debian's own python3 keeps venv's pip bootstrap in a separate package.
            rm -rf "$orvane_venv"
            ensure_debian_packages python3-venv
            python3 -m venv "$orvane_venv"
        fi
    fi
    local stamp="$orvane_venv/.orvane-packages" wanted
    wanted=$(printf '%s\n' "${orvane_venv_packages[@]}" "$@")
    if [[ "$(cat "$stamp" 2>/dev/null)" != *"$wanted"* ]]; then
        "$orvane_python" -m pip install -q --disable-pip-version-check "${orvane_venv_packages[@]}" "$@"
        printf '%s\n' "$wanted" >"$stamp"
    fi
    export VIRTUAL_ENV="$orvane_venv"
    export PATH="$orvane_venv/bin:$PATH"
}

# What building the project takes from Debian beyond the compilers: the simulator's replay
# reads zstd and lz4 chunks with the system's libraries; the tools parse their options with
# CLI11 and the recordings' JSON messages with nlohmann-json (both header-only).
orvane_build_packages=(pkg-config libzstd-dev liblz4-dev libcli11-dev nlohmann-json3-dev)

# The platform tag scripts/build-wheel.sh repairs the wheel to: the oldest glibc whose
# symbols the build uses with this machine's compilers (auditwheel show says which).
orvane_manylinux=manylinux_2_35_x86_64

# install_project [EXTRAS]: builds the package from this checkout and installs it (with
# its tools) into .venv. The build runs in .venv itself (which has scikit-build-core,
# pybind11, cmake and ninja) and in the persistent folder build/<wheel tag>, so a second
# install compiles only what changed instead of everything in a fresh isolated environment.
install_project() {
    ensure_debian_packages "${orvane_build_packages[@]}"
    "$orvane_python" -m pip install -q --disable-pip-version-check --no-build-isolation \
        --config-settings=build-dir="$orvane_root/build/{wheel_tag}" "$orvane_root${1:+[$1]}"
}
