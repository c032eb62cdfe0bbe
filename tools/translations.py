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
  translations.py tables --texts TEXTS_DEF --output FILE.cpp PO...
      The C++ tables of the languages of the .po files for src/words/texts.cpp: each text's
      forms (none where the translation is missing, empty, fuzzy or its values differ from its
      source's), and each language's Plural-Forms expression as a C++ function.
  translations.py readme --template README.en.txt.in --output FILE PO
      The Windows zip's read-me in the language of PO: each paragraph translated, or in English
      where the translation lacks it.
  translations.py desktop --template kestrova.desktop.in --output FILE PO...
  translations.py metainfo --template kestrova.metainfo.xml.in --output FILE PO...
      The desktop entry (Name[LANG]=...) or the AppStream metainfo (<p xml:lang="LANG">) with
      each language's translations beside the English.
  translations.py check --texts TEXTS_DEF PO...
      Every translation of every .po puts in the values of its source, of the same types; the
      header names the language, its plural forms and how the translation was made (po/README.md).
      Prints each fault; the exit status is 1 when there is one.

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
        written = match.group(0)
        length = re.search(r"(ll|l|hh|h|z|j)?[diouxXfFeEgGcs]$", written).group(0)
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


# The .po files --------------------------------------------------------------------------------

# Languages written right to left: their windows are mirrored, their values isolated.
RIGHT_TO_LEFT = {"ar", "fa", "he", "ur", "ps", "sd", "ug", "yi", "ckb", "dv"}
# A Plural-Forms expression: C's arithmetic, comparisons, logic and ?: on n and numbers only.
PLURAL_EXPRESSION = re.compile(r"^[n0-9\s()?:%<>=!&|+\-*/]+$")
# The line of the header that says how the translation was made (po/README.md).
MADE_HERE = "Made here with a back-translation check"
REVIEWED = "Reviewed by native speakers"


def language_code(path):
    return os.path.splitext(os.path.basename(path))[0]


def plural_forms(po):
    """(nplurals, expression) of the header's Plural-Forms; None when it is missing or is no
    plain C expression of n."""
    header = po.metadata.get("Plural-Forms", "")
    match = re.match(r"\s*nplurals\s*=\s*(\d+)\s*;\s*plural\s*=\s*(.+?)\s*;?\s*$", header)
    if not match or not PLURAL_EXPRESSION.match(match.group(2)):
        return None
    return int(match.group(1)), match.group(2)


def _kind(conversion):
    """What a conversion takes: a signed or unsigned integer, a real number or a string."""
    letter = conversion[-1]
    if letter in "di":
        return "integer"
    if letter in "ouxX":
        return "natural"
    if letter in "fFeEgG":
        return "real"
    return "string"


def value_kinds(text):
    """The values a text takes, in the order of the values (numbered ones by their numbers), or
    None when it numbers some values and not others, or numbers one twice or leaves a gap."""
    found = []
    for match in CONVERSION.finditer(text):
        if match.group(2) == "%":
            continue
        number = int(match.group(1)) if match.group(1) else None
        found.append((number, _kind(match.group(0))))
    numbers = [number for number, _ in found]
    if any(n is not None for n in numbers):
        if None in numbers or sorted(numbers) != list(range(1, len(numbers) + 1)):
            return None
        found.sort()
    return [kind for _, kind in found]


def translation_faults(po, entries):
    """Each fault of a .po file, as a line: its header, and every translation whose values are
    not its source's."""
    faults = []
    forms = plural_forms(po)
    if forms is None:
        faults.append("Plural-Forms is missing or is no plain C expression of n")
    if not po.metadata.get("Language"):
        faults.append("the header names no Language")
    if MADE_HERE not in po.header and REVIEWED not in po.header:
        faults.append(f"the header does not say '{MADE_HERE} ...' or '{REVIEWED}' (po/README.md)")
    for entry in po:
        if entry.obsolete or "fuzzy" in entry.flags:
            continue
        source = value_kinds(entry.msgid)
        where = f"{entry.msgctxt or ''} ({entry.linenum})"
        translations = ([entry.msgstr] if not entry.msgid_plural
                        else [entry.msgstr_plural[k] for k in sorted(entry.msgstr_plural)])
        for number, text in enumerate(translations):
            if text and value_kinds(text) != source:
                faults.append(f"{where}: the values of form {number} are not those of the source: "
                              f"{text!r}")
        if entry.msgctxt == READ_ME_CONTEXT and entry.msgstr:
            if sorted(BUILD_VALUE.findall(entry.msgstr)) != sorted(BUILD_VALUE.findall(entry.msgid)):
                faults.append(f"{where}: the @...@ values are not those of the source")
    if forms is not None:
        for entry in po:
            if entry.msgid_plural and not entry.obsolete and len(entry.msgstr_plural) != forms[0]:
                faults.append(f"{entry.msgctxt} ({entry.linenum}): {len(entry.msgstr_plural)} "
                              f"forms where Plural-Forms has {forms[0]}")
    return faults


def usable(entry, text):
    """A translation that the program says: there, not fuzzy, with its source's values."""
    return (bool(text) and not entry.obsolete and "fuzzy" not in entry.flags and
            value_kinds(text) == value_kinds(entry.msgid))


def _c_string(text):
    escaped = (text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")
               .replace("\r", "\\r").replace("\t", "\\t").replace("?", "\\?"))
    return '"' + escaped + '"'


def make_tables(texts_def, po_paths):
    entries = read_texts(texts_def)
    lines = [
        "// SPDX-License-Identifier: GPL-3.0-or-later",
        "// Made by tools/translations.py from src/words/texts.def and the .po files: do not edit.",
        "#include <cstddef>",
        "#include <cstdint>",
        "#include <iterator>",
        "",
        '#include "words/texts.h"',
        "",
        "namespace kestrova::texts::detail {",
        "namespace {",
        "",
        "// The texts in the order that the tables were made in: the order of texts.def.",
        "constexpr std::uint16_t kOrder[] = {",
    ]
    lines += [f"    ids::{entry.name}," for entry in entries]
    lines += [
        "};",
        "constexpr bool InOrder() {",
        "  for (std::size_t i = 0; i < std::size(kOrder); ++i) {",
        "    if (kOrder[i] != i) return false;",
        "  }",
        "  return std::size(kOrder) == ids::kCount;",
        "}",
        'static_assert(InOrder(), "the tables are not of this texts.def");',
        "",
        "#pragma GCC diagnostic push",
        '#pragma GCC diagnostic ignored "-Wparentheses"',
    ]
    languages = []
    for path in sorted(po_paths):
        code = language_code(path)
        if not re.match(r"^[a-z]{2,3}(_[A-Z]{2})?$", code):
            sys.exit(f"{path}: a .po file is named by its language: es.po, pt_BR.po")
        po = polib.pofile(path)
        forms = plural_forms(po)
        if forms is None:
            sys.exit(f"{path}: Plural-Forms is missing or is no plain C expression of n")
        nplurals, expression = forms
        name = code.replace("_", "")
        by_key = {(e.msgctxt, e.msgid): e for e in po if not e.obsolete}
        slots, first = [], []
        for entry in entries:
            first.append(len(slots))
            found = by_key.get((entry.name, entry.english))
            if entry.plural is None:
                slots.append(found.msgstr if found and usable(found, found.msgstr) else None)
            else:
                for form in range(nplurals):
                    text = found.msgstr_plural.get(form) if found and found.msgid_plural else None
                    slots.append(text if found and usable(found, text) else None)
        lines += [
            "",
            f"std::size_t Plural{name}([[maybe_unused]] unsigned long long n) {{",
            f"  return static_cast<std::size_t>({expression});",
            "}",
            f"const char* const kSlots{name}[] = {{",
        ]
        lines += [f"    {_c_string(slot) if slot is not None else 'nullptr'}," for slot in slots]
        lines += ["};", f"const std::uint16_t kFirst{name}[] = {{"]
        lines += [f"    {at}," for at in first]
        lines += ["};"]
        languages.append(f'    {{"{code}", {"true" if code.split("_")[0] in RIGHT_TO_LEFT else "false"}, '
                         f"{nplurals}, Plural{name}, kSlots{name}, kFirst{name}}},")
    lines += ["", "#pragma GCC diagnostic pop", ""]
    if languages:
        lines += ["const LanguageTable kLanguages[] = {"] + languages + ["};", ""]
    lines += ["}  // namespace", "",
              "std::span<const LanguageTable> Translations() {",
              "  return kLanguages;" if languages else "  return {};",
              "}", "", "}  // namespace kestrova::texts::detail", ""]
    return "\n".join(lines)


def command_tables(args):
    text = make_tables(args.texts, args.po)
    try:
        with open(args.output, encoding="utf-8") as f:
            if f.read() == text:
                return 0
    except FileNotFoundError:
        pass
    with open(args.output, "w", encoding="utf-8") as f:
        f.write(text)
    return 0


def command_check(args):
    entries = read_texts(args.texts)
    failed = False
    for path in args.po:
        for fault in translation_faults(polib.pofile(path), entries):
            print(f"{path}: {fault}")
            failed = True
    return 1 if failed else 0


# The read-me, the desktop entry and the metainfo in every language -----------------------------


def _translated(po, context, msgid):
    entry = po.find(msgid, msgctxt=context)
    if entry is None or not usable(entry, entry.msgstr):
        return None
    if sorted(BUILD_VALUE.findall(entry.msgstr)) != sorted(BUILD_VALUE.findall(msgid)):
        return None
    return entry.msgstr


def make_readme(template, po_path):
    po = polib.pofile(po_path)
    paragraphs = read_me_paragraphs(template)
    return "\n\n".join(_translated(po, READ_ME_CONTEXT, p) or p for p in paragraphs) + "\n"


def make_desktop(template, po_paths):
    pos = [(language_code(path), polib.pofile(path)) for path in sorted(po_paths)]
    lines = []
    with open(template, encoding="utf-8") as f:
        for line in f:
            lines.append(line)
            key, _, value = line.rstrip("\n").partition("=")
            if key not in DESKTOP_KEYS:
                continue
            for code, po in pos:
                translated = _translated(po, "kestrova.desktop " + key, value)
                if translated:
                    lines.append(f"{key}[{code}]={' '.join(translated.split())}\n")
    return "".join(lines)


def _xml_text(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def make_metainfo(template, po_paths):
    pos = [(language_code(path), polib.pofile(path)) for path in sorted(po_paths)]
    with open(template, encoding="utf-8") as f:
        text = f.read()
    made, at = [], 0
    for element, value, (start, end) in metainfo_strings(text):
        made.append(text[at:end])
        at = end
        indent = text[text.rfind("\n", 0, start) + 1:start]
        for code, po in pos:
            translated = _translated(po, "metainfo " + element, value)
            if translated:
                made.append(f'\n{indent}<{element} xml:lang="{code}">'
                            f"{_xml_text(translated)}</{element}>")
    made.append(text[at:])
    return "".join(made)


def _write_if_changed(path, text):
    try:
        with open(path, encoding="utf-8") as f:
            if f.read() == text:
                return 0
    except FileNotFoundError:
        pass
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    return 0


def command_merge(args):
    if args.command == "readme":
        return _write_if_changed(args.output, make_readme(args.template, args.po[0]))
    make = make_desktop if args.command == "desktop" else make_metainfo
    return _write_if_changed(args.output, make(args.template, args.po))


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
    tables = commands.add_parser("tables")
    tables.add_argument("--texts", required=True)
    tables.add_argument("--output", required=True)
    tables.add_argument("po", nargs="*")
    tables.set_defaults(run=command_tables)
    for kind in ("readme", "desktop", "metainfo"):
        merge = commands.add_parser(kind)
        merge.add_argument("--template", required=True)
        merge.add_argument("--output", required=True)
        merge.add_argument("po", nargs=1 if kind == "readme" else "*")
        merge.set_defaults(run=command_merge)
    check = commands.add_parser("check")
    check.add_argument("--texts", required=True)
    check.add_argument("po", nargs="+")
    check.set_defaults(run=command_check)
    args = parser.parse_args()
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main())
