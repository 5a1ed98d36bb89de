#!/usr/bin/python3
"""res/gen_dialog_template.py on small .rc files: texts read as windres
reads them, dialog styles built as windres builds them (NOT included), and
anything it does not understand refused with the line it is on."""

import os
import subprocess
import sys
import tempfile
import unittest

GEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "res", "gen_dialog_template.py")
IDS = "#define IDD_ABOUTBOX 100\n#define IDD_MAIN 102\n#define IDC_X 1000\n"


def generate(main_header, control='LTEXT "x", IDC_X, 1, 2, 3, 4', first="IDD_MAIN DIALOGEX 0, 0, 191, 92"):
    """(exit status, header or error) for an .rc whose main dialog has
    `main_header` between its `first` line and BEGIN."""
    rc = ("IDD_ABOUTBOX DIALOG 0, 0, 10, 10\nBEGIN\nEND\n"
          "%s\n%s\nBEGIN\n    %s\nEND\n" % (first, main_header, control))
    with tempfile.TemporaryDirectory() as d:
        paths = [os.path.join(d, n) for n in ("k.rc", "resource.h", "out.h")]
        for path, text in zip(paths, (rc, IDS)):
            with open(path, "w") as f:
                f.write(text)
        run = subprocess.run([sys.executable, GEN, *paths], capture_output=True, text=True)
        if run.returncode:
            return run.returncode, run.stderr
        with open(paths[2]) as f:
            return 0, f.read()


class Generator(unittest.TestCase):
    TEXTS = [
        # control text in the .rc, C++ literal written
        (r'"a\tb"', r'"a\011b"'),
        (r'"two\nlines"', r'"two\012lines"'),
        (r'"say ""hi"""', r'"say \"hi\""'),
        (r'"\101\x42\x4a3"', r'"ABJ3"'),
        (r'"\a\\"', r'"\010\\"'),
    ]

    def test_texts_as_windres_reads_them(self):
        for rc, literal in self.TEXTS:
            with self.subTest(rc):
                status, out = generate("", 'LTEXT %s, IDC_X, 1, 2, 3, 4' % rc)
                self.assertEqual(status, 0, out)
                self.assertIn('"Static", %s, ' % literal, out)

    STYLES = [
        # header statements, MAIN_DIALOG_STYLE
        ("", 0x80880000),  # WS_POPUP | WS_BORDER | WS_SYSMENU
        ('CAPTION "K"', 0x80C80000),
        ("STYLE WS_POPUP | WS_CAPTION", 0x80C00000),
        ('CAPTION "K"\nSTYLE WS_POPUP | NOT WS_CAPTION', 0x80000000),
        ('STYLE WS_POPUP | NOT WS_CAPTION\nCAPTION "K"', 0x80C00000),
        ('FONT 8, "MS Sans Serif"\nSTYLE DS_MODALFRAME | NOT DS_SETFONT | WS_SYSMENU', 0x00080080),
    ]

    def test_dialog_style_as_windres_builds_it(self):
        for header, style in self.STYLES:
            with self.subTest(header):
                status, out = generate(header + "\nEXSTYLE WS_EX_APPWINDOW")
                self.assertEqual(status, 0, out)
                self.assertIn("MAIN_DIALOG_STYLE = 0x%08XUL;" % style, out)
                self.assertIn("MAIN_DIALOG_EXSTYLE = 0x00040000UL;", out)

    REFUSED = [
        # header or control, words of the error; the main dialog starts on line 4
        ("IDD_MAIN DIALOGEX 0, 0, 191, 92, 7", "k.rc:4:"),
        ('FONT 8, "MS Sans Serif", 700, 0, 1', "k.rc:5: FONT"),
        ('CAPTION "K" WS_CAPTION', "k.rc:5: CAPTION"),
        ("MENU 1", "k.rc:5: unknown dialog statement MENU"),
        ("CLASS \"Mine\"", "k.rc:5: unknown dialog statement CLASS"),
        (r'LTEXT "a\q", IDC_X, 1, 2, 3, 4', "k.rc:7: unknown escape"),
    ]

    def test_what_it_does_not_understand_is_refused_with_its_line(self):
        for text, error in self.REFUSED:
            with self.subTest(text):
                if text.startswith("IDD_MAIN"):
                    status, out = generate("", first=text)
                elif text.startswith("LTEXT"):
                    status, out = generate("", text)
                else:
                    status, out = generate(text)
                self.assertEqual(status, 1, out)
                self.assertIn(error, out)


if __name__ == "__main__":
    unittest.main()
