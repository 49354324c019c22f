"""SIGKILL in the middle of saves of a 10 MB user.reg, at least 200 times.

crash_driver (beside this file) does the killing and checks each kill's
result: user.reg is byte-identical to the file before the save or after it,
and nothing is left in the prefix but temporaries the store removes at its
next save. This test makes the file, runs the driver and checks that the
kills hit both sides of the rename.

The same for a user.reg that is a symlink into a folder of its own (as a
dotfiles folder would hold it): the file it leads to is never torn and the
link stays.

Run by ctest, which passes the driver's path in CRASH_DRIVER; CRASH_KILLS
and CRASH_SEED change the count and the seed of the delays.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "bench"))
import gen_user_reg  # noqa: E402

DRIVER = os.environ.get("CRASH_DRIVER", "")
KILLS = int(os.environ.get("CRASH_KILLS", "200"))
SEED = int(os.environ.get("CRASH_SEED", "6"))


class CrashSafetyTest(unittest.TestCase):
    def setUp(self):
        # In memory where possible: a kill tests the process, not the disk,
        # and fsync on a disk would make the rounds slow.
        shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
        self.prefix = tempfile.mkdtemp(prefix="quillfix-crash-", dir=shm)
        self.addCleanup(shutil.rmtree, self.prefix, True)
        # Only VarloPlus is installed: the driver writes Varlo's
        # Preferences, making the key, so the save adds a section and
        # changes its parent's.
        text, = gen_user_reg.generate_variants(10 * 1024 * 1024, seed=SEED,
                                               variants=[{"varloplus"}])
        gen_user_reg.write_file(os.path.join(self.prefix, "user.reg"), text)

    def test_every_kill_leaves_the_old_or_the_new_file(self):
        self.run_driver_and_check(os.path.join(self.prefix, "user.reg"))

    def test_every_kill_leaves_a_symlinked_file_old_or_new(self):
        data_file = self.link_user_reg_into_a_folder_of_its_own()
        self.run_driver_and_check(data_file)
        self.assertEqual(data_file,
                         os.readlink(os.path.join(self.prefix, "user.reg")))

    def link_user_reg_into_a_folder_of_its_own(self):
        """Moves user.reg out of the prefix and links to it; returns where
        it went."""
        dotfiles = tempfile.mkdtemp(prefix="quillfix-crash-dotfiles-",
                                    dir=os.path.dirname(self.prefix))
        self.addCleanup(shutil.rmtree, dotfiles, True)
        user_reg = os.path.join(self.prefix, "user.reg")
        data_file = os.path.join(dotfiles, "wine-user.reg")
        os.rename(user_reg, data_file)
        os.symlink(data_file, user_reg)
        return data_file

    def run_driver_and_check(self, data_file):
        result = subprocess.run([DRIVER, self.prefix, str(KILLS), str(SEED)],
                                capture_output=True, text=True, timeout=900)
        self.assertEqual(0, result.returncode, result.stderr)
        print(result.stdout.strip())
        counts = {k: int(v) for k, v in
                  re.findall(r"(\w+)=(\d+)", result.stdout)}
        self.assertGreaterEqual(counts["kills"], KILLS)
        self.assertEqual(counts["kills"],
                         counts["before"] + counts["after"] - counts[
                             "completed"])
        # Kills must have landed both before and after the rename, or the
        # delays missed the save.
        self.assertGreater(counts["before"], 0)
        self.assertGreater(counts["after"] - counts["completed"], 0)
        with open(data_file, "rb") as f:
            self.assertIn(b'\n"Quillfix"=hex:01\n', f.read())


if __name__ == "__main__":
    unittest.main()
