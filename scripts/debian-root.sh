# shellcheck shell=bash
# Private roots of Debian's binary packages, shared by the scripts that build
# and test against interpreters the machine does not have (sourced, not run).
# A root lives in build/<suite>-<Debian architecture>/root: the packages a
# target needs and everything they depend on, resolved by an apt
# configuration of its own (empty status file, its own lists and cache) and
# unpacked with dpkg-deb, so the machine's own Python and package state stay
# as they are and nothing is registered with it.
#
#   debian_target SUITE ARCH     sets suite deb_arch wheel_arch triplet qemu
#                                qemu_cpu pyver work root packages for one target:
#                                bullseye|bookworm|trixie with aarch64|armv7l
#                                (run under qemu user-mode emulation), sid with
#                                x86_64 (run chrooted by scripts/in-root)
#   need CMD PACKAGE ...         installs what is missing with apt-get, or stops
#   make_root                    the private root holding the target's packages
#   emulate PROGRAM ARGS...      runs one of the root's programs under qemu
#   make_env DIR [venv options]  a fresh virtual environment of the root's
#                                python under emulation, with pip
#   board_pip DIR ARGS...        pip of that environment, as on a board
#   dist_wheel SCRIPT            sets wheel: the target's one wheel in dist/
#   abi_flags                    sets abi_cppflags: what C and C++ code built
#                                for the target needs for its file offsets
#                                and time

top=${top:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}

debian_target() {
    suite=$1 wheel_arch=$2
    case "$suite" in
        bullseye) pyver=3.9 ;;
        bookworm) pyver=3.11 ;;
        trixie) pyver=3.13 ;;
        sid) pyver= ;;
        *) echo "unknown Debian suite '$suite' (bullseye, bookworm, trixie or sid)" >&2; return 1 ;;
    esac
    case "$suite/$wheel_arch" in
        # The real duckdb, pandas and numpy come from PyPI's aarch64 wheels;
        # duckdb's needs the C++ runtime.
        # The emulated CPU is a Raspberry Pi 4's Cortex-A72: qemu's default
        # has pointer authentication, which it computes slowly, and trixie's
        # arm64 packages sign every return (a Python start takes five times
        # as long).
        */aarch64) deb_arch=arm64 triplet=aarch64-linux-gnu qemu=qemu-aarch64 qemu_cpu=cortex-a72
                   packages="python$pyver python$pyver-venv libpython$pyver-dev libstdc++6" ;;
        # PyPI has no duckdb, numpy or pandas for 32-bit ARM: Debian's numpy,
        # pandas and pytest, and duckdb built from its sources for the
        # suite's Python (scripts/duckdb-armhf).  python3-numpy-dev holds the
        # numpy headers that build compiles against.
        # Bullseye's root is also the system duckdb's engine is compiled
        # against for every suite (the oldest it runs on): libstdc++-10-dev
        # brings the C++ headers and libraries, libgcc and libc6-dev.
        */armv7l) deb_arch=armhf triplet=arm-linux-gnueabihf qemu=qemu-arm qemu_cpu=
                  packages="python$pyver python$pyver-venv libpython$pyver-dev libstdc++6
                            python3-numpy python3-numpy-dev python3-pandas python3-pytest
                            python3-mypy"
                  if [ "$suite" = bullseye ]; then packages="$packages libstdc++-10-dev"; fi ;;
        # The interpreters newer than any stable release, from unstable,
        # with what the suite runs: duckdb's wheel needs the C++ runtime,
        # the fault tests mount a small tmpfs, the stub test reads symbols
        # with nm, and scripts/in-root starts commands with env.
        sid/x86_64) deb_arch=amd64 triplet=x86_64-linux-gnu qemu= qemu_cpu=
                    packages="python3.14 python3.14-venv libpython3.14-dev
                              python3.15 python3.15-venv libpython3.15-dev
                              libstdc++6 mount binutils coreutils" ;;
        *) echo "no Debian $suite root for $wheel_arch here" >&2; return 1 ;;
    esac
    packages=$(echo $packages)
    work=$top/build/$suite-$deb_arch
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
        # Scripts running side by side install one after the other: apt
        # refuses a second run while one holds its lock.
        mkdir -p "$top/build"
        (
            flock 8
            apt-get update -q >/dev/null || true
            DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
                -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null || true
        ) 8>"$top/build/.apt.lock"
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

