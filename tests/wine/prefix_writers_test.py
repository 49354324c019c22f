"""Several processes writing into one prefix at once, and a process that
dies before writing: run regdriver (path in REGDRIVER) on a copy of the
user.reg wineboot made, with no Wine running."""

import os
import shutil
import subprocess
import tempfile
import unittest

import winetest

REGDRIVER = os.environ.get("REGDRIVER", "")


@unittest.skipUnless(REGDRIVER, "REGDRIVER not set")
@winetest.skip_without_wine
class PrefixWritersTest(unittest.TestCase):
    def setUp(self):
        self.prefix = tempfile.mkdtemp(prefix="writers-")
        self.addCleanup(shutil.rmtree, self.prefix, True)
        self.user_reg = os.path.join(self.prefix, "user.reg")
        shutil.copy(os.path.join(winetest.base_prefix(), "user.reg"),
                    self.user_reg)

    def start(self, *operations):
        return subprocess.Popen([REGDRIVER, *operations],
                                env=dict(os.environ, WINEPREFIX=self.prefix),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def read(self):
        with open(self.user_reg, "rb") as f:
            return f.read()

    def test_no_writer_loses_another_ones_changes(self):
        writers = [self.start("create", "Software\\Writers\\W%d" % i,
                              "sleep", "100", "set", "V%d" % i, "3", "%02x" % i,
                              "close")
                   for i in range(8)]
        for writer in writers:
            out, err = writer.communicate(timeout=60)
            self.assertEqual(0, writer.returncode, out + err)
        text = self.read()
        for i in range(8):
            self.assertIn(b"[Software\\\\Writers\\\\W%d]" % i, text)
            self.assertIn(b'"V%d"=hex:%02x\n' % (i, i), text)
        self.assertEqual(["user.reg"], os.listdir(self.prefix))

    def test_crash_before_closing_loses_the_changes_only(self):
        before = self.read()
        crashed = self.start("create", "Software\\Crashed", "set", "V", "3",
                             "01", "crash")
        out, err = crashed.communicate(timeout=60)
        self.assertEqual(b"create 0\nset 0\ncrash 0\n", out, err)
        self.assertEqual(before, self.read())
        # A temporary file left by a crash in the middle of a save goes at
        # the next save.
        stale = os.path.join(self.prefix, "user.reg.quillfix-1-0.tmp")
        with open(stale, "wb") as f:
            f.write(before[:100])
        writer = self.start("create", "Software\\After", "close")
        out, err = writer.communicate(timeout=60)
        self.assertEqual(0, writer.returncode, out + err)
        self.assertEqual(["user.reg"], os.listdir(self.prefix))
        self.assertIn(b"[Software\\\\After]", self.read())
        self.assertNotIn(b"Crashed", self.read())


if __name__ == "__main__":
    unittest.main()
