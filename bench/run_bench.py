#!/usr/bin/env python3
"""Benchmarks quillfix against the least work its job needs and against
`wine reg add`, on generated user.reg files of several sizes.

For each size the commands below run in turns, in a rotating order, several
times; each run gets a fresh copy of its input, made outside the timing.

  both      quillfix, both editions installed, Preferences missing (2 writes)
  one       quillfix, only VarloPlus installed (1 write)
  floor x2  read the file and replace it atomically, twice
  floor x1  the same once
  none      quillfix, neither edition installed (reads only)
  read      read the file into memory, nothing else
  wine      `wine reg add` of the same value into a copy of a prefix holding
            the file, until the server has saved and exited (10 MB only)

Then, in a prefix made by wineboot with VarloPlus installed and a warm
wineserver running for it, in turns:

  online    quillfix, writing through the running server (its helper under
            Wine), until it has exited
  reg add   `wine reg add` of the same value, until it has exited

It prints the medians, their ratios, each quillfix run's peak resident
memory and how many times the run replaced user.reg (renames onto it, seen
with strace), then checks each target and prints PASS or MISS with the
figure. Files go to a temporary folder that is removed at the end.

Usage: run_bench.py [--sizes 1,10,100] [--runs 7] [--wine-runs 3]
                    [--online-runs 7]
                    [--build-dir build/release] [--no-build] [--no-wine]
"""

import argparse
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen_user_reg  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MIB = 1024 * 1024
WINE_SIZE = 10
VALUE_LINE = '"Quillfix"=hex:01'
WINE_ADD = ["wine", "reg", "add",
            "HKCU\\Software\\Corvane\\VarloPlus 6.8\\Preferences",
            "/v", "Quillfix", "/t", "REG_BINARY", "/d", "01", "/f"]


def build(build_dir):
    if os.path.abspath(build_dir) == os.path.join(ROOT, "build", "release"):
        subprocess.run(["cmake", "--preset", "release"], cwd=ROOT, check=True,
                       stdout=subprocess.DEVNULL)
    else:
        subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=Release",
                        "-DQUILLFIX_BUILD_TESTS=OFF"], check=True,
                       stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "-j2", "--target",
                    "quillfix", "bench_floor"], check=True,
                   stdout=subprocess.DEVNULL)


class Timed:
    """A command's figures over its runs."""

    def __init__(self):
        self.seconds = []
        self.max_rss_kib = []

    def median(self):
        return statistics.median(self.seconds)


def run_timed(argv, env, rss_file):
    """Runs argv under GNU time; returns (seconds, peak RSS in KiB). The
    peak comes from time, a small process: a child forked by this Python
    process would start from Python's own peak, which Linux carries over
    into the child's figure."""
    started = time.perf_counter()
    subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss_file] + argv,
                   env=env, check=True)
    elapsed = time.perf_counter() - started
    with open(rss_file) as f:
        return elapsed, int(f.read().split()[-1])


def prefix_env(prefix):
    env = dict(os.environ)
    env["WINEPREFIX"] = prefix
    env["WINEDEBUG"] = "-all"
    return env


