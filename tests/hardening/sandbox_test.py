"""quillfix and quillfix-report against a Wine server of a test account
that runs in a sandbox of the account's (bwrap, unshare: namespaces of
its own), as a flatpak'd Wine manager runs it: they write and read through
that very server, from inside its namespaces, and no second server ever
runs for the prefix. A sandbox of root's for the account (a user namespace
root owns) is refused with the report's reason, and a look-alike server of
another user's inside a namespace of that user's is never joined.

Runs as root (skipped otherwise), which makes the accounts (through
tests/wine/winetest.py) and runs their processes through setpriv.
Programs come in the environment: QUILLFIX, QUILLFIX_REPORT.
"""

import contextlib
import os
import platform
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "wine"))
import winetest  # noqa: E402
from root_run_test import (  # noqa: E402
    LOOKALIKE_SERVER, SECRET, make_prefix, read_record, run_as_root, scene,
    server_dir_name, servers_of, wait_until_listening)

QUILLFIX = os.environ.get("QUILLFIX", "")
QUILLFIX_REPORT = os.environ.get("QUILLFIX_REPORT", "")
RUN_LIMIT = 150  # a hang guard: the helper's own limits are below it
WRITTEN = b'"Quillfix"=hex:01'
EDITIONS = (
    "\n[Software\\\\Corvane\\\\Varlo 6.8] 1796869137\n"
    "#time=1dd884ccfb82800\n"
    "\"Edition\"=\"std\"\n"
    "\n[Software\\\\Corvane\\\\VarloPlus 6.8] 1796869137\n"
    "#time=1dd884ccfb82800\n"
    "\"Edition\"=\"plus\"\n")
PATCHED_REPORT = (
    "HKEY_CURRENT_USER\\SOFTWARE\\Corvane\\Varlo 6.8: installed, "
    "Preferences\\Quillfix = 01\n"
    "HKEY_CURRENT_USER\\SOFTWARE\\Corvane\\VarloPlus 6.8: installed, "
    "Preferences\\Quillfix = 01\n")
# Where a sandbox with its own /tmp sees the prefix bound at another path.
BOUND_PREFIX = "/tmp/quillfix-bound-prefix"

# The sandboxes, each a command that runs the rest in it, as the account.
# A tmpfs over /tmp where the sandbox has a mount namespace of its own.
SANDBOXES = {
    "bwrap": ["bwrap", "--unshare-user", "--unshare-pid", "--dev-bind", "/",
              "/", "--tmpfs", "/tmp"],
    "unshare -Urpfm": ["unshare", "-Urpfm", "--mount-proc", "sh", "-ec",
                       'mount -t tmpfs quillfix-test /tmp; exec "$@"', "sh"],
    "pid namespace only": ["unshare", "-U", "--map-current-user", "-pf"],
    "mount namespace only": ["unshare", "-Urm",
                             "sh", "-ec",
                             'mount -t tmpfs quillfix-test /tmp; exec "$@"',
                             "sh"],
}

# A user namespace of root's, mapping root and the account to themselves,
# and in it a mount and a process-id namespace with a /tmp of their own:
# `python3 -c ROOT_SANDBOX <uid> <gid> <command...>`, run by root.
ROOT_SANDBOX = r"""
import ctypes, os, sys
CLONE_NEWUSER = 0x10000000
uid, gid, command = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3:]
ready_r, ready_w = os.pipe()
mapped_r, mapped_w = os.pipe()
child = os.fork()
if child == 0:
    if ctypes.CDLL(None, use_errno=True).unshare(CLONE_NEWUSER) != 0:
        os._exit(90)
    os.write(ready_w, b"x")
    os.read(mapped_r, 1)
    os.execvp("unshare", ["unshare", "-mpf", "--mount-proc", "sh", "-ec",
                          'mount -t tmpfs quillfix-test /tmp; exec "$@"',
                          "sh"] + command)
os.read(ready_r, 1)
for name, first in (("uid_map", uid), ("gid_map", gid)):
    with open("/proc/%d/%s" % (child, name), "w") as f:
        f.write("0 0 1\n%d %d 1\n" % (first, first))
os.write(mapped_w, b"x")
_, status = os.waitpid(child, 0)
sys.exit(os.waitstatus_to_exitcode(status))
"""


def tools_missing():
    for tool in ("bwrap", "unshare", "setpriv", "useradd"):
        if shutil.which(tool) is None:
            return "%s is not installed" % tool
    return winetest.wine_missing()


