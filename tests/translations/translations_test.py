#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""tools/translations.py: what it reads of texts.def, how it judges a translation's values and
header, and the C++ that it writes of a .po file.

usage: translations_test.py SOURCE_DIR
"""

import os
import re
import subprocess
import sys
import tempfile
import textwrap
import unittest

SOURCE = sys.argv.pop(1)
sys.path.insert(0, os.path.join(SOURCE, "tools"))
import polib  # noqa: E402
import translations  # noqa: E402

TEXTS_DEF = os.path.join(SOURCE, "src", "words", "texts.def")

HEADER = textwrap.dedent("""\
    # Made here with a back-translation check; it awaits review by native speakers.
    msgid ""
    msgstr ""
    "Language: {language}\\n"
    "Content-Type: text/plain; charset=UTF-8\\n"
    "Plural-Forms: {plural}\\n"

    """)


def po_file(directory, language, entries, plural="nplurals=2; plural=(n != 1);"):
    path = os.path.join(directory, language + ".po")
    with open(path, "w", encoding="utf-8") as f:
        f.write(HEADER.format(language=language, plural=plural) + textwrap.dedent(entries))
    return path


class TextsDefTest(unittest.TestCase):
    def test_every_entry_is_read_with_its_comments(self):
        entries = translations.read_texts(TEXTS_DEF)
        with open(TEXTS_DEF, encoding="utf-8") as f:
            names = re.findall(r"^KESTROVA_(?:TEXT|COUNTED)\(\s*(\w+),", f.read(), re.M)
        self.assertEqual([e.name for e in entries], names)
        by_name = {e.name: e for e in entries}
        self.assertEqual(by_name["kRefresh"].english, "Refresh")
        self.assertEqual(by_name["kFilesCount"].plural, "%lld files")
        # Adjacent literals are joined, escapes read; the section heading and the entry's own
        # note are its comments.
        self.assertIn('"%s"', by_name["kJournalExists"].english)
        self.assertTrue(by_name["kHelpClosing"].english.startswith("Messages are printed"))
        self.assertIn("\n  0  done\n", by_name["kHelpClosing"].english)
        self.assertEqual(by_name["kCannotOpen"].comments[-1],
                         "Values: %s: kQuotedDevice or nothing; %lld: the system's error number")
        self.assertEqual(by_name["kNeedRoot"].comments, ["The analysis's refusals and their titles."])

    def test_the_template_is_the_same_each_time_and_holds_every_text(self):
        one = translations.make_pot(SOURCE)
        self.assertEqual(one, translations.make_pot(SOURCE))
        pot = polib.pofile(one)
        contexts = {e.msgctxt for e in pot}
        for entry in translations.read_texts(TEXTS_DEF):
            self.assertIn(entry.name, contexts)
        for entry in pot:
            if entry.msgctxt == "kReadFailed":
                self.assertIn("c-format", entry.flags)
            if entry.msgctxt == "kRepair":
                self.assertNotIn("c-format", entry.flags)


class ValuesTest(unittest.TestCase):
    def test_values_are_read_by_kind_and_number(self):
        kinds = translations.value_kinds
        self.assertEqual(kinds("%s a %lld b %08llX c %.1f %%"),
                         ["string", "integer", "natural", "real"])
        self.assertEqual(kinds("%2$lld then %1$s"), ["string", "integer"])
        self.assertIsNone(kinds("%2$lld then %s"))   # numbered and not
        self.assertIsNone(kinds("%1$s %3$s"))        # a gap
        self.assertIsNone(kinds("%1$s %1$s"))        # one twice
        self.assertEqual(kinds("100%% sure"), [])

    def test_plural_forms_are_plain_c_expressions_of_n(self):
        po = polib.POFile()
        for header, expected in [
            ("nplurals=2; plural=(n != 1);", (2, "(n != 1)")),
            ("nplurals=1; plural=0;", (1, "0")),
            ("nplurals=3; plural=(n%10==1 && n%100!=11 ? 0 : 2);",
             (3, "(n%10==1 && n%100!=11 ? 0 : 2)")),
            ("nplurals=2; plural=system(\"x\");", None),
            ("nplurals=2; plural=(n != 1); }", None),
            ("", None),
        ]:
            po.metadata = {"Plural-Forms": header}
            self.assertEqual(translations.plural_forms(po), expected, header)

    def test_faults_of_a_translation_are_found(self):
        with tempfile.TemporaryDirectory() as directory:
            path = po_file(directory, "es", """\
                msgctxt "kReadFailed"
                msgid "Reading sector %lld of the drive failed! Check that the drive is still connected."
                msgstr "Sector %s"

                #, fuzzy
                msgctxt "kIsFolder"
                msgid "%s is a folder, not a drive or an image file."
                msgstr "no value at all"

                msgctxt "kFilesCount"
                msgid "%lld file"
                msgid_plural "%lld files"
                msgstr[0] "%lld archivo"

                msgctxt "README.txt"
                msgid "Kestrova @PROJECT_VERSION@ for Windows (64-bit)"
                msgstr "Kestrova para Windows"
                """)
            faults = translations.translation_faults(polib.pofile(path), [])
            self.assertEqual(len(faults), 3, faults)
            self.assertTrue(any(f.startswith("kReadFailed") for f in faults))
            self.assertTrue(any("1 forms where Plural-Forms has 2" in f for f in faults))
            self.assertTrue(any("@...@" in f for f in faults))
            # A header that does not say how it was made is a fault.
            po = polib.pofile(path)
            po.header = ""
            self.assertTrue(any("header does not say" in f
                                for f in translations.translation_faults(po, [])))


class TablesTest(unittest.TestCase):
    def test_tables_keep_only_usable_texts_and_compile(self):
        with tempfile.TemporaryDirectory() as directory:
            po_file(directory, "es", r"""
                msgctxt "kRepair"
                msgid "Repair"
                msgstr "Re\"pa\\rar??=\n"

                #, fuzzy
                msgctxt "kRefresh"
                msgid "Refresh"
                msgstr "Actualizar"

                msgctxt "kReadFailed"
                msgid "Reading sector %lld of the drive failed! Check that the drive is still connected."
                msgstr "Sector %s"
                """)
            code = translations.make_tables(TEXTS_DEF, [os.path.join(directory, "es.po")])
            self.assertIn(r'"Re\"pa\\rar\?\?=\n",', code)
            self.assertNotIn("Actualizar", code)
            self.assertNotIn("\"Sector %s\"", code)
            self.assertIn('{"es", false, 2, Plurales, kSlotses, kFirstes},', code)
            # The C++ compiles against the header of the texts (syntax only).
            cpp = os.path.join(directory, "tables.cpp")
            with open(cpp, "w", encoding="utf-8") as f:
                f.write(code)
            compiled = subprocess.run(
                ["g++", "-std=c++20", "-fsyntax-only", "-Wall", "-Wextra", "-Werror",
                 "-I", os.path.join(SOURCE, "src"), cpp], capture_output=True, text=True)
            self.assertEqual(compiled.returncode, 0, compiled.stderr)

    def test_a_file_named_as_no_language_is_refused(self):
        with tempfile.TemporaryDirectory() as directory:
            path = po_file(directory, "spanish", "")
            with self.assertRaises(SystemExit):
                translations.make_tables(TEXTS_DEF, [path])


if __name__ == "__main__":
    unittest.main()
