"""The Linux build and the Windows build must leave the same registry.

For each scenario a prefix is prepared with `wine reg add` and copied twice;
the Linux program (QUILLFIX_LINUX, editing user.reg directly) runs on one
copy and quillfix.exe (QUILLFIX_EXE, under Wine, through the real registry
functions) on the other. Then the product's keys of both are exported with
`wine reg export` and the two texts must be identical; and once the Wine
session of each export has run to its end, so must the whole
HKEY_CURRENT_USER that Wine saved, times masked (compared any earlier, it
would be a moment of Wine's own start-up writes).
"""

import difflib
import os
import unittest

import windows_prefix
from windows_prefix import winetest
from winetest import VARLO, VARLOPLUS  # noqa: E402

CORVANE = "HKCU\\Software\\Corvane"

QUILLFIX_LINUX = os.environ.get("QUILLFIX_LINUX", "")
QUILLFIX_EXE = os.environ.get("QUILLFIX_EXE", "")


# (name, [(key, value name, type, data)]) added before the run.
SCENARIOS = [
    ("neither edition",
     [("HKCU\\Software\\Corvane\\Other", "Keep", "REG_SZ", "me")]),
    ("Varlo only",
     [(VARLO, "Edition", "REG_SZ", "std")]),
    ("VarloPlus only",
     [(VARLOPLUS, "Edition", "REG_SZ", "plus")]),
    ("both editions",
     [(VARLO, "Edition", "REG_SZ", "std"),
      (VARLOPLUS, "Edition", "REG_SZ", "plus")]),
    ("Preferences with other values",
     [(VARLO + "\\Preferences", "Alpha", "REG_DWORD", "2"),
      (VARLO + "\\Preferences", "Zeta", "REG_SZ", "z"),
      (VARLO + "\\Preferences\\Deeper", "Inner", "REG_BINARY", "0a0b")]),
    ("Quillfix of another type",
     [(VARLO + "\\Preferences", "Quillfix", "REG_DWORD", "1"),
      (VARLOPLUS + "\\Preferences", "Quillfix", "REG_SZ", "on")]),
    # user.reg has no section of its own for a key that only has subkeys.
    ("Varlo only as the parent of another key",
     [(VARLO + "\\Sub", "Inner", "REG_SZ", "x")]),
    ("key names stored in another letter case",
     [("HKCU\\SOFTWARE\\CORVANE\\varlo 6.8", "E", "REG_SZ", "s"),
      ("HKCU\\Software\\corvane\\VARLOPLUS 6.8\\preferences", "quillFIX",
       "REG_BINARY", "0203")]),
]


@winetest.skip_without_wine
class DifferentialTest(unittest.TestCase):
    def setUp(self):
        for variable, path in (("QUILLFIX_LINUX", QUILLFIX_LINUX),
                               ("QUILLFIX_EXE", QUILLFIX_EXE)):
            if not os.access(path, os.X_OK if variable == "QUILLFIX_LINUX"
                             else os.R_OK):
                self.fail("%s=%r: no such program; build it first"
                          % (variable, path))

    def assertSameExport(self, linux, windows, scenario):
        if linux != windows:
            diff = "\n".join(difflib.unified_diff(
                linux.split("\n"), windows.split("\n"), "linux build",
                "windows build", lineterm=""))
            self.fail("%s: the builds left different registries:\n%s"
                      % (scenario, diff))

    def test_both_builds_leave_the_same_registry(self):
        for name, values in SCENARIOS:
            with self.subTest(name), winetest.copy_prefix() as prepared:
                for key, value, reg_type, data in values:
                    prepared.reg_add(key, value, reg_type, data)
                prepared.settle()  # user.reg is saved as the server exits
                with windows_prefix.clone_prefix(prepared) as linux, \
                        windows_prefix.clone_prefix(prepared) as windows:
                    ran = windows_prefix.run_linux(linux, QUILLFIX_LINUX)
                    self.assertEqual((0, b"", b""), (
                        ran.returncode, ran.stdout, ran.stderr), "linux")
                    ran = windows_prefix.run_exe(windows, QUILLFIX_EXE)
                    self.assertEqual((0, b"", b""), (
                        ran.returncode, ran.stdout, ran.stderr), "windows")
                    linux_export = linux.reg_export(CORVANE)
                    windows_export = windows.reg_export(CORVANE)
                    linux_registry = linux.settled_user_reg()
                    windows_registry = windows.settled_user_reg()
                self.assertSameExport(linux_export, windows_export, name)
                winetest.assert_same_registry(
                    self, linux_registry, windows_registry,
                    "%s: the builds' registries" % name)
                # The run did something where an edition exists.
                wrote = '"quillfix"=hex:01' in windows_export.lower()
                self.assertEqual(name != "neither edition", wrote,
                                 "%s: written: %s" % (name, wrote))


if __name__ == "__main__":
    unittest.main()
