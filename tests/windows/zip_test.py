"""The ZIP of the Windows build, as a Windows user gets it: CPack makes it
from this build, it must hold exactly the two programs, the README and the
license at its top level, and the programs unpacked from it must run under
Wine from their own folder: quillfix writes the value, quillfix-report says
so.

ctest passes the build directory in QUILLFIX_BUILD_DIR and cpack's path in
CPACK_COMMAND.
"""

import os
import shutil
import subprocess
import tempfile
import unittest
import zipfile

import windows_prefix
from windows_prefix import winetest
from winetest import VARLO  # noqa: E402

BUILD_DIR = os.environ.get("QUILLFIX_BUILD_DIR", "")
CPACK = os.environ.get("CPACK_COMMAND", "cpack")


@winetest.skip_without_wine
class ZipTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        if not os.path.isfile(os.path.join(BUILD_DIR, "CPackConfig.cmake")):
            self.fail("QUILLFIX_BUILD_DIR=%r: not a configured build"
                      % BUILD_DIR)
        self.work = tempfile.mkdtemp(prefix="quillfix-zip-")
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)

    def test_zip_holds_working_programs(self):
        ran = subprocess.run(
            [CPACK, "-G", "ZIP", "--config",
             os.path.join(BUILD_DIR, "CPackConfig.cmake"), "-B", self.work],
            capture_output=True, timeout=600)
        self.assertEqual(0, ran.returncode, ran.stdout + ran.stderr)
        path = os.path.join(self.work, "quillfix-1.0a7-win64.zip")
        self.assertTrue(os.path.isfile(path), os.listdir(self.work))
        with zipfile.ZipFile(path) as archive:
            self.assertEqual(
                ["LICENSE", "README.md", "quillfix-report.exe",
                 "quillfix.exe"], sorted(archive.namelist()))
            unpacked = os.path.join(self.work, "unpacked")
            archive.extractall(unpacked)
        with open(os.path.join(unpacked, "LICENSE")) as f:
            self.assertIn("Copyright (c) 2026 The Quillfix developers",
                          f.read())

        with winetest.copy_prefix() as prefix:
            prefix.reg_add(VARLO, "Edition", "REG_SZ", "std")
            quillfix = windows_prefix.run_exe(
                prefix, os.path.join(unpacked, "quillfix.exe"))
            self.assertEqual((0, b"", b""), (quillfix.returncode,
                                             quillfix.stdout,
                                             quillfix.stderr))
            report = windows_prefix.run_exe(
                prefix, os.path.join(unpacked, "quillfix-report.exe"))
            self.assertEqual(
                "HKEY_CURRENT_USER\\SOFTWARE\\Corvane\\Varlo 6.8: installed, "
                "Preferences\\Quillfix = 01\n"
                "HKEY_CURRENT_USER\\SOFTWARE\\Corvane\\VarloPlus 6.8: "
                "not installed\n"
                "registry: Windows registry\n",
                report.stdout.decode().replace("\r\n", "\n"))
            self.assertEqual(0, report.returncode)


if __name__ == "__main__":
    unittest.main()
