"""Fuzzing of the reader of Steam's VDF text (app/vdf_reader) for a bounded
time, as hive_fuzz_test.py fuzzes the user.reg parser: vdf_fuzzer
(fuzz/vdf_fuzzer.cc, path in VDF_FUZZER) runs once on each seed of
fuzz/vdf_corpus (libraryfolders.vdf files as Steam writes them, and
hand-made edge cases and broken files), then for FUZZ_SECONDS from them.
A failing input is kept in FUZZ_ARTIFACTS; add it to fuzz/vdf_regressions
(made then) once fixed.
"""

import os
import unittest

import hive_fuzz_test as fuzz

FUZZER = os.environ.get("VDF_FUZZER", "")


@unittest.skipUnless(FUZZER and os.path.exists(FUZZER),
                     "vdf_fuzzer not built (needs clang and libFuzzer)")
class VdfFuzzTest(fuzz.FuzzTargetMixin, unittest.TestCase):
    name = "vdf_fuzzer"
    fuzzer = FUZZER
    seeds = [os.path.join(fuzz.HERE, "fuzz", "vdf_corpus")]
    regressions = os.path.join(fuzz.HERE, "fuzz", "vdf_regressions")
    fewest_inputs = 5


if __name__ == "__main__":
    unittest.main()
