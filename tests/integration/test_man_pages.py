"""The man pages against the programs: every option a program's --help
prints has a tagged paragraph in its page, every page formats without a
warning, and --version of every program names the one project version."""

import os
import re
import subprocess
import unittest

MAN_DIR = os.environ["KORVANEL_MAN_DIR"]
VERSION = os.environ["KORVANEL_PROJECT_VERSION"]
# The dialog is built only with Qt; without it, its page is not built either.
PROGRAMS = [
    ("korvanel-clear", os.environ["KORVANEL_CLEAR"]),
    ("korvanel-sim", os.environ["KORVANEL_SIM"]),
    ("korvanel", os.environ.get("KORVANEL_DIALOG", "")),
]

OPTION = re.compile(r"(?<![\w-])--[a-z0-9][a-z0-9-]*")


def run(*args):
    return subprocess.run(args, capture_output=True, text=True, timeout=20)


def tagged_options(page_text):
    """The options named in the tag lines of .TP paragraphs, with roff's
    escaped dashes and font changes taken out."""
    plain = page_text.replace("\\-", "-")
    plain = re.sub(r"\\f[BIRP]", "", plain)
    lines = plain.splitlines()
    tags = [lines[i + 1] for i, line in enumerate(lines[:-1]) if line.startswith(".TP")]
    found = set()
    for tag in tags:
        # ".BI --port " NAME" and ".BR --help ", " -h" both name their options.
        found.update(OPTION.findall(tag))
    return found


class ManPages(unittest.TestCase):
    def programs(self):
        for name, path in PROGRAMS:
            if path:
                yield name, path

    def page(self, name):
        with open(os.path.join(MAN_DIR, name + ".1"), encoding="utf-8") as f:
            return f.read()

    def test_every_option_of_help_has_a_paragraph(self):
        for name, path in self.programs():
            with self.subTest(program=name):
                r = run(path, "--help")
                self.assertEqual(r.returncode, 0, r)
                offered = set(OPTION.findall(r.stdout))
                self.assertIn("--version", offered)
                missing = sorted(offered - tagged_options(self.page(name)))
                print(f"{name}: {len(offered)} options in --help, undocumented: {missing}")
                self.assertEqual(missing, [], f"options of {name} --help without a paragraph in {name}(1)")

    def test_pages_format_without_warnings(self):
        for name, _ in self.programs():
            with self.subTest(page=name):
                env = dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8")
                r = subprocess.run(["man", "--warnings", "-l", os.path.join(MAN_DIR, name + ".1")],
                                   capture_output=True, text=True, timeout=30, env=env)
                self.assertEqual((r.returncode, r.stderr), (0, ""))
                for section in ("NAME", "SYNOPSIS", "OPTIONS", "EXIT STATUS", "EXAMPLES", "SEE ALSO"):
                    self.assertIn(section, r.stdout)

    def test_exit_statuses_of_help_are_the_pages(self):
        status = re.compile(r"(?<![\w/+-])\d+(?!\w)")
        listed = status.findall(run(os.environ["KORVANEL_CLEAR"], "--help").stdout.split("Exit status:")[1])
        section = self.page("korvanel-clear").split(".SH EXIT STATUS")[1].split(".SH")[0]
        print("korvanel-clear exit statuses:", sorted(set(listed), key=int))
        self.assertEqual(set(listed), set(status.findall(section.replace("\\-", "-"))))

    def test_version_is_the_projects(self):
        for name, path in self.programs():
            with self.subTest(program=name):
                r = run(path, "--version")
                self.assertEqual((r.returncode, r.stdout, r.stderr), (0, f"{name} {VERSION}\n", ""))
                self.assertIn(f'"Korvanel {VERSION}"', self.page(name))


if __name__ == "__main__":
    unittest.main(verbosity=2)