class SizeBench:
    """The inputs and the runs of one file size."""

    def __init__(self, size_mb, work, programs):
        self.size_mb = size_mb
        self.work = os.path.join(work, "%dmb" % size_mb)
        os.mkdir(self.work)
        self.programs = programs
        self.inputs = {}
        names = ("both", "one", "none")
        texts = gen_user_reg.generate_variants(
            size_mb * MIB, seed=size_mb,
            variants=[{"varlo", "varloplus"}, {"varloplus"}, set()])
        for name, text in zip(names, texts):
            path = os.path.join(self.work, name + ".reg")
            gen_user_reg.write_file(path, text)
            self.inputs[name] = path
        self.file_bytes = os.path.getsize(self.inputs["both"])
        self.prefix = os.path.join(self.work, "prefix")
        os.mkdir(self.prefix)
        self.user_reg = os.path.join(self.prefix, "user.reg")
        self.rss_file = os.path.join(self.work, "rss")
        self.results = {}

    def commands(self):
        """name -> (input, argv)."""
        quillfix, floor = self.programs["quillfix"], self.programs["floor"]
        return {
            "both": ("both", [quillfix]),
            "one": ("one", [quillfix]),
            "floor x2": ("both", [floor, self.user_reg, "2"]),
            "floor x1": ("both", [floor, self.user_reg, "1"]),
            "none": ("none", [quillfix]),
            "read": ("none", [floor, "--read-only", self.user_reg]),
        }

    def run(self, runs):
        commands = self.commands()
        names = list(commands)
        env = prefix_env(self.prefix)
        for name in names:
            self.results[name] = Timed()
        for turn in range(runs):
            shift = turn % len(names)
            for name in names[shift:] + names[:shift]:
                source, argv = commands[name]
                shutil.copyfile(self.inputs[source], self.user_reg)
                seconds, rss = run_timed(argv, env, self.rss_file)
                self.results[name].seconds.append(seconds)
                self.results[name].max_rss_kib.append(rss)
                if argv[0] == self.programs["quillfix"]:
                    self.check_written(name)

    def check_written(self, name):
        expected = {"both": 2, "one": 1, "none": 0}[name]
        with open(self.user_reg, encoding="ascii") as f:
            found = f.read().count("\n" + VALUE_LINE + "\n")
        if found != expected:
            raise RuntimeError("%s MB, %s: %d values written, expected %d"
                               % (self.size_mb, name, found, expected))

    def count_replacements(self):
        """Renames onto user.reg in one run of each quillfix command;
        None when strace is missing."""
        if not shutil.which("strace"):
            return None
        counts = {}
        env = prefix_env(self.prefix)
        for name, (source, argv) in self.commands().items():
            if argv[0] != self.programs["quillfix"]:
                continue
            shutil.copyfile(self.inputs[source], self.user_reg)
            log = os.path.join(self.work, "strace.log")
            subprocess.run(["strace", "-f", "-qq", "-o", log, "-e",
                            "trace=rename,renameat,renameat2"] + argv,
                           env=env, check=True)
            with open(log) as f:
                counts[name] = sum(
                    1 for line in f
                    if '"%s"' % self.user_reg in line and line.rstrip()
                    .endswith("= 0"))
        return counts


class WineBench:
    """`wine reg add` into a copy of a prefix made by wineboot, holding the
    generated user.reg; timed until the server has saved and exited."""

    def __init__(self, work, user_reg_source):
        self.work = os.path.join(work, "wine")
        os.mkdir(self.work)
        self.base = os.path.join(self.work, "base")
        env = prefix_env(self.base)
        subprocess.run(["wineboot", "-i"], env=env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=env, check=True)
        shutil.copyfile(user_reg_source, os.path.join(self.base, "user.reg"))
        self.result = Timed()

    def run_once(self):
        prefix = os.path.join(self.work, "copy")
        shutil.rmtree(prefix, ignore_errors=True)
        shutil.copytree(self.base, prefix, symlinks=True)
        env = prefix_env(prefix)
        try:
            started = time.perf_counter()
            subprocess.run(WINE_ADD, env=env, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            subprocess.run(["wineserver", "-w"], env=env, check=True)
            self.result.seconds.append(time.perf_counter() - started)
        finally:
            subprocess.run(["wineserver", "-k"], env=env,
                           stderr=subprocess.DEVNULL)
        with open(os.path.join(prefix, "user.reg"), encoding="ascii") as f:
            if VALUE_LINE not in f.read():
                raise RuntimeError("wine reg add left no value on disk")


class OnlineBench:
    """quillfix against `wine reg add` while a warm wineserver serves the
    prefix: both start one Wine process; quillfix's then makes the calls of
    a patch run."""

    def __init__(self, work, quillfix):
        self.quillfix = quillfix
        self.prefix = os.path.join(work, "online")
        self.env = prefix_env(self.prefix)
        subprocess.run(["wineboot", "-i"], env=self.env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, check=True)
        self.results = {"online": Timed(), "reg add": Timed()}

    def prepare(self):
        subprocess.run(["wineserver", "-p"], env=self.env, check=True)
        # Installs the edition; a first run of each, outside the timing,
        # warms the server and the page cache, quillfix's first: the value
        # is there afterwards only if it wrote it.
        self.wine(["wine", "reg", "add",
                   "HKCU\\Software\\Corvane\\VarloPlus 6.8", "/v", "Edition",
                   "/t", "REG_SZ", "/d", "plus", "/f"])
        self.wine([self.quillfix])
        self.check_written()
        self.wine(WINE_ADD)

    def wine(self, argv):
        subprocess.run(argv, env=self.env, check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def run(self, runs):
        commands = {"online": [self.quillfix], "reg add": WINE_ADD}
        names = list(commands)
        for turn in range(runs):
            for name in names[turn % 2:] + names[:turn % 2]:
                started = time.perf_counter()
                self.wine(commands[name])
                self.results[name].seconds.append(
                    time.perf_counter() - started)

    def check_written(self):
        out = subprocess.run(
            ["wine", "reg", "query",
             "HKCU\\Software\\Corvane\\VarloPlus 6.8\\Preferences"],
            env=self.env, stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            stdout=subprocess.PIPE, timeout=120).stdout
        if b"Quillfix    REG_BINARY    01" not in out:
            raise RuntimeError("the online run wrote nothing")

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env,
                       stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env,
                       stderr=subprocess.DEVNULL)

    def ratio(self):
        return (self.results["online"].median()
                / self.results["reg add"].median())


def machine():
    cpu = platform.processor() or "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    disk = subprocess.run(["df", "-hT", tempfile.gettempdir()],
                          capture_output=True, text=True).stdout.splitlines()
    disk = " ".join(disk[-1].split()[:3]) if disk else "?"
    return "%d cores, %s, temp folder on %s, %s" % (
        os.cpu_count(), cpu, disk, platform.platform())


