"""quillfix while a wineserver serves the prefix: the writes go through
quillfix-reghelper.exe into the running server's registry, Wine reads them
back at once and saves them to user.reg when the server exits; quillfix
itself never writes user.reg then. When the helper cannot do its work (no
loader, garbage, silence, killed in the middle of a run), the run still
ends, with status 0 and nothing written.

ctest passes the program's path in QUILLFIX, and where the build put the
helper in REGHELPER.
"""

import os
import shutil
import stat
import subprocess
import tempfile
import threading
import time
import unittest

import winetest
from winetest import VARLO, VARLOPLUS

QUILLFIX = os.environ.get("QUILLFIX", "")
QUILLFIX_REPORT = os.environ.get("QUILLFIX_REPORT", "")
REGHELPER = os.environ.get("REGHELPER", "")
CORVANE = "HKCU\\Software\\Corvane"
EXPORTED_ROOT = "HKEY_CURRENT_USER\\Software\\Corvane\\"

# A run's hang guard: far above the helper's own limits (60 s to start,
# 10 s an answer).
RUN_TIMEOUT = 150

# (name, [(key, value name, type, data)] added before the run, editions
# that get the value).
SCENARIOS = [
    ("both editions, Preferences missing",
     [(VARLO, "Edition", "REG_SZ", "std"),
      (VARLOPLUS, "Edition", "REG_SZ", "plus")],
     ["Varlo 6.8", "VarloPlus 6.8"]),
    ("only VarloPlus",
     [(VARLOPLUS, "Edition", "REG_SZ", "plus")],
     ["VarloPlus 6.8"]),
    ("neither edition",
     [(CORVANE + "\\Other", "Keep", "REG_SZ", "me")],
     []),
    ("Preferences there with other values",
     [(VARLO + "\\Preferences", "Alpha", "REG_DWORD", "2")],
     ["Varlo 6.8"]),
    # user.reg has no section of its own for a key that only has subkeys.
    ("Varlo only as the parent of another key",
     [(VARLO + "\\Sub", "Inner", "REG_SZ", "x")],
     ["Varlo 6.8"]),
]

QUILLFIX_SECTION = '"Quillfix"=hex:01\n'


def real_wine_dir():
    """The directory of the installed wineserver and its loader."""
    return os.path.dirname(os.path.realpath(shutil.which("wineserver")))


def real_server_binary():
    for name in ("wineserver64", "wineserver"):
        path = os.path.join(real_wine_dir(), name)
        if os.access(path, os.X_OK) and not _is_script(path):
            return path
    raise AssertionError("no wineserver binary in " + real_wine_dir())


def real_loader():
    for name in ("wine64", "wine"):
        path = os.path.join(real_wine_dir(), name)
        if os.access(path, os.X_OK):
            return path
    raise AssertionError("no wine loader in " + real_wine_dir())


def _is_script(path):
    with open(path, "rb") as f:
        return f.read(2) == b"#!"


def run_quillfix(prefix, **env):
    return subprocess.run([QUILLFIX], env=prefix.env(**env),
                          stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=RUN_TIMEOUT)


def written_editions(export_text):
    """The editions whose Preferences hold Quillfix = 01 in a `reg export`
    of HKCU\\Software\\Corvane."""
    keys = winetest.parse_reg_export(export_text)
    return sorted(key[len(EXPORTED_ROOT):-len("\\Preferences")]
                  for key, values in keys.items()
                  if key.startswith(EXPORTED_ROOT)
                  and key.endswith("\\Preferences")
                  and values.get("Quillfix") == (3, b"\x01"))


