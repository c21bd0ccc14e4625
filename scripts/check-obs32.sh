#!/usr/bin/env bash
# Compiles every OBS-facing source of the module against the OBS 32 API (Qt 6 for the dock), while
# everyday builds and tests use Debian 12's OBS 29. The headers come from Debian unstable's
# libobs-dev, fetched with apt-get under a private apt configuration and state in the build folder,
# so the host's apt setup is neither read for sources nor written. Nothing is linked.
#
# usage: scripts/check-obs32.sh [build-folder]
#   build-folder    default: build-obs32 in the source tree, holding
#       apt/      private apt sources, lists, cache and the downloaded .deb files
#       headers/  the unpacked packages
#       build/    the CMake build tree
#
# The package list is refreshed at most once a day; when the archive cannot be reached, the cached
# packages are used. RYVO_OBS32_ARCHIVE replaces the Debian mirror.
set -euo pipefail

src_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(mkdir -p "${1:-$src_dir/build-obs32}" && cd "${1:-$src_dir/build-obs32}" && pwd)
apt_dir=$build_dir/apt
deb_dir=$apt_dir/debs
headers_root=$build_dir/headers
cmake_dir=$build_dir/build

archive=${RYVO_OBS32_ARCHIVE:-http://deb.debian.org/debian}
suite=unstable
packages=(libobs-dev)
max_list_age_minutes=1440

say() { echo "check-obs32: $*"; }
fail() {
    echo "check-obs32: $*" >&2
    exit 1
}

mkdir -p "$apt_dir/state/lists/partial" "$apt_dir/cache/archives/partial" "$deb_dir"
cat >"$apt_dir/sources.list" <<EOF
deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $archive $suite main
EOF
apt_options=(
    -o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
    -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts=/dev/null
    -o "Dir::State=$apt_dir/state" -o "Dir::Cache=$apt_dir/cache" -o Debug::NoLocking=1
    -o Acquire::Languages=none -o "APT::Architectures=$(dpkg --print-architecture)"
    -o "APT::Sandbox::User=$(id -un)"
)
updated_stamp=$apt_dir/updated.stamp

cached_deb() { # newest cached .deb of a package, if any
    find "$deb_dir" -maxdepth 1 -name "${1}_*.deb" -printf '%f\n' | sort -V | tail -n 1
}

all_cached() {
    local package
    for package in "${packages[@]}"; do
        [[ -n $(cached_deb "$package") ]] || return 1
    done
}

# Fetches the archive's current version of each package unless it is cached already; an older
# cached version is then removed.
download_packages() {
    local package file
    for package in "${packages[@]}"; do
        read -r _ file _ < <(apt-get "${apt_options[@]}" download --print-uris "$package" 2>/dev/null)
        [[ -n ${file:-} ]] || return 1
        [[ -f $deb_dir/$file ]] && continue
        (cd "$deb_dir" && apt-get "${apt_options[@]}" -qq download "$package" >/dev/null) || return 1
        [[ -f $deb_dir/$file ]] || return 1
        find "$deb_dir" -maxdepth 1 -name "${package}_*.deb" ! -name "$file" -delete
        say "downloaded $file"
    done
}

if [[ -n $(find "$updated_stamp" -mmin -"$max_list_age_minutes" 2>/dev/null) ]] && all_cached; then
    :
elif apt-get "${apt_options[@]}" -qq update >/dev/null 2>&1 && download_packages; then
    touch "$updated_stamp"
elif all_cached; then
    say "warning: nothing could be fetched from the Debian archive ($archive); using the cached" \
        "packages"
else
    fail "cannot fetch ${packages[*]} from Debian $suite at $archive and nothing is cached" \
        "in $deb_dir; the check needs network access once"
fi

# Unpacks again only when the set of packages changed. The build tree goes with the old headers:
# unpacked files keep the package's time stamps, older than the objects built against the old ones.
debs=()
for package in "${packages[@]}"; do
    debs+=("$(cached_deb "$package")")
done
if [[ ! -f $headers_root/.unpacked || $(cat "$headers_root/.unpacked") != "${debs[*]}" ]]; then
    rm -rf "$headers_root" "$cmake_dir"
    mkdir -p "$headers_root"
    for deb in "${debs[@]}"; do
        dpkg-deb -x "$deb_dir/$deb" "$headers_root"
    done
    echo "${debs[*]}" >"$headers_root/.unpacked"
fi
obs_headers=$headers_root/usr/include/obs
[[ -f $obs_headers/obs-config.h ]] || fail "no obs-config.h in $obs_headers"

version_part() {
    sed -n "s/^#define LIBOBS_API_${1}_VER \([0-9]\+\).*/\1/p" "$obs_headers/obs-config.h"
}
obs_version="$(version_part MAJOR).$(version_part MINOR).$(version_part PATCH)"
[[ $obs_version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "no API version in $obs_headers/obs-config.h"

if [[ ! -f $cmake_dir/build.ninja ]]; then
    cmake -S "$src_dir" -B "$cmake_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRYVO_WERROR=ON \
        -DRYVO_BUILD_TESTS=OFF "-DRYVO_OBS_HEADERS_DIR=$obs_headers" >/dev/null
fi
cmake --build "$cmake_dir" --target ryvo-obs -j "${RYVO_OBS32_JOBS:-2}"

qt_dir=$(sed -n 's/^Qt6_DIR:PATH=//p' "$cmake_dir/CMakeCache.txt")
qt_version=$(sed -n 's/^set(PACKAGE_VERSION "\([0-9.]*\)")$/\1/p' "$qt_dir/Qt6ConfigVersionImpl.cmake" 2>/dev/null)
say "the OBS-facing sources compile against OBS $obs_version (${debs[*]}) with Qt ${qt_version:-6}"