def fmt_ms(seconds):
    return "%.1f" % (seconds * 1000)


def report_online(online):
    print("| warm server | median ms | vs | ratio |")
    print("|---|---|---|---|")
    print("| online quillfix | %s | reg add | %.2f |"
          % (fmt_ms(online.results["online"].median()), online.ratio()))
    print("| wine reg add | %s | | |"
          % fmt_ms(online.results["reg add"].median()))


def report(benches, wine, replacements):
    rows = []
    header = ["size", "command", "median ms", "ms/MB", "vs", "ratio",
              "peak RSS MiB", "replaced"]
    baseline = {"both": "floor x2", "one": "floor x1", "none": "read",
                "floor x1": "floor x2"}
    for bench in benches:
        mb = bench.file_bytes / MIB
        for name, timed in bench.results.items():
            base = baseline.get(name)
            ratio = ("%.2f" % (timed.median() / bench.results[base].median())
                     if base and name != "floor x1" else "")
            is_quillfix = name in ("both", "one", "none")
            rss = ("%.1f" % (max(timed.max_rss_kib) / 1024)
                   if is_quillfix else "")
            count = replacements[bench.size_mb]
            rows.append(["%.1f MB" % mb, name, fmt_ms(timed.median()),
                         "%.2f" % (timed.median() * 1000 / mb),
                         base if ratio else "", ratio, rss,
                         str(count.get(name, "?")) if is_quillfix and count
                         else ""])
    if wine is not None:
        bench = next(b for b in benches if b.size_mb == WINE_SIZE)
        one = bench.results["one"].median()
        rows.append(["%.1f MB" % (bench.file_bytes / MIB), "wine reg add",
                     fmt_ms(wine.result.median()), "", "one",
                     "%.0f" % (wine.result.median() / one), "", ""])
    widths = [max(len(r[i]) for r in rows + [header])
              for i in range(len(header))]
    line = lambda cells: "| " + " | ".join(  # noqa: E731
        c.ljust(w) for c, w in zip(cells, widths)) + " |"
    print(line(header))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for row in rows:
        print(line(row))


