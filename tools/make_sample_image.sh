#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Makes a sample FAT32 image as the worms leave a USB drive, so that the window shows the whole
# flow: the root folders and a document hidden and system; beside each folder a shortcut of its
# name that runs the worm's hidden script through cmd.exe; the autorun.inf that runs the script
# too; a folder named with a no-break space (U+00A0), hidden and system, into which a worm moved
# files, and the shortcut named after the drive that runs its payload; and the user's own
# shortcut to a document, which stays.
# Usage: tools/make_sample_image.sh PATH   (a sparse file of 64 MiB; an existing PATH is replaced)
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 PATH" >&2
  exit 2
fi
image=$1
export MTOOLS_SKIP_CHECK=1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Little-endian bytes as printf escapes.
le16() { printf '\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)); }
le32() { printf '%s%s' "$(le16 $(($1 & 65535)))" "$(le16 $(($1 >> 16 & 65535)))"; }
# A string of a shortcut's string data: its length in UTF-16 code units, then its UTF-16LE bytes.
link_string() {
  local utf16
  utf16=$(printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE | od -An -v -tx1 | tr -s ' \n' ' ')
  local units=$(($(wc -w <<<"$utf16") / 2))
  printf '%s' "$(le16 "$units")"
  for byte in $utf16; do printf '\\x%s' "$byte"; done
}
# shortcut FILE RELATIVE_PATH ARGUMENTS SHOW: a Shell Link file with a relative target path,
# its arguments (none when empty) and its window (1 normal, 7 minimised), strings in UTF-16.
shortcut() {
  local flags=$((0x08 | 0x80))  # HasRelativePath, IsUnicode
  [ -n "$3" ] && flags=$((flags | 0x20))  # HasArguments
  {
    printf '\x4c\x00\x00\x00'                                             # header size
    printf '\x01\x14\x02\x00\x00\x00\x00\x00\xc0\x00\x00\x00\x00\x00\x00\x46'  # the class id
    printf "$(le32 "$flags")"
    printf "$(le32 $((0x20)))"                 # the target's attributes: archive
    head -c 24 /dev/zero                       # creation, access and write times
    head -c 8 /dev/zero                        # file size, icon index
    printf "$(le32 "$4")"                      # show command
    head -c 12 /dev/zero                       # hot key and the reserved fields
    printf "$(link_string "$2")"
    [ -z "$3" ] || printf "$(link_string "$3")"
  } >"$1"
}

rm -f "$image"
truncate -s 64M "$image"
mkfs.fat -F 32 -n KESTROVA "$image" >/dev/null

printf 'Kestrova sample drive\r\n' >"$work/readme.txt"
printf 'minutes of the first meeting\r\n' >"$work/notes.txt"
printf '%s\n' "一年级照片" >"$work/list.txt"
printf 'budget 2026\r\n' >"$work/budget.txt"
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

# The user's own shortcut to a document on the drive.
shortcut "$work/notes.lnk" '.\资料\notes.txt' '' 1
mcopy -i "$image" "$work/notes.lnk" "::/会议记录 - 快捷方式.lnk"

# A worm of the shortcut kind: its script, a shortcut of each folder's name that runs it and
# then opens the folder, and the autorun.inf that runs it too.
printf 'CreateObject("WScript.Shell").Run "cmd /c echo worm"\r\n' >"$work/sys.vbs"
printf '[AutoRun]\r\nopen=wscript.exe sys.vbs\r\nshell\\open\\command=wscript.exe sys.vbs\r\n' \
  >"$work/autorun.inf"
mcopy -i "$image" "$work/sys.vbs" "$work/autorun.inf" "::/"
for folder in "${folders[@]}"; do
  shortcut "$work/folder.lnk" '..\..\..\Windows\System32\cmd.exe' \
    "/c start wscript /e:VBScript.Encode sys.vbs&start explorer \"$folder\"&exit" 7
  mcopy -i "$image" "$work/folder.lnk" "::/$folder.lnk"
done

# A worm of the blank-folder kind: files moved into a folder named with a no-break space, its
# payload beside them, and a shortcut named after the drive that runs it.
blank=$(printf '\u00a0')
mmd -i "$image" "::/$blank"
mcopy -i "$image" "$work/budget.txt" "::/$blank/budget.txt"
head -c 4096 /dev/urandom >"$work/payload"
mcopy -i "$image" "$work/payload" "::/$blank/~\$WQF5D.FAT32"
shortcut "$work/drive.lnk" '..\..\..\Windows\System32\rundll32.exe' \
  '~$WQF5D.FAT32,_ldr@16 desktop.ini RET TLS ""' 7
mcopy -i "$image" "$work/drive.lnk" "::/KESTROVA (64MB).lnk"

# What the worms do: the root folders, a document and their own files become hidden and system.
for folder in "${folders[@]}" "$blank"; do
  mattrib -i "$image" +h +s "::/$folder"
done
mattrib -i "$image" +h +s "::/readme.txt" "::/sys.vbs" "::/autorun.inf" "::/$blank/~\$WQF5D.FAT32"
echo "$image: FAT32 sample with $((${#folders[@]} + 1)) hidden system folders, a hidden" \
  "document and the worms' shortcuts, script and autorun.inf"