def skip_unless_able(test_class):
    if os.geteuid() != 0:
        return unittest.skip("needs root, to act as other users")(test_class)
    missing = tools_missing()
    return unittest.skip(missing)(test_class) if missing else test_class


def give_prefix(path, uid, gid):
    """Makes a copied prefix the account's: every directory and every file
    of its own, but not the files drive_c shares with the base by hard
    links (the base's own stay root's; the account reads them)."""
    for top, dirs, files in os.walk(path):
        os.lchown(top, uid, gid)
        for name in dirs + files:
            entry = os.path.join(top, name)
            st = os.lstat(entry)
            if os.path.islink(entry) or st.st_nlink == 1 or \
                    os.path.isdir(entry):
                os.lchown(entry, uid, gid)


class ServerWatch:
    """Counts the prefix's servers every 10 ms while it runs."""

    def __init__(self, name):
        self.name = name
        self.counts = []
        self._done = threading.Event()
        self._thread = threading.Thread(target=self._watch)

    def _watch(self):
        while not self._done.is_set():
            self.counts.append(len(servers_of(self.name)))
            time.sleep(0.01)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._done.set()
        self._thread.join()


def account_env(user, prefix):
    return ["env", "-i", "HOME=" + user.home, "USER=" + user.name,
            "LOGNAME=" + user.name, "PATH=/usr/bin:/bin",
            "WINEPREFIX=" + prefix, "WINEDEBUG=-all"]


def kept_out_of_tmp(path):
    """`path`, moved out of /tmp when it is there (a build tree in /tmp):
    the sandboxes put a /tmp of their own over it, where the server would
    not find its prefix. Returns (the path to use, the folder made for it
    or None); the caller moves it back."""
    if os.path.realpath(path).split("/")[1] != "tmp":
        return path, None
    holder = tempfile.mkdtemp(prefix="quillfix-sandbox-", dir="/var/tmp")
    os.chmod(holder, 0o755)
    moved = os.path.join(holder, "prefix")
    try:
        os.rename(path, moved)
    except OSError as error:
        os.rmdir(holder)
        raise unittest.SkipTest("cannot move the prefix out of /tmp: %s"
                                % error)
    return moved, holder


@contextlib.contextmanager
def account_prefix():
    """A copy of the base prefix with both editions installed, given to a
    test account: yields (account, prefix path)."""
    with scene() as (work, user, _), winetest.copy_prefix() as prefix:
        with open(prefix.user_reg, "a") as f:
            f.write(EDITIONS)
        # Debian's Wine names its server directory's parent in this file;
        # the base's names one of root's. The account's first server picks
        # its own.
        with contextlib.suppress(FileNotFoundError):
            os.unlink(os.path.join(prefix.path, "wineserver"))
        give_prefix(prefix.path, user.uid, user.gid)
        path, holder = kept_out_of_tmp(prefix.path)
        try:
            yield user, path
        finally:
            if holder is not None:
                os.rename(path, prefix.path)
                os.rmdir(holder)
            shutil.rmtree("/tmp/.wine-%d" % user.uid, ignore_errors=True)


@contextlib.contextmanager
def sandboxed_server(command, name):
    """Starts `command` (a persistent wineserver in a sandbox) and yields
    the server's process id as seen from here; at the end the server is
    stopped (SIGINT: it saves the registry) and waited for."""
    log = tempfile.TemporaryFile()
    sandbox = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                               stdout=log, stderr=log)
    try:
        deadline = time.time() + 60
        while not servers_of(name):
            if sandbox.poll() is not None:
                log.seek(0)
                raise AssertionError("the sandbox ended: %d: %r" % (
                    sandbox.returncode, log.read()[-2000:]))
            if time.time() > deadline:
                raise AssertionError("no server started in the sandbox")
            time.sleep(0.05)
        # Listening once its socket is there (a second later at most).
        time.sleep(1)
        servers = servers_of(name)
        if len(servers) != 1:
            raise AssertionError("servers: %r" % servers)
        yield servers[0]
        os.kill(servers[0], signal.SIGINT)
        sandbox.wait(timeout=60)
    finally:
        if sandbox.poll() is None:
            for pid in servers_of(name):
                os.kill(pid, signal.SIGKILL)
            sandbox.kill()
            sandbox.wait()
        log.close()


def run(command, env=None):
    return subprocess.run(command, env=env, capture_output=True,
                          stdin=subprocess.DEVNULL, timeout=RUN_LIMIT)


