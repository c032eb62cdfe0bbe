#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Writes the Windows zip and, beside it, SHA256SUMS.

usage: make_zip.py LIST ZIP EPOCH

LIST names the archive's files in their order, one a line: the name in the archive, a tab, its
kind ("binary" or "text"), a tab, and the file it is made from. A text file is kept as UTF-8 with
LF line ends; in the archive it begins with a byte-order mark and ends its lines with CR LF, as
Notepad reads it right. Every entry is dated EPOCH (seconds since 1970, UTC) and carries no owner
and fixed permissions, so the archive holds nothing but the files' names and contents: two builds
of one commit write the same bytes.
"""
import hashlib
import os
import stat
import sys
import time
import zipfile

BOM = b"\xef\xbb\xbf"


def windows_text(data, source):
    """UTF-8 text with LF line ends as Notepad reads it: a byte-order mark, CR LF."""
    text = data.decode("utf-8")  # fails on a file that is no UTF-8
    if data.startswith(BOM) or "\r" in text or not text.endswith("\n"):
        sys.exit(f"{source}: not plain UTF-8 text with LF line ends")
    return BOM + text.replace("\n", "\r\n").encode("utf-8")


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    listing, zip_path, epoch = sys.argv[1], sys.argv[2], int(sys.argv[3])
    # A zip records a date and time without a zone, from 1980 on, to two seconds.
    stamp = max(time.gmtime(epoch)[:6], (1980, 1, 1, 0, 0, 0))
    entries = []
    with open(listing, encoding="utf-8") as lines:
        for line in lines:
            name, kind, source = line.rstrip("\n").split("\t")
            with open(source, "rb") as file:
                data = file.read()
            entries.append((name, windows_text(data, source) if kind == "text" else data))

    unfinished = zip_path + ".new"
    with zipfile.ZipFile(unfinished, "w") as archive:
        for name, data in entries:
            entry = zipfile.ZipInfo(name, stamp)
            # Unix permissions, fixed: a zip made on "FAT" has its UTF-8 names read as the
            # DOS code page by Info-ZIP's unzip. Windows ignores the permissions.
            entry.create_system = 3
            mode = 0o755 if name.lower().endswith(".exe") else 0o644
            entry.external_attr = (stat.S_IFREG | mode) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(entry, data, compresslevel=9)
    os.replace(unfinished, zip_path)

    with open(zip_path, "rb") as file:
        digest = hashlib.sha256(file.read()).hexdigest()
    sums = os.path.join(os.path.dirname(zip_path), "SHA256SUMS")
    with open(sums, "w", encoding="utf-8", newline="\n") as file:
        file.write(f"{digest}  {os.path.basename(zip_path)}\n")


if __name__ == "__main__":
    main()
