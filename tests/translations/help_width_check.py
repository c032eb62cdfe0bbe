#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""kestrova-cli's help fits a terminal of 80 columns in every language: each line of the general
help and of every command's help, its columns counted as a terminal counts them (two for a wide
East Asian character, none for a combining mark or a format character).

usage: help_width_check.py KESTROVA_CLI LANG...
"""
import os
import subprocess
import sys
import unicodedata

COMMANDS = ["drives", "analyze", "scan", "repair", "clean", "move-back", "fix", "undo",
            "quarantine", "restore", "pc-check", "pc-clean", "journals"]


def columns(line):
    width = 0
    for c in line:
        if unicodedata.category(c) in ("Mn", "Me", "Cf"):
            continue
        width += 2 if unicodedata.east_asian_width(c) in ("W", "F") else 1
    return width


def main():
    cli, languages = sys.argv[1], sys.argv[2:]
    faults = []
    for language in languages:
        for arguments in [["--help"]] + [[command, "--help"] for command in COMMANDS]:
            environment = dict(os.environ, KESTROVA_LANG=language)
            run = subprocess.run([cli] + arguments, capture_output=True, env=environment)
            text = run.stdout.decode("utf-8")
            if run.returncode != 0 or not text:
                faults.append(f"{language} {' '.join(arguments)}: status {run.returncode}")
            for line in text.split("\n"):
                if columns(line) > 80:
                    faults.append(f"{language} {' '.join(arguments)}: {columns(line)} columns: "
                                  f"{line}")
    for fault in faults:
        print(fault)
    print(f"{len(languages)} languages, {len(faults)} lines too wide")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
