"""Fuzzing of the user.reg parser and editor for a bounded time.

Runs hive_fuzzer (fuzz/hive_fuzzer.cc, path in HIVE_FUZZER) first once on
each regression input (fuzz/regressions: inputs that once failed) and seed,
then for FUZZ_SECONDS (60 by default) from the seed corpus: fuzz/corpus
(files wineboot made, cut to size, and hand-made edge cases) and the hive
tests' fixtures (regservice/wine/testdata). A failing input is kept in
FUZZ_ARTIFACTS (by default a folder in the temporary directory) and its
path and bytes are printed: add it to fuzz/regressions once fixed.

A longer run: tests/hardening/fuzz/run_fuzz.sh SECONDS
"""

import glob
import os
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
FUZZER = os.environ.get("HIVE_FUZZER", "")
SECONDS = int(os.environ.get("FUZZ_SECONDS", "60"))
SEEDS = [os.path.join(HERE, "fuzz", "corpus"),
         os.path.join(ROOT, "regservice", "wine", "testdata")]
REGRESSIONS = os.path.join(HERE, "fuzz", "regressions")


def files_in(folder):
    return sorted(path for path in glob.glob(os.path.join(folder, "*"))
                  if os.path.isfile(path))


class FuzzTargetMixin:
    """A libFuzzer target's two tests: its regression inputs and seeds
    once each, then fuzzing for FUZZ_SECONDS from the seeds. The class
    that mixes it in names the target (`name`, `fuzzer`), its `seeds`
    folders, its `regressions` folder and the fewest inputs expected."""
    name = ""
    fuzzer = ""
    seeds = []
    regressions = ""
    fewest_inputs = 10

    def setUp(self):
        self.artifacts = os.environ.get("FUZZ_ARTIFACTS") or \
            tempfile.mkdtemp(prefix="quillfix-fuzz-artifacts-")
        os.makedirs(self.artifacts, exist_ok=True)

    def run_fuzzer(self, arguments, timeout):
        result = subprocess.run(
            [self.fuzzer, "-artifact_prefix=" + self.artifacts + "/",
             "-timeout=10", "-rss_limit_mb=2048", *arguments],
            capture_output=True, text=True, errors="replace", timeout=timeout)
        if result.returncode != 0:
            found = []
            for path in glob.glob(os.path.join(self.artifacts, "*")):
                with open(path, "rb") as f:
                    found.append("%s: %r" % (path, f.read()[:2000]))
            self.fail("%s failed (%d):\n%s\n%s" % (
                self.name, result.returncode, result.stderr[-4000:],
                "\n".join(found)))
        return result

    def test_regressions_and_seeds_pass(self):
        inputs = files_in(self.regressions) + [
            path for folder in self.seeds for path in files_in(folder)]
        self.assertGreater(len(inputs), self.fewest_inputs)
        self.run_fuzzer(inputs, timeout=300)

    def test_fuzz_for_a_bounded_time(self):
        with tempfile.TemporaryDirectory(prefix="quillfix-fuzz-") as corpus:
            result = self.run_fuzzer(
                ["-max_total_time=%d" % SECONDS, "-max_len=65536",
                 "-print_final_stats=1", corpus, *self.seeds],
                timeout=SECONDS + 300)
        print(result.stderr.strip().splitlines()[-6:])
        self.assertIn("Done ", result.stderr)


@unittest.skipUnless(FUZZER and os.path.exists(FUZZER),
                     "hive_fuzzer not built (needs clang and libFuzzer)")
class HiveFuzzTest(FuzzTargetMixin, unittest.TestCase):
    name = "hive_fuzzer"
    fuzzer = FUZZER
    seeds = SEEDS
    regressions = REGRESSIONS


if __name__ == "__main__":
    unittest.main()
