#!/usr/bin/env python3
"""Times `quillfix-report --list` over a Steam library named in one
spelling and in many (`/L`, `/L/.`, `//L`, ...), with many compatdata
folders beside its two prefixes: the listing's time should follow the
prefixes and folders, not the spellings.

It makes a fixture home in a temporary folder (removed at the end), runs
the listing in turns for each case, and prints the medians, their ratio,
and PASS or MISS for the target (many spellings within 2 x one).

Usage: listing_bench.py [--report build/release/app/quillfix-report]
                        [--spellings 5000] [--folders 3000] [--runs 5]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
USER_REG = ("WINE REGISTRY Version 2\n;; All keys relative to "
            "\\\\User\\\\S-1-5-21-0-0-0-1000\n\n#arch=win64\n\n"
            "[Software\\\\Corvane\\\\Varlo 6.8] 1700000000\n"
            "\"Edition\"=\"std\"\n")
TARGET = 2.0


def spellings_of(library, count):
    """`count` different spellings of the directory `library`: each slash
    of it written as /, //, /./ or /.//, then 0 to many more slashes at the
    end (short enough for the manager's file limit of 1 MB)."""
    forms = ("/", "//", "/./", "/.//")
    parts = library.split("/")[1:]
    per_tail = len(forms) ** len(parts)
    spellings = []
    for i in range(count):
        digits, tail = i % per_tail, i // per_tail
        path = ""
        for part in parts:
            path += forms[digits % len(forms)] + part
            digits //= len(forms)
        spellings.append(path + "/" * tail)
    return spellings


def library_folders(paths):
    text = '"libraryfolders"\n{\n'
    for number, path in enumerate(paths):
        text += '\t"%d"\n\t{\n\t\t"path"\t\t"%s"\n\t}\n' % (number, path)
    return text + "}\n"


def make_home(top, name, library, spellings):
    home = os.path.join(top, name)
    steamapps = os.path.join(home, ".local/share/Steam/steamapps")
    os.makedirs(steamapps)
    with open(os.path.join(steamapps, "libraryfolders.vdf"), "w") as f:
        f.write(library_folders(spellings_of(library, spellings)))
    return home


def make_library(top, folders):
    library = os.path.join(top, "SteamLibrary")
    compatdata = os.path.join(library, "steamapps/compatdata")
    for app in range(folders):
        os.makedirs(os.path.join(compatdata, str(app)))
    for app in (1, 2):
        prefix = os.path.join(compatdata, str(app), "pfx")
        os.makedirs(prefix)
        with open(os.path.join(prefix, "user.reg"), "w") as f:
            f.write(USER_REG)
    return library


def time_listing(report, home):
    env = {k: v for k, v in os.environ.items() if k != "WINEPREFIX"}
    env["HOME"] = home
    start = time.monotonic()
    result = subprocess.run([report, "--list"], env=env, capture_output=True,
                            stdin=subprocess.DEVNULL, timeout=600)
    took = time.monotonic() - start
    if result.returncode != 0 or result.stdout.count(b"\n") != 2:
        sys.exit("unexpected listing (status %d): %r %r"
                 % (result.returncode, result.stdout, result.stderr))
    return took * 1000


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--report", default=os.path.join(
        ROOT, "build/release/app/quillfix-report"))
    parser.add_argument("--spellings", type=int, default=5000)
    parser.add_argument("--folders", type=int, default=3000)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    if not os.path.isfile(args.report):
        sys.exit("%s: no such program (build it, or give --report)"
                 % args.report)
    top = tempfile.mkdtemp(prefix="quillfix-listing-bench-")
    try:
        library = make_library(top, args.folders)
        cases = [("1 spelling", make_home(top, "one", library, 1)),
                 ("%d spellings" % args.spellings,
                  make_home(top, "many", library, args.spellings))]
        times = {name: [] for name, _ in cases}
        for turn in range(args.runs):
            for name, home in cases[turn % 2:] + cases[:turn % 2]:
                times[name].append(time_listing(args.report, home))
        print("--list over %d compatdata folders, 2 prefixes, %d turns"
              % (args.folders, args.runs))
        print("| library named in | median ms |")
        print("|---|---|")
        medians = [statistics.median(times[name]) for name, _ in cases]
        for (name, _), median in zip(cases, medians):
            print("| %s | %.1f |" % (name, median))
        ratio = medians[1] / medians[0]
        print("%s: %d spellings take %.2f x one (target %.1f x)"
              % ("PASS" if ratio <= TARGET else "MISS", args.spellings,
                 ratio, TARGET))
        return 0 if ratio <= TARGET else 1
    finally:
        shutil.rmtree(top, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
