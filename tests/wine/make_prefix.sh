#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Makes a fresh Wine prefix for the tests: drive F: is a removable drive whose raw device is the
# image file IMAGE (which need not exist yet), and every language's text is drawn: Chinese through
# font links, Arabic and Persian by Tahoma, Bengali and Hindi by FreeSans standing for Nirmala UI
# (Wine shapes a complex script with the font asked for alone: font links do not reach it).
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
# Wine's own Tahoma (fonts-wine), the face of the system's dialog and message fonts, which Wine
# here does not install itself: the window's texts are measured in it as in Windows' own.
ln -sf /usr/share/wine/fonts/tahoma.ttf /usr/share/wine/fonts/tahomabd.ttf \
  "$prefix/drive_c/windows/Fonts/"

# regedit reads names outside ASCII only from a UTF-16LE file with a byte-order mark.
reg=$prefix/fonts.reg
{
  printf '\xff\xfe'
  iconv -f UTF-8 -t UTF-16LE <<'REG'
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]
"SimSun"="WenQuanYi Micro Hei"
"宋体"="WenQuanYi Micro Hei"
"STXinwei"="WenQuanYi Micro Hei"
"华文新魏"="WenQuanYi Micro Hei"
"Nirmala UI"="FreeSans"
REG
} | sed 's/\x0a\x00/\x0d\x00\x0a\x00/g' >"$reg"
wine regedit "$reg" >/dev/null 2>&1
# The faces that Wine lacks take the first linked font in their place.
links='DejaVuSans.ttf,DejaVu Sans\0wqy-microhei.ttc,WenQuanYi Micro Hei'
for face in Tahoma 'MS Shell Dlg' 'MS Shell Dlg 2' 'Microsoft Sans Serif'; do
  wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
    /v "$face" /t REG_MULTI_SZ /d "$links" /f >/dev/null 2>&1
done
wineserver -w
