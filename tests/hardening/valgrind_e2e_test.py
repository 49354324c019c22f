"""The programs under valgrind: the end-to-end suites
(app/quillfix_e2e_test.py, app/report_e2e_test.py) run with the program
replaced by a wrapper that starts it under memcheck, one more run patches a
generated 1 MB user.reg, and one more writes through a running wineserver
(its helper is not traced). Every run must end with no memory error, no
leaked block (definitely, indirectly or possibly lost) and no file
descriptor left open that the process opened itself.

Run by ctest, which passes the programs' paths in QUILLFIX, QUILLFIX_REPORT,
QUILLFIX_INIT_FAILS, QUILLFIX_ROOT_REJECTED and QUILLFIX_START_ORDER (the
last three run as they are: one stops before the framework starts, one
aborts on purpose, one only reports the start-up order).
"""

import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
APP = os.path.join(HERE, "..", "..", "app")
sys.path.insert(0, os.path.join(HERE, "..", "..", "bench"))
sys.path.insert(0, os.path.join(HERE, "..", "wine"))
import gen_user_reg  # noqa: E402
import winetest  # noqa: E402

QUILLFIX = os.environ.get("QUILLFIX", "")
QUILLFIX_REPORT = os.environ.get("QUILLFIX_REPORT", "")
ERROR_STATUS = 97
VALGRIND = ["valgrind", "--leak-check=full",
            "--errors-for-leak-kinds=definite,indirect,possible",
            "--track-fds=yes", "--error-exitcode=%d" % ERROR_STATUS]


def problems_in_log(text):
    """What a memcheck log reports beyond a clean run: its error count,
    and each descriptor open at exit that was not inherited."""
    found = []
    summary = re.search(r"ERROR SUMMARY: (\d+) errors", text)
    if summary is None:
        found.append("no error summary (valgrind did not finish)")
    elif summary.group(1) != "0":
        found.append("%s errors" % summary.group(1))
    lines = [re.sub(r"^==\d+== ?", "", line) for line in text.splitlines()]
    for i, line in enumerate(lines):
        if line.startswith("Open ") and "descriptor" in line or \
                line.startswith("Open AF_"):
            following = lines[i + 1].strip() if i + 1 < len(lines) else ""
            if following != "<inherited from parent>":
                found.append("left open: %s (%s)" % (line, following))
    return found


@unittest.skipUnless(shutil.which("valgrind"), "valgrind is not installed")
class ValgrindTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="quillfix-valgrind-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.logs = os.path.join(self.work, "logs")
        os.mkdir(self.logs)
        self.wrapper = self.make_wrapper("quillfix", QUILLFIX)

    def make_wrapper(self, name, program):
        """A script that runs `program` under memcheck, logging to logs/."""
        wrapper = os.path.join(self.work, name)
        with open(wrapper, "w") as f:
            f.write("#!/bin/sh\nexec %s --log-file=%s/run.%%p.log %s \"$@\"\n"
                    % (" ".join(VALGRIND), self.logs, program))
        os.chmod(wrapper, 0o755)
        return wrapper

    def assertCleanLogs(self, minimum_runs):
        texts = {}
        for log in sorted(glob.glob(os.path.join(self.logs, "*.log"))):
            with open(log) as f:
                texts[log] = f.read()
        # A child the program forks to start its Wine helper leaves a log
        # that ends at its exec (children are not traced).
        def first(pattern, text):
            match = re.search(pattern, text, re.M)
            return match.group(1) if match else None
        pids = {first(r"^==(\d+)==", text) for text in texts.values()}
        runs = {log: text for log, text in texts.items()
                if first(r"Parent PID: (\d+)", text) not in pids}
        self.assertGreaterEqual(len(runs), minimum_runs)
        for text in runs.values():
            self.assertEqual([], problems_in_log(text), text[-3000:])

    def test_the_log_check_sees_a_leaked_descriptor(self):
        # A shell that opens a file and exits with it open.
        log = os.path.join(self.logs, "shell.log")
        subprocess.run(VALGRIND + ["--log-file=" + log, "/bin/sh", "-c",
                                   "exec 7</dev/null"], check=False,
                       capture_output=True, timeout=120)
        with open(log) as f:
            problems = problems_in_log(f.read())
        os.unlink(log)
        self.assertTrue(any("/dev/null" in p for p in problems), problems)

    def test_end_to_end_suite_under_valgrind(self):
        env = dict(os.environ, QUILLFIX=self.wrapper,
                   PYTHONDONTWRITEBYTECODE="1")
        result = subprocess.run(
            [sys.executable, "-m", "unittest", "quillfix_e2e_test"],
            cwd=APP, env=env, capture_output=True, text=True, timeout=1200)
        self.assertEqual(0, result.returncode, result.stderr[-5000:])
        self.assertCleanLogs(minimum_runs=10)

    def test_report_suite_under_valgrind(self):
        env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1",
                   QUILLFIX_REPORT=self.make_wrapper("quillfix-report",
                                                     QUILLFIX_REPORT))
        result = subprocess.run(
            [sys.executable, "-m", "unittest", "report_e2e_test"],
            cwd=APP, env=env, capture_output=True, text=True, timeout=1200)
        self.assertEqual(0, result.returncode, result.stderr[-5000:])
        self.assertCleanLogs(minimum_runs=15)

    def test_patch_of_a_large_file_under_valgrind(self):
        prefix = os.path.join(self.work, "prefix")
        os.mkdir(prefix)
        text, = gen_user_reg.generate_variants(
            1024 * 1024, seed=3, variants=[{"varlo", "varloplus"}])
        gen_user_reg.write_file(os.path.join(prefix, "user.reg"), text)
        result = subprocess.run([self.wrapper], capture_output=True,
                                env=dict(os.environ, WINEPREFIX=prefix),
                                timeout=600)
        self.assertEqual((0, b"", b""), (result.returncode, result.stdout,
                                         result.stderr))
        with open(os.path.join(prefix, "user.reg")) as f:
            self.assertEqual(2, f.read().count('\n"Quillfix"=hex:01\n'))
        self.assertCleanLogs(minimum_runs=1)

    @unittest.skipIf(winetest.wine_missing(), "Wine is not installed")
    def test_run_through_a_running_server_under_valgrind(self):
        varlo = "HKCU\\Software\\Corvane\\Varlo 6.8"
        with winetest.copy_prefix() as prefix:
            prefix.start_persistent_server()
            prefix.reg_add(varlo, "Edition", "REG_SZ", "std")
            result = subprocess.run([self.wrapper], capture_output=True,
                                    env=prefix.env(), timeout=600)
            self.assertEqual((0, b"", b""), (result.returncode,
                                             result.stdout, result.stderr))
            self.assertEqual({"Quillfix": ("REG_BINARY", "01")},
                             prefix.reg_query(varlo + "\\Preferences"))
        self.assertCleanLogs(minimum_runs=1)


if __name__ == "__main__":
    unittest.main()
