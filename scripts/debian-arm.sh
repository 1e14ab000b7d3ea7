# shellcheck shell=bash
# Shared by the scripts that cross-build the module for ARM Linux and run it
# under qemu user-mode emulation (sourced, not run).  Everything for a target
# lives in build/<Debian architecture>/: a private root of Debian bookworm's
# packages for that architecture (root/), resolved by an apt configuration of
# its own and unpacked with dpkg-deb, so the machine's own Python and package
# state stay as they are; and environments made there under emulation.
#
#   arm_target aarch64|armv7l    sets deb_arch triplet qemu work root packages
#   need CMD PACKAGE ...         installs what is missing with apt-get, or stops
#   make_root                    the private root holding the target's packages
#   make_env DIR [venv options]  a fresh virtual environment of the root's
#                                python3.11, with pip, run under emulation
#   dist_wheel SCRIPT            sets wheel: the target's one cp311 wheel in dist/

top=${top:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}

arm_target() {
    case "$1" in
        # The real duckdb, pandas and numpy come from PyPI's aarch64 wheels;
        # duckdb's needs the C++ runtime.
        aarch64) deb_arch=arm64 triplet=aarch64-linux-gnu qemu=qemu-aarch64
                 packages="python3.11 python3.11-venv libpython3.11-dev libstdc++6" ;;
        # No duckdb exists for 32-bit ARM: Debian's numpy and pandas, and the
        # checks' test double of duckdb.
        armv7l) deb_arch=armhf triplet=arm-linux-gnueabihf qemu=qemu-arm
                packages="python3.11 python3.11-venv libpython3.11-dev python3-numpy python3-pandas python3-pytest" ;;
        *) echo "unknown ARM target '$1' (aarch64 or armv7l)" >&2; return 1 ;;
    esac
    # shellcheck disable=SC2034  # used by the scripts that source this
    wheel_arch=$1
    work=$top/build/$deb_arch
    root=$work/root
}

# need CMD PACKAGE [CMD PACKAGE ...]: every CMD on PATH, installing the Debian
# packages of those that are missing (apt-get, as root).  Stops naming the
# package when that is not possible.
need() {
    local commands=() missing=() still=() still_commands=() i
    while [ $# -gt 0 ]; do
        if ! command -v "$1" >/dev/null; then commands+=("$1"); missing+=("$2"); fi
        shift 2
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        echo "installing ${missing[*]} with apt-get"
        apt-get update -q >/dev/null || true
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
            "${missing[@]}" >/dev/null || true
    fi
    for i in "${!commands[@]}"; do
        if ! command -v "${commands[$i]}" >/dev/null; then
            still_commands+=("${commands[$i]}"); still+=("${missing[$i]}")
        fi
    done
    [ ${#still[@]} -eq 0 ] && return 0
    echo "error: ${still_commands[*]} not found; this needs Debian's ${still[*]}" \
         "(as root: apt-get install ${still[*]})" >&2
    return 1
}

# make_root: build/<arch>/root holds exactly the target's packages and
# everything they depend on; made again only when the list changes.
make_root() {
    local apt_dir=$work/apt deb
    if [ -f "$root/.packages" ] && [ "$(cat "$root/.packages")" = "$packages" ]; then
        return 0
    fi
    echo "$deb_arch: unpacking Debian bookworm's $packages into ${root#"$top"/}"
    rm -rf "$apt_dir" "$root"
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/state" \
             "$apt_dir/none" "$root"
    touch "$apt_dir/state/status"
    echo "deb [arch=$deb_arch signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
         "http://deb.debian.org/debian bookworm main" > "$apt_dir/sources.list"
    cat > "$apt_dir/apt.conf" <<EOF
APT::Architecture "$deb_arch";
APT::Architectures { "$deb_arch"; };
APT::Install-Recommends "false";
Dir::State "$apt_dir/state";
Dir::State::Lists "$apt_dir/lists";
Dir::State::status "$apt_dir/state/status";
Dir::Cache "$apt_dir/cache";
Dir::Etc::SourceList "$apt_dir/sources.list";
Dir::Etc::SourceParts "$apt_dir/none";
Dir::Etc::Preferences "$apt_dir/none";
Dir::Etc::PreferencesParts "$apt_dir/none";
Debug::NoLocking "true";
EOF
    APT_CONFIG=$apt_dir/apt.conf apt-get -q update >/dev/null
    # $packages holds several names on purpose.
    # shellcheck disable=SC2086
    APT_CONFIG=$apt_dir/apt.conf apt-get -q -y install --download-only $packages >/dev/null
    for deb in "$apt_dir"/cache/archives/*.deb; do dpkg-deb -x "$deb" "$root"; done
    # What the packages' maintainer scripts would set up: BLAS and LAPACK
    # through the alternatives system, where numpy is among them.
    local lib=$root/usr/lib/$triplet
    [ -e "$lib/blas/libblas.so.3" ] && ln -sf blas/libblas.so.3 "$lib/libblas.so.3"
    [ -e "$lib/lapack/liblapack.so.3" ] && ln -sf lapack/liblapack.so.3 "$lib/liblapack.so.3"
    # qemu looks a path up in the root first and on the machine after: these
    # are the root's own, empty, so that nothing of the machine's is read.
    mkdir -p "$root/usr/local/lib/python3.11/dist-packages" "$root/etc"
    touch "$root/etc/ld.so.cache"
    echo "$packages" > "$root/.packages"
}

# make_env DIR [venv options]: a new virtual environment at DIR for the
# root's python3.11.  Its bin/python3.11 is a script that starts that
# interpreter under qemu with itself as argv[0], so sys.executable is the
# script, and tests that start sys.executable go through the emulator too;
# nothing is registered with the machine (no binfmt_misc).
# bin/python3.11-<arch> is the interpreter itself, as on a board, for pip
# (board_pip): pip reads sys.executable's ELF header to tell hard-float ARM,
# and finds no manylinux armv7l wheel compatible from a script.
make_env() {
    local env=$1
    shift
    rm -rf "$env"
    QEMU_LD_PREFIX=$root "$qemu" "$root/usr/bin/python3.11" -m venv --without-pip "$@" "$env"
    rm -f "$env"/bin/python*
    cat > "$env/bin/python3.11" <<EOF
#!/bin/sh
# Debian's $deb_arch python3.11 from ${root#"$top"/}, under $qemu.
exec $qemu -L "$root" -0 "\$0" "$root/usr/bin/python3.11" "\$@"
EOF
    chmod +x "$env/bin/python3.11"
    ln -s python3.11 "$env/bin/python3"
    ln -s python3.11 "$env/bin/python"
    ln -s "$root/usr/bin/python3.11" "$env/bin/python3.11-$deb_arch"
    "$env/bin/python" -m ensurepip --default-pip >/dev/null
}

# board_pip DIR pip-arguments...: pip of the environment at DIR, run with the
# ARM interpreter itself as sys.executable.
board_pip() {
    local env=$1
    shift
    "$qemu" -L "$root" "$env/bin/python3.11-$deb_arch" -m pip "$@"
}

# dist_wheel SCRIPT: sets `wheel` to the path of the one cp311 wheel of the
# target in dist/, or stops with SCRIPT's message when there is not exactly one.
dist_wheel() {
    local wheels=("$top"/dist/*-cp311-cp311-*_"$wheel_arch".whl)
    if [ ! -f "${wheels[0]}" ] || [ ${#wheels[@]} -ne 1 ]; then
        echo "$1: need exactly one cp311 $wheel_arch wheel in dist/ (make wheels)" >&2; exit 1
    fi
    wheel=${wheels[0]}
}
