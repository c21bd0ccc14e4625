#!/usr/bin/env bash
# Builds the module against Debian unstable's OBS 32 and Qt 6, in a Debian unstable root of its
# own, and runs the OBS end-to-end capture tests there with that root's real OBS under Xvfb.
# Everyday builds and tests use the host's OBS 29; this is where the OBS 31+ roads run.
#
# usage: scripts/test-obs32.sh [cache-folder] [-- ctest-regex | --shell | --prepare | --package out-folder]
#   cache-folder  default: $RYVO_OBS32_ROOT, else /var/cache/ryvo-obs/obs32-root, outside every
#                 checkout so that a clean clone finds it made; it holds
#       rootfs/       the Debian unstable root (each checkout's module build is rootfs/builds/<id>)
#       root.stamp    the package list the root was made with; its age is the last upgrade
#       lock          held for the whole run: checkouts sharing the root take turns
#   ctest-regex   the tests to run; default: the tests in real OBS, which need only the module
#                 (RYVO_OBS32_TARGETS names the build targets other tests need)
#   --shell       a shell in the root after the build instead of the tests (source at /src,
#                 build tree at /build)
#   --prepare     only make (or bring up to date) the root: `make test` starts that first, in the
#                 background, so that the download overlaps the other lanes' builds
#   --package     instead of the tests, the Debian package of the build, tested in the root with
#                 scripts/test-package.sh --install (dpkg -i, OBS and ryvo-send, dpkg -r) and
#                 copied into out-folder
#
# The root is made with debootstrap the first time, gets packages added when the list below
# changes, and is upgraded from the archive when a week old; without network the cached root is
# used as it is. Everything runs in a private mount namespace: the mounts into the root go away
# with the script however it ends. The source tree is mounted read-only at /src. Needs root (or
# sudo). RYVO_OBS32_ARCHIVE replaces the Debian mirror.
set -euo pipefail
# Read whole before anything runs, so that editing the script during a run does not change that run.
{

say() { echo "test-obs32: $*"; }
stage_start=$SECONDS
stage_took() { # reports how long the stage that ends now took
    say "$1 took $((SECONDS - stage_start)) s"
    stage_start=$SECONDS
}
fail() {
    echo "test-obs32: $*" >&2
    exit 1
}

src_dir=$(cd "$(dirname "$0")/.." && pwd)
args=("$@")
cache_dir=${RYVO_OBS32_ROOT:-/var/cache/ryvo-obs/obs32-root}
if [[ $# -gt 0 && $1 != -* ]]; then
    cache_dir=$1
    shift
fi
tests='^(obs_delivery|obs_module_load)$'
shell=false
prepare_only=false
package_out=
case ${1:-} in
--) tests=${2:?a ctest regex after --} ;;
--shell) shell=true ;;
--prepare) prepare_only=true ;;
--package) package_out=${2:?a folder after --package} ;;
"") ;;
*) fail "unknown argument $1; usage: $0 [cache-folder] [-- ctest-regex | --shell | --prepare | --package dir]" ;;
esac

if [[ $(id -u) -ne 0 ]]; then
    exec sudo --preserve-env=RYVO_OBS32_ARCHIVE,RYVO_OBS32_TARGETS,RYVO_OBS32_JOBS,RYVO_OBS32_ROOT \
        "$0" "${args[@]}"
fi
if [[ -z ${RYVO_OBS32_PRIVATE_MOUNTS:-} ]]; then
    RYVO_OBS32_PRIVATE_MOUNTS=1 exec unshare --mount --propagation private "$0" "${args[@]}"
fi

mkdir -p "$cache_dir"
cache_dir=$(cd "$cache_dir" && pwd)
exec 9>"$cache_dir/lock"
if ! flock -n 9; then
    say "waiting for another run on $cache_dir to end"
    flock 9
fi
root=$cache_dir/rootfs
stamp=$cache_dir/root.stamp
# One build tree per checkout: ninja decides by file times, and another checkout's older sources
# would look up to date against objects built from this one.
build_dir=$root/builds/$(echo "$src_dir" | sha256sum | cut -c1-12)
archive=${RYVO_OBS32_ARCHIVE:-http://deb.debian.org/debian}
suite=unstable
upgrade_after_days=7

# What building and the OBS tests need in the root: the module's build dependencies with OBS 32's
# libobs and Qt 6, OBS itself with software OpenGL, and the tools of tests/support.
packages=(
    build-essential cmake ninja-build pkg-config
    libobs-dev obs-studio qt6-base-dev
    libavformat-dev libavcodec-dev libavutil-dev
    libcurl4-openssl-dev libssl-dev libsecret-1-dev nlohmann-json3-dev
    libgtest-dev libgmock-dev
    xvfb xdotool x11-utils imagemagick libgl1-mesa-dri
    dbus dbus-daemon dbus-bin gnome-keyring libsecret-tools
    ffmpeg python3 python3-websocket
    file  # CPack runs it to find the package's binaries for dpkg-shlibdeps
)
wanted="${packages[*]}"

mounted=()
# shellcheck disable=SC2317 # run by the EXIT trap
unmount_all() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount -l "${mounted[i]}" 2>/dev/null || true
    done
    mounted=()
}
trap unmount_all EXIT

mount_into() { # mount_into <target> <mount arguments...>
    local target=$1
    shift
    mount "$@" "$target"
    mounted+=("$target")
}