@skip_unless_able
class SandboxedServerTest(unittest.TestCase):
    def setUp(self):
        for program in (QUILLFIX, QUILLFIX_REPORT):
            if not os.access(program, os.X_OK):
                self.fail("%r: no such program" % program)

    def write_through(self, sandbox, as_root=False, bound=False):
        """Quillfix and the report, as the account (or as root), through
        the account's server in `sandbox`; then the server's own save."""
        with account_prefix() as (user, prefix):
            name = server_dir_name(prefix)
            server_prefix = BOUND_PREFIX if bound else prefix
            inside = list(SANDBOXES[sandbox])
            if bound:
                inside += ["--bind", prefix, BOUND_PREFIX]
            command = (winetest.as_user(user.uid, user.gid) +
                       account_env(user, server_prefix) + inside +
                       ["wineserver", "-f", "-p"])
            if as_root:
                caller = ["env", "WINEPREFIX=" + prefix, "WINEDEBUG=-all"]
            else:
                caller = (winetest.as_user(user.uid, user.gid) +
                          account_env(user, prefix))
            with sandboxed_server(command, name), ServerWatch(name) as watch:
                patched = run(caller + [QUILLFIX])
                self.assertEqual((0, b""), (patched.returncode,
                                            patched.stderr))
                report = run(caller + [QUILLFIX_REPORT])
                self.assertEqual(0, report.returncode, report.stderr)
                self.assertEqual(
                    PATCHED_REPORT + "registry: running Wine of %s\n" % prefix,
                    report.stdout.decode())
                # The server has it; the file does not yet.
                with open(os.path.join(prefix, "user.reg"), "rb") as f:
                    self.assertNotIn(WRITTEN, f.read())
            self.assertTrue(watch.counts)
            self.assertEqual({1}, set(watch.counts),
                             "not one server at every sample")
            with open(os.path.join(prefix, "user.reg"), "rb") as f:
                self.assertEqual(2, f.read().count(WRITTEN))
            # Nothing of ours is left in the prefix.
            self.assertEqual([], [entry for entry in os.listdir(prefix)
                                  if "quillfix" in entry])

    def test_bwrap(self):
        self.write_through("bwrap")

    def test_unshare_with_root_mapped(self):
        self.write_through("unshare -Urpfm")

    def test_pid_namespace_only(self):
        self.write_through("pid namespace only")

    def test_mount_namespace_only(self):
        self.write_through("mount namespace only")

    def test_prefix_bound_at_another_path(self):
        self.write_through("bwrap", bound=True)

    def test_root_on_the_accounts_sandboxed_prefix(self):
        self.write_through("bwrap", as_root=True)

    def test_sandbox_of_roots_is_refused(self):
        """A user namespace root made for the account: the server is the
        account's, the namespace is not."""
        with account_prefix() as (user, prefix):
            name = server_dir_name(prefix)
            command = (
                [sys.executable, "-c", ROOT_SANDBOX, str(user.uid),
                 str(user.gid)] +
                winetest.as_user(user.uid, user.gid) +
                account_env(user, prefix) + ["wineserver", "-f", "-p"])
            caller = (winetest.as_user(user.uid, user.gid) +
                      account_env(user, prefix))
            with sandboxed_server(command, name), ServerWatch(name) as watch:
                patched = run(caller + [QUILLFIX])
                self.assertEqual((0, b"", b""), (patched.returncode,
                                                 patched.stdout,
                                                 patched.stderr))
                report = run(caller + [QUILLFIX_REPORT])
                self.assertEqual(2, report.returncode, report.stdout)
                self.assertEqual(
                    ("quillfix-report: cannot reach the running Wine of %s: "
                     "it runs in a user namespace that is not the prefix "
                     "owner's (user id %d may not look into it)\n" %
                     (prefix, user.uid)).encode(), report.stderr)
            self.assertEqual({1}, set(watch.counts))
            with open(os.path.join(prefix, "user.reg"), "rb") as f:
                saved = f.read()
            self.assertNotIn(WRITTEN, saved)
            self.assertEqual([], [entry for entry in os.listdir(prefix)
                                  if "quillfix" in entry])


    def test_namespaces_root_made_in_our_user_namespace_are_refused(self):
        """A mount namespace root made for the account's server (a /tmp of
        its own), in our own user namespace: only root may enter it, and
        root does not."""
        with account_prefix() as (user, prefix):
            name = server_dir_name(prefix)
            command = (
                ["unshare", "-m", "sh", "-ec",
                 'mount -t tmpfs quillfix-test /tmp; exec "$@"', "sh"] +
                winetest.as_user(user.uid, user.gid) +
                account_env(user, prefix) + ["wineserver", "-f", "-p"])
            caller = (winetest.as_user(user.uid, user.gid) +
                      account_env(user, prefix))
            with sandboxed_server(command, name), ServerWatch(name) as watch:
                for who, run_by in (("the account", caller),
                                    ("root", ["env", "WINEPREFIX=" + prefix,
                                              "WINEDEBUG=-all"])):
                    patched = run(run_by + [QUILLFIX])
                    self.assertEqual(0, patched.returncode, who)
                    report = run(run_by + [QUILLFIX_REPORT])
                    self.assertEqual(2, report.returncode, who)
                    self.assertEqual(
                        ("quillfix-report: cannot reach the running Wine of "
                         "%s: it runs in namespaces only root may enter\n" %
                         prefix).encode(), report.stderr, who)
            self.assertEqual({1}, set(watch.counts))
            with open(os.path.join(prefix, "user.reg"), "rb") as f:
                self.assertNotIn(WRITTEN, f.read())
            self.assertEqual([], [entry for entry in os.listdir(prefix)
                                  if "quillfix" in entry])


