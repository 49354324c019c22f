"""quillfix against the real Wine: on a prefix made by wineboot, where the
product's keys were added with `wine reg add`, a run of quillfix writes the
value that `wine reg query` then reads back, and changes nothing else.

ctest passes the program's path in QUILLFIX.
"""

import os
import subprocess
import unittest

import winetest
from winetest import VARLO, VARLOPLUS

QUILLFIX = os.environ.get("QUILLFIX", "")


@winetest.skip_without_wine
class QuillfixOnWinePrefixTest(unittest.TestCase):
    def test_installed_edition_gets_the_value_wine_reads_back(self):
        with winetest.copy_prefix() as prefix:
            prefix.reg_add(VARLO, "Edition", "REG_SZ", "std")
            prefix.settle()  # the server saves user.reg and goes
            before = winetest.mask_times(
                prefix.read_user_reg().decode("ascii"))

            result = subprocess.run([QUILLFIX], capture_output=True,
                                    env=prefix.env(), timeout=60)
            self.assertEqual((0, b"", b""),
                             (result.returncode, result.stdout,
                              result.stderr))

            after = winetest.mask_times(prefix.read_user_reg().decode("ascii"))
            added = ('\n[Software\\\\Corvane\\\\Varlo 6.8\\\\Preferences] '
                     '<secs>\n#time=<time>\n"Quillfix"=hex:01\n')
            self.assertEqual(1, after.count(added), after)
            self.assertEqual(before, after.replace(added, "", 1))

            self.assertEqual({"Quillfix": ("REG_BINARY", "01")},
                             prefix.reg_query(VARLO + "\\Preferences"))
            self.assertEqual("std", prefix.reg_query(VARLO)["Edition"][1])
            missing = prefix.wine("reg", "query", VARLOPLUS, check=False)
            self.assertNotEqual(0, missing.returncode)


if __name__ == "__main__":
    unittest.main()
