#!/usr/bin/env bash
# Builds everything and runs every test: the Linux build, the sanitizer build of the engine's
# tests, the Windows cross-build with its tests under Wine, and the .deb.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh build test
jobs=$(nproc)

echo "== Windows cross-build"
cmake --preset windows -G Ninja
cmake --build build/windows -j "$jobs"

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
appstreamcli validate --no-net --pedantic "$deb_root"/usr/share/metainfo/*.metainfo.xml
# What a software centre's catalogue is made from: the component must come through, with its
# icons, and no error.
compose_out=$(mktemp -d)
appstreamcli compose --no-net --no-color --origin=kestrova --result-root="$compose_out" \
  --hints-dir="$compose_out/hints" "$deb_root" | tee "$compose_out/report"
! grep -q '^E:' "$compose_out/report" ||
  { echo "appstreamcli compose reported errors" >&2; exit 1; }
gunzip -c "$compose_out"/share/swcatalog/yaml/kestrova.yml.gz | grep -q '^Type: desktop-application' ||
  { echo "appstreamcli compose dropped the component" >&2; exit 1; }
ls "$compose_out"/share/swcatalog/icons/kestrova/64x64/*.png >/dev/null
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

echo "== Sanitizer build (ASan + UBSan) and engine tests"
cmake --preset asan -G Ninja
cmake --build build/asan -j "$jobs"
ctest --test-dir build/asan --output-on-failure -j "$jobs"

echo "== Fuzzing the analysis and the repair pass for 60 s (libFuzzer, clang)"
cmake --preset fuzz -G Ninja
cmake --build build/fuzz -j "$jobs" --target kestrova_fuzz_repair
fuzz_corpus=$(mktemp -d)
cp fuzz/corpus/* "$fuzz_corpus"/
build/fuzz/fuzz/kestrova_fuzz_repair -max_total_time=60 -timeout=10 -print_final_stats=1 \
  -artifact_prefix=build/fuzz/ "$fuzz_corpus" \
  2>&1 | tail -n 40
rm -rf "$fuzz_corpus"

echo "== all tests passed"
