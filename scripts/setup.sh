# setup.sh: shared set-up of run.sh and test.sh (sourced, not run). Installs the Debian packages
# the build needs when, and only when, some are missing, so that repeated runs need no network.

# Packages each job needs.
KX_RUN_PACKAGES=(cmake make g++ binutils pkg-config librelp-dev libssl-dev rsyslog rsyslog-relp)
KX_TEST_PACKAGES=(cmake make g++ binutils libgtest-dev libgmock-dev libbenchmark-dev
    g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
    clang libclang-rt-14-dev clang-format rsyslog pkg-config librelp-dev libssl-dev rsyslog-relp
    openssl osslsigncode msitools wixl wine wine64
    dpkg-dev debhelper lintian groff-base man-db systemd
    postgresql rsyslog-pgsql prometheus-node-exporter curl)

# Parallel build and test jobs (the CI machine has two cores).
KX_JOBS="${KX_JOBS:-2}"
KX_BUILD_TYPE="${KX_BUILD_TYPE:-RelWithDebInfo}"

kx_log() { printf '\n== %s\n' "$*"; }

kx_package_missing() {
    ! dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null | grep -q '^install ok installed$'
}

# kx_ensure_packages PACKAGE...: installs the missing ones with apt-get (as root, or via sudo).
kx_ensure_packages() {
    if ! command -v dpkg-query >/dev/null 2>&1; then
        echo "note: not a Debian system; assuming the build tools are present" >&2
        return 0
    fi
    local missing=() package
    for package in "$@"; do
        if kx_package_missing "$package"; then missing+=("$package"); fi
    done
    if [ "${#missing[@]}" -eq 0 ]; then return 0; fi

    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null 2>&1; then
            echo "error: missing packages (${missing[*]}); run as root or install sudo" >&2
            return 1
        fi
        sudo=(sudo)
    fi
    kx_log "installing ${missing[*]}"
    # rsyslog-pgsql would otherwise set up a database of its own through dbconfig-common.
    echo 'rsyslog-pgsql rsyslog-pgsql/dbconfig-install boolean false' |
        "${sudo[@]}" debconf-set-selections
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q </dev/null
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
        --no-install-recommends "${missing[@]}" </dev/null
}
