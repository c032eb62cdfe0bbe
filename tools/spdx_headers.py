#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Puts the licence's SPDX-License-Identifier line at the top of every source file in git.

Usage: spdx_headers.py [--check] [--root SOURCE_TREE]
A file that already names it keeps its text. The line comes first, after a "#!" line if there is
one, as a comment of the file's language. With --check nothing is written: the files without
the line are listed and the exit status is 1 when there are any.
"""

import argparse
import os
import subprocess
import sys

LICENSE = "GPL-3.0-or-later"
TAG = "SPDX-License-Identifier:"
# The comment that begins a line, by how a file's name ends.
COMMENTS = {
    ".cpp": "//", ".h": "//", ".rc": "//", ".def": "//", ".h.in": "//",
    ".py": "#", ".sh": "#", ".cmake": "#", "CMakeLists.txt": "#",
}


def comment_of(path):
    for ending, comment in COMMENTS.items():
        if os.path.basename(path) == ending or path.endswith(ending):
            return comment
    return None


def with_header(text, comment):
    """The text with the line added, or None when it names the licence already."""
    lines = text.splitlines(keepends=True)
    if any(TAG in line for line in lines[:3]):
        return None
    at = 1 if lines and lines[0].startswith("#!") else 0
    lines.insert(at, "%s %s %s\n" % (comment, TAG, LICENSE))
    return "".join(lines)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="list the files without the line")
    parser.add_argument("--root", default=os.path.join(here, os.pardir), help="source tree")
    args = parser.parse_args()
    listed = subprocess.run(["git", "ls-files", "-z"], cwd=args.root, check=True,
                            capture_output=True).stdout.decode().split("\0")
    missing = []
    for path in listed:
        # .ci/ belongs to the machines that run the project, not to its sources.
        comment = comment_of(path)
        if not path or path.startswith(".ci/") or comment is None:
            continue
        full = os.path.join(args.root, path)
        with open(full, encoding="utf-8", newline="") as f:
            text = with_header(f.read(), comment)
        if text is None:
            continue
        missing.append(path)
        if not args.check:
            with open(full, "w", encoding="utf-8", newline="") as f:
                f.write(text)
    for path in missing:
        print(("no %s line: %s" if args.check else "added the %s line: %s") % (TAG, path))
    return 1 if args.check and missing else 0


if __name__ == "__main__":
    sys.exit(main())
