#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need. Quiet and quick when
# everything is already there.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
    libobs-dev obs-studio qtbase5-dev qt6-base-dev
    libavformat-dev libavcodec-dev libavutil-dev
    libcurl4-openssl-dev libssl-dev libsecret-1-dev nlohmann-json3-dev
    libgtest-dev libgmock-dev
    xvfb xdotool x11-utils imagemagick dbus dbus-x11 gnome-keyring libsecret-tools
    ffmpeg openssl python3 python3-websocket curl debootstrap lintian
)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
