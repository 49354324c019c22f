"""End-to-end tests of quillfix.exe, the Windows build, under Wine: each case
prepares a copy of the base prefix with `wine reg add`, runs the program as
a user would, and checks its status, its output and the registry with
`wine reg query` and `wine reg export`.

ctest passes the programs in QUILLFIX_EXE and QUILLFIX_INIT_FAILS_EXE.
"""

import os
import unittest

import windows_prefix
from windows_prefix import winetest
from winetest import VARLO, VARLOPLUS  # noqa: E402

QUILLFIX_EXE = os.environ.get("QUILLFIX_EXE", "")
INIT_FAILS_EXE = os.environ.get("QUILLFIX_INIT_FAILS_EXE", "")

QUILLFIX = ("REG_BINARY", "01")


def absent(prefix, key):
    return prefix.wine("reg", "query", key, check=False).returncode != 0


@winetest.skip_without_wine
class QuillfixExeTest(unittest.TestCase):
    def setUp(self):
        if not os.path.isfile(QUILLFIX_EXE):
            self.fail("QUILLFIX_EXE=%r: no such program" % QUILLFIX_EXE)

    def assertQuiet(self, result, status=0):
        self.assertEqual(status, result.returncode, result.stderr)
        self.assertEqual(b"", result.stdout)
        self.assertEqual(b"", result.stderr)

    def test_editions(self):
        """Each case: values added, then {key: values expected after} and
        the keys that must still be missing."""
        cases = [
            ("both installed",
             [(VARLO, "Edition", "REG_SZ", "std"),
              (VARLOPLUS, "Edition", "REG_SZ", "plus")],
             {VARLO + "\\Preferences": {"Quillfix": QUILLFIX},
              VARLOPLUS + "\\Preferences": {"Quillfix": QUILLFIX},
              VARLO: {"Edition": ("REG_SZ", "std")}},
             []),
            ("only VarloPlus installed",
             [(VARLOPLUS, "Edition", "REG_SZ", "plus")],
             {VARLOPLUS + "\\Preferences": {"Quillfix": QUILLFIX}},
             [VARLO]),
            ("Preferences with other values keeps them",
             [(VARLO + "\\Preferences", "Alpha", "REG_DWORD", "2"),
              (VARLO + "\\Preferences", "Zeta", "REG_SZ", "z")],
             {VARLO + "\\Preferences": {"Alpha": ("REG_DWORD", "0x2"),
                                        "Zeta": ("REG_SZ", "z"),
                                        "Quillfix": QUILLFIX}},
             [VARLOPLUS]),
            ("Quillfix of another type is replaced",
             [(VARLO + "\\Preferences", "Quillfix", "REG_DWORD", "1"),
              (VARLOPLUS + "\\Preferences", "Quillfix", "REG_BINARY",
               "000102030405")],
             {VARLO + "\\Preferences": {"Quillfix": QUILLFIX},
              VARLOPLUS + "\\Preferences": {"Quillfix": QUILLFIX}},
             []),
        ]
        for name, added, expected, missing in cases:
            with self.subTest(name), winetest.copy_prefix() as prefix:
                for key, value, reg_type, data in added:
                    prefix.reg_add(key, value, reg_type, data)
                self.assertQuiet(windows_prefix.run_exe(prefix, QUILLFIX_EXE))
                for key, values in expected.items():
                    self.assertEqual(values, prefix.reg_query(key), key)
                for key in missing:
                    self.assertTrue(absent(prefix, key), key)

    def test_neither_edition_changes_nothing(self):
        with winetest.copy_prefix() as prefix:
            prefix.reg_add("HKCU\\Software\\Corvane\\Other", "Keep", "REG_SZ",
                           "me")
            # Each whole Wine session run to its end, so that Wine's own
            # start-up writes are done in both.
            before = prefix.settled_user_reg()
            self.assertQuiet(windows_prefix.run_exe(prefix, QUILLFIX_EXE))
            winetest.assert_same_registry(self, before,
                                          prefix.settled_user_reg(),
                                          "the registries before and after")

    def test_stored_letter_case_is_found_and_kept(self):
        with winetest.copy_prefix() as prefix:
            prefix.reg_add("HKCU\\SOFTWARE\\CORVANE\\VARLO 6.8", "E",
                           "REG_SZ", "s")
            self.assertQuiet(windows_prefix.run_exe(prefix, QUILLFIX_EXE))
            keys = winetest.parse_reg_export(prefix.reg_export("HKCU"))
            self.assertEqual(
                {"Quillfix": (3, b"\x01")},
                keys["HKEY_CURRENT_USER\\Software\\CORVANE\\VARLO 6.8"
                     "\\Preferences"])

    def test_arguments_are_ignored(self):
        with winetest.copy_prefix() as prefix:
            prefix.reg_add(VARLO, "Edition", "REG_SZ", "std")
            for args in (["--help"], ["/?"], ["-x", "--", "a" * 5000]):
                self.assertQuiet(windows_prefix.run_exe(
                    prefix, QUILLFIX_EXE, *args))
            self.assertEqual({"Quillfix": QUILLFIX},
                             prefix.reg_query(VARLO + "\\Preferences"))
            self.assertTrue(absent(prefix, VARLOPLUS))

    def test_framework_failure_prints_the_message_and_exits_1(self):
        with winetest.copy_prefix() as prefix:
            prefix.reg_add(VARLO, "Edition", "REG_SZ", "std")
            result = windows_prefix.run_exe(prefix, INIT_FAILS_EXE)
            self.assertEqual(1, result.returncode)
            self.assertEqual(b"", result.stdout)
            # The C runtime's text mode ends the line with CR LF.
            self.assertEqual(b"Fatal Error: MFC initialization failed\r\n",
                             result.stderr)
            self.assertTrue(absent(prefix, VARLO + "\\Preferences"))


if __name__ == "__main__":
    unittest.main()