@winetest.skip_without_wine
class QuillfixOnlineTest(unittest.TestCase):
    def setUp(self):
        if not os.access(QUILLFIX, os.X_OK):
            self.fail("QUILLFIX=%r: no such program" % QUILLFIX)

    def assertQuietSuccess(self, result, what=""):
        self.assertEqual((0, b"", b""),
                         (result.returncode, result.stdout, result.stderr),
                         what)

    def test_patch_run_through_the_running_server_matches_the_offline_run(self):
        for name, values, expected in SCENARIOS:
            with self.subTest(name):
                online, offline = self.patch_online_and_offline(values,
                                                                expected)
                if winetest.crash_debugger_ran(online, offline):
                    # A Wine program of one session crashed (Wine's own
                    # start-up work under load, seen rarely): once more,
                    # on fresh copies. A second crash fails below.
                    print("%s: Wine's crash debugger ran; once more" % name)
                    online, offline = self.patch_online_and_offline(
                        values, expected)
                winetest.assert_same_registry(
                    self, online, offline, "the online and the offline run")

    def patch_online_and_offline(self, values, expected):
        """Patches two copies of a prepared prefix, one through its running
        server and one offline; returns each one's settled user.reg."""
        with winetest.copy_prefix() as prepared:
            for key, value, reg_type, data in values:
                prepared.reg_add(key, value, reg_type, data)
            prepared.settle()
            with winetest.copy_prefix(prepared.path) as online, \
                    winetest.copy_prefix(prepared.path) as offline:
                with online.program_running():
                    self.assertQuietSuccess(run_quillfix(online), "online")
                    # Wine has it now, while its server still runs.
                    self.assertEqual(
                        expected, written_editions(online.reg_export(CORVANE)))
                # The session has ended, its server saved user.reg.
                saved = online.read_user_reg().decode("ascii")
                self.assertEqual(len(expected),
                                 saved.count(QUILLFIX_SECTION), saved)

                self.assertQuietSuccess(run_quillfix(offline), "offline")
                # Wine reads what each run wrote alike, in a session of its
                # own on each side, and once both sessions have run to their
                # end nothing else in HKCU may differ.
                self.assertEqual(online.reg_export(CORVANE),
                                 offline.reg_export(CORVANE))
                return online.settled_user_reg(), offline.settled_user_reg()

    def test_without_a_server_no_wine_is_started(self):
        with winetest.copy_prefix() as prefix, \
                tempfile.TemporaryDirectory() as bin_dir:
            prefix.reg_add(VARLO, "Edition", "REG_SZ", "std")
            prefix.settle()
            record = os.path.join(bin_dir, "started")
            loader = os.path.join(bin_dir, "wine")
            with open(loader, "w") as f:
                f.write("#!/bin/sh\necho \"$@\" >> %s\n" % record)
            os.chmod(loader, 0o755)
            result = run_quillfix(prefix, PATH=bin_dir + ":/usr/bin:/bin")
            self.assertQuietSuccess(result)
            self.assertFalse(os.path.exists(record), "a Wine was started")
            self.assertIn(QUILLFIX_SECTION.encode(), prefix.read_user_reg())

    def test_wine_reads_the_value_while_the_server_runs(self):
        with winetest.copy_prefix() as prefix:
            prefix.start_persistent_server()
            prefix.reg_add(VARLO, "Edition", "REG_SZ", "std")
            result = run_quillfix(prefix)
            self.assertQuietSuccess(result)
            self.assertEqual({"Quillfix": ("REG_BINARY", "01")},
                             prefix.reg_query(VARLO + "\\Preferences"))
            prefix.stop()
            self.assertIn(
                '[Software\\\\Corvane\\\\Varlo 6.8\\\\Preferences]',
                prefix.read_user_reg().decode("ascii"))

    def test_report_reads_the_running_servers_registry(self):
        # A value only the server holds yet (reg add, then quillfix, with
        # no save in between) must show: the report reads through the
        # server, not the file.
        with winetest.copy_prefix() as prefix:
            prefix.start_persistent_server()
            prefix.reg_add(VARLO, "Edition", "REG_SZ", "std")

            def report():
                return subprocess.run(
                    [QUILLFIX_REPORT], env=prefix.env(),
                    stdin=subprocess.DEVNULL, capture_output=True,
                    timeout=RUN_TIMEOUT)

            def expected(varlo):
                return ("HKEY_CURRENT_USER\\SOFTWARE\\Corvane\\Varlo 6.8: "
                        "installed, Preferences\\Quillfix %s\n"
                        "HKEY_CURRENT_USER\\SOFTWARE\\Corvane\\VarloPlus 6.8: "
                        "not installed\n"
                        "registry: running Wine of %s\n" % (varlo, prefix.path))

            before = report()
            self.assertEqual((1, expected("missing"), b""),
                             (before.returncode, before.stdout.decode(),
                              before.stderr))
            self.assertQuietSuccess(run_quillfix(prefix))
            after = report()
            self.assertEqual((0, expected("= 01"), b""),
                             (after.returncode, after.stdout.decode(),
                              after.stderr))

    def test_helper_that_fails_ends_the_run_with_nothing_written(self):
        # Each case puts a program where the loader beside the server's
        # executable is looked for (or none, with no `wine` on PATH).
        relay = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                             "killing_relay.py")
        hello = "\\010\\000\\000\\000HGRQ\\001\\000\\000\\000"
        cases = [
            ("no loader anywhere", None, {"PATH": "/usr/sbin:/sbin"}),
            ("loader answers garbage",
             "#!/bin/sh\nprintf 'garbage\\n'\nexec cat >/dev/null\n", {}),
            ("helper stops answering after its hello",
             "#!/bin/sh\nprintf '%s'\nexec cat >/dev/null\n" % hello, {}),
            ("helper killed at its first write",
             "#!/bin/sh\nexec python3 %s %s \"$@\"\n"
             % (relay, real_loader()), {}),
        ]
        with winetest.copy_prefix() as prepared:
            # Preferences exists, so that a run stopped before its write
            # changes nothing in the server either.
            prepared.reg_add(VARLO + "\\Preferences", "Alpha", "REG_DWORD",
                             "2")
            prepared.settle()
            for name, loader, env in cases:
                with self.subTest(name), \
                        winetest.copy_prefix(prepared.path) as prefix, \
                        tempfile.TemporaryDirectory() as bin_dir:
                    self.start_server_beside(prefix, bin_dir, loader)
                    before = prefix.read_user_reg()
                    files = sorted(os.listdir(prefix.path))

                    # A hang fails the run by its timeout.
                    result = run_quillfix(prefix, **env)
                    self.assertQuietSuccess(result)
                    self.assertEqual(before, prefix.read_user_reg())
                    self.assertEqual(files, sorted(os.listdir(prefix.path)))

                    prefix.stop()
                    self.assertNotIn(b"Quillfix", prefix.read_user_reg())

    def start_server_beside(self, prefix, bin_dir, loader):
        """Starts the prefix's server from a copy of the server binary in
        `bin_dir`, with the script `loader` (if not None) as the loader
        beside it."""
        server = os.path.join(bin_dir, "wineserver64")
        shutil.copy(real_server_binary(), server)
        if loader is not None:
            path = os.path.join(bin_dir, "wine64")
            with open(path, "w") as f:
                f.write(loader)
            os.chmod(path, 0o755)
        prefix.server_may_run = True
        subprocess.run([server, "-p300"], env=prefix.env(), check=True,
                       timeout=60)
        self.wait_for_server(prefix)

    def test_helper_is_looked_for_where_the_program_is_installed(self):
        # (name, helper copies made around a copy of the program, the one
        # it must start, the copies' mode); never the build tree's own, nor
        # one that others may have changed.
        cases = [
            ("installed beside bin/", ["libexec/quillfix", "bin"],
             "libexec/quillfix", 0o644),
            ("beside the program", ["bin"], "bin", 0o644),
            ("none but the build tree's", [], None, 0o644),
            ("beside the program, writable by its group", ["bin"], None,
             0o664),
        ]
        with winetest.copy_prefix() as prefix, \
                tempfile.TemporaryDirectory() as wine_dir:
            record = os.path.join(wine_dir, "started")
            self.start_server_beside(
                prefix, wine_dir,
                "#!/bin/sh\nprintf '%%s\\n' \"$1\" >> %s\n"
                "printf garbage\nexec cat >/dev/null\n" % record)
            for name, copies, expected, mode in cases:
                with self.subTest(name), \
                        tempfile.TemporaryDirectory() as root:
                    os.mkdir(os.path.join(root, "bin"))
                    program = os.path.join(root, "bin", "quillfix")
                    shutil.copy(QUILLFIX, program)
                    for place in copies:
                        os.makedirs(os.path.join(root, place), exist_ok=True)
                        copy = os.path.join(root, place,
                                            "quillfix-reghelper.exe")
                        shutil.copy(REGHELPER, copy)
                        os.chmod(copy, mode)
                    if os.path.exists(record):
                        os.unlink(record)
                    result = subprocess.run(
                        [program], env=prefix.env(), capture_output=True,
                        stdin=subprocess.DEVNULL, timeout=RUN_TIMEOUT)
                    self.assertQuietSuccess(result)
                    if expected is None:
                        self.assertFalse(os.path.exists(record),
                                         "a helper was started")
                        continue
                    with open(record) as f:
                        started = f.read().split("\n")[0]
                    want = os.path.join(root, expected,
                                        "quillfix-reghelper.exe")
                    self.assertEqual(os.path.realpath(want),
                                     os.path.realpath(started))

    def wait_for_server(self, prefix):
        deadline = time.monotonic() + 30
        while not prefix.server_socket_exists():
            self.assertLess(time.monotonic(), deadline, "no server")
            time.sleep(0.05)

    def test_server_that_ends_before_the_helper_answers_costs_no_value(self):
        # The loader beside the server asks the server to end (SIGINT: it
        # saves the registry and exits) and, once it has, ends itself
        # before any answer, as a Wine whose server went away does.
        loader = ("#!/bin/sh\nkill -INT \"$QUILLFIX_TEST_SERVER\"\n"
                  "while kill -0 \"$QUILLFIX_TEST_SERVER\" 2>/dev/null; do "
                  "sleep 0.05; done\nexit 1\n")
        with winetest.copy_prefix() as prefix, \
                tempfile.TemporaryDirectory() as bin_dir:
            prefix.reg_add(VARLO, "Edition", "REG_SZ", "std")
            prefix.reg_add(VARLOPLUS, "Edition", "REG_SZ", "plus")
            prefix.settle()
            self.start_server_beside(prefix, bin_dir, loader)
            own = servers_of(prefix.path)
            self.assertEqual(1, len(own), own)
            with ServerSampler(prefix.path) as sampler:
                result = run_quillfix(prefix,
                                      QUILLFIX_TEST_SERVER=str(own[0]))
            self.assertQuietSuccess(result)
            self.assertEqual(set(own), sampler.seen)
            self.assertEqual([], servers_of(prefix.path))
            prefix.server_may_run = False
            self.assertEqual(
                2, prefix.read_user_reg().count(b'"Quillfix"=hex:01'))

    def test_root_writes_through_the_server_of_the_prefix_owner(self):
        if os.getuid() != 0:
            self.skipTest("needs root")
        with winetest.copy_prefix() as prefix, \
                tempfile.TemporaryDirectory() as home, \
                winetest.test_account(home) as (uid, gid, _):
            prefix.reg_add(VARLOPLUS, "Edition", "REG_SZ", "plus")
            prefix.settle()
            # Its server directory was root's: the owner's server makes
            # one of its own.
            os.unlink(os.path.join(prefix.path, "wineserver"))
            give_to(prefix.path, uid, gid)
            os.chown(home, uid, gid)
            as_owner = winetest.as_user(uid, gid) + ["env", "HOME=" + home]
            env = prefix.env()
            try:
                subprocess.run(as_owner + ["wineserver", "-p300"], env=env,
                               check=True, timeout=60)
                self.wait_for_server(prefix)
                self.assertQuietSuccess(run_quillfix(prefix))
                query = winetest.run_wine(
                    as_owner + ["wine", "reg", "query",
                                VARLOPLUS + "\\Preferences"], env)
                self.assertIn(b"Quillfix    REG_BINARY    01", query.stdout)
            finally:
                for option in ("-k", "-w"):
                    subprocess.run(as_owner + ["wineserver", option],
                                   env=env, timeout=60)
            user_reg = os.stat(prefix.user_reg)
            self.assertEqual((uid, gid), (user_reg.st_uid, user_reg.st_gid))
            self.assertIn(QUILLFIX_SECTION.encode(), prefix.read_user_reg())


