#!/usr/bin/env bash
# Installs what building and testing Kestrova needs on a Debian machine (run as root, or with
# sudo available). Does nothing when everything is already there.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang clang-format libclang-rt-14-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  dosfstools mtools util-linux e2fsprogs exfatprogs exfat-fuse fuse3
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine wine64 icoutils
  qt6-base-dev qt6-base-dev-tools libgl-dev
  xvfb xauth xdotool x11-utils imagemagick fonts-wqy-microhei
  python3 python3-pil fonts-dejavu-core
  libsystemd-dev pkgconf udisks2 polkitd dbus-daemon udev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "installing: ${missing[*]}"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
