"""The registry service against Wine's own registry: regdriver, built once
for this platform (REGDRIVER) and once with MinGW for Windows, runs the same
operations on two copies of one prefix, natively and under Wine. The result
of every operation, what the queries report, and the sections of the keys
written must come out the same.

Once more with a wineserver running for the native copy: the service then
goes through its bridge into that server, and every answer must be Wine's.

Cases where the file store deliberately answers as Windows documents rather
than as Wine 8 does (a short class buffer, RegOpenKeyExA of a root with an
empty path) and Wine's read past the end of string data without a final
NUL are left out.
"""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

import winetest
from registry_roundtrip_test import section_text

REGDRIVER = os.environ.get("REGDRIVER", "")
MINGW = shutil.which("x86_64-w64-mingw32-g++")

# regdriver expands these; spelled out they would not fit on a Windows
# command line.
LONG_NAME = "@16383*v"
TOO_LONG_NAME = "@16384*v"
TOO_LONG_KEY = "@257*k"

# Text arguments; only characters of both Latin-1 and code page 1252, so
# that the native driver can get them as 1252 bytes and Wine can convert
# them from the UTF-8 command line.
OPERATIONS = [
    "create", "Software\\Diff\\Caf\u00e9",
    "set", "Flag", "3", "01",
    "set", "Count", "4", "2a000000",
    "set", "Odd dword", "4", "010203",
    "set", "Text", "1", "61628000",
    "set", "Expand", "2", "25504154482500",
    "set", "Multi", "7", "6100e90000",
    "set", "Custom", "74565", "dead",
    "set", "Nothing", "0", "-",
    "set", "-", "1", "64656600",
    "set", "q\"uote\\back[br]", "3", "ff",
    "set", LONG_NAME, "3", "01",
    "set", TOO_LONG_NAME, "3", "01",
    "set", "\u00e9t\u00e9", "3", bytes(range(100)).hex(),
    "set", "\u00c9T\u00c9", "4", "01000000",
    "get", "Flag", "1", "get", "Flag", "0", "get", "FLAG", "-",
    "get", "Count", "3", "get", "Count", "8", "get", "Odd dword", "8",
    "get", "Text", "16", "get", "Text", "3", "get", "Text", "4",
    "get", "Text", "-", "get", "Expand", "16", "get", "Multi", "16",
    "get", "Multi", "-", "get", "Custom", "1", "get", "Custom", "4",
    "get", "Nothing", "4", "get", "-", "16", "get", "Nope", "4",
    "get", "Nope", "-", "get", "\u00e9t\u00e9", "64",
    "query",
    "close",
    "open", "SOFTWARE\\diff\\CAF\u00c9",
    "query",
    "close",
    "open", "\\Software",
    "open", "Software\\Nope",
    "openex", "Software\\Nope\\",
    "create", "\\Software\\Diff",
    "open", "Software\\Diff",
    "createsub", TOO_LONG_KEY,
    "opensub", TOO_LONG_KEY,
    "createsub", "@256*k",
    "close",
    "opensub", "-",
    "openexsub", "-",
    "close",
    "query",
    "close",
    "create", "Software\\\\Diff\\\\Empty\\Deeper\\",
    "close",
    "openex", "Software\\Diff\\Empty\\\\",
    "query",
    "close",
    "open", "-",
    "query",
    "get", "Nope", "4",
    "closeroot",
    "closeroot",
]

# Through the bridge Wine itself answers, so the cases left out above
# belong in too: a root opened with an empty path, a class buffer.
BRIDGE_OPERATIONS = OPERATIONS[:-2] + [
    "openex", "-",
    "query",
    "close",
    "closeroot",
    "closeroot",
]

OPERATION_NAMES = {"create", "open", "openex", "createsub", "opensub", "get",
                   "openexsub", "set", "query", "close", "closeroot"}

SECTIONS = [
    b"[Software\\\\Diff\\\\Caf\\xe9]",
    b"[Software\\\\Diff\\\\" + b"k" * 256 + b"]",
    b"[Software\\\\Diff\\\\Empty\\\\Deeper]",
]


def normalized(output):
    """regdriver's lines without the times, which differ."""
    text = output.decode("latin-1").replace("\r\n", "\n")
    return re.sub(r" time=\d+", "", text).splitlines()


@unittest.skipUnless(REGDRIVER, "REGDRIVER not set")
@unittest.skipUnless(MINGW, "MinGW-w64 is not installed")
@winetest.skip_without_wine
class AgainstWineTest(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.build = tempfile.mkdtemp(prefix="regdriver-mingw-")
        cls.exe = os.path.join(cls.build, "regdriver.exe")
        subprocess.run([MINGW, "-std=c++17", "-O1", "-static",
                        "-I" + winetest.SOURCE_ROOT,
                        os.path.join(winetest.SOURCE_ROOT, "tools",
                                     "regdriver.cc"),
                        "-o", cls.exe], check=True, capture_output=True,
                       timeout=300)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.build, ignore_errors=True)

    def test_same_answers_and_same_sections(self):
        with winetest.copy_prefix() as ours, winetest.copy_prefix() as wine:
            native = subprocess.run(
                [REGDRIVER, "--codepage", "1252",
                 *[op.encode("cp1252") for op in OPERATIONS]],
                env=dict(os.environ, WINEPREFIX=ours.path),
                capture_output=True, timeout=60)
            self.assertEqual(b"", native.stderr)

            wine.start_persistent_server()
            under_wine = wine.wine(self.exe, *OPERATIONS, check=False)
            wine.stop()  # the server saves user.reg

            self.assertEqual(normalized(under_wine.stdout),
                             normalized(native.stdout))
            self.assertEqual(under_wine.returncode, native.returncode)
            ours_text, wine_text = ours.read_user_reg(), wine.read_user_reg()
            for header in SECTIONS:
                self.assertIsNotNone(section_text(wine_text, header), header)
                self.assertEqual(section_text(wine_text, header),
                                 section_text(ours_text, header), header)

    def test_bridge_gives_the_answers_wine_gives(self):
        # With a server running, the native driver's calls go through the
        # bridge into that server: every answer must be Wine's own, the
        # cases the file store answers differently included.
        with winetest.copy_prefix() as ours, winetest.copy_prefix() as wine:
            ours.start_persistent_server()
            bridged = subprocess.run(
                [REGDRIVER, "--codepage", "1252",
                 *[op.encode("cp1252") for op in BRIDGE_OPERATIONS]],
                env=ours.env(), capture_output=True, timeout=120)
            self.assertEqual(b"", bridged.stderr)
            ours.stop()

            wine.start_persistent_server()
            under_wine = wine.wine(self.exe, *BRIDGE_OPERATIONS, check=False)
            wine.stop()

            self.assertEqual(normalized(under_wine.stdout),
                             normalized(bridged.stdout))
            # One line per operation: none was left out.
            self.assertEqual(
                len([op for op in BRIDGE_OPERATIONS if op in OPERATION_NAMES]),
                len(normalized(bridged.stdout)))
            self.assertEqual(under_wine.returncode, bridged.returncode)
            ours_text, wine_text = ours.read_user_reg(), wine.read_user_reg()
            for header in SECTIONS:
                self.assertIsNotNone(section_text(wine_text, header), header)
                self.assertEqual(section_text(wine_text, header),
                                 section_text(ours_text, header), header)


if __name__ == "__main__":
    unittest.main()
