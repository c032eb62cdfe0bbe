#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Splits an .ico file into the program file's icon resources.

windres numbers the images of an ICON statement itself; the program file needs icon group 1
holding the images 30001, 30002, ... in the file's order. This step writes each image as a raw
RT_ICON resource and the group directory as RT_GROUP_ICON, plus an .rc fragment naming them.

usage: icon_resources.py ICO OUTDIR GROUP_ID FIRST_IMAGE_ID
"""
import pathlib
import struct
import sys

RT_ICON = 3
RT_GROUP_ICON = 14
ICO_HEADER = struct.Struct("<HHH")  # reserved, type (1 = icon), image count
ICO_ENTRY = struct.Struct("<BBBBHHII")  # w, h, colours, reserved, planes, bits, size, offset
GROUP_ENTRY = struct.Struct("<BBBBHHIH")  # the same, with the resource id in place of the offset
ICON_TYPE = 1


def main() -> int:
    ico_path, out_dir, group_id, first_id = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    data = pathlib.Path(ico_path).read_bytes()
    reserved, kind, count = ICO_HEADER.unpack_from(data, 0)
    if reserved != 0 or kind != ICON_TYPE or count == 0:
        sys.exit(f"{ico_path}: not an icon file")
    out = pathlib.Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    group = bytearray(ICO_HEADER.pack(0, ICON_TYPE, count))
    lines = ["// Generated from the application icon; do not edit.", "LANGUAGE 0, 0"]
    for index in range(count):
        w, h, colours, res, planes, bits, size, offset = ICO_ENTRY.unpack_from(
            data, ICO_HEADER.size + index * ICO_ENTRY.size)
        if offset + size > len(data):
            sys.exit(f"{ico_path}: image {index + 1} runs past the end of the file")
        image_id = first_id + index
        image_file = out / f"icon_{image_id}.bin"
        image_file.write_bytes(data[offset:offset + size])
        group += GROUP_ENTRY.pack(w, h, colours, res, planes, bits, size, image_id)
        lines.append(f'{image_id} {RT_ICON} "{image_file.as_posix()}"')
    group_file = out / "icon_group.bin"
    group_file.write_bytes(bytes(group))
    lines.append(f'{group_id} {RT_GROUP_ICON} "{group_file.as_posix()}"')
    (out / "icons.rc").write_text("\n".join(lines) + "\n", encoding="ascii")
    return 0


if __name__ == "__main__":
    sys.exit(main())
