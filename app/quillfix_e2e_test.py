"""End-to-end tests of quillfix: each case makes a Wine prefix (a folder
holding a user.reg), runs the built program as a user would, and checks its
exit status, its output and the user.reg it leaves behind.

Run by ctest, which passes the programs' paths in QUILLFIX,
QUILLFIX_INIT_FAILS, QUILLFIX_ROOT_REJECTED and QUILLFIX_START_ORDER.
"""

import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

QUILLFIX = os.environ.get("QUILLFIX", "")
INIT_FAILS = os.environ.get("QUILLFIX_INIT_FAILS", "")
ROOT_REJECTED = os.environ.get("QUILLFIX_ROOT_REJECTED", "")
START_ORDER = os.environ.get("QUILLFIX_START_ORDER", "")

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__))), "tests", "wine"))
import winetest  # noqa: E402

HEADER = winetest.USER_REG_HEAD

# Placeholders for the times of a section that the run rewrites.
NEW_SECS = "<secs>"
NEW_TIME = "<time>"

VARLO = "Software\\\\Corvane\\\\Varlo 6.8"
VARLOPLUS = "Software\\\\Corvane\\\\VarloPlus 6.8"
QUILLFIX_LINE = '"Quillfix"=hex:01'


def section(path, *lines, changed=False):
    """One key's section as Wine writes it; `changed` puts placeholders
    where the run must write the current time."""
    secs, stamp = ((NEW_SECS, NEW_TIME) if changed
                   else ("1796869137", "1dd884ccfb82800"))
    text = "\n[%s] %s\n#time=%s\n" % (path, secs, stamp)
    return text + "".join(line + "\n" for line in lines)


OTHER = section("Software\\\\Other", '"Keep"="me"')


class Prefix:
    """A throwaway prefix folder with the given user.reg text."""

    def __init__(self, test, user_reg):
        self.dir = tempfile.mkdtemp(prefix="quillfix-e2e-")
        test.addCleanup(subprocess.run, ["rm", "-rf", self.dir])
        self.user_reg = os.path.join(self.dir, "user.reg")
        if user_reg is not None:
            with open(self.user_reg, "wb") as f:
                f.write(user_reg.encode("ascii"))

    def text(self):
        with open(self.user_reg, "rb") as f:
            return f.read().decode("ascii")


def run(program, prefix_dir, args=(), env_extra=None):
    env = dict(os.environ)
    env.pop("WINEPREFIX", None)
    if prefix_dir is not None:
        env["WINEPREFIX"] = prefix_dir
    env.update(env_extra or {})
    return subprocess.run([program, *args], env=env, capture_output=True,
                          timeout=60)


class QuillfixTestCase(unittest.TestCase):
    def assertQuiet(self, result, status=0):
        self.assertEqual(status, result.returncode, result.stderr)
        self.assertEqual(b"", result.stdout)
        self.assertEqual(b"", result.stderr)

    def assertRegistry(self, expected, actual, started, finished):
        """`actual` must equal `expected` byte for byte, except that each
        placeholder stands for a time between `started` and `finished`."""
        pattern = re.escape(expected)
        pattern = pattern.replace(re.escape(NEW_SECS), r"(\d+)")
        pattern = pattern.replace(re.escape(NEW_TIME), r"([0-9a-f]+)")
        match = re.fullmatch(pattern, actual)
        self.assertIsNotNone(
            match, "user.reg differs:\n--- expected\n%s\n--- actual\n%s"
            % (expected, actual))
        for value in match.groups():
            if value.isdigit() and len(value) <= 11:
                self.assertTrue(started - 1 <= int(value) <= finished + 1,
                                "seconds %s not from this run" % value)
            else:
                unix = int(value, 16) // 10**7 - 11644473600
                self.assertTrue(started - 1 <= unix <= finished + 1,
                                "#time=%s not from this run" % value)


