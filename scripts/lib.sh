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
