#!/usr/bin/env bash
# Runs a command inside a minimal Debian unstable (sid) root, whose packages
# hold the supported interpreters newer than the oldest (pyproject.toml's
# classifiers), with their headers and venv modules, python3.14-dbg, g++ and
# clang, and raylib with a virtual X server and Mesa's OpenGL
# (scripts/raylib.sh), with this checkout bind-mounted at /checkout as the
# working directory.  Needs root (debootstrap, mount, chroot).
#
#   sudo bash scripts/debian_sid.sh env PYTHON=python3.15 bash scripts/test.sh -q
#
# The root is made on first use with debootstrap, from the Debian archive
# among this machine's own apt sources (none is written here), and kept for later runs in $SID_ROOT (default
# ~/.cache/vantel-color/sid); remove that directory to make it afresh.  The
# mounts live only as long as the command: they are undone on every exit.
#
# DEBIAN_ARCH=arm64 (scripts/debian_arm64.sh) makes and uses a root of that
# Debian architecture instead, run under qemu-user emulation, in
# ~/.cache/vantel-color/sid-arm64 by default.  Nothing is compiled there:
# it holds only the interpreters (every supported version, their headers and
# venv modules) that run and check what scripts/arm64.sh cross-builds.
#
# DEBIAN_SID_MINIMAL=1 with a foreign DEBIAN_ARCH makes and uses instead a
# root in which nothing was ever run: debootstrap's first stage downloads
# the interpreters (every supported version with its headers) and all they
# need, and every package is unpacked by this machine, with no maintainer
# script run and nothing byte-compiled under emulation: a minute or so
# rather than half an hour.  It has no pip, apt or dpkg database, just
# interpreters that run (their venv module with --without-pip), which is
# all scripts/arm64.sh asks of it; it lives in
# ~/.cache/vantel-color/sid-<arch>-minimal by default.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

if [ "$(id -u)" -ne 0 ]; then
    echo "error: $0 needs root (it runs debootstrap, mount and chroot)" >&2
    exit 1
fi
if [ $# -eq 0 ]; then
    echo "usage: $0 COMMAND [ARGUMENT...]" >&2
    exit 2
fi

# The mounts are made in a mount namespace of this run's own, so that no
# other run, concurrent or later, ever sees them.
if [ -z "${DEBIAN_SID_OWN_NAMESPACE:-}" ]; then
    DEBIAN_SID_OWN_NAMESPACE=1 exec unshare --mount --propagation private \
        bash "$PWD/scripts/debian_sid.sh" "$@"
fi

host_arch=$(dpkg --print-architecture)
arch=${DEBIAN_ARCH:-$host_arch}
if [ "$arch" = "$host_arch" ]; then
    root_name=sid
    packages=(g++ gcc clang binutils)
    # The machine itself has the oldest.
    versions=${SUPPORTED_PYTHONS#"$MINIMUM_PYTHON "}
else
    root_name=sid-$arch
    packages=()
    versions=$SUPPORTED_PYTHONS
fi
minimal=false
if [ -n "${DEBIAN_SID_MINIMAL:-}" ]; then
    if [ "$arch" = "$host_arch" ]; then
        echo "error: DEBIAN_SID_MINIMAL is for a foreign DEBIAN_ARCH only" >&2
        exit 2
    fi
    minimal=true
    root_name=sid-$arch-minimal
fi
root=$(realpath -m "${SID_ROOT:-${XDG_CACHE_HOME:-$HOME/.cache}/vantel-color/$root_name}")
for version in $versions; do
    if $minimal; then
        packages+=("python$version" "libpython$version-dev")
    else
        packages+=("python$version" "python$version-dev" "python$version-venv")
    fi
done
if [ "$arch" = "$host_arch" ]; then
    # The debug interpreter (Py_DEBUG, with sys.gettotalrefcount) of the
    # suite's reference-count run.
    packages+=(python3.14-dbg)
    # raylib for scripts/raylib.sh, and what a window needs without a
    # screen: a virtual X server, and Mesa's OpenGL for it (a recommendation
    # of the OpenGL loader, which is not installed by itself).
    packages+=(libraylib-dev xvfb libglx-mesa0)
    # valgrind counts the instructions of benchmarks/all_interpreters.sh.
    packages+=(valgrind)
fi
# Written last when the root is made, so that a half-made root is made again.
ready="$root/.vantel-color-packages"

# The Debian archive among apt's own sources, one-line or deb822 alike, as apt
# itself reads them: the one whose Release file is labelled Debian where apt
# has fetched its lists, else the first whose path ends in /debian.
debian_mirror() {
    local uri
    uri=$(apt-get indextargets --format '$(TARGET_OF) $(LABEL) $(REPO_URI)' 2>/dev/null |
        awk '$1 == "deb" && $2 == "Debian" && !uri { uri = $3 } END { print uri }')
    if [ -z "$uri" ]; then
        uri=$(apt-get indextargets --no-release-info --format '$(TARGET_OF) $(REPO_URI)' 2>/dev/null |
            awk '$1 == "deb" && $2 ~ /\/debian\/?$/ && !uri { uri = $2 } END { print uri }')
    fi
    if [ -z "$uri" ]; then
        echo "error: apt has no Debian archive among its sources to make the root from;" \
            "add one (a 'deb' line in /etc/apt/sources.list, or a deb822 stanza with" \
            "Types: deb and URIs: in /etc/apt/sources.list.d/debian.sources), then run again" >&2
        return 1
    fi
    echo "${uri%/}"
}

# A foreign architecture's programs run through qemu-user, which the kernel
# starts for them once binfmt_misc knows it; the F flag of Debian's
# qemu-user-static registration keeps the emulator usable inside the chroot.
enable_emulation() {
    local emulator
    case $arch in
        arm64) emulator=qemu-aarch64 ;;
        *) emulator=qemu-$arch ;;
    esac
    if ! command -v update-binfmts >/dev/null || [ ! -e "/usr/share/binfmts/$emulator" ]; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq qemu-user-static binfmt-support
    fi
    if [ ! -e /proc/sys/fs/binfmt_misc/status ]; then
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    fi
    if ! head -n 1 "/proc/sys/fs/binfmt_misc/$emulator" 2>/dev/null | grep -qx enabled; then
        update-binfmts --enable "$emulator"
    fi
    if ! grep -q '^flags: .*F' "/proc/sys/fs/binfmt_misc/$emulator"; then
        echo "error: $emulator is registered without the F flag; a chroot cannot reach it" >&2
        exit 1
    fi
}
[ "$arch" = "$host_arch" ] || enable_emulation

