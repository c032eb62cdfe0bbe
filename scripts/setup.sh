#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what Kestrova needs on a Debian machine (run as root, or with sudo available). Does
# nothing when everything is already there.
#
# usage: scripts/setup.sh [--list] SET...
#   build  building the Linux programs and their .deb, running the window (scripts/run.sh)
#   test   the tests, the Windows cross-build, the sanitizer and fuzzing builds, the .deb's checks
# With --list the packages of the sets are printed, one a line, and nothing is installed.
set -euo pipefail

build_packages=(
  cmake ninja-build g++ help2man
  qt6-base-dev qt6-base-dev-tools libgl-dev
  dosfstools mtools
  xvfb xauth fonts-wqy-microhei fonts-lohit-beng-bengali fonts-lohit-deva
  dpkg-dev file gettext python3-polib
  libsystemd-dev pkgconf zlib1g-dev nettle-dev nlohmann-json3-dev libcli11-dev liburing-dev
)
test_packages=(
  clang clang-format libclang-rt-14-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  util-linux e2fsprogs exfatprogs exfat-fuse fuse3 strace liblnk-utils
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 libz-mingw-w64-dev wine wine64 icoutils unzip
  xdotool x11-utils imagemagick
  python3 python3-pil fonts-dejavu-core fonts-freefont-ttf fonts-wine
  lintian desktop-file-utils appstream appstream-compose
  udisks2 polkitd dbus-daemon dbus-bin udev python3-dbusmock
)

list=false
if [ "${1:-}" = --list ]; then
  list=true
  shift
fi
[ $# -gt 0 ] || { sed -n '/^# usage:/,/^# With --list/s/^# //p' "$0" >&2; exit 2; }
packages=()
for set in "$@"; do
  case $set in
    build) packages+=("${build_packages[@]}") ;;
    test) packages+=("${test_packages[@]}") ;;
    *) echo "setup.sh: unknown set '$set' (build, test)" >&2; exit 2 ;;
  esac
done
if $list; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

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