def check_targets(benches, wine, replacements, online=None):
    """Prints PASS or MISS for each target; returns the number missed."""
    missed = 0

    def verdict(ok, text):
        nonlocal missed
        missed += 0 if ok else 1
        print("%s  %s" % ("PASS" if ok else "MISS", text))

    for bench in benches:
        r = bench.results
        mb = bench.size_mb
        # Real files are 20 KB to a few MB: from 100 MB on, a scale check.
        scale_check = mb >= 100
        for name, base in (("both", "floor x2"), ("one", "floor x1"),
                           ("none", "read")):
            limit = 3.0 if scale_check else 1.5
            ratio = r[name].median() / r[base].median()
            verdict(ratio <= limit, "%d MB: %s = %.2f x %s (target <= %.1f)"
                    % (mb, name, ratio, base, limit))
        limit_mib = bench.file_bytes / MIB + 8
        for name in ("both", "one", "none"):
            peak = max(r[name].max_rss_kib) / 1024
            verdict(peak <= limit_mib,
                    "%d MB: %s peak RSS %.1f MiB (target <= %.1f MiB)"
                    % (mb, name, peak, limit_mib))
        counts = replacements[mb]
        if counts is not None:
            for name, expected in (("both", 2), ("one", 1), ("none", 0)):
                verdict(counts[name] == expected,
                        "%d MB: %s replaced user.reg %d times (target %d)"
                        % (mb, name, counts[name], expected))
    sizes = {b.size_mb: b for b in benches}
    if 1 in sizes and 100 in sizes:
        # Time per MB across the sizes, beside the floor's own spread: what
        # fixed costs (process start, fsync latency) alone do to the figure
        # at small sizes. Figures only: the ratios above are the rails.
        for name in ("both", "one", "none", "floor x1", "read"):
            per_mb = [sizes[s].results[name].median() * 1000
                      / (sizes[s].file_bytes / MIB) for s in sorted(sizes)]
            print("info  %s: ms per MB %s, max/min %.2f" % (
                name, " / ".join("%.2f" % v for v in per_mb),
                max(per_mb) / min(per_mb)))
    if wine is not None:
        bench = sizes[WINE_SIZE]
        speedup = wine.result.median() / bench.results["one"].median()
        verdict(speedup >= 100, "%d MB: wine reg add persisted = %.0f x one "
                "(target >= 100)" % (WINE_SIZE, speedup))
    if online is not None:
        verdict(online.ratio() <= 1.5, "online run = %.2f x one wine reg add "
                "with a warm server (target <= 1.5)" % online.ratio())
    return missed


def main():
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n")[0],
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="1,10,100",
                        help="file sizes in MB, comma-separated")
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--wine-runs", type=int, default=3)
    parser.add_argument("--online-runs", type=int, default=7)
    parser.add_argument("--build-dir",
                        default=os.path.join(ROOT, "build", "release"))
    parser.add_argument("--no-build", action="store_true")
    parser.add_argument("--no-wine", action="store_true")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",") if s]

    if not args.no_build:
        build(args.build_dir)
    programs = {
        "quillfix": os.path.join(args.build_dir, "app", "quillfix"),
        "floor": os.path.join(args.build_dir, "bench", "bench_floor"),
    }
    print("machine: " + machine())
    work = tempfile.mkdtemp(prefix="quillfix-bench-")
    benches, replacements, wine = [], {}, None
    try:
        for size in sizes:
            print("generating %d MB files..." % size, flush=True)
            bench = SizeBench(size, work, programs)
            print("running %d MB, %d turns..." % (size, args.runs), flush=True)
            bench.run(args.runs)
            replacements[size] = bench.count_replacements()
            benches.append(bench)
        if WINE_SIZE in sizes and not args.no_wine and shutil.which("wine"):
            print("running wine reg add on %d MB, %d times..."
                  % (WINE_SIZE, args.wine_runs), flush=True)
            wine = WineBench(work, benches[sizes.index(WINE_SIZE)]
                             .inputs["one"])
            for _ in range(args.wine_runs):
                wine.run_once()
        online = None
        if not args.no_wine and shutil.which("wine"):
            print("running quillfix and wine reg add with a warm server, "
                  "%d turns..." % args.online_runs, flush=True)
            online = OnlineBench(work, programs["quillfix"])
            try:
                online.prepare()
                online.run(args.online_runs)
            finally:
                online.stop()
        if benches:
            print()
            report(benches, wine, replacements)
        if online is not None:
            print()
            report_online(online)
        print()
        missed = check_targets(benches, wine, replacements, online)
        print("\n%d target(s) missed" % missed)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