# A loader that writes down its environment, then runs the Wine loader
# beside it (a copy of Debian's, which finds its libraries from where it
# is).
RECORDING_WINE64 = """#!/bin/sh
{ echo "--- environment"; env; } > @RECORD@.part && mv @RECORD@.part @RECORD@
exec "$(dirname "$0")/wine64-real" "$@"
"""


@skip_unless_able
class ProtonLikeServerTest(unittest.TestCase):
    """A server as a game launcher's runtime runs it: its Wine tree (the
    loader and wineserver) under <library>/steamapps/common/<name>/files,
    in a mount namespace whose /usr is another tree (the host's parts
    mounted on a tmpfs), with /tmp and process ids shared, and
    WINEFSYNC=1 WINEESYNC=1 in its environment."""

    def setUp(self):
        for program in (QUILLFIX, QUILLFIX_REPORT):
            if not os.access(program, os.X_OK):
                self.fail("%r: no such program" % program)
        if not os.path.isdir("/usr/lib/x86_64-linux-gnu/wine"):
            self.skipTest("not Debian's amd64 Wine layout")

    def make_tree(self, user, work):
        """The runtime's Wine tree in the account's home; returns its bin
        directory."""
        files = os.path.join(user.home, "steamapps", "common",
                             "Proton - Test", "files")
        bin_dir = os.path.join(files, "bin")
        os.makedirs(bin_dir)
        shutil.copy(winetest_real("wineserver64"),
                    os.path.join(bin_dir, "wineserver"))
        shutil.copy(winetest_real("wine64"),
                    os.path.join(bin_dir, "wine64-real"))
        self.record = os.path.join(work, "records", "proton-loader")
        with open(os.path.join(bin_dir, "wine64"), "w") as f:
            f.write(RECORDING_WINE64.replace("@RECORD@", self.record))
        # Debian's loader takes its libraries from ../x86_64-linux-gnu/wine
        # and its data from ../../share/wine, seen from its directory: as
        # close to a runtime's own tree as Debian's Wine allows.
        os.symlink("/usr/lib/x86_64-linux-gnu",
                   os.path.join(files, "x86_64-linux-gnu"))
        os.symlink("/usr/share", os.path.join(os.path.dirname(files),
                                              "share"))
        for top, dirs, names in os.walk(os.path.join(user.home,
                                                     "steamapps")):
            os.lchown(top, user.uid, user.gid)
            os.chmod(top, 0o755)
            for name in names + dirs:
                os.lchown(os.path.join(top, name), user.uid, user.gid)
        for name in ("wineserver", "wine64-real", "wine64"):
            os.chmod(os.path.join(bin_dir, name), 0o755)
        return bin_dir

    def test_written_through_with_the_runtimes_loader_and_sync(self):
        with account_prefix() as (user, prefix):
            work = os.path.dirname(user.home)
            bin_dir = self.make_tree(user, work)
            name = server_dir_name(prefix)
            runtime = ["bwrap", "--unshare-user", "--dev-bind", "/", "/",
                       "--tmpfs", "/usr"]
            for part in ("bin", "lib", "lib64", "share"):
                if os.path.isdir("/usr/" + part):
                    runtime += ["--ro-bind", "/usr/" + part, "/usr/" + part]
            command = (winetest.as_user(user.uid, user.gid) +
                       account_env(user, prefix) +
                       ["WINEFSYNC=1", "WINEESYNC=1"] + runtime +
                       [os.path.join(bin_dir, "wineserver"), "-f", "-p"])
            caller = (winetest.as_user(user.uid, user.gid) +
                      account_env(user, prefix))
            with sandboxed_server(command, name) as server, \
                    ServerWatch(name) as watch:
                self.assertNotEqual(os.stat("/usr").st_dev, os.stat(
                    "/proc/%d/root/usr" % server).st_dev)
                patched = run(caller + [QUILLFIX])
                self.assertEqual((0, b""), (patched.returncode,
                                            patched.stderr))
                report = run(caller + [QUILLFIX_REPORT])
                self.assertEqual(
                    PATCHED_REPORT + "registry: running Wine of %s\n" % prefix,
                    report.stdout.decode(), report.stderr)
            self.assertEqual({1}, set(watch.counts),
                             "not one server at every sample")
            facts = read_record(self.record)["environment"]
            self.assertEqual("1", facts.get("WINEFSYNC"))
            self.assertEqual("1", facts.get("WINEESYNC"))
            self.assertEqual("3", facts.get("WINESERVERSOCKET"))
            with open(os.path.join(prefix, "user.reg"), "rb") as f:
                self.assertEqual(2, f.read().count(WRITTEN))


