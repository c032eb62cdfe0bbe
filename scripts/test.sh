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
cmake -S . -B build/deb -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTROVA_BUILD_TESTS=OFF
cmake --build build/deb -j "$jobs"
rm -f build/deb/kestrova_*.deb
(cd build/deb && cpack -G DEB)
deb=$(echo build/deb/kestrova_*.deb)
dpkg-deb --field "$deb" Package Version Depends
lintian --fail-on error "$deb"
deb_root=$(mktemp -d)
dpkg -x "$deb" "$deb_root"
desktop-file-validate "$deb_root"/usr/share/applications/*.desktop
appstreamcli validate --no-net "$deb_root"/usr/share/metainfo/*.metainfo.xml
printed=$("$deb_root/usr/bin/kestrova-cli" --version)
echo "$printed"
[ "$printed" = "kestrova-cli $(dpkg-deb --field "$deb" Version)" ] ||
  { echo "the installed kestrova-cli --version printed '$printed'" >&2; exit 1; }
rm -rf "$deb_root"

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
