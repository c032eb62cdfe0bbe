#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Makes a fresh Wine prefix for the tests: drive F: is a removable drive whose raw device is the
# image file IMAGE (which need not exist yet), and Chinese text is drawn through font links.
# usage: make_prefix.sh PREFIX IMAGE
set -euo pipefail
prefix=$1
image=$2
export WINEPREFIX=$prefix WINEDEBUG=-all
mkdir -p "$prefix"
wineboot -i >/dev/null 2>&1
mkdir -p "$prefix/fdir"
ln -sfn "$prefix/fdir" "$prefix/dosdevices/f:"
ln -sfn "$image" "$prefix/dosdevices/f::"
wine reg add 'HKLM\Software\Wine\Drives' /v f: /d floppy /f >/dev/null 2>&1

# regedit reads names outside ASCII only from a UTF-16LE file with a byte-order mark.
reg=$prefix/fonts.reg
{
  printf '\xff\xfe'
  iconv -f UTF-8 -t UTF-16LE <<'REG'
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink]
"Tahoma"="wqy-microhei.ttc,WenQuanYi Micro Hei"
"MS Shell Dlg"="wqy-microhei.ttc,WenQuanYi Micro Hei"
"MS Shell Dlg 2"="wqy-microhei.ttc,WenQuanYi Micro Hei"
"Microsoft Sans Serif"="wqy-microhei.ttc,WenQuanYi Micro Hei"

[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]
"SimSun"="WenQuanYi Micro Hei"
"宋体"="WenQuanYi Micro Hei"
"STXinwei"="WenQuanYi Micro Hei"
"华文新魏"="WenQuanYi Micro Hei"
REG
} | sed 's/\x0a\x00/\x0d\x00\x0a\x00/g' >"$reg"
wine regedit "$reg" >/dev/null 2>&1
wineserver -w