def give_to(path, uid, gid):
    """Makes `uid` and `gid` the owners of the prefix: its directories and
    the files that are its own. drive_c's files are hard links shared with
    the base prefix and stay as they are (they only need to be readable)."""
    for root, dirs, files in os.walk(path):
        os.chown(root, uid, gid)
        for name in files:
            full = os.path.join(root, name)
            st = os.lstat(full)
            if stat.S_ISREG(st.st_mode) and st.st_nlink == 1:
                os.chown(full, uid, gid)
        for name in dirs:
            full = os.path.join(root, name)
            if os.path.islink(full):
                os.lchown(full, uid, gid)


def servers_of(prefix_path):
    """Process ids of the wineservers that serve `prefix_path`: those that
    work in its server directory, or in the prefix itself while they load
    the registry."""
    st = os.stat(prefix_path)
    name = "server-%x-%x" % (st.st_dev, st.st_ino)
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            exe = os.readlink("/proc/%s/exe" % entry)
            cwd = os.readlink("/proc/%s/cwd" % entry)
        except OSError:
            continue
        if os.path.basename(exe).startswith("wineserver") and (
                os.path.basename(cwd) == name or cwd == prefix_path):
            found.append(int(entry))
    return found


class ServerSampler:
    """Every process that serves a prefix, sampled every 20 ms while it
    runs."""

    def __init__(self, prefix_path):
        self.prefix_path = prefix_path
        self.seen = set()
        self.samples = 0
        self._done = threading.Event()
        self._thread = threading.Thread(target=self._sample)

    def _sample(self):
        while not self._done.is_set():
            self.seen.update(servers_of(self.prefix_path))
            self.samples += 1
            time.sleep(0.02)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._done.set()
        self._thread.join()


