#!/usr/bin/python3
"""res/gen_dialog_template.py on small .rc files, against what windres makes
of them: texts, the dialog's style (NOT included), and what it refuses."""
import os, subprocess, sys, tempfile, unittest

GEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "res", "gen_dialog_template.py")
IDS = "#define IDD_ABOUTBOX 100\n#define IDD_MAIN 102\n"


def generate(header, text='"x"', first="IDD_MAIN DIALOGEX 0, 0, 191, 92"):
    """(status, header written or error) for a main dialog with these lines."""
    rc = 'IDD_ABOUTBOX DIALOG 0, 0, 9, 9\nBEGIN\nEND\n%s\n%s\nBEGIN\nLTEXT %s, 7, 1, 2, 3, 4\nEND\n' % (
        first, header, text)
    with tempfile.TemporaryDirectory() as d:
        paths = [os.path.join(d, n) for n in ("k.rc", "ids.h", "out.h")]
        for path, content in zip(paths, (rc, IDS, "")):
            with open(path, "w") as f:
                f.write(content)
        run = subprocess.run([sys.executable, GEN, *paths], capture_output=True, text=True)
        with open(paths[2]) as f:
            return run.returncode, run.stderr or f.read()


class Generator(unittest.TestCase):
    ROWS = [
        # header lines, control text, what the header or the error holds
        ("", r'"a\tb\nc ""q"" \101\x4a3\a\\"', r'"a\011b\012c \"q\" AJ3\010\\"'),
        ("", '"x"', "MAIN_DIALOG_STYLE = 0x80880000UL"),  # WS_POPUP | WS_BORDER | WS_SYSMENU
        ('CAPTION "K"\nSTYLE WS_POPUP | NOT WS_CAPTION', '"x"', "MAIN_DIALOG_STYLE = 0x80000000UL"),
        ('STYLE WS_POPUP | NOT WS_CAPTION\nCAPTION "K"', '"x"', "MAIN_DIALOG_STYLE = 0x80C00000UL"),
        ('FONT 8, "F"\nSTYLE NOT DS_SETFONT | WS_SYSMENU', '"x"', "MAIN_DIALOG_STYLE = 0x00080000UL"),
        ("EXSTYLE WS_EX_APPWINDOW", '"x"', "MAIN_DIALOG_EXSTYLE = 0x00040000UL"),
        ('FONT 8, "F", 700, 0, 1', '"x"', "k.rc:5: FONT: ',' is not read here"),
        ("MENU 1", '"x"', "k.rc:5: unknown dialog statement MENU"),
        ("", r'"a\q"', "k.rc:7: unknown escape"),
    ]

    def test_rows(self):
        for header, text, seen in self.ROWS:
            with self.subTest(header + text):
                status, out = generate(header, text)
                self.assertEqual(status, 1 if "k.rc:" in seen else 0, out)
                self.assertIn(seen, out)
        self.assertIn("k.rc:4: a DIALOGEX header", generate("", first="IDD_MAIN DIALOGEX 0, 0, 9, 9, 7")[1])


if __name__ == "__main__":
    unittest.main()
