"""quillfix-report.exe, the Windows build, under Wine against the Linux
build: for each scenario a copy of the base prefix gets its values with
`wine reg add`; the Windows build reads them through Wine's registry while
that prefix's server runs, the Linux build reads user.reg once the server
has saved it and exited. Both must print the same edition lines and give
the same exit status; only the line naming the registry differs.

ctest passes the programs in QUILLFIX_REPORT_EXE and QUILLFIX_REPORT_LINUX.
"""

import os
import unittest

import windows_prefix
from windows_prefix import winetest
from winetest import VARLO, VARLOPLUS  # noqa: E402

REPORT_EXE = os.environ.get("QUILLFIX_REPORT_EXE", "")
REPORT_LINUX = os.environ.get("QUILLFIX_REPORT_LINUX", "")

VARLO_LINE = "HKEY_CURRENT_USER\\SOFTWARE\\Corvane\\Varlo 6.8"
VARLOPLUS_LINE = "HKEY_CURRENT_USER\\SOFTWARE\\Corvane\\VarloPlus 6.8"

# (name, [(key, value, type, data)], Varlo's line, VarloPlus's line, status)
SCENARIOS = [
    ("neither edition",
     [("HKCU\\Software\\Corvane\\Other", "Keep", "REG_SZ", "me")],
     ": not installed", ": not installed", 0),
    ("Varlo without Preferences",
     [(VARLO, "Edition", "REG_SZ", "std")],
     ": installed, Preferences\\Quillfix missing", ": not installed", 1),
    ("both patched",
     [(VARLO + "\\Preferences", "Quillfix", "REG_BINARY", "01"),
      (VARLOPLUS + "\\Preferences", "Quillfix", "REG_BINARY", "01")],
     ": installed, Preferences\\Quillfix = 01",
     ": installed, Preferences\\Quillfix = 01", 0),
    ("a REG_DWORD and two bytes",
     [(VARLO + "\\Preferences", "Quillfix", "REG_DWORD", "1"),
      (VARLOPLUS + "\\Preferences", "Quillfix", "REG_BINARY", "0101")],
     ": installed, Preferences\\Quillfix = REG_DWORD 01 00 00 00",
     ": installed, Preferences\\Quillfix = REG_BINARY 01 01", 1),
    ("a string",
     [(VARLOPLUS + "\\Preferences", "QUILLFIX", "REG_SZ", "on")],
     ": not installed",
     ": installed, Preferences\\Quillfix = REG_SZ 6f 6e 00", 1),
]


@winetest.skip_without_wine
class ReportUnderWineTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        for variable, path in (("QUILLFIX_REPORT_EXE", REPORT_EXE),
                               ("QUILLFIX_REPORT_LINUX", REPORT_LINUX)):
            if not os.path.isfile(path):
                self.fail("%s=%r: no such program; build it first"
                          % (variable, path))

    def test_same_lines_as_the_linux_build(self):
        for name, values, varlo, varloplus, status in SCENARIOS:
            with self.subTest(name), winetest.copy_prefix() as prefix:
                for key, value, reg_type, data in values:
                    prefix.reg_add(key, value, reg_type, data)
                windows = windows_prefix.run_exe(prefix, REPORT_EXE)
                prefix.settle()  # user.reg is saved as the server exits
                linux = windows_prefix.run_linux(prefix, REPORT_LINUX)

                editions = [VARLO_LINE + varlo, VARLOPLUS_LINE + varloplus]
                self.assertEqual(
                    editions + ["registry: Windows registry"],
                    windows.stdout.decode().replace("\r\n", "\n")
                    .splitlines())
                self.assertEqual(
                    editions + ["registry: " + prefix.user_reg],
                    linux.stdout.decode().splitlines())
                self.assertEqual((status, status),
                                 (windows.returncode, linux.returncode))
                self.assertEqual(b"", linux.stderr)


if __name__ == "__main__":
    unittest.main()
