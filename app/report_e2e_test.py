"""End-to-end tests of quillfix-report: each case makes a Wine prefix (a
folder holding a user.reg, or none), runs the built report and checks its
exact output, its exit status and that user.reg is left as it was.

Run by ctest, which passes the program's path in QUILLFIX_REPORT.
"""

import os
import subprocess
import tempfile
import unittest

from quillfix_e2e_test import HEADER, OTHER, VARLO, VARLOPLUS, section

REPORT = os.environ.get("QUILLFIX_REPORT", "")

VARLO_KEY = "HKEY_CURRENT_USER\\SOFTWARE\\Corvane\\Varlo 6.8"
VARLOPLUS_KEY = "HKEY_CURRENT_USER\\SOFTWARE\\Corvane\\VarloPlus 6.8"
NOT_INSTALLED = ": not installed"
PATCHED = ": installed, Preferences\\Quillfix = 01"
MISSING = ": installed, Preferences\\Quillfix missing"


def prefs(path, *lines):
    return section(path + "\\\\Preferences", *lines)


class ReportTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        if not os.path.isfile(REPORT):
            self.fail("QUILLFIX_REPORT=%r: no such program" % REPORT)

    def run_report(self, prefix):
        env = dict(os.environ)
        env["WINEPREFIX"] = prefix
        # A home without prefixes: the report names other prefixes of the
        # user's when its own holds no edition.
        with tempfile.TemporaryDirectory() as home:
            env["HOME"] = home
            return subprocess.run([REPORT], env=env, capture_output=True,
                                  stdin=subprocess.DEVNULL, timeout=60)

    def test_prefixes(self):
        """Each case: the user.reg text, the two edition lines (key
        suffixes) and the exit status."""
        cases = [
            ("neither edition", HEADER + OTHER,
             NOT_INSTALLED, NOT_INSTALLED, 0),
            ("Varlo without Preferences",
             HEADER + section(VARLO, '"Edition"="std"'),
             MISSING, NOT_INSTALLED, 1),
            ("Preferences without the value",
             HEADER + prefs(VARLOPLUS, '"Other"=hex:01'),
             NOT_INSTALLED, MISSING, 1),
            ("both patched",
             HEADER + prefs(VARLO, '"Quillfix"=hex:01')
             + prefs(VARLOPLUS, '"Quillfix"=hex:01'),
             PATCHED, PATCHED, 0),
            ("only VarloPlus, patched",
             HEADER + prefs(VARLOPLUS, '"Quillfix"=hex:01'),
             NOT_INSTALLED, PATCHED, 0),
            ("a REG_DWORD",
             HEADER + prefs(VARLO, '"Quillfix"=dword:00000001'),
             ": installed, Preferences\\Quillfix = REG_DWORD 01 00 00 00",
             NOT_INSTALLED, 1),
            ("two bytes beside a patched edition",
             HEADER + prefs(VARLO, '"Quillfix"=hex:01')
             + prefs(VARLOPLUS, '"Quillfix"=hex:01,01'),
             PATCHED, ": installed, Preferences\\Quillfix = REG_BINARY 01 01",
             1),
            ("no bytes",
             HEADER + prefs(VARLO, '"Quillfix"=hex:'),
             ": installed, Preferences\\Quillfix = REG_BINARY (no bytes)",
             NOT_INSTALLED, 1),
            ("a byte other than 01",
             HEADER + prefs(VARLO, '"Quillfix"=hex:00'),
             ": installed, Preferences\\Quillfix = REG_BINARY 00",
             NOT_INSTALLED, 1),
            ("a string, read in the ANSI code page",
             HEADER + prefs(VARLO, '"Quillfix"="01"'),
             ": installed, Preferences\\Quillfix = REG_SZ 30 31 00",
             NOT_INSTALLED, 1),
            ("another type number",
             HEADER + prefs(VARLO, '"Quillfix"=hex(12345):01'),
             ": installed, Preferences\\Quillfix = type 0x12345 01",
             NOT_INSTALLED, 1),
            ("names in another case",
             HEADER + section("software\\\\CORVANE\\\\varlo 6.8\\\\preferences",
                              '"QUILLFIX"=hex:01'),
             PATCHED, NOT_INSTALLED, 0),
        ]
        for name, user_reg, varlo, varloplus, status in cases:
            with self.subTest(name), tempfile.TemporaryDirectory() as prefix:
                path = os.path.join(prefix, "user.reg")
                with open(path, "w") as f:
                    f.write(user_reg)
                before = os.stat(path)
                result = self.run_report(prefix)
                self.assertEqual(
                    (VARLO_KEY + varlo + "\n" + VARLOPLUS_KEY + varloplus
                     + "\nregistry: " + path + "\n").encode(),
                    result.stdout)
                self.assertEqual(b"", result.stderr)
                self.assertEqual(status, result.returncode)
                # Read only: the same file, untouched, nothing beside it.
                with open(path) as f:
                    self.assertEqual(user_reg, f.read())
                after = os.stat(path)
                self.assertEqual((before.st_ino, before.st_mtime_ns),
                                 (after.st_ino, after.st_mtime_ns))
                self.assertEqual(["user.reg"], os.listdir(prefix))

    def test_unreadable_registry(self):
        """Each case: user.reg text (None: no file; False: no prefix
        folder) and the line on standard error."""
        cases = [
            ("no prefix", False,
             "no Wine prefix at {prefix} (lstat {prefix}/user.reg: "
             "No such file or directory)"),
            ("a prefix folder without user.reg", None,
             "no Wine prefix at {prefix} (lstat {prefix}/user.reg: "
             "No such file or directory)"),
            ("a file Wine would not load", "WINE REGISTRY Version 1\n",
             "{prefix}/user.reg: Wine would not load this file "
             "(user.reg:1: not a valid registry file)"),
            ("another architecture",
             "WINE REGISTRY Version 2\n#arch=arm\n",
             "{prefix}/user.reg: Wine would not load this file "
             "(user.reg:2: unknown architecture '#arch=arm')"),
        ]
        for name, user_reg, message in cases:
            with self.subTest(name), tempfile.TemporaryDirectory() as top:
                prefix = os.path.join(top, "prefix")
                if user_reg is not False:
                    os.mkdir(prefix)
                if user_reg:
                    with open(os.path.join(prefix, "user.reg"), "w") as f:
                        f.write(user_reg)
                result = self.run_report(prefix)
                self.assertEqual(b"", result.stdout)
                self.assertEqual(
                    ("quillfix-report: " + message.format(prefix=prefix)
                     + "\n").encode(), result.stderr)
                self.assertEqual(2, result.returncode)
                # Nothing made: no prefix, no user.reg.
                if user_reg is False:
                    self.assertFalse(os.path.exists(prefix))
                elif user_reg is None:
                    self.assertEqual([], os.listdir(prefix))

    def test_without_any_prefix_variable(self):
        env = {k: v for k, v in os.environ.items()
               if k not in ("WINEPREFIX", "HOME")}
        result = subprocess.run([REPORT], env=env, capture_output=True,
                                stdin=subprocess.DEVNULL, timeout=60)
        self.assertEqual(2, result.returncode)
        self.assertEqual(b"", result.stdout)
        self.assertTrue(result.stderr.startswith(b"quillfix-report: no Wine "
                                                 b"prefix ("), result.stderr)
        self.assertEqual(1, result.stderr.count(b"\n"))

    def test_help_and_version(self):
        """Each case: the arguments and the first line printed. Nothing is
        read: the prefix named does not even exist."""
        cases = [
            (["--help"], "Usage: quillfix-report [--all | --list [-0] | "
                         "--help | --version]"),
            (["--all", "--help"], "Usage: quillfix-report [--all | --list "
                                  "[-0] | --help | --version]"),
            (["--version"], "Quillfix v1.0a7"),
            (["other", "--version", "--help"], "Quillfix v1.0a7"),
        ]
        for args, first_line in cases:
            with self.subTest(args), tempfile.TemporaryDirectory() as top:
                prefix = os.path.join(top, "none")
                env = dict(os.environ)
                env["WINEPREFIX"] = prefix
                result = subprocess.run([REPORT] + args, env=env,
                                        capture_output=True,
                                        stdin=subprocess.DEVNULL, timeout=60)
                self.assertEqual(0, result.returncode)
                self.assertEqual(b"", result.stderr)
                self.assertEqual(first_line,
                                 result.stdout.decode().split("\n")[0])
                self.assertFalse(os.path.exists(prefix))

    def test_other_arguments_are_ignored(self):
        with tempfile.TemporaryDirectory() as prefix:
            with open(os.path.join(prefix, "user.reg"), "w") as f:
                f.write(HEADER + OTHER)
            plain = self.run_report(prefix)
            env = dict(os.environ)
            env["WINEPREFIX"] = prefix
            env["HOME"] = prefix  # no prefixes of its own below
            with_args = subprocess.run([REPORT, "-x", "--helpme"], env=env,
                                       capture_output=True,
                                       stdin=subprocess.DEVNULL, timeout=60)
            self.assertEqual((plain.returncode, plain.stdout, plain.stderr),
                             (with_args.returncode, with_args.stdout,
                              with_args.stderr))


if __name__ == "__main__":
    unittest.main()