def winetest_real(name):
    """The installed Wine program `name` (wine64, wineserver64)."""
    directory = os.path.dirname(os.path.realpath(shutil.which("wineserver")))
    return os.path.join(directory, name)


@skip_unless_able
class LookAlikeInNamespaceTest(unittest.TestCase):
    def test_another_users_lookalike_in_a_sandbox_is_never_joined(self):
        """The attacker's look-alike server of a victim's prefix, in a
        sandbox of the attacker's, with a loader beside it: root's run for
        the victim never runs it, and edits the file as no server ran."""
        with scene() as (work, victim, attacker):
            prefix = make_prefix(os.path.join(victim.home, ".wine"),
                                 victim.uid, victim.gid)
            bin_dir = attacker.make_loader_dir()
            server_dir = "/tmp/.wine-%d/%s" % (attacker.uid,
                                              server_dir_name(prefix))
            lookalike = subprocess.Popen(
                winetest.as_user(attacker.uid, attacker.gid) +
                ["bwrap", "--die-with-parent", "--unshare-user",
                 "--unshare-pid", "--dev-bind", "/", "/"] +
                ["bash", "-c", 'mkdir -p -m 0700 "$1" && cd "$1" && '
                 'exec 7<"$2" && exec "$3"/wineserver -e "$4" listen',
                 "lookalike", server_dir, prefix, bin_dir, LOOKALIKE_SERVER],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL)
            try:
                deadline = time.time() + 10
                while not servers_of(server_dir_name(prefix)):
                    self.assertLess(time.time(), deadline, "no look-alike")
                    time.sleep(0.02)
                for program in (QUILLFIX, QUILLFIX_REPORT):
                    result = run([program], env={
                        "PATH": "/usr/bin:/bin", "WINEPREFIX": prefix,
                        "WINEDEBUG": "-all"})
                    self.assertIn(result.returncode, (0, 1), result.stderr)
                self.assertFalse(os.path.exists(attacker.record),
                                 "the attacker's loader ran")
                with open(os.path.join(prefix, "user.reg"), "rb") as f:
                    self.assertIn(WRITTEN, f.read())
            finally:
                lookalike.kill()
                lookalike.wait()


# A loader that writes down where it runs (its namespaces, its process id
# as seen from here) and with what, then lingers when told to.
NAMESPACE_LOADER = r"""#!/bin/sh
record=@RECORD@
{
  echo "uid=$(id -u)"
  echo "pidns=$(readlink /proc/self/ns/pid)"
  echo "mntns=$(readlink /proc/self/ns/mnt)"
  echo "hostpid=$(cut -d' ' -f4 /proc/self/stat)"
  if (exec 3<>/dev/tty) 2>/dev/null; then echo tty=yes; else echo tty=no; fi
  echo "args=$*"
  echo "--- environment"
  env
} > "$record.part"
mv "$record.part" "$record"
if [ -e @LINGER@ ]; then exec sleep 60; fi
"""


