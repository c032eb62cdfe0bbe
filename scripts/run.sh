#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what building and running need, builds the Linux programs (without the tests) and starts the Kestrova window. When the
# machine has no removable drive, a fresh sample infected FAT32 image is made and presented as
# drive F. Without a display the window runs on a virtual one (Xvfb). Arguments are passed on to
# the window (for example --drive G=/dev/sdb1).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh build
cmake -S . -B build/run -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTROVA_BUILD_TESTS=OFF
cmake --build build/run -j "$(nproc)"

window=build/run/src/ui/qt/kestrova
args=()
if [ -z "$(build/run/src/cli/kestrova-cli drives 2>/dev/null)" ]; then
  sample="$PWD/build/sample/infected.img"
  mkdir -p "$(dirname "$sample")"
  tools/make_sample_image.sh "$sample"
  echo "no removable drive found: presenting the sample image $sample as drive F"
  args=(--drive "F=$sample")
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "no display: running the window under xvfb-run (a virtual X server nobody sees)"
  exec xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" "$window" "${args[@]}" "$@"
fi
exec "$window" "${args[@]}" "$@"