# /dev is a tmpfs with the few device nodes that the build and the tests use, so that nothing in
# the root can reach the host's disks.
mount_root() {
    local node
    mount_into "$root/proc" -t proc proc
    mount_into "$root/sys" --rbind -o ro /sys
    mount_into "$root/dev" -t tmpfs -o mode=0755,nosuid tmpfs
    for node in null zero full random urandom tty; do
        touch "$root/dev/$node"
        mount_into "$root/dev/$node" --bind "/dev/$node"
    done
    mkdir -p "$root/dev/pts" "$root/dev/shm"
    mount_into "$root/dev/pts" -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts
    ln -sf pts/ptmx "$root/dev/ptmx"
    mount_into "$root/dev/shm" -t tmpfs -o mode=1777,nosuid,nodev tmpfs
    mount_into "$root/tmp" -t tmpfs -o mode=1777,nosuid,nodev tmpfs
    mkdir -p "$root/src" "$root/build" "$build_dir"
    mount_into "$root/src" --bind -o ro "$src_dir"
    # Older util-linux ignores ro on a bind mount; a remount makes it stick.
    mount -o remount,bind,ro "$root/src"
    mount_into "$root/build" --bind "$build_dir"
    cp -L /etc/resolv.conf "$root/etc/resolv.conf"
}

in_root() {
    chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        DEBIAN_FRONTEND=noninteractive "$@"
}

# Unstable's Release file is valid for a week only; a mirror that lags, or a clock that runs
# ahead, must not stop the test, which checks the archive's signature all the same.
apt_in_root() {
    in_root apt-get -q -o Dpkg::Use-Pty=0 -o APT::Install-Recommends=false \
        -o Acquire::Check-Valid-Until=false "$@"
}

make_root() {
    local tmp=$cache_dir/rootfs.new
    rm -rf "$tmp" "$stamp"
    say "making a Debian $suite root with debootstrap in $root"
    debootstrap --variant=minbase "$suite" "$tmp" "$archive" >"$cache_dir/debootstrap.log" 2>&1 ||
        fail "debootstrap failed; see $cache_dir/debootstrap.log"
    # Documentation and translations are of no use in the root and make it half again as large.
    cat >"$tmp/etc/dpkg/dpkg.cfg.d/01-ryvo-nodoc" <<EOF
path-exclude=/usr/share/doc/*
path-exclude=/usr/share/man/*
path-exclude=/usr/share/locale/*
path-include=/usr/share/locale/locale.alias
EOF
    # The root is a cache that can always be made again: syncing every file only slows it down.
    echo force-unsafe-io >"$tmp/etc/dpkg/dpkg.cfg.d/02-ryvo-unsafe-io"
    rm -rf "$root"
    mv "$tmp" "$root"
}

if [[ ! -x $root/usr/bin/apt-get ]]; then
    make_root
    stage_took debootstrap
fi
mount_root

if [[ ! -f $stamp ]]; then
    say "installing the packages into the root"
    apt_in_root update >/dev/null
    apt_in_root install -y "${packages[@]}" >"$cache_dir/apt.log" 2>&1 ||
        fail "installing into the root failed; see $cache_dir/apt.log"
    echo "$wanted" >"$stamp"
elif [[ $(cat "$stamp") != "$wanted" ]]; then
    say "the package list changed; installing what is new"
    apt_in_root update >/dev/null
    apt_in_root install -y "${packages[@]}" >"$cache_dir/apt.log" 2>&1 ||
        fail "installing into the root failed; see $cache_dir/apt.log"
    echo "$wanted" >"$stamp"
elif [[ -n $(find "$stamp" -mtime +"$upgrade_after_days") ]]; then
    say "upgrading the root (last done more than $upgrade_after_days days ago)"
    if apt_in_root update >/dev/null 2>&1 &&
        apt_in_root dist-upgrade -y >"$cache_dir/apt.log" 2>&1; then
        touch "$stamp"
    else
        say "warning: the root could not be upgraded from $archive; testing with it as it is"
    fi
fi
apt_in_root clean
stage_took "preparing the root"
if $prepare_only; then
    exit
fi

version_of() {
    # shellcheck disable=SC2016 # dpkg-query's format, not the shell's
    in_root dpkg-query -W -f='${Version}' "$1"
}
say "OBS $(version_of obs-studio), Qt $(version_of qt6-base-dev), $(in_root gcc --version | head -n 1)"

# The build trees live in the root, so that a new root also means a clean build.
if [[ ! -f $build_dir/build.ninja ]]; then
    in_root cmake -S /src -B /build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRYVO_WERROR=ON \
        >/dev/null
fi
targets=${RYVO_OBS32_TARGETS:-ryvo-obs}
[[ -n $package_out ]] && targets="$targets ryvo-send ryvo-send-man"
# shellcheck disable=SC2086 # a list of targets
in_root cmake --build /build --target $targets -j "${RYVO_OBS32_JOBS:-2}"
stage_took "the build"
if [[ -n $package_out ]]; then
    rm -f "$root"/build/ryvo-obs_*.deb
    in_root sh -c 'cd /build && cpack >/dev/null'
    deb=$(cd "$root/build" && echo ryvo-obs_*.deb)
    in_root /src/scripts/test-package.sh /build "/build/$deb" --install
    mkdir -p "$package_out"
    cp "$root/build/$deb" "$package_out/"
    [[ -n ${SUDO_UID:-} ]] && chown "$SUDO_UID:${SUDO_GID:-$SUDO_UID}" "$package_out/$deb"
    say "package: $package_out/$deb"
elif $shell; then
    in_root bash -l
else
    in_root ctest --test-dir /build --output-on-failure -R "$tests"
fi
exit
}
