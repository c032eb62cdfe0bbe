#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Makes a sample FAT32 image as the virus leaves a USB drive: every root folder and a document
# hidden and system, beside the worm's hidden script and the autorun.inf that runs it.
# Usage: tools/make_sample_image.sh PATH   (a sparse file of 64 MiB; an existing PATH is replaced)
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 PATH" >&2
  exit 2
fi
image=$1
export MTOOLS_SKIP_CHECK=1

rm -f "$image"
truncate -s 64M "$image"
mkfs.fat -F 32 -n KESTROVA "$image" >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'Kestrova sample drive\r\n' >"$work/readme.txt"
printf 'minutes of the first meeting\r\n' >"$work/notes.txt"
printf '%s\n' "一年级照片" >"$work/list.txt"
head -c 20000 /dev/urandom >"$work/photo.jpg"

folders=("资料" "我的文档与照片备份" "Old Projects" "MUSIC")
for folder in "${folders[@]}"; do
  mmd -i "$image" "::/$folder"
done
mcopy -i "$image" "$work/notes.txt" "::/资料/notes.txt"
mcopy -i "$image" "$work/list.txt" "::/我的文档与照片备份/list.txt"
mcopy -i "$image" "$work/photo.jpg" "::/我的文档与照片备份/photo.jpg"
mmd -i "$image" "::/Old Projects/2008"
mcopy -i "$image" "$work/notes.txt" "::/Old Projects/2008/plan.txt"
mcopy -i "$image" "$work/readme.txt" "::/readme.txt"

printf '[AutoRun]\r\nopen=wscript.exe sys.vbs\r\nshell\\open\\command=wscript.exe sys.vbs\r\n' \
  >"$work/autorun.inf"
printf 'CreateObject("WScript.Shell").Run "cmd /c echo worm"\r\n' >"$work/sys.vbs"
mcopy -i "$image" "$work/autorun.inf" "$work/sys.vbs" "::/"

# What the virus does: the root folders and the document become hidden system folders and files.
for folder in "${folders[@]}"; do
  mattrib -i "$image" +h +s "::/$folder"
done
mattrib -i "$image" +h +s "::/readme.txt" "::/sys.vbs" "::/autorun.inf"
echo "$image: FAT32 sample with ${#folders[@]} hidden system folders"