@winetest.skip_without_wine
class ServerGoingAwayTest(unittest.TestCase):
    """A server that ends by itself about when a run starts (`wineserver
    -p1`, ending a second after its last Wine program): the run never
    starts a server of its own, and loses no value: what the server did
    not take, or took and saved as it exited, ends up in user.reg."""

    TRIES = 10

    def setUp(self):
        if not os.access(QUILLFIX, os.X_OK):
            self.fail("QUILLFIX=%r: no such program" % QUILLFIX)

    def serve_once(self, prefix):
        """Starts a server with a short persistence and a program of it
        (`wine reg query`, in the background); returns the server's
        process id, the program and when it started."""
        prefix.server_may_run = True
        subprocess.run(["wineserver", "-p1"], env=prefix.env(),
                       stdin=subprocess.DEVNULL, check=True, timeout=60)
        own = servers_of(prefix.path)
        self.assertEqual(1, len(own), own)
        started = time.time()
        program = subprocess.Popen(["wine", "reg", "query", CORVANE],
                                   env=prefix.env(), stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        return own[0], program, started

    def wait_until_no_server(self, prefix):
        deadline = time.time() + 60
        while servers_of(prefix.path):
            self.assertLess(time.time(), deadline, "the server did not end")
            time.sleep(0.01)

    def test_server_that_ends_as_the_run_starts_costs_no_value(self):
        with winetest.copy_prefix() as prefix:
            prefix.reg_add(VARLO, "Edition", "REG_SZ", "std")
            prefix.reg_add(VARLOPLUS, "Edition", "REG_SZ", "plus")
            prefix.settle()
            unpatched = prefix.read_user_reg()
            self.assertNotIn(b"Quillfix", unpatched)
            # How long such a server lives from its program's start.
            _, program, started = self.serve_once(prefix)
            self.wait_until_no_server(prefix)
            lifetime = time.time() - started
            program.wait(timeout=60)
            for attempt in range(self.TRIES):
                # From 0.6 s before the server's end to 0.1 s after it.
                offset = lifetime - 0.6 + 0.7 * attempt / (self.TRIES - 1)
                with self.subTest(offset=round(offset, 2)):
                    with open(prefix.user_reg, "wb") as f:
                        f.write(unpatched)
                    # Sampled once `wineserver` has handed over to its
                    # server: the two are the same server.
                    own, program, started = self.serve_once(prefix)
                    with ServerSampler(prefix.path) as sampler:
                        time.sleep(max(0, started + offset - time.time()))
                        result = run_quillfix(prefix)
                        program.wait(timeout=60)
                        self.wait_until_no_server(prefix)
                    self.assertEqual((0, b"", b""),
                                     (result.returncode, result.stdout,
                                      result.stderr))
                    self.assertGreater(sampler.samples, 0)
                    self.assertEqual({own}, sampler.seen,
                                     "another process served the prefix")
                    self.assertEqual(
                        2, prefix.read_user_reg().count(b'"Quillfix"=hex:01'))

if __name__ == "__main__":
    unittest.main()
