#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The programs' help and usage errors speak every language and fit a terminal of 80 columns:
each line of the general help and of every command's help, its columns counted as a terminal
counts them (two for a wide East Asian character, none for a combining mark or a format
character). In every language but English the help and a usage error differ from the English
ones (nothing is left untranslated); a usage error exits with 2 and prints nothing on standard
output.

usage: help_width_check.py PROGRAM... -- LANG...
"""
import os
import subprocess
import sys
import unicodedata

# kestrova-cli's commands, each with a help of its own.
COMMANDS = ["drives", "analyze", "scan", "repair", "clean", "move-back", "fix", "undo",
            "quarantine", "restore", "pc-check", "pc-clean", "journals"]


def columns(line):
    width = 0
    for c in line:
        if unicodedata.category(c) in ("Mn", "Me", "Cf"):
            continue
        width += 2 if unicodedata.east_asian_width(c) in ("W", "F") else 1
    return width


def run(program, arguments, language):
    environment = dict(os.environ, KESTROVA_LANG=language)
    done = subprocess.run([program] + arguments, capture_output=True, env=environment, timeout=60)
    return done.returncode, done.stdout.decode("utf-8"), done.stderr.decode("utf-8")


def main():
    split = sys.argv.index("--")
    programs, languages = sys.argv[1:split], sys.argv[split + 1:]
    faults = []
    for program in programs:
        name = os.path.basename(program)
        helps = [["--help"]]
        if name == "kestrova-cli":
            helps += [[command, "--help"] for command in COMMANDS]
        for arguments in helps:
            english = run(program, arguments, "en")[1]
            for language in languages:
                what = f"{language} {name} {' '.join(arguments)}"
                status, text, _ = run(program, arguments, language)
                if status != 0 or not text:
                    faults.append(f"{what}: status {status}")
                if language != "en" and text == english:
                    faults.append(f"{what}: the English help")
                for line in text.split("\n"):
                    if columns(line) > 80:
                        faults.append(f"{what}: {columns(line)} columns: {line}")
        # The program's own line (Qt may warn before it).
        def problem(error):
            return next((line for line in error.split("\n") if line.startswith(name + ":")), "")

        english = problem(run(program, ["--no-such-option"], "en")[2])
        for language in languages:
            what = f"{language} {name} --no-such-option"
            status, text, error = run(program, ["--no-such-option"], language)
            first = problem(error)
            if status != 2 or text or "--no-such-option" not in first:
                faults.append(f"{what}: status {status}, {first!r}")
            if language != "en" and first == english:
                faults.append(f"{what}: in English: {first}")
    for fault in faults:
        print(fault)
    print(f"{len(programs)} programs, {len(languages)} languages, {len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