class PatchRunTest(QuillfixTestCase):
    """Each case: the user.reg before, the one expected after."""

    CASES = [
        ("neither edition installed",
         HEADER + OTHER,
         HEADER + OTHER),
        ("only VarloPlus installed",
         HEADER + section(VARLOPLUS, '"Edition"="plus"') + OTHER,
         HEADER + section(VARLOPLUS, '"Edition"="plus"', changed=True)
         + section(VARLOPLUS + "\\\\Preferences", QUILLFIX_LINE, changed=True)
         + OTHER),
        ("both installed",
         HEADER + section(VARLO, '"Edition"="std"')
         + section(VARLOPLUS, '"Edition"="plus"') + OTHER,
         HEADER + section(VARLO, '"Edition"="std"', changed=True)
         + section(VARLO + "\\\\Preferences", QUILLFIX_LINE, changed=True)
         + section(VARLOPLUS, '"Edition"="plus"', changed=True)
         + section(VARLOPLUS + "\\\\Preferences", QUILLFIX_LINE, changed=True)
         + OTHER),
        ("Preferences with other values keeps them",
         HEADER + section(VARLO, '"Edition"="std"')
         + section(VARLO + "\\\\Preferences", '"Alpha"=dword:00000002',
                   '"Zeta"="z"') + OTHER,
         HEADER + section(VARLO, '"Edition"="std"')
         + section(VARLO + "\\\\Preferences", '"Alpha"=dword:00000002',
                   QUILLFIX_LINE, '"Zeta"="z"', changed=True) + OTHER),
        ("Quillfix of another type is replaced",
         HEADER + section(VARLO + "\\\\Preferences", '"Quillfix"=dword:00000001')
         + OTHER,
         HEADER + section(VARLO + "\\\\Preferences", QUILLFIX_LINE,
                          changed=True) + OTHER),
        ("long Quillfix goes with its continuation lines",
         HEADER + section(VARLO + "\\\\Preferences",
                          '"A"="a"',
                          '"Quillfix"=hex:00,01,02,03,04,05,06,07,08,09,0a,'
                          '0b,0c,0d,0e,0f,10,11,12,13,14,15,\\',
                          '  16,17,18,19',
                          '"Z"="z"') + OTHER,
         HEADER + section(VARLO + "\\\\Preferences", '"A"="a"', QUILLFIX_LINE,
                          '"Z"="z"', changed=True) + OTHER),
        ("stored letter case is found and kept",
         HEADER + section("software\\\\CORVANE\\\\varlo 6.8", '"E"="s"')
         + OTHER,
         HEADER + section("software\\\\CORVANE\\\\varlo 6.8", '"E"="s"',
                          changed=True)
         + section("software\\\\CORVANE\\\\varlo 6.8\\\\Preferences",
                   QUILLFIX_LINE, changed=True) + OTHER),
        ("root that exists only as part of a deeper key",
         HEADER + section(VARLO + "\\\\Sub", '"E"="s"') + OTHER,
         HEADER + section(VARLO + "\\\\Preferences", QUILLFIX_LINE,
                          changed=True)
         + section(VARLO + "\\\\Sub", '"E"="s"') + OTHER),
    ]

    def test_cases(self):
        for name, before, after in self.CASES:
            with self.subTest(name):
                prefix = Prefix(self, before)
                started = int(time.time())
                result = run(QUILLFIX, prefix.dir)
                finished = int(time.time())
                self.assertQuiet(result)
                self.assertRegistry(after, prefix.text(), started, finished)

    def test_arguments_are_ignored(self):
        before, after = self.CASES[2][1], self.CASES[2][2]
        for args in (["--help"], ["/?"], ["-x", "--", "a" * 5000],
                     ["\x01\xff".encode("latin-1").decode("latin-1")]):
            with self.subTest(args=args[0][:10]):
                prefix = Prefix(self, before)
                started = int(time.time())
                result = run(QUILLFIX, prefix.dir, args)
                self.assertQuiet(result)
                self.assertRegistry(after, prefix.text(), started,
                                    int(time.time()))

    def test_second_run_changes_only_times(self):
        prefix = Prefix(self, self.CASES[2][1])
        started = int(time.time())
        self.assertQuiet(run(QUILLFIX, prefix.dir))
        self.assertQuiet(run(QUILLFIX, prefix.dir))
        self.assertRegistry(self.CASES[2][2], prefix.text(), started,
                            int(time.time()))

    def test_home_wine_is_the_prefix_when_unset(self):
        home = tempfile.mkdtemp(prefix="quillfix-home-")
        self.addCleanup(subprocess.run, ["rm", "-rf", home])
        os.mkdir(os.path.join(home, ".wine"))
        user_reg = os.path.join(home, ".wine", "user.reg")
        with open(user_reg, "w") as f:
            f.write(self.CASES[1][1])
        started = int(time.time())
        result = run(QUILLFIX, None, env_extra={"HOME": home})
        self.assertQuiet(result)
        with open(user_reg) as f:
            self.assertRegistry(self.CASES[1][2], f.read(), started,
                                int(time.time()))


