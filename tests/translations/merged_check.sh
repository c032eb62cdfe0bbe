#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The desktop entry, the metainfo and the Windows read-me take a translation beside the English
# (the stand-in's: a name, a summary with markup characters, the read-me's first paragraph) and
# stay valid; what the translation lacks stays English.
# usage: merged_check.sh PYTHON TRANSLATIONS_PY PACKAGING_DIR PO OUTPUT_DIR
set -eu
python=$1 tool=$2 packaging=$3 po=$4 out=$5
mkdir -p "$out"

"$python" "$tool" desktop --template "$packaging/kestrova.desktop.in" --output "$out/desktop" "$po"
sed 's/@KESTROVA_APP_ID@/org.example.kestrova/' "$out/desktop" > "$out/org.example.kestrova.desktop"
desktop-file-validate "$out/org.example.kestrova.desktop"
grep -qx 'Name\[ru\]=\[ru Kestrova\]' "$out/desktop"
test "$(grep -c '\[ru\]' "$out/desktop")" = 1

"$python" "$tool" metainfo --template "$packaging/kestrova.metainfo.xml.in" --output "$out/metainfo" "$po"
grep -q '<summary xml:lang="ru">\[ru summary\] &lt;&amp;&gt;</summary>' "$out/metainfo"
test "$(grep -c 'xml:lang="ru"' "$out/metainfo")" = 1
"$python" -c 'import sys, xml.dom.minidom; xml.dom.minidom.parse(sys.argv[1])' "$out/metainfo"

"$python" "$tool" readme --template "$packaging/windows/README.en.txt.in" --output "$out/readme" "$po"
test "$(head -1 "$out/readme")" = '[ru] Kestrova @PROJECT_VERSION@ Windows'
test "$(tail -n +2 "$out/readme")" = "$(tail -n +2 "$packaging/windows/README.en.txt.in")"
echo "merged as expected"
