#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Makes the fuzzer's seed corpus from small mkfs.fat images with hidden root folders.

Each file: volume size in sectors (4 bytes, little-endian), fault selector (1 byte), FAT length L
(2 bytes), the boot sector, the first L bytes of the first FAT, then the start of the root
directory. Usage: make_corpus.py OUTPUT_DIRECTORY
"""
import os
import struct
import subprocess
import sys
import tempfile

SECTOR = 512
FAT_BYTES = 2 * SECTOR
ROOT_BYTES = 2 * SECTOR
FAT32_MIN_CLUSTERS = 66000
FAULT_KINDS = 5  # none, position, read, write, flush


def run(*args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))


def make(out_dir, name, spc, reserved, fault, hidden):
    with tempfile.TemporaryDirectory() as tmp:
        image = os.path.join(tmp, "v.img")
        sectors = FAT32_MIN_CLUSTERS * spc + reserved + 2 * 1100
        with open(image, "wb") as f:
            f.truncate(sectors * SECTOR)
        run("mkfs.fat", "-F", "32", "-s", str(spc), "-R", str(reserved), image)
        folders = ["::/DIR%d" % i for i in range(hidden + 3)]
        run("mmd", "-i", image, *folders)
        for i, flags in enumerate(["+h", "+s", "+h +s", "+h +r", "+s +r", "+h +s +r"][:hidden]):
            run("mattrib", "-i", image, *flags.split(), folders[i])
        with open(image, "rb") as f:
            boot = f.read(SECTOR)
            total = struct.unpack_from("<I", boot, 32)[0]
            res = struct.unpack_from("<H", boot, 14)[0]
            fats = boot[16]
            fat_size = struct.unpack_from("<I", boot, 36)[0]
            root = struct.unpack_from("<I", boot, 44)[0]
            f.seek(res * SECTOR)
            fat = f.read(FAT_BYTES)
            f.seek((res + fats * fat_size + (root - 2) * boot[13]) * SECTOR)
            directory = f.read(ROOT_BYTES)
    with open(os.path.join(out_dir, name), "wb") as out:
        out.write(struct.pack("<IBH", total, fault, FAT_BYTES) + boot + fat + directory)


def make_other(out_dir, name, sectors, mkfs, root_of, hidden=True, files=()):
    """A FAT12, FAT16, exFAT or large-sector volume: root_of(boot) gives the root's byte offset.
    `files`: root files as the virus leaves them beside the folders, by name and attributes."""
    with tempfile.TemporaryDirectory() as tmp:
        image = os.path.join(tmp, "v.img")
        with open(image, "wb") as f:
            f.truncate(sectors * SECTOR)
        run(*mkfs, image)
        if hidden:
            run("mmd", "-i", image, "::/A", "::/B.DIR", "::/PLAIN")
            run("mattrib", "-i", image, "+h", "+s", "::/A", "::/B.DIR")
        for file, flags in files:
            source = os.path.join(tmp, "source")
            with open(source, "wb") as f:
                f.write(b"open=x.exe\r\n" * 40)
            run("mcopy", "-i", image, source, "::/" + file)
            if flags:
                run("mattrib", "-i", image, *flags.split(), "::/" + file)
        with open(image, "rb") as f:
            boot = f.read(SECTOR)
            fat_at, root_at = root_of(boot)
            f.seek(fat_at)
            fat = f.read(FAT_BYTES)
            f.seek(root_at)
            directory = f.read(ROOT_BYTES)
    with open(os.path.join(out_dir, name), "wb") as out:
        out.write(struct.pack("<IBH", sectors, 0, FAT_BYTES) + boot + fat + directory)


def small_fat_root(boot):
    bps = struct.unpack_from("<H", boot, 11)[0]
    res = struct.unpack_from("<H", boot, 14)[0]
    fat_size = struct.unpack_from("<H", boot, 22)[0]
    return res * bps, (res + boot[16] * fat_size) * bps


def fat32_root(boot):
    bps = struct.unpack_from("<H", boot, 11)[0]
    res = struct.unpack_from("<H", boot, 14)[0]
    fat_size = struct.unpack_from("<I", boot, 36)[0]
    root = struct.unpack_from("<I", boot, 44)[0]
    return res * bps, (res + boot[16] * fat_size + (root - 2) * boot[13]) * bps


def exfat_root(boot):
    bps = 1 << boot[108]
    fat_offset, _, heap, _, root = struct.unpack_from("<IIIII", boot, 80)
    return fat_offset * bps, (heap + ((root - 2) << boot[109])) * bps


def main():
    out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)
    make(out_dir, "spc1-hidden", 1, 32, 0, 6)
    make(out_dir, "spc8-reserved300", 8, 300, 0, 3)
    make(out_dir, "spc64-plain", 64, 38, 0, 0)
    make(out_dir, "spc8-failing-write", 8, 32, FAULT_KINDS * 2 + 3, 6)
    make(out_dir, "spc2-failing-read", 2, 256, FAULT_KINDS * 3 + 2, 2)
    make(out_dir, "spc8-failing-flush", 8, 32, FAULT_KINDS * 0 + 4, 6)
    make_other(out_dir, "fat12", 16 * 1024, ["mkfs.fat", "-F", "12"], small_fat_root)
    make_other(out_dir, "fat12-leftovers", 16 * 1024, ["mkfs.fat", "-F", "12", "-n", "STICK"],
               small_fat_root, files=[("A.lnk", ""), ("STICK.lnk", ""), ("autorun.inf", ""),
                                      ("x.exe", "+h +s"), ("Photos and more.lnk", "+h")])
    make_other(out_dir, "fat16-2048", 128 * 1024, ["mkfs.fat", "-F", "16", "-S", "2048"],
               small_fat_root)
    make_other(out_dir, "fat32-4096", 600 * 1024,
               ["mkfs.fat", "-F", "32", "-S", "4096", "-s", "1"], fat32_root)
    make_other(out_dir, "exfat", 64 * 1024, ["mkfs.exfat", "-c", "512"], exfat_root, hidden=False)


if __name__ == "__main__":
    main()
