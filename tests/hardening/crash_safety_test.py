"""SIGKILL in the middle of saves of a 10 MB user.reg, at least 200 times.

crash_driver (beside this file) does the killing and checks each kill's
result: user.reg is byte-identical to the file before the save or after it,
and nothing is left in the prefix but temporaries the store removes at its
next save. This test makes the file, runs the driver and checks that a kill
landed right before each step of the save, on both sides of the rename.

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


def write_regular_file(test, prefix, text):
    user_reg = os.path.join(prefix, "user.reg")
    gen_user_reg.write_file(user_reg, text)
    return user_reg


def write_symlinked_file(test, prefix, text):
    """user.reg as a symlink into a folder of its own, as a dotfiles folder
    would hold it; returns the file it leads to."""
    dotfiles = tempfile.mkdtemp(prefix="quillfix-crash-dotfiles-",
                                dir=os.path.dirname(prefix))
    test.addCleanup(shutil.rmtree, dotfiles, True)
    data_file = os.path.join(dotfiles, "wine-user.reg")
    gen_user_reg.write_file(data_file, text)
    os.symlink(data_file, os.path.join(prefix, "user.reg"))
    return data_file


# The kinds of user.reg the saves are killed on: (name, how a prefix gets
# its user.reg from the generated text, returning the file that holds the
# bytes, each step the save reaches with the
# file a kill right before it leaves: the old one or the new one).
USER_REG_KINDS = [
    ("regular file", write_regular_file,
     {"create": "old", "write": "old", "file_sync": "old", "close": "old",
      "rename": "old", "directory_sync": "new"}),
    # The file the link leads to is replaced beside itself; the link stays.
    ("symlink", write_symlinked_file,
     {"create": "old", "write": "old", "file_sync": "old", "close": "old",
      "rename": "old", "directory_sync": "new"}),
]


class CrashSafetyTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Only VarloPlus is installed: the driver writes Varlo's
        # Preferences, making the key, so the save adds a section and
        # changes its parent's.
        cls.text, = gen_user_reg.generate_variants(
            10 * 1024 * 1024, seed=SEED, variants=[{"varloplus"}])

    def make_prefix(self):
        # In memory where possible: a kill tests the process, not the disk,
        # and fsync on a disk would make the rounds slow.
        shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
        prefix = tempfile.mkdtemp(prefix="quillfix-crash-", dir=shm)
        self.addCleanup(shutil.rmtree, prefix, True)
        return prefix

    def test_every_kill_leaves_the_old_or_the_new_file(self):
        for name, make_user_reg, steps in USER_REG_KINDS:
            with self.subTest(name):
                prefix = self.make_prefix()
                data_file = make_user_reg(self, prefix, self.text)
                self.run_driver(prefix, data_file, steps)
                if data_file != os.path.join(prefix, "user.reg"):
                    self.assertEqual(data_file, os.readlink(
                        os.path.join(prefix, "user.reg")))

    def run_driver(self, prefix, data_file, expected_steps):
        result = subprocess.run([DRIVER, prefix, str(KILLS), str(SEED)],
                                capture_output=True, text=True, timeout=900)
        self.assertEqual(0, result.returncode, result.stderr)
        print(result.stdout.strip())
        counts = {k: int(v) for k, v in
                  re.findall(r"(\w+)=(\d+)", result.stdout)}
        self.assertGreaterEqual(counts["kills"], KILLS)
        self.assertEqual(counts["kills"],
                         counts["before"] + counts["after"] - counts[
                             "completed"])
        # One save was stopped right before each of its steps and killed
        # there, so the kills hit both sides of the rename however slow
        # the machine is; the random delays hit the steps' insides.
        steps = re.search(r"^steps=(.*)$", result.stdout, re.M).group(1)
        self.assertEqual(expected_steps, dict(
            step.split(":") for step in steps.split(",")))
        with open(data_file, "rb") as f:
            self.assertIn(b'\n"Quillfix"=hex:01\n', f.read())


if __name__ == "__main__":
    unittest.main()