class UnusableRegistryTest(QuillfixTestCase):
    """Without a usable user.reg the run does nothing, quietly."""

    def assertNothingCreated(self, folder, before):
        self.assertEqual(before, sorted(os.listdir(folder)))

    def test_no_prefix_at_all(self):
        parent = tempfile.mkdtemp(prefix="quillfix-e2e-")
        self.addCleanup(subprocess.run, ["rm", "-rf", parent])
        missing = os.path.join(parent, "prefix")
        self.assertQuiet(run(QUILLFIX, missing))
        self.assertEqual([], os.listdir(parent))

    def test_prefix_without_user_reg(self):
        prefix = Prefix(self, None)
        self.assertQuiet(run(QUILLFIX, prefix.dir))
        self.assertEqual([], os.listdir(prefix.dir))

    def test_files_wine_would_not_load_stay_as_they_are(self):
        body = section(VARLO, '"E"="s"') + section(VARLOPLUS, '"E"="p"')
        for name, text in [
            ("wrong version", "WINE REGISTRY Version 3\n" + body),
            ("byte-order mark", "\ufeffWINE REGISTRY Version 2\n" + body),
            ("unknown arch", "WINE REGISTRY Version 2\n#arch=arm64\n" + body),
            ("empty", ""),
            ("binary garbage", "\x00\x01\x02[\x7f]\n\x00"),
        ]:
            with self.subTest(name):
                prefix = Prefix(self, None)
                with open(prefix.user_reg, "wb") as f:
                    f.write(text.encode("utf-8"))
                self.assertQuiet(run(QUILLFIX, prefix.dir))
                with open(prefix.user_reg, "rb") as f:
                    self.assertEqual(text.encode("utf-8"), f.read())
                self.assertEqual(["user.reg"], os.listdir(prefix.dir))

    def test_unreadable_user_reg(self):
        prefix = Prefix(self, None)
        os.mkdir(prefix.user_reg)  # unreadable as a file, even for root
        self.assertQuiet(run(QUILLFIX, prefix.dir))
        self.assertEqual(["user.reg"], os.listdir(prefix.dir))
        self.assertTrue(os.path.isdir(prefix.user_reg))


class FailureTest(QuillfixTestCase):
    BOTH = HEADER + section(VARLO, '"E"="s"') + section(VARLOPLUS, '"E"="p"')

    def test_framework_failure_prints_the_message_and_exits_1(self):
        prefix = Prefix(self, self.BOTH)
        result = run(INIT_FAILS, prefix.dir)
        self.assertEqual(1, result.returncode)
        self.assertEqual(b"", result.stdout)
        self.assertEqual(b"Fatal Error: MFC initialization failed\n",
                         result.stderr)
        self.assertEqual(self.BOTH, prefix.text())

    def test_rejected_root_aborts_before_writing_or_trying_varloplus(self):
        prefix = Prefix(self, self.BOTH)
        log = os.path.join(prefix.dir, "calls.log")
        result = run(ROOT_REJECTED, prefix.dir,
                     env_extra={"QUILLFIX_CALL_LOG": log})
        self.assertEqual(-signal.SIGABRT, result.returncode, result.stderr)
        self.assertEqual(b"", result.stdout)
        self.assertEqual(self.BOTH, prefix.text())
        with open(log) as f:
            calls = f.read().splitlines()
        self.assertEqual(["OpenKey SOFTWARE\\Corvane\\Varlo 6.8\\",
                          "CloseKey ",
                          "QueryInfoKey HKEY_CURRENT_USER"], calls)


class StartOrderTest(QuillfixTestCase):
    def test_application_object_is_built_before_the_streams(self):
        """A build whose application object reports, when it is destroyed,
        whether the standard streams were ready when it was built: they
        must not have been, and must still be usable at its end."""
        prefix = Prefix(self, HEADER + OTHER)
        result = run(START_ORDER, prefix.dir, args=("ignored",))
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertEqual(b"built with streams ready: no; "
                         b"destroyed with streams usable: yes\n",
                         result.stdout)
        self.assertEqual(b"", result.stderr)
        self.assertEqual(HEADER + OTHER, prefix.text())


if __name__ == "__main__":
    unittest.main()