mounted=()
unmount_all() {
    local index
    for ((index = ${#mounted[@]} - 1; index >= 0; index--)); do
        umount "${mounted[index]}" 2>/dev/null || umount -l "${mounted[index]}" || true
    done
    mounted=()
}
trap unmount_all EXIT

mount_into_root() {
    mkdir -p "$root$2"
    mount "${@:3}" "$1" "$root$2"
    mounted+=("$root$2")
}

# make_root KIND OPTION...: makes $root afresh with debootstrap and the
# OPTIONs, from the mirror apt uses; KIND names the root in a message.
make_root() {
    local kind=$1 mirror
    shift
    if ! command -v debootstrap >/dev/null; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap
    fi
    # Never remove a root that something is still mounted into (a run
    # killed before it could clean up): that would reach into the mounts.
    if grep -q " $root/" /proc/mounts; then
        echo "error: $root has mounts left in it; unmount them first" >&2
        exit 1
    fi
    mirror=$(debian_mirror) || exit 1
    rm -rf "$root"
    echo "debian_sid: making a $kind $arch root in $root from $mirror" >&2
    if ! debootstrap "$@" --arch="$arch" sid "$root" "$mirror" >"$root.debootstrap.log" 2>&1; then
        cat "$root.debootstrap.log" >&2
        exit 1
    fi
}
# One run at a time makes or completes the root.
mkdir -p "$(dirname "$root")"
exec 9>"$root.lock"
flock 9
if $minimal && { [ ! -f "$ready" ] || [ "$(cat "$ready")" != "${packages[*]}" ]; }; then
    # The first stage unpacks the essential packages and only downloads the
    # others (the interpreters among them), which are unpacked here the
    # same way; the second stage, which would configure them all under
    # emulation, is never run.  Debian's loader searches the multiarch
    # library directories without an ld.so.cache.
    make_root "minimal Debian sid" --foreign --variant=minbase \
        --include="$(IFS=,; echo "${packages[*]}")"
    for deb in "$root"/var/cache/apt/archives/*.deb; do
        dpkg-deb --fsys-tarfile "$deb" | tar -C "$root" --keep-directory-symlink -xf -
    done
    rm -f "$root"/var/cache/apt/archives/*.deb
    # In a container, the first stage links /proc to the machine's own
    # instead of leaving a directory to mount on.
    if [ -L "$root/proc" ]; then
        rm "$root/proc"
        mkdir "$root/proc"
    fi
    echo "${packages[*]}" >"$ready"
fi
if [ ! -f "$ready" ] || [ "$(cat "$ready")" != "${packages[*]}" ]; then
    if [ ! -x "$root/usr/bin/apt-get" ]; then
        make_root "Debian sid" --variant=minbase
    fi
fi
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount_into_root proc /proc -t proc
mount_into_root /dev /dev --bind
mount_into_root /dev/pts /dev/pts --bind
in_root=(chroot "$root" env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
    HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}"
    ${http_proxy:+http_proxy=$http_proxy} ${https_proxy:+https_proxy=$https_proxy}
    ${no_proxy:+no_proxy=$no_proxy})
if [ ! -f "$ready" ] || [ "$(cat "$ready")" != "${packages[*]}" ]; then
    # The unstable suite's index on the mirrors is often past its Valid-Until
    # date.
    echo "debian_sid: installing ${packages[*]}" >&2
    if ! { "${in_root[@]}" apt-get -qq -o Acquire::Check-Valid-Until=false update &&
        "${in_root[@]}" env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -qq --no-install-recommends "${packages[@]}" &&
        "${in_root[@]}" apt-get clean; } >"$root/.install.log" 2>&1; then
        cat "$root/.install.log" >&2
        exit 1
    fi
    echo "${packages[*]}" >"$ready"
fi
flock -u 9
# pip inside trusts what this machine trusts (a proxy's certificate among
# them); the root's own bundle is Debian's, remade by every ca-certificates
# update, so this copy is made on every run.
mkdir -p "$root/etc/ssl/certs"
cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
mount_into_root "$PWD" /checkout --bind
"${in_root[@]}" sh -c 'cd /checkout && exec "$@"' debian_sid "$@"
