#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds everything and runs every test: the Linux build, the sanitizer build of the engine's
# tests, the Windows cross-build with its tests under Wine, and the .deb.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh build test
jobs=$(nproc)

echo "== Windows cross-build and its zip: the checksum, the entries in their order"
cmake --preset windows -G Ninja
cmake --build build/windows -j "$jobs"
win_zip=$(echo build/windows/Kestrova-*-win64.zip)
(cd build/windows && sha256sum --check SHA256SUMS)
LC_ALL=C.UTF-8 zipinfo "$win_zip"
# The programs, the licence, the read-mes in English and Chinese, then one in each language of po/.
readmes=$(for po in po/*.po; do name=${po#po/}; echo "README.${name%.po}.txt"; done | LC_ALL=C sort)
[ "$(LC_ALL=C.UTF-8 zipinfo -1 "$win_zip")" = \
  "$(printf '%s\n' Kestrova.exe kestrova-cli.exe kestrova-guard.exe LICENSE README.txt \
    说明.txt $readmes)" ] ||
  { echo "$win_zip holds other files or another order" >&2; exit 1; }
! unzip -p "$win_zip" '*.exe' | strings -a | grep -e "$PWD" -e build ||
  { echo "the programs in $win_zip name a build folder" >&2; exit 1; }

echo "== Linux build and tests"
cmake --preset linux -G Ninja -DKESTROVA_WINDOWS_BIN="$PWD/build/windows"
cmake --build build/linux -j "$jobs"
ctest --test-dir build/linux --output-on-failure -j "$jobs"

echo "== The .deb: Release build without the tests, cpack, lintian, run from a scratch root"
# Made in a build folder of its own, from scratch, so that the second build below starts from the
# same nothing.
make_deb() {
  rm -rf "$1"
  cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTROVA_BUILD_TESTS=OFF
  cmake --build "$1" -j "$jobs"
  (cd "$1" && cpack -G DEB)
}
make_deb build/deb
deb=$(echo build/deb/kestrova_*.deb)
dpkg-deb --field "$deb" Package Version Depends Maintainer Homepage
lintian --fail-on warning "$deb"
deb_root=$(mktemp -d)
dpkg -x "$deb" "$deb_root"
desktop-file-validate "$deb_root"/usr/share/applications/*.desktop
# Clean down to the pedantic hints, which validate reports without failing.
validated=$(appstreamcli validate --no-net --pedantic --no-color \
  "$deb_root"/usr/share/metainfo/*.metainfo.xml) ||
  { echo "$validated" >&2; exit 1; }
echo "$validated"
! grep -q '^[EWIP]: ' <<<"$validated" ||
  { echo "appstreamcli validate --pedantic reported issues" >&2; exit 1; }
# What a software centre's catalogue is made from: the component must come through, with its
# 64 px icon, and the unit without a hint (an error such as icon-not-found drops the component).
compose_out=$(mktemp -d)
appstreamcli compose --no-net --no-color --origin=kestrova --result-root="$compose_out" \
  --hints-dir="$compose_out/hints" "$deb_root"
grep -A1 '^- Unit: ' "$compose_out/hints/kestrova.hints.yaml" | grep '^  Hints: \[\]$' >/dev/null ||
  { sed -n '/^- Unit: /,$p' "$compose_out/hints/kestrova.hints.yaml" >&2
    echo "appstreamcli compose found problems" >&2; exit 1; }
# grep reads the whole catalogue (with -q it would stop early, and pipefail would take gunzip's
# broken pipe for a failure).
gunzip -c "$compose_out"/usr/share/swcatalog/xml/kestrova.xml.gz |
  grep '<component type="desktop-application">' >/dev/null ||
  { echo "appstreamcli compose dropped the component" >&2; exit 1; }
ls "$compose_out"/usr/share/swcatalog/icons/kestrova/64x64/*.png >/dev/null
rm -rf "$compose_out"
printed=$("$deb_root/usr/bin/kestrova-cli" --version)
echo "$printed"
[ "$(head -n 1 <<<"$printed")" = "kestrova-cli $(dpkg-deb --field "$deb" Version)" ] ||
  { echo "the installed kestrova-cli --version printed '$printed'" >&2; exit 1; }
grep -q '^License GPL-3.0-or-later' <<<"$printed" ||
  { echo "the installed kestrova-cli --version names no licence" >&2; exit 1; }
rm -rf "$deb_root"

echo "== The .deb again, in another build folder: the same bytes"
make_deb build/deb-again
cmp "$deb" build/deb-again/kestrova_*.deb
rm -rf build/deb-again

echo "== The Windows zip again, in another build folder: the same bytes"
# Only the two programs and the zip are built again (the tests' driver is not in the zip).
rm -rf build/windows-again
cmake --preset windows -G Ninja -B build/windows-again
cmake --build build/windows-again -j "$jobs" --target zip
cmp "$win_zip" "build/windows-again/${win_zip#build/windows/}"
rm -rf build/windows-again

echo "== Sanitizer build (ASan + UBSan) and engine tests"
cmake --preset asan -G Ninja
cmake --build build/asan -j "$jobs"
ctest --test-dir build/asan --output-on-failure -j "$jobs"

echo "== Fuzzing the analysis and the repair pass for 60 s, the shortcut reader for 30 s (libFuzzer)"
cmake --preset fuzz -G Ninja
cmake --build build/fuzz -j "$jobs" --target kestrova_fuzz_repair kestrova_fuzz_shortcut
fuzz_corpus=$(mktemp -d)
cp fuzz/corpus/* "$fuzz_corpus"/
build/fuzz/fuzz/kestrova_fuzz_repair -max_total_time=60 -timeout=10 -print_final_stats=1 \
  -artifact_prefix=build/fuzz/ "$fuzz_corpus" \
  2>&1 | tail -n 40
rm -rf "$fuzz_corpus"
build/fuzz/fuzz/kestrova_fuzz_shortcut -max_total_time=30 -timeout=10 -print_final_stats=1 \
  -artifact_prefix=build/fuzz/ 2>&1 | tail -n 20

echo "== all tests passed"
