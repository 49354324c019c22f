"""The programs as a user gets them: installed with `cmake --install` into a
temporary DESTDIR, and unpacked from the Debian package that CPack makes of
the same build. Each copy is run from an unrelated directory on a test
prefix: quillfix must write the value and quillfix-report say so. The
package is also checked with lintian.

ctest passes the build directory in QUILLFIX_BUILD_DIR, cmake's and
cpack's paths in CMAKE_COMMAND and CPACK_COMMAND, and the .deb it made of
the build in the folder QUILLFIX_DEB_DIR (without it, the test makes one).
"""

import gzip
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

BUILD_DIR = os.environ.get("QUILLFIX_BUILD_DIR", "")
CMAKE = os.environ.get("CMAKE_COMMAND", "cmake")
CPACK = os.environ.get("CPACK_COMMAND", "cpack")
DEB_DIR = os.environ.get("QUILLFIX_DEB_DIR", "")
SOURCE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE_ROOT, "tests", "wine"))
import winetest  # noqa: E402

USER_REG = winetest.VARLO_USER_REG

INSTALLED_FILES = sorted([
    "usr/bin/quillfix",
    "usr/bin/quillfix-report",
    "usr/share/doc/quillfix/README.md",
    "usr/share/doc/quillfix/changelog.gz",
    "usr/share/doc/quillfix/copyright",
    "usr/share/man/man1/quillfix-report.1.gz",
    "usr/share/man/man1/quillfix.1.gz",
])


# Helpers the programs run live here; which ones depends on the build.
HELPER_DIR = "usr/libexec/quillfix/"


def files_below(root):
    """The installed files, helpers left out."""
    found = []
    for directory, _, names in os.walk(root):
        for name in names:
            found.append(os.path.relpath(os.path.join(directory, name), root))
    return sorted(f for f in found if not f.startswith(HELPER_DIR))


class InstalledProgramsTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        if not os.path.isfile(os.path.join(BUILD_DIR, "CPackConfig.cmake")):
            self.fail("QUILLFIX_BUILD_DIR=%r: not a configured build"
                      % BUILD_DIR)
        self.work = tempfile.mkdtemp(prefix="quillfix-install-")
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)

    def assertProgramsWork(self, root):
        """Runs root/usr/bin's programs from an unrelated folder, with a
        PATH that holds nothing of the build, on a fresh prefix."""
        prefix = tempfile.mkdtemp(dir=self.work)
        with open(os.path.join(prefix, "user.reg"), "w") as f:
            f.write(USER_REG)
        elsewhere = tempfile.mkdtemp(dir=self.work)
        env = {"PATH": os.path.join(root, "usr", "bin") + ":/usr/bin:/bin",
               "WINEPREFIX": prefix, "HOME": elsewhere}
        ran = subprocess.run(["quillfix"], cwd=elsewhere, env=env,
                             capture_output=True, timeout=60)
        self.assertEqual((0, b"", b""),
                         (ran.returncode, ran.stdout, ran.stderr))
        ran = subprocess.run(["quillfix-report"], cwd=elsewhere, env=env,
                             capture_output=True, timeout=60)
        self.assertEqual(
            "HKEY_CURRENT_USER\\SOFTWARE\\Corvane\\Varlo 6.8: installed, "
            "Preferences\\Quillfix = 01\n"
            "HKEY_CURRENT_USER\\SOFTWARE\\Corvane\\VarloPlus 6.8: "
            "not installed\n"
            "registry: %s/user.reg\n" % prefix, ran.stdout.decode())
        self.assertEqual((0, b""), (ran.returncode, ran.stderr))
        with open(os.path.join(prefix, "user.reg")) as f:
            self.assertIn('"Quillfix"=hex:01\n', f.read())

    def assertDocumentation(self, root):
        doc = os.path.join(root, "usr", "share", "doc", "quillfix")
        with open(os.path.join(doc, "copyright")) as f:
            copyright_text = f.read()
        self.assertTrue(copyright_text.startswith(
            "Format: https://www.debian.org/doc/packaging-manuals/"
            "copyright-format/1.0/\n"), copyright_text)
        self.assertIn("\nCopyright: 2026 The Quillfix developers\n"
                      "License: Expat\n Permission is hereby granted",
                      copyright_text)
        for page in ("quillfix.1", "quillfix-report.1"):
            with gzip.open(os.path.join(root, "usr", "share", "man", "man1",
                                        page + ".gz")) as f:
                installed = f.read()
            with open(os.path.join(SOURCE_ROOT, "man", page), "rb") as f:
                self.assertEqual(f.read(), installed, page)

    def test_install_into_destdir(self):
        root = os.path.join(self.work, "destdir")
        ran = subprocess.run(
            [CMAKE, "--install", BUILD_DIR, "--prefix", "/usr"],
            env=dict(os.environ, DESTDIR=root), capture_output=True,
            timeout=300)
        self.assertEqual(0, ran.returncode, ran.stderr)
        self.assertEqual(INSTALLED_FILES, files_below(root))
        self.assertDocumentation(root)
        self.assertProgramsWork(root)

    def debian_package(self):
        """The .deb ctest made for the package tests (in QUILLFIX_DEB_DIR),
        else one made here."""
        out = DEB_DIR
        if not out:
            out = os.path.join(self.work, "packages")
            ran = subprocess.run(
                [CPACK, "-G", "DEB", "--config",
                 os.path.join(BUILD_DIR, "CPackConfig.cmake"), "-B", out],
                capture_output=True, timeout=600)
            self.assertEqual(0, ran.returncode, ran.stdout + ran.stderr)
        deb = os.path.join(out, "quillfix_1.0~a7_amd64.deb")
        self.assertTrue(os.path.isfile(deb), os.listdir(out))
        return deb

    def test_debian_package(self):
        deb = self.debian_package()

        fields = {}
        control = subprocess.run(["dpkg-deb", "-f", deb], check=True,
                                 capture_output=True, timeout=60)
        for line in control.stdout.decode().splitlines():
            if not line.startswith(" ") and ":" in line:
                name, value = line.split(":", 1)
                fields[name] = value.strip()
        self.assertEqual("quillfix", fields["Package"])
        self.assertEqual("1.0~a7", fields["Version"])
        self.assertEqual("amd64", fields["Architecture"])
        self.assertEqual("wine", fields["Recommends"])
        self.assertIn("libc6 (>=", fields["Depends"])  # from dpkg-shlibdeps
        # quillfix-report reads Lutris' and Bottles' files with yaml-cpp.
        self.assertIn("libyaml-cpp0.7", fields["Depends"])
        self.assertNotIn("wine", fields["Depends"])

        root = os.path.join(self.work, "unpacked")
        subprocess.run(["dpkg-deb", "-x", deb, root], check=True,
                       timeout=60)
        self.assertEqual(INSTALLED_FILES, files_below(root))
        self.assertDocumentation(root)
        self.assertProgramsWork(root)

        if shutil.which("lintian") is None:
            self.skipTest("lintian is not installed "
                          "(scripts/install-deps.sh installs it)")
        lint = subprocess.run(["lintian", "--no-tag-display-limit", deb],
                              capture_output=True, timeout=600)
        complaints = [line for line in lint.stdout.decode().splitlines()
                      if line.startswith(("E:", "W:"))]
        self.assertEqual([], complaints, lint.stdout.decode())


if __name__ == "__main__":
    unittest.main()