# make_root: the root holds exactly the target's packages and everything they
# depend on; made again only when the list changes.  Several scripts may ask
# for the same root at once: the first makes it, the others wait.
make_root() {
    need apt-get apt dpkg-deb dpkg flock util-linux || return 1
    mkdir -p "$work"
    (
        flock 9
        _make_root
    ) 9>"$work/.lock"
}

_make_root() {
    local apt_dir=$work/apt deb dir
    if [ -f "$root/.packages" ] && [ "$(cat "$root/.packages")" = "$packages" ]; then
        return 0
    fi
    echo "$suite-$deb_arch: unpacking Debian $suite's $packages into ${root#"$top"/}"
    rm -rf "$apt_dir" "$root"
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/state" \
             "$apt_dir/none" "$root"
    touch "$apt_dir/state/status"
    echo "deb [arch=$deb_arch signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
         "http://deb.debian.org/debian $suite main" > "$apt_dir/sources.list"
    # Unstable's Release file on a mirror may be past its Valid-Until date;
    # its signature is still checked.
    cat > "$apt_dir/apt.conf" <<EOF
APT::Architecture "$deb_arch";
APT::Architectures { "$deb_arch"; };
APT::Install-Recommends "false";
Acquire::Check-Valid-Until "false";
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
    APT_CONFIG=$apt_dir/apt.conf apt-get -q update >/dev/null || return 1
    # $packages holds several names on purpose.
    # shellcheck disable=SC2086
    APT_CONFIG=$apt_dir/apt.conf apt-get -q -y install --download-only $packages >/dev/null \
        || return 1
    for deb in "$apt_dir"/cache/archives/*.deb; do dpkg-deb -x "$deb" "$root" || return 1; done
    # What the packages' maintainer scripts would set up: BLAS and LAPACK
    # through the alternatives system, where numpy is among them.
    local lib=$root/usr/lib/$triplet
    [ -e "$lib/blas/libblas.so.3" ] && ln -sf blas/libblas.so.3 "$lib/libblas.so.3"
    [ -e "$lib/lapack/liblapack.so.3" ] && ln -sf lapack/liblapack.so.3 "$lib/liblapack.so.3"
    relative_links
    # The merged /usr layout that base-files would make (from trixie on the
    # packages hold /usr/lib alone, and the ELF interpreter is found through
    # /lib or /lib64).
    for dir in bin sbin lib lib64; do
        [ -d "$root/usr/$dir" ] && [ ! -e "$root/$dir" ] && ln -s "usr/$dir" "$root/$dir"
    done
    mkdir -p "$root/etc" "$root/root" "$root/tmp" "$root/dev" "$root/proc"
    chmod 1777 "$root/tmp"
    if [ -n "$qemu" ]; then
        compile_root || return 1
    fi
    if [ -z "$qemu" ]; then
        # A root entered with chroot: the users and groups the tests take
        # (root, and nobody for the unwritable-file tests), and the places
        # scripts/in-root binds the machine's resolver settings and
        # certificate authorities over.
        printf '%s\n' "root:x:0:0:root:/root:/bin/sh" \
            "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin" > "$root/etc/passwd"
        printf '%s\n' "root:x:0:" "nogroup:x:65534:" > "$root/etc/group"
        mkdir -p "$root/etc/ssl/certs"
        touch "$root/etc/resolv.conf" "$root/etc/hosts"
    else
        # qemu looks a path up in the root first and on the machine after:
        # these are the root's own, empty, so that nothing of the machine's
        # is read.
        mkdir -p "$root/usr/local/lib/python$pyver/dist-packages"
        touch "$root/etc/ld.so.cache"
    fi
    echo "$packages" > "$root/.packages"
}

# relative_links: the packages' absolute symlinks (libm.so to
# /lib/<triplet>/libm.so.6, say) made relative, so that they stay inside the
# root for a linker or compiler using it as its sysroot, and for qemu.
relative_links() {
    local link dest
    while IFS= read -r -d '' link; do
        dest=$(readlink "$link")
        case "$dest" in
            /*) ln -sfn "$(realpath -m -s --relative-to="$(dirname "$link")" "$root$dest")" "$link" ;;
        esac
    done < <(find "$root" -type l -print0)
}

# compile_root: Debian's maintainer scripts compile its Python modules to
# bytecode when they install; here they do not run, and an emulated
# interpreter cannot write the bytecode beside the root's files itself (qemu
# takes a path it does not find in the root for one of the machine's), so
# every process would compile what it imports anew.  The machine's own
# Python of the same version writes the same bytecode, in seconds; without
# one, the root's does it under emulation.
compile_root() {
    local python dirs=("$root/usr/lib/python$pyver")
    [ -d "$root/usr/lib/python3/dist-packages" ] && dirs+=("$root/usr/lib/python3/dist-packages")
    if python=$("$top/scripts/find-python" "python$pyver" 2>/dev/null); then
        # A few files of the packages are not meant to compile; -q says nothing of them.
        "$python" -m compileall -q -j 0 -s "$root" -p / "${dirs[@]}" >/dev/null || true
    else
        emulate "$root/usr/bin/python$pyver" -m compileall -q -s "$root" -p / "${dirs[@]}" \
            >/dev/null || true
    fi
}

# emulate PROGRAM ARGS...: runs one of the root's programs under qemu.
emulate() {
    "$qemu" ${qemu_cpu:+-cpu "$qemu_cpu"} -L "$root" "$@"
}

# make_env DIR [venv options]: a new virtual environment at DIR for the
# root's python.  Its bin/python$pyver is a script that starts that
# interpreter under qemu with itself as argv[0], so sys.executable is the
# script, and tests that start sys.executable go through the emulator too;
# nothing is registered with the machine (no binfmt_misc).
# bin/python$pyver-<arch> is the interpreter itself, as on a board, for pip
# (board_pip): pip reads sys.executable's ELF header to tell hard-float ARM,
# and finds no manylinux armv7l wheel compatible from a script.
make_env() {
    local env=$1
    shift
    rm -rf "$env"
    emulate "$root/usr/bin/python$pyver" -m venv --without-pip "$@" "$env"
    rm -f "$env"/bin/python*
    cat > "$env/bin/python$pyver" <<EOF
#!/bin/sh
# Debian $suite's $deb_arch python$pyver from ${root#"$top"/}, under $qemu.
exec $qemu${qemu_cpu:+ -cpu $qemu_cpu} -L "$root" -0 "\$0" "$root/usr/bin/python$pyver" "\$@"
EOF
    chmod +x "$env/bin/python$pyver"
    ln -s "python$pyver" "$env/bin/python3"
    ln -s "python$pyver" "$env/bin/python"
    ln -s "$root/usr/bin/python$pyver" "$env/bin/python$pyver-$deb_arch"
    # pip from the wheel Debian bundles, run from the wheel itself: ensurepip
    # copies it with its extended attributes, which qemu looks up on the
    # machine's path instead of the root's.
    local pip_wheels=("$root"/usr/share/python-wheels/pip-*.whl)
    "$env/bin/python" "${pip_wheels[0]}/pip" install --quiet --no-index "${pip_wheels[0]}"
}

# board_pip DIR pip-arguments...: pip of the environment at DIR, run with the
# ARM interpreter itself as sys.executable.
board_pip() {
    local env=$1
    shift
    emulate "$env/bin/python$pyver-$deb_arch" -m pip "$@"
}

# dist_wheel SCRIPT: sets `wheel` to the path of the one wheel in dist/ for
# the target's interpreter and architecture, or stops with SCRIPT's message
# when there is not exactly one.
dist_wheel() {
    local abi=cp${pyver/./}
    local wheels=("$top"/dist/*-"$abi-$abi"-*_"$wheel_arch".whl)
    if [ ! -f "${wheels[0]}" ] || [ ${#wheels[@]} -ne 1 ]; then
        echo "$1: need exactly one $abi $wheel_arch wheel in dist/ (make wheels)" >&2; exit 1
    fi
    wheel=${wheels[0]}
}

# abi_flags: sets abi_cppflags to the preprocessor flags that give code built
# for the target the file offset and time sizes of the target's Python
# (whose headers ask for 64-bit file offsets; without that, a 32-bit build
# reads and writes no file past 2 GiB).  From trixie on, Debian's 32-bit ARM
# has a 64-bit time_t too.  Reads the root's pyconfig.h.
abi_flags() {
    local config=$root/usr/include/$triplet/python$pyver/pyconfig.h
    [ -f "$config" ] || { echo "no pyconfig.h for Python $pyver in ${root#"$top"/}" >&2; return 1; }
    abi_cppflags=
    grep -q '^#define _FILE_OFFSET_BITS 64' "$config" && abi_cppflags="-D_FILE_OFFSET_BITS=64"
    if grep -q '^#define SIZEOF_TIME_T 8' "$config" && grep -q '^#define SIZEOF_VOID_P 4' "$config"; then
        abi_cppflags="$abi_cppflags -D_TIME_BITS=64"
    fi
    abi_cppflags=${abi_cppflags# }
}