@skip_unless_able
class HelperInTheSandboxTest(unittest.TestCase):
    """A recording loader beside a look-alike server of the prefix owner's
    (a copy of perl): where and how the helper's Wine is started."""

    @contextlib.contextmanager
    def owners_lookalike(self, sandbox, listens=True):
        """The owner's look-alike server of their prefix, in `sandbox` (a
        command prefix, or none), with an environment of its own, listening
        on the socket of its server directory as a server does, or not."""
        with scene() as (work, owner, _):
            prefix = make_prefix(os.path.join(owner.home, ".wine"),
                                 owner.uid, owner.gid)
            bin_dir = owner.make_loader_dir()
            loader = os.path.join(bin_dir, "wine64")
            with open(loader, "w") as f:
                f.write(NAMESPACE_LOADER.replace("@RECORD@", owner.record)
                        .replace("@LINGER@", owner.linger))
            server_dir = "/tmp/.wine-%d/%s" % (owner.uid,
                                              server_dir_name(prefix))
            environment = {
                "PATH": "/usr/bin:/bin", "HOME": owner.home,
                "DISPLAY": ":9", "QUILLFIX_MARK": "kept", "WINEESYNC": "1",
                "WINEPREFIX": "/elsewhere", "WINEDEBUG": "+all"}
            lookalike = subprocess.Popen(
                winetest.as_user(owner.uid, owner.gid) + sandbox +
                ["bash", "-c", 'mkdir -p -m 0700 "$1" && cd "$1" && '
                 ': > lock || exit 1; '
                 'exec 7<"$2" && exec "$3"/wineserver -e "$4" $5',
                 "lookalike", server_dir, prefix, bin_dir, LOOKALIKE_SERVER,
                 "listen" if listens else ""],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL, env=environment)
            try:
                deadline = time.time() + 10
                while not servers_of(server_dir_name(prefix)):
                    self.assertLess(time.time(), deadline, "no look-alike")
                    time.sleep(0.02)
                server = servers_of(server_dir_name(prefix))[0]
                if listens:
                    wait_until_listening(server,
                                         os.path.join(server_dir, "socket"))
                yield owner, prefix, server
            finally:
                lookalike.kill()
                lookalike.wait()

    def test_helper_joins_the_sandbox_with_the_servers_environment(self):
        sandbox = ["bwrap", "--die-with-parent", "--unshare-user",
                   "--unshare-pid", "--dev-bind", "/", "/"]
        with self.owners_lookalike(sandbox) as (owner, prefix, server):
            result = run_as_root(QUILLFIX, prefix)
            self.assertEqual(0, result.returncode, result.stderr)
            facts = read_record(owner.record)
            self.assertEqual(str(owner.uid), facts["uid"])
            self.assertEqual(os.readlink("/proc/%d/ns/pid" % server),
                             facts["pidns"])
            self.assertNotEqual(os.readlink("/proc/self/ns/pid"),
                                facts["pidns"])
            self.assertEqual("no", facts["tty"])
            # The helper's copy, by the prefix's path as the server sees it.
            self.assertRegex(facts["args"], "^%s/%s[0-9]+-[0-9a-f]{16}[.]exe$"
                             % (prefix, r"\.quillfix-reghelper-"))
            environment = facts["environment"]
            for name, value in (("QUILLFIX_MARK", "kept"), ("WINEESYNC", "1"),
                                ("HOME", owner.home), ("WINEPREFIX", prefix),
                                ("WINEDEBUG", "-all")):
                self.assertEqual(value, environment.get(name), name)
            self.assertNotIn("DISPLAY", environment)
            self.assertNotIn(SECRET, environment)
            # The run is over: its copy of the helper is gone.
            self.assertEqual(["user.reg"], os.listdir(prefix))

    def test_killed_run_leaves_no_helper_and_its_copy_goes_next_time(self):
        sandbox = ["bwrap", "--die-with-parent", "--unshare-user",
                   "--unshare-pid", "--dev-bind", "/", "/"]
        with self.owners_lookalike(sandbox) as (owner, prefix, server):
            open(owner.linger, "w").close()
            quillfix = subprocess.Popen(
                [QUILLFIX], env={"PATH": "/usr/bin:/bin",
                                 "WINEPREFIX": prefix, "WINEDEBUG": "-all"},
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL)
            helper = None
            try:
                deadline = time.time() + 30
                while not os.path.exists(owner.record):
                    self.assertLess(time.time(), deadline, "no helper ran")
                    time.sleep(0.02)
                helper = int(read_record(owner.record)["hostpid"])
                quillfix.send_signal(signal.SIGTERM)
                quillfix.wait(timeout=30)
                deadline = time.time() + 10
                while os.path.exists("/proc/%d" % helper):
                    with open("/proc/%d/stat" % helper) as f:
                        if f.read().split(") ")[1].startswith("Z"):
                            break  # ended, not yet reaped
                    self.assertLess(time.time(), deadline,
                                    "the helper outlived the run")
                    time.sleep(0.02)
            finally:
                if quillfix.poll() is None:
                    quillfix.kill()
                    quillfix.wait()
                if helper and os.path.exists("/proc/%d" % helper):
                    os.kill(helper, signal.SIGKILL)
            # Killed before the helper said hello: its copy stayed, and the
            # next run removes it.
            self.assertEqual(1, len([name for name in os.listdir(prefix)
                                     if "quillfix" in name]))
            os.unlink(owner.linger)
            run_as_root(QUILLFIX, prefix)
            self.assertEqual(["user.reg"], os.listdir(prefix))

    def test_server_that_does_not_answer_gets_no_helper(self):
        """A server that does not listen (one that is ending, or a process
        that only sits where a server would): no connection, so no helper;
        it does not end, so nothing is written either."""
        sandbox = ["bwrap", "--die-with-parent", "--unshare-user",
                   "--unshare-pid", "--dev-bind", "/", "/"]
        with self.owners_lookalike(sandbox, listens=False) as (
                owner, prefix, server):
            result = run_as_root(QUILLFIX, prefix)
            self.assertEqual(0, result.returncode, result.stderr)
            self.assertFalse(os.path.exists(owner.record),
                             "a helper was started")
            self.assertEqual(["user.reg"], os.listdir(prefix))

    def test_server_in_our_namespaces_gives_its_sync_variables(self):
        with self.owners_lookalike([]) as (owner, prefix, server):
            result = run_as_root(QUILLFIX, prefix)
            self.assertEqual(0, result.returncode, result.stderr)
            facts = read_record(owner.record)
            self.assertEqual(os.readlink("/proc/self/ns/pid"), facts["pidns"])
            environment = facts["environment"]
            self.assertEqual("1", environment.get("WINEESYNC"))
            # The rest is the clean environment of a run by root.
            self.assertNotIn("QUILLFIX_MARK", environment)
            self.assertEqual(prefix, environment.get("WINEPREFIX"))


