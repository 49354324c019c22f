"""The newcomer's commands: scripts/run.sh and scripts/demo.sh, run as a user
runs them (they build the release preset in the source tree first). Each
must end with a line that says what happened; run.sh's exit status is the
report's. The demo must leave no prefix and no server behind.

Standard library only.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE_ROOT, "tests", "wine"))
import winetest  # noqa: E402

VARLO_REG = winetest.VARLO_USER_REG
EMPTY_REG = winetest.USER_REG_HEAD


class ScriptsTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="quillfix-scripts-")
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)

    def run_script(self, name, **env):
        full = dict(os.environ, HOME=self.work, **env)
        full.pop("WINEPREFIX", None)
        full.update(env)
        return subprocess.run([os.path.join(SOURCE_ROOT, "scripts", name)],
                              env=full, capture_output=True, text=True,
                              stdin=subprocess.DEVNULL, timeout=900)

    def test_run(self):
        """Each case: user.reg text (None: no prefix), last line, status."""
        cases = [
            ("no prefix", None,
             "No usable Wine prefix at {prefix}: point WINEPREFIX at one "
             "(WINEPREFIX=/path/to/prefix scripts/run.sh), or try "
             "scripts/demo.sh.", 2),
            ("Varlo installed", VARLO_REG,
             "Done: every installed edition in {prefix} holds "
             "Preferences\\Quillfix = 01.", 0),
            ("nothing installed", EMPTY_REG,
             "Nothing to do: neither Varlo nor VarloPlus is installed in "
             "{prefix}.", 0),
        ]
        for name, user_reg, last_line, status in cases:
            with self.subTest(name):
                prefix = tempfile.mkdtemp(dir=self.work)
                if user_reg is None:
                    os.rmdir(prefix)
                else:
                    with open(os.path.join(prefix, "user.reg"), "w") as f:
                        f.write(user_reg)
                ran = self.run_script("run.sh", WINEPREFIX=prefix)
                self.assertEqual(last_line.format(prefix=prefix),
                                 ran.stdout.splitlines()[-1], ran.stderr)
                self.assertEqual(status, ran.returncode, ran.stderr)
                if user_reg is None:
                    self.assertIn("quillfix-report: no Wine prefix at "
                                  + prefix, ran.stderr)
                    self.assertFalse(os.path.exists(prefix))

    def test_run_names_a_managers_prefix(self):
        """No ~/.wine, Varlo only in a Bottles bottle: run.sh says where it
        is and how to patch it, and that command patches it."""
        bottle = os.path.join(self.work, ".local", "share", "bottles",
                              "bottles", "My Office")
        os.makedirs(bottle)
        with open(os.path.join(bottle, "user.reg"), "w") as f:
            f.write(VARLO_REG)
        command = "WINEPREFIX=%s scripts/run.sh" % bottle.replace(" ", "\\ ")
        ran = self.run_script("run.sh")
        self.assertEqual(
            "No edition found in %s/.wine, but Varlo is in another Wine "
            "prefix; to patch: %s" % (self.work, command),
            ran.stdout.splitlines()[-1], ran.stderr)
        self.assertEqual(2, ran.returncode)
        patched = self.run_script("run.sh", WINEPREFIX=bottle)
        self.assertEqual("Done: every installed edition in %s holds "
                         "Preferences\\Quillfix = 01." % bottle,
                         patched.stdout.splitlines()[-1], patched.stderr)

    @winetest.skip_without_wine
    def test_demo(self):
        tmp = os.path.join(self.work, "tmp")
        os.mkdir(tmp)
        ran = self.run_script("demo.sh", TMPDIR=tmp)
        self.assertEqual(0, ran.returncode, ran.stdout + ran.stderr)
        lines = ran.stdout.splitlines()
        self.assertTrue(lines[-1].startswith("Demo done: quillfix set "
                                             "Varlo's Preferences\\Quillfix "
                                             "to 01"), lines[-1])
        varlo = "HKEY_CURRENT_USER\\SOFTWARE\\Corvane\\Varlo 6.8: installed, "
        before = lines.index("== quillfix-report before")
        after = lines.index("== quillfix-report after")
        self.assertEqual(varlo + "Preferences\\Quillfix missing",
                         lines[before + 1])
        self.assertEqual(varlo + "Preferences\\Quillfix = 01",
                         lines[after + 1])
        self.assertIn("    Quillfix    REG_BINARY    01", lines)
        self.assertEqual([], os.listdir(tmp))  # the prefix is gone


if __name__ == "__main__":
    unittest.main()
