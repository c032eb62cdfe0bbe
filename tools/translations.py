#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The translations of Kestrova: the template that translators work from, and what the build
makes of their files.

Usage:
  translations.py pot --source-dir DIR --output FILE [--check]
      po/kestrova.pot from every text a user reads: the entries of src/words/texts.def (msgctxt:
      the entry's name), the paragraphs of the Windows zip's read-me, the desktop entry and the
      AppStream metainfo. With --check nothing is written: the exit status is 1 when FILE differs
      from what would be written.

The .po files are read with polib (Debian's python3-polib).
"""

import argparse
import os
import re
import sys

import polib

# A printf conversion as the texts use them, or a literal percent sign.
CONVERSION = re.compile(r"%(?:(\d+)\$)?[-+ #0]*\d*(?:\.\d+)?(?:ll|l|h|hh|z|j)?([diouxXfFeEgGcs%])")
# A value put in by the build: @PROJECT_VERSION@.
BUILD_VALUE = re.compile(r"@[A-Z_]+@")
PACKAGE = "kestrova"
READ_ME_CONTEXT = "README.txt"

# texts.def -----------------------------------------------------------------------------------


class Entry:
    """One text: its name, its Chinese, its English (one form, or the singular and the plural)
    and the comments that stand above it in texts.def."""

    def __init__(self, name, chinese, english, plural, comments):
        self.name = name
        self.chinese = chinese
        self.english = english
        self.plural = plural  # None for a text without a count
        self.comments = comments


def _string_literal(text, at):
    """The value of the C string literal that begins at text[at] (a quote), and where it ends."""
    escapes = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"', "'": "'"}
    value = []
    at += 1
    while text[at] != '"':
        if text[at] == "\\":
            value.append(escapes[text[at + 1]])
            at += 2
        else:
            value.append(text[at])
            at += 1
    return "".join(value), at + 1


def _arguments(text, at):
    """The arguments of the macro call whose '(' is text[at]: names as they are, adjacent string
    literals joined. Returns them and where the call ends."""
    arguments = [None]
    at += 1
    while True:
        c = text[at]
        if c == '"':
            value, at = _string_literal(text, at)
            arguments[-1] = (arguments[-1] or "") + value
        elif c == ",":
            arguments.append(None)
            at += 1
        elif c == ")":
            return arguments, at + 1
        elif c.isspace():
            at += 1
        elif text.startswith("//", at):
            at = text.index("\n", at)
        else:
            name = re.match(r"[A-Za-z_][A-Za-z0-9_]*", text[at:]).group(0)
            arguments[-1] = name
            at += len(name)


def read_texts(path):
    """The entries of texts.def in their order, each with the comments that speak of it: the
    comment block after a blank line heads the entries below it up to the next such block; a
    comment block right below an entry speaks of the entries below it up to the next comment or
    blank line; a block's lines from one that begins with "Values:" on speak of the next entry
    alone."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    text = "\n".join(lines)
    entries = []
    heading, note, block = [], [], []
    after_blank = True
    starts = [0]
    for line in lines:
        starts.append(starts[-1] + len(line) + 1)
    number = 0
    while number < len(lines):
        line = lines[number].strip()
        if line.startswith("//"):
            block.append(line[2:].strip())
            number += 1
            continue
        values = []
        if block:
            split = next((i for i, b in enumerate(block) if b.startswith("Values:")), len(block))
            block, values = block[:split], block[split:]
            if block and after_blank:
                heading, note = block, []
            elif block:
                note = block
            block = []
        call = re.match(r"KESTROVA_(TEXT|COUNTED)\(", line)
        if not line:
            after_blank = True
            note = []
            number += 1
        elif call:
            at = starts[number] + lines[number].index("(")
            arguments, end = _arguments(text, at)
            if call.group(1) == "TEXT":
                name, chinese, english = arguments
                plural = None
            else:
                name, chinese, english, plural = arguments
            comments = [" ".join(part) for part in (heading, note, values) if part]
            entries.append(Entry(name, chinese, english, plural, comments))
            after_blank = False
            while starts[number + 1] <= end:
                number += 1
            number += 1
        else:
            after_blank = False
            number += 1
    return entries


def conversions(text):
    """The printf conversions of a text, in order, each as its type letter with its length
    ('lld', 's', 'f'): what a translation must keep. A numbered one (%2$s) counts in its place."""
    found = []
    for match in CONVERSION.finditer(text):
        if match.group(2) == "%":
            continue
        spec = match.group(0)
        length = re.search(r"(ll|l|hh|h|z|j)?[diouxXfFeEgGcs]$", spec).group(0)
        found.append((int(match.group(1)) if match.group(1) else None, length))
    if any(number is not None for number, _ in found):
        found = sorted(found, key=lambda numbered: numbered[0] or 0)
    return [length for _, length in found]


def _texts_entries(entries):
    made = []
    for entry in entries:
        comment = "\n".join(entry.comments)
        if entry.plural is not None:
            comment += ("\nA count: its forms follow the language's Plural-Forms, and every form "
                        "keeps every value.")
        po = polib.POEntry(
            msgctxt=entry.name,
            msgid=entry.english,
            msgstr="" if entry.plural is None else None,
            comment=comment,
        )
        if entry.plural is not None:
            po.msgid_plural = entry.plural
            po.msgstr_plural = {0: "", 1: ""}
        if conversions(entry.english) or (entry.plural and conversions(entry.plural)):
            po.flags.append("c-format")
        made.append(po)
    return made


# The Windows zip's read-me --------------------------------------------------------------------


def read_me_paragraphs(path):
    """The read-me's paragraphs, blank lines apart, each as its lines are (indents kept)."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    return [p.strip("\n") for p in re.split(r"\n[ \t]*\n", text) if p.strip()]


def _read_me_entries(path):
    made = []
    for number, paragraph in enumerate(read_me_paragraphs(path), 1):
        made.append(polib.POEntry(
            msgctxt=READ_ME_CONTEXT,
            msgid=paragraph,
            msgstr="",
            comment=("A paragraph of README.txt in the Windows zip, read in Notepad: keep each "
                     "line within 78 columns, the indents, the program names, the commands and "
                     "the @...@ values as they are."),
            occurrences=[("packaging/windows/README.en.txt.in", str(number))],
        ))
    return made


# The desktop entry and the AppStream metainfo -------------------------------------------------

DESKTOP_KEYS = ("Name", "GenericName", "Comment", "Keywords")
METAINFO_ELEMENTS = ("name", "summary", "p", "li", "caption")


def desktop_strings(path):
    """The translatable keys of a desktop entry: (key, English value)."""
    found = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition("=")
            if key in DESKTOP_KEYS:
                found.append((key, value))
    return found


def metainfo_strings(text):
    """The translatable elements of an AppStream metainfo file without an xml:lang: (element,
    its text with its white space folded, where it stands in `text`)."""
    found = []
    pattern = re.compile(r"<(%s)>(.*?)</\1>" % "|".join(METAINFO_ELEMENTS), re.S)
    for match in pattern.finditer(text):
        found.append((match.group(1), " ".join(match.group(2).split()), match.span()))
    return found


def _desktop_entries(path):
    comments = {
        "Name": "The program's name in the desktop's menus.",
        "GenericName": "What the program is, under its name in the menus.",
        "Comment": "The menu entry's tip.",
        "Keywords": ("Words a search of the menus finds the program by: separated and ended by "
                     "';', English ones may stay beside yours."),
    }
    return [polib.POEntry(msgctxt="kestrova.desktop " + key, msgid=value, msgstr="",
                          comment=comments[key])
            for key, value in desktop_strings(path) if not key.endswith("]")]


def _metainfo_entries(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    comments = {
        "name": "The program's name in software centres.",
        "summary": "One line under the name in software centres.",
        "p": "A paragraph of the description in software centres.",
        "li": "An item of a list in the description in software centres.",
        "caption": "A screenshot's caption in software centres.",
    }
    made = {}
    for element, value, _ in metainfo_strings(text):
        key = ("metainfo " + element, value)
        if key not in made:
            made[key] = polib.POEntry(msgctxt=key[0], msgid=value, msgstr="",
                                      comment=comments[element])
    return list(made.values())


# The template --------------------------------------------------------------------------------


def make_pot(source_dir):
    pot = polib.POFile(wrapwidth=79)
    pot.metadata = {
        "Project-Id-Version": "Kestrova",
        "Report-Msgid-Bugs-To": "",
        "Language": "",
        "MIME-Version": "1.0",
        "Content-Type": "text/plain; charset=UTF-8",
        "Content-Transfer-Encoding": "8bit",
        "Plural-Forms": "nplurals=INTEGER; plural=EXPRESSION;",
    }
    pot.header = ("The texts of Kestrova that users read. Made by tools/translations.py from "
                  "src/words/texts.def,\npackaging/windows/README.en.txt.in, "
                  "packaging/kestrova.desktop.in and packaging/kestrova.metainfo.xml.in:\n"
                  "change those, not this file. How to translate: po/README.md.")
    source = lambda *parts: os.path.join(source_dir, *parts)  # noqa: E731
    for entry in (_texts_entries(read_texts(source("src", "words", "texts.def"))) +
                  _read_me_entries(source("packaging", "windows", "README.en.txt.in")) +
                  _desktop_entries(source("packaging", "kestrova.desktop.in")) +
                  _metainfo_entries(source("packaging", "kestrova.metainfo.xml.in"))):
        pot.append(entry)
    return str(pot) + "\n"


def command_pot(args):
    text = make_pot(args.source_dir)
    if args.check:
        try:
            with open(args.output, encoding="utf-8") as f:
                if f.read() == text:
                    return 0
        except FileNotFoundError:
            pass
        print(f"{args.output} is not up to date: build the target 'update-pot' (cmake --build BUILD "
              "--target update-pot) and commit po/kestrova.pot", file=sys.stderr)
        return 1
    with open(args.output, "w", encoding="utf-8") as f:
        f.write(text)
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    pot = commands.add_parser("pot")
    pot.add_argument("--source-dir", required=True)
    pot.add_argument("--output", required=True)
    pot.add_argument("--check", action="store_true")
    pot.set_defaults(run=command_pot)
    args = parser.parse_args()
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main())