# A loader that leaves a process of its own in the sandbox, in a session
# of its own (as Wine's services are left), then lingers when told to.
SERVICE_LEAVING_LOADER = r"""#!/bin/sh
setsid sleep 600 </dev/null >/dev/null 2>&1 &
echo "started=yes" > @RECORD@
if [ -e @LINGER@ ]; then exec sleep 60; fi
"""

# Linux's struct sock_filter: code, jt, jf, k.
BPF_LOAD_SYSCALL_NUMBER = (0x20, 0, 0, 0)   # ld [0]
BPF_ALLOW = (0x06, 0, 0, 0x7fff0000)        # ret SECCOMP_RET_ALLOW
NR_ACCT_X86_64 = 163


def seccomp_program_denying_acct():
    """A seccomp program (bwrap --seccomp) that allows every system call
    but acct(2), which fails with EPERM."""
    program = [BPF_LOAD_SYSCALL_NUMBER,
               (0x15, 0, 1, NR_ACCT_X86_64),  # jeq acct, 0, 1
               (0x06, 0, 0, 0x00050000 | 1),  # ret SECCOMP_RET_ERRNO|EPERM
               BPF_ALLOW]
    return b"".join(struct.pack("<HBBI", *insn) for insn in program)


def pid_namespace_members(namespace):
    """Process ids (as seen here) of the processes in pid namespace
    `namespace` (a readlink of /proc/<pid>/ns/pid), zombies aside."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if os.readlink("/proc/%s/ns/pid" % entry) != namespace:
                continue
            with open("/proc/%s/stat" % entry) as f:
                if f.read().rsplit(") ", 1)[1].startswith("Z"):
                    continue
        except OSError:
            continue
        found.append(int(entry))
    return found


def confinement(pid):
    """{NoNewPrivs, CapInh, CapPrm, CapEff, CapBnd, CapAmb, Seccomp} of
    process `pid`, as numbers."""
    facts = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            name, _, value = line.partition(":")
            if name in ("NoNewPrivs", "Seccomp"):
                facts[name] = int(value)
            elif name.startswith("Cap"):
                facts[name] = int(value, 16)
    return facts


def cgroup_of_our_own_possible():
    """Whether root may make a cgroup (v2) below its own here, as a run by
    root does to end all its processes."""
    own = None
    with open("/proc/self/cgroup") as f:
        for line in f:
            if line.startswith("0::"):
                own = line[3:].strip()
    with open("/proc/self/mountinfo") as f:
        for line in f:
            fields = line.split()
            if own is None or " - cgroup2 " not in line or fields[3] != "/":
                continue
            try:
                probe = tempfile.mkdtemp(prefix="quillfix-probe-",
                                         dir=fields[4] + own.rstrip("/"))
            except OSError:
                return False
            os.rmdir(probe)
            return True
    return False


def command_of(pid):
    with open("/proc/%d/cmdline" % pid, "rb") as f:
        return f.read().split(b"\0")[:-1]


@skip_unless_able
class ConfinedSandboxTest(unittest.TestCase):
    """The owner's server in bwrap with a seccomp filter and the owner
    mapped to root in it: every process the helper brings into the sandbox
    is confined no less than the server, and none outlives the run."""

    def test_helper_and_what_it_leaves_are_confined_and_end_with_the_run(self):
        if platform.machine() != "x86_64":
            self.skipTest("the seccomp program is x86_64's")
        filter_file = tempfile.NamedTemporaryFile(suffix=".bpf")
        filter_file.write(seccomp_program_denying_acct())
        filter_file.flush()
        os.chmod(filter_file.name, 0o644)
        sandbox = ["sh", "-c", 'exec "$@" 9<"$0"', filter_file.name,
                   "bwrap", "--seccomp", "9", "--uid", "0", "--gid", "0",
                   "--die-with-parent", "--unshare-user", "--unshare-pid",
                   "--dev-bind", "/", "/"]
        with filter_file, HelperInTheSandboxTest.owners_lookalike(
                self, sandbox) as (owner, prefix, server):
            loader = os.path.join(owner.home, "bin", "wine64")
            with open(loader, "w") as f:
                f.write(SERVICE_LEAVING_LOADER
                        .replace("@RECORD@", owner.record)
                        .replace("@LINGER@", owner.linger))
            namespace = os.readlink("/proc/%d/ns/pid" % server)
            servers = confinement(server)
            # The fixture: the server is filtered, may gain nothing, and
            # has no capability.
            self.assertEqual(2, servers["Seccomp"])
            self.assertEqual(1, servers["NoNewPrivs"])
            before = set(pid_namespace_members(namespace))
            open(owner.linger, "w").close()
            run = subprocess.Popen(
                [QUILLFIX], env={"PATH": "/usr/bin:/bin",
                                 "WINEPREFIX": prefix, "WINEDEBUG": "-all"},
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL)
            try:
                deadline = time.time() + 30
                while not os.path.exists(owner.record):
                    self.assertLess(time.time(), deadline, "no helper ran")
                    time.sleep(0.02)
                deadline = time.time() + 10
                while True:
                    brought = sorted(set(pid_namespace_members(namespace)) -
                                     before)
                    commands = [command_of(pid) for pid in brought]
                    if ([b"sleep", b"60"] in commands and
                            [b"sleep", b"600"] in commands) or \
                            time.time() > deadline:
                        break
                    time.sleep(0.02)
                # The loader and the process it left, at least.
                self.assertIn([b"sleep", b"60"], commands)
                self.assertIn([b"sleep", b"600"], commands)
                for pid in brought:
                    facts = confinement(pid)
                    self.assertEqual(1, facts["NoNewPrivs"], pid)
                    for name in ("CapInh", "CapPrm", "CapEff", "CapBnd",
                                 "CapAmb"):
                        self.assertEqual(
                            0, facts[name] & ~servers[name],
                            "%s of %r" % (name, command_of(pid)))
                # The helper ends: the run goes on to its end.
                os.unlink(owner.linger)
                for pid in brought:
                    if command_of(pid) == [b"sleep", b"60"]:
                        os.kill(pid, signal.SIGKILL)
                self.assertEqual(0, run.wait(timeout=60))
            finally:
                if run.poll() is None:
                    run.kill()
                    run.wait()
            left = [pid for pid in pid_namespace_members(namespace)
                    if pid not in before]
            for pid in left:
                os.kill(pid, signal.SIGKILL)  # the failed case's
            # What the helper left behind is the sandbox init's child: only
            # the run's cgroup holds it.
            if not cgroup_of_our_own_possible():
                self.skipTest("no cgroup v2 for the run: what the helper "
                              "leaves in a sandbox outlives it")
            self.assertEqual([], left, "processes outlived the run")
            self.assertEqual(sorted(before),
                             sorted(pid_namespace_members(namespace)))


if __name__ == "__main__":
    unittest.main()
