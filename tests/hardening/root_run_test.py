"""quillfix and quillfix-report run by root on prefixes an ordinary user
controls, as that user would attack them: look-alike servers with a loader
of their own beside them, symlinks to root's and to other users' files,
root's terminal, root's environment and descriptors, and a server that a
Wine started from here cannot reach.

Runs as root (skipped otherwise). Users are accounts made for the test
(tests/wine/winetest.py, removed after); the attacker's processes run
through setpriv. A look-alike server is a copy of `perl` named wineserver,
working in a directory named server-<dev>-<inode> of the prefix, holding
the prefix directory open and listening on the socket there itself, as a
server does (LOOKALIKE_SERVER); its `wine64` is a script that writes down who it
ran as (`id -u`, `id -G`), whether it could open /dev/tty, its descriptors
and its environment. Programs come in the environment: QUILLFIX,
QUILLFIX_REPORT.
"""

import contextlib
import os
import pty
import shutil
import signal
import socket as sockets
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "wine"))
import winetest  # noqa: E402

QUILLFIX = os.environ.get("QUILLFIX", "")
QUILLFIX_REPORT = os.environ.get("QUILLFIX_REPORT", "")
RUN_LIMIT = 90  # a hang guard: the helper's own limits are below it
WRITTEN = b'"Quillfix"=hex:01'
SECRET = "QUILLFIX_ROOT_SECRET"
LEAKED_FD = 42  # a descriptor of root's the programs are started with

LOADER = r"""#!/bin/sh
# Writes down what it was given, then lingers when told to.
record=@RECORD@
{
  echo "uid=$(id -u)"
  echo "groups=$(id -G)"
  if (exec 3<>/dev/tty) 2>/dev/null; then echo tty=yes; else echo tty=no; fi
  if [ -e /proc/$$/fd/@LEAKED@ ]; then echo leaked=yes; fi
  echo "pid=$$"
  echo "--- environment"
  env
} > "$record.part"
mv "$record.part" "$record"
if [ -e @LINGER@ ]; then exec sleep 60; fi
"""


# What a look-alike server runs (`wineserver -e LOOKALIKE_SERVER [listen]`,
# a copy of perl, in its server directory): with "listen", listens on
# ./socket and takes every connection, as a server does; then it waits.
LOOKALIKE_SERVER = r"""
use Socket;
my @connections;
if (@ARGV && $ARGV[0] eq "listen") {
    unlink "socket";
    socket(my $listener, PF_UNIX, SOCK_STREAM, 0) or die "socket: $!";
    bind($listener, pack_sockaddr_un("socket")) or die "bind: $!";
    listen($listener, 8) or die "listen: $!";
    while (accept(my $connection, $listener)) { push @connections, $connection; }
}
sleep 300;
"""


def wait_until_listening(pid, path, timeout=10):
    """Waits until the process `pid` listens on the socket at `path`: a
    connection to it is taken."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        probe = sockets.socket(sockets.AF_UNIX)
        try:
            probe.connect(path)
            return
        except OSError:
            time.sleep(0.02)
        finally:
            probe.close()
    raise AssertionError("process %d does not listen on %s" % (pid, path))


def read_record(path):
    """The loader's record as {key: value} plus its environment."""
    with open(path) as f:
        text = f.read()
    head, _, environment = text.partition("--- environment\n")
    facts = dict(line.split("=", 1) for line in head.splitlines() if line)
    facts["environment"] = dict(
        line.split("=", 1) for line in environment.splitlines()
        if "=" in line)
    return facts


def server_dir_name(path):
    st = os.stat(path)
    return "server-%x-%x" % (st.st_dev, st.st_ino)


def make_prefix(path, uid, gid, mode=0o755):
    """A prefix made by hand: user.reg with Varlo's key, owned by uid."""
    os.mkdir(path)
    with open(os.path.join(path, "user.reg"), "w") as f:
        f.write(winetest.VARLO_USER_REG)
    for p in (path, os.path.join(path, "user.reg")):
        os.chown(p, uid, gid)
    os.chmod(path, mode)
    return path


def file_state(path):
    st = os.stat(path)
    with open(path, "rb") as f:
        return f.read(), st.st_mtime_ns, st.st_uid, st.st_mode


class Attacker:
    """An account of the test's with a home, and what it plants."""

    def __init__(self, uid, gid, name, home, work):
        self.uid, self.gid, self.name, self.home = uid, gid, name, home
        self.work = work
        self.record = os.path.join(work, "records", name)
        self.linger = os.path.join(work, "linger-" + name)
        self.lookalikes = []

    def run(self, args, **kwargs):
        return subprocess.run(
            winetest.as_user(self.uid, self.gid) +
            ["env", "-i", "HOME=" + self.home, "PATH=/usr/bin:/bin"] + args,
            check=True, timeout=60, **kwargs)

    def make_loader_dir(self):
        """The attacker's bin directory: a copy of perl named wineserver
        (it runs LOOKALIKE_SERVER) and the recording wine64 beside it, all
        the attacker's."""
        bin_dir = os.path.join(self.home, "bin")
        os.makedirs(bin_dir, exist_ok=True)
        shutil.copy("/usr/bin/perl", os.path.join(bin_dir, "wineserver"))
        with open(os.path.join(bin_dir, "wine64"), "w") as f:
            f.write(LOADER.replace("@RECORD@", self.record)
                    .replace("@LEAKED@", str(LEAKED_FD))
                    .replace("@LINGER@", self.linger))
        for name in ("wineserver", "wine64"):
            os.chmod(os.path.join(bin_dir, name), 0o755)
        for p in (bin_dir, os.path.join(bin_dir, "wineserver"),
                  os.path.join(bin_dir, "wine64")):
            os.chown(p, self.uid, self.gid)
        return bin_dir

    def start_lookalike(self, prefix, server_dir, socket=True, loader=None):
        """The attacker's look-alike server of `prefix`: works in
        `server_dir` (made, the attacker's, mode 0700), listens on the
        socket there unless told otherwise, and holds the prefix directory
        open. `loader`: the text of the wine64 beside it, the recording one
        when None, none at all when ""."""
        bin_dir = self.make_loader_dir()
        wine64 = os.path.join(bin_dir, "wine64")
        if loader == "":
            os.unlink(wine64)
        elif loader is not None:
            with open(wine64, "w") as f:
                f.write(loader)
        self.run(["mkdir", "-p", "-m", "0700", server_dir])
        command = ('cd "$1" && exec 7<"$2" && '
                   'exec "$3"/wineserver -e "$4" $5')
        process = subprocess.Popen(
            winetest.as_user(self.uid, self.gid) +
            ["bash", "-c", command, "lookalike", server_dir, prefix, bin_dir,
             LOOKALIKE_SERVER, "listen" if socket else ""],
            stdin=subprocess.DEVNULL)
        self.lookalikes.append(process)
        # Ready once it is the copy of perl, in its directory, listening.
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                exe = os.readlink("/proc/%d/exe" % process.pid)
                cwd = os.readlink("/proc/%d/cwd" % process.pid)
                if exe.endswith("/wineserver") and cwd == server_dir:
                    if socket:
                        wait_until_listening(
                            process.pid, os.path.join(server_dir, "socket"))
                    return process
            except OSError:
                pass
            time.sleep(0.02)
        raise AssertionError("the look-alike server did not start")

    def stop(self):
        for process in self.lookalikes:
            process.kill()
            process.wait()
        self.lookalikes = []


@contextlib.contextmanager
def scene():
    """A work directory (root's, 0755, in /tmp), a records directory every
    user may write, and two accounts: the attacker and a third user."""
    work = tempfile.mkdtemp(prefix="rootrun-")
    os.chmod(work, 0o755)
    os.mkdir(os.path.join(work, "records"))
    os.chmod(os.path.join(work, "records"), 0o1777)
    homes = [os.path.join(work, "home-a"), os.path.join(work, "home-b")]
    try:
        with winetest.test_account(homes[0]) as a, \
                winetest.test_account(homes[1]) as b:
            users = []
            for (uid, gid, name), home in zip((a, b), homes):
                os.mkdir(home, 0o755)
                os.chown(home, uid, gid)
                users.append(Attacker(uid, gid, name, home, work))
            try:
                yield work, users[0], users[1]
            finally:
                for user in users:
                    user.stop()
                    shutil.rmtree("/tmp/.wine-%d" % user.uid,
                                  ignore_errors=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def root_env(prefix, **extra):
    """Root's environment, with a secret of root's in it."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("WINEPREFIX", "TMPDIR")}
    env.update({"WINEPREFIX": prefix, "WINEDEBUG": "-all",
                SECRET: "root-only-value"})
    env.update(extra)
    return env


def run_as_root(program, prefix, **kwargs):
    """`program` as root on `prefix`, with root's secret and an extra
    descriptor of root's (not close-on-exec) on a root-only file."""
    secret_file = os.open("/etc/shadow", os.O_RDONLY)
    os.dup2(secret_file, LEAKED_FD, inheritable=True)
    os.close(secret_file)
    try:
        return subprocess.run([program], env=root_env(prefix),
                              capture_output=True, stdin=subprocess.DEVNULL,
                              pass_fds=(LEAKED_FD,), timeout=RUN_LIMIT,
                              **kwargs)
    finally:
        os.close(LEAKED_FD)


def run_in_terminal(program, prefix):
    """`program` as root on `prefix` as the leader of a session on a new
    terminal (its controlling terminal); returns its exit status."""
    pid, master = pty.fork()
    if pid == 0:
        try:
            os.execve(program, [program], root_env(prefix))
        finally:
            os._exit(127)
    deadline = time.time() + RUN_LIMIT
    while time.time() < deadline:
        try:
            if not os.read(master, 4096):
                break
        except OSError:
            break  # EIO: the terminal's last user closed it
    _, status = os.waitpid(pid, 0)
    os.close(master)
    return os.waitstatus_to_exitcode(status)


def assertRefused(test, program, result, reason):
    """`result` of `program` is a refusal: quillfix quiet with status 0,
    the report with status 2 and `reason` on standard error."""
    if program == QUILLFIX:
        test.assertEqual((0, b"", b""), (result.returncode, result.stdout,
                                         result.stderr))
    else:
        test.assertEqual(2, result.returncode, result.stdout)
        test.assertIn(reason, result.stderr)


def skip_unless_root(test_class):
    if os.geteuid() != 0:
        return unittest.skip("needs root, to act as other users")(test_class)
    for tool in ("setpriv", "useradd", "bash"):
        if shutil.which(tool) is None:
            return unittest.skip("%s is not installed" % tool)(test_class)
    return test_class


@skip_unless_root
class LookAlikeServerTest(unittest.TestCase):
    """Processes that pose as a prefix's server, and what root's runs let
    them do."""

    def assertLoaderNeverRan(self, attacker):
        self.assertFalse(os.path.exists(attacker.record),
                         "the attacker's loader ran")

    def test_symlink_to_roots_prefix_runs_nothing_of_the_users(self):
        """~/.wine a symlink to a prefix of root's; a process of the
        user's poses as its server with a wine64 beside it."""
        with scene() as (work, attacker, _):
            roots = make_prefix(os.path.join(work, "roots-prefix"), 0, 0)
            link = os.path.join(attacker.home, ".wine")
            os.symlink(roots, link)
            os.lchown(link, attacker.uid, attacker.gid)
            attacker.start_lookalike(
                roots, "/tmp/.wine-%d/%s" % (attacker.uid,
                                             server_dir_name(roots)))
            before = file_state(os.path.join(roots, "user.reg"))
            for program in (QUILLFIX, QUILLFIX_REPORT):
                with self.subTest(program=os.path.basename(program)):
                    result = run_as_root(program, link)
                    assertRefused(self, program, result,
                                  b"home-a: belongs to another user")
                    self.assertLoaderNeverRan(attacker)
            self.assertEqual(before,
                             file_state(os.path.join(roots, "user.reg")))
            # What root's own run left for its servers.
            shutil.rmtree("/tmp/.wine-0/" + server_dir_name(roots),
                          ignore_errors=True)

    def test_third_users_prefix_runs_nothing_of_the_users(self):
        """The same look-alike, aimed at a third user's readable prefix."""
        with scene() as (work, attacker, third):
            theirs = make_prefix(os.path.join(third.home, ".wine"),
                                 third.uid, third.gid)
            link = os.path.join(attacker.home, ".wine")
            os.symlink(theirs, link)
            os.lchown(link, attacker.uid, attacker.gid)
            attacker.start_lookalike(
                theirs, "/tmp/.wine-%d/%s" % (attacker.uid,
                                              server_dir_name(theirs)))
            before = file_state(os.path.join(theirs, "user.reg"))
            for program in (QUILLFIX, QUILLFIX_REPORT):
                with self.subTest(program=os.path.basename(program)):
                    result = run_as_root(program, link)
                    # The link on the way is the attacker's: the third
                    # user's prefix is not acted on, nor reported as theirs.
                    assertRefused(self, program, result,
                                  b"home-a: belongs to another user")
                    self.assertLoaderNeverRan(attacker)
            self.assertEqual(before,
                             file_state(os.path.join(theirs, "user.reg")))

    def test_users_own_server_runs_the_loader_as_that_user_only(self):
        """The user's own prefix (its directory in group 0) and a server
        of theirs with their wine64: it runs as the user, in none of root's
        groups, with none of root's environment or descriptors, and without
        a terminal even when root's run has one."""
        with scene() as (work, attacker, _):
            prefix = make_prefix(os.path.join(attacker.home, ".wine"),
                                 attacker.uid, 0)
            server_dir = "/tmp/.wine-%d/%s" % (attacker.uid,
                                              server_dir_name(prefix))
            attacker.start_lookalike(prefix, server_dir)
            before = file_state(os.path.join(prefix, "user.reg"))
            runs = [
                ("quillfix", lambda: run_as_root(QUILLFIX, prefix).returncode,
                 (0,)),
                ("quillfix-report",
                 lambda: run_as_root(QUILLFIX_REPORT, prefix).returncode,
                 (2,)),
                ("quillfix in root's terminal",
                 lambda: run_in_terminal(QUILLFIX, prefix), (0,)),
            ]
            for name, run, statuses in runs:
                with self.subTest(run=name):
                    if os.path.exists(attacker.record):
                        os.unlink(attacker.record)
                    self.assertIn(run(), statuses)
                    # The loader ran (the server is the user's), as the
                    # user alone.
                    facts = read_record(attacker.record)
                    self.assertEqual(str(attacker.uid), facts["uid"])
                    self.assertEqual([str(attacker.gid)],
                                     facts["groups"].split())
                    self.assertEqual("no", facts["tty"])
                    self.assertNotIn("leaked", facts)
                    environment = facts["environment"]
                    self.assertNotIn(SECRET, environment)
                    self.assertEqual(attacker.home, environment["HOME"])
                    self.assertEqual(attacker.name, environment["USER"])
                    self.assertEqual(attacker.name, environment["LOGNAME"])
                    self.assertEqual("/usr/local/bin:/usr/bin:/bin",
                                     environment["PATH"])
                    self.assertEqual(prefix, environment["WINEPREFIX"])
            # The helper never answered: nothing was written.
            self.assertEqual(before,
                             file_state(os.path.join(prefix, "user.reg")))

    def test_terminal_check_sees_a_terminal(self):
        """The loader, run straight from a terminal session, says so: the
        "no terminal" above is the helper's own session, not the check."""
        with scene() as (work, attacker, _):
            bin_dir = attacker.make_loader_dir()
            self.assertEqual(0, run_in_terminal(
                os.path.join(bin_dir, "wine64"), "/nonexistent"))
            self.assertEqual("yes", read_record(attacker.record)["tty"])

    def test_killed_run_leaves_no_helper_behind(self):
        with scene() as (work, attacker, _):
            prefix = make_prefix(os.path.join(attacker.home, ".wine"),
                                 attacker.uid, attacker.gid)
            attacker.start_lookalike(
                prefix, "/tmp/.wine-%d/%s" % (attacker.uid,
                                              server_dir_name(prefix)))
            open(attacker.linger, "w").close()
            run = subprocess.Popen([QUILLFIX], env=root_env(prefix),
                                   stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
            try:
                deadline = time.time() + 30
                while not os.path.exists(attacker.record):
                    self.assertLess(time.time(), deadline, "no helper ran")
                    time.sleep(0.02)
                helper = int(read_record(attacker.record)["pid"])
                run.send_signal(signal.SIGTERM)
                run.wait(timeout=30)
                deadline = time.time() + 10
                while os.path.exists("/proc/%d" % helper):
                    with open("/proc/%d/stat" % helper) as f:
                        if f.read().split(") ")[1].startswith("Z"):
                            break  # ended, not yet reaped by init
                    self.assertLess(time.time(), deadline,
                                    "the helper outlived the run")
                    time.sleep(0.02)
            finally:
                if run.poll() is None:
                    run.kill()
                    run.wait()
                helper = None
                if os.path.exists(attacker.record):
                    helper = int(read_record(attacker.record)["pid"])
                if helper and os.path.exists("/proc/%d" % helper):
                    os.kill(helper, signal.SIGKILL)  # the failed case's


@skip_unless_root
class FilesTheOwnerCannotWriteTest(unittest.TestCase):
    """A user.reg that leads to a file its prefix's owner may not write is
    left byte for byte as it is, whatever root may write."""

    def test_links_out_of_the_users_prefix(self):
        with scene() as (work, attacker, third):
            theirs = make_prefix(os.path.join(third.home, ".wine"),
                                 third.uid, third.gid)
            os.chmod(os.path.join(theirs, "user.reg"), 0o600)
            roots = os.path.join(work, "root-only.reg")
            with open(roots, "w") as f:
                f.write(winetest.VARLO_USER_REG)
            os.chmod(roots, 0o600)
            cases = [
                ("symlink to a root-only file", "symlink", roots),
                ("symlink to another user's user.reg", "symlink",
                 os.path.join(theirs, "user.reg")),
                ("hard link to a root-only file", "link", roots),
                ("hard link to another user's user.reg", "link",
                 os.path.join(theirs, "user.reg")),
            ]
            for name, kind, target in cases:
                for program in (QUILLFIX, QUILLFIX_REPORT):
                    with self.subTest(case=name,
                                      program=os.path.basename(program)):
                        prefix = os.path.join(attacker.home, ".wine")
                        shutil.rmtree(prefix, ignore_errors=True)
                        os.mkdir(prefix, 0o755)
                        os.chown(prefix, attacker.uid, attacker.gid)
                        user_reg = os.path.join(prefix, "user.reg")
                        # Hard links as root: the kernel's protected_hardlinks
                        # would stop the user; a link made any other way is
                        # the same file.
                        getattr(os, kind)(target, user_reg)
                        if kind == "symlink":
                            os.lchown(user_reg, attacker.uid, attacker.gid)
                        before = file_state(target)
                        result = run_as_root(program, prefix)
                        self.assertEqual(
                            0 if program == QUILLFIX else 2,
                            result.returncode, result.stderr)
                        self.assertEqual(before, file_state(target))
                        self.assertEqual(["user.reg"], os.listdir(prefix))
                        os.unlink(user_reg)


@skip_unless_root
class NoAccountTest(unittest.TestCase):
    def test_prefix_of_a_user_id_without_account_is_left_alone(self):
        uid, gid = winetest.unused_ids()
        work = tempfile.mkdtemp(prefix="rootrun-")
        try:
            os.chmod(work, 0o755)
            prefix = make_prefix(os.path.join(work, "prefix"), uid, gid)
            before = file_state(os.path.join(prefix, "user.reg"))
            result = run_as_root(QUILLFIX, prefix)
            self.assertEqual((0, b"", b""), (result.returncode, result.stdout,
                                             result.stderr))
            result = run_as_root(QUILLFIX_REPORT, prefix)
            self.assertEqual(2, result.returncode)
            self.assertIn(b"has no account", result.stderr)
            self.assertEqual(before,
                             file_state(os.path.join(prefix, "user.reg")))
            self.assertEqual(["user.reg"], os.listdir(prefix))
        finally:
            shutil.rmtree(work, ignore_errors=True)


def processes_of(uid):
    """Process ids of every process whose real user id is `uid`."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/status" % entry) as f:
                for line in f:
                    if line.startswith("Uid:"):
                        if int(line.split()[1]) == uid:
                            found.append(int(entry))
                        break
        except OSError:
            continue
    return found


def wait_until_gone(pids, seconds=10):
    """The ones of `pids` still running (zombies aside) after `seconds`."""
    deadline = time.time() + seconds
    while True:
        left = []
        for pid in pids:
            try:
                with open("/proc/%d/stat" % pid) as f:
                    if not f.read().split(") ")[1].startswith("Z"):
                        left.append(pid)
            except OSError:
                pass
        if not left or time.time() >= deadline:
            return left
        time.sleep(0.05)


def users_prefix(attacker, mode=0o755, editions=("Varlo",)):
    """The attacker's ~/.wine with the given editions installed."""
    prefix = make_prefix(os.path.join(attacker.home, ".wine"), attacker.uid,
                         attacker.gid, mode)
    with open(os.path.join(prefix, "user.reg"), "a") as f:
        for edition in editions:
            if edition != "Varlo":
                f.write("\n[Software\\\\Corvane\\\\%s 6.8] 1796869137\n"
                        "\"Edition\"=\"x\"\n" % edition)
    return prefix


def upstream_server_dir(attacker, prefix):
    return "/tmp/.wine-%d/%s" % (attacker.uid, server_dir_name(prefix))


@skip_unless_root
class AnotherUsersPrefixTest(unittest.TestCase):
    """User A points WINEPREFIX at user B's prefix, which A may read (as a
    Wine manager's entry may): nothing is made for B anywhere, the report
    reads what it may, and B's own runs work as before."""

    def test_nothing_is_made_for_the_prefixs_owner(self):
        with scene() as (work, owner, other):
            prefix = users_prefix(owner, editions=("Varlo", "VarloPlus"))
            user_reg = os.path.join(prefix, "user.reg")
            owners_tmp = "/tmp/.wine-%d" % owner.uid
            shutil.rmtree(owners_tmp, ignore_errors=True)

            def as_user(user, program):
                return subprocess.run(
                    winetest.as_user(user.uid, user.gid) +
                    ["env", "-i", "HOME=" + user.home, "PATH=/usr/bin:/bin",
                     "WINEPREFIX=" + prefix, "WINEDEBUG=-all", program],
                    capture_output=True, stdin=subprocess.DEVNULL,
                    timeout=RUN_LIMIT)

            for readable in (True, False):
                with self.subTest(user_reg_readable=readable):
                    os.chmod(user_reg, 0o644 if readable else 0o600)
                    before = file_state(user_reg)
                    entries = sorted(os.listdir(prefix))
                    patched = as_user(other, QUILLFIX)
                    self.assertEqual((0, b"", b""), (patched.returncode,
                                                      patched.stdout,
                                                      patched.stderr))
                    report = as_user(other, QUILLFIX_REPORT)
                    if readable:
                        self.assertEqual(1, report.returncode, report.stderr)
                        self.assertEqual(2, report.stdout.count(
                            b": installed, Preferences\\Quillfix missing"))
                    else:
                        self.assertEqual(2, report.returncode, report.stdout)
                        self.assertIn(b"cannot read " + user_reg.encode(),
                                      report.stderr)
                    self.assertFalse(os.path.exists(owners_tmp))
                    self.assertEqual(before, file_state(user_reg))
                    self.assertEqual(entries, sorted(os.listdir(prefix)))
            # The owner's own runs, afterwards, as ever.
            patched = as_user(owner, QUILLFIX)
            self.assertEqual((0, b"", b""), (patched.returncode,
                                              patched.stdout, patched.stderr))
            report = as_user(owner, QUILLFIX_REPORT)
            self.assertEqual(0, report.returncode, report.stderr)
            self.assertEqual(2, report.stdout.count(b"= 01"))
            with open(user_reg, "rb") as f:
                self.assertEqual(2, f.read().count(WRITTEN))


@skip_unless_root
class SteeringTest(unittest.TestCase):
    """What other users control, set up to steer root's run elsewhere."""

    def test_path_entry_flipped_by_a_third_user_never_runs_their_loader(self):
        """A PATH entry that is a third user's symlink, flipped between a
        folder of root's and one of theirs, each with a wine in it; the
        user's server has no loader beside it."""
        with scene() as (work, attacker, third):
            prefix = users_prefix(attacker)
            attacker.start_lookalike(
                prefix, upstream_server_dir(attacker, prefix), loader="")
            folders = {"root": (os.path.join(work, "roots-bin"), 0, 0),
                       "third": (os.path.join(third.home, "bin"), third.uid,
                                 third.gid)}
            for name, (folder, uid, gid) in folders.items():
                os.mkdir(folder, 0o755)
                wine = os.path.join(folder, "wine")
                with open(wine, "w") as f:
                    f.write("#!/bin/sh\necho ran >> %s\n" % os.path.join(
                        work, "records", "wine-of-" + name))
                os.chmod(wine, 0o755)
                for path in (folder, wine):
                    os.chown(path, uid, gid)
            link = os.path.join(third.home, "flip")
            flipper = subprocess.Popen(
                winetest.as_user(third.uid, third.gid) + [
                    "python3", "-c",
                    "import os, sys\n"
                    "link, a, b = sys.argv[1:]\n"
                    "while True:\n"
                    "    for target in (a, b):\n"
                    "        try: os.unlink(link + '.new')\n"
                    "        except OSError: pass\n"
                    "        os.symlink(target, link + '.new')\n"
                    "        os.rename(link + '.new', link)\n",
                    link, folders["root"][0], folders["third"][0]],
                stdin=subprocess.DEVNULL)
            try:
                deadline = time.time() + 10
                while not os.path.islink(link):
                    self.assertLess(time.time(), deadline)
                    time.sleep(0.01)
                for _ in range(100):
                    result = subprocess.run(
                        [QUILLFIX], env=root_env(prefix, PATH=link),
                        capture_output=True, stdin=subprocess.DEVNULL,
                        timeout=RUN_LIMIT)
                    self.assertEqual(0, result.returncode, result.stderr)
            finally:
                flipper.kill()
                flipper.wait()
            for name in ("third", "root"):
                self.assertFalse(
                    os.path.exists(os.path.join(work, "records",
                                                "wine-of-" + name)),
                    "a wine reached through the third user's link ran")

    def test_prefix_open_to_all_is_refused_even_sticky(self):
        with scene() as (work, attacker, _):
            prefix = users_prefix(attacker, mode=0o1777)
            before = file_state(os.path.join(prefix, "user.reg"))
            for program in (QUILLFIX, QUILLFIX_REPORT):
                with self.subTest(program=os.path.basename(program)):
                    assertRefused(self, program, run_as_root(program, prefix),
                                  b".wine: others may write to it")
            self.assertEqual(before,
                             file_state(os.path.join(prefix, "user.reg")))

    def test_lock_holder_cannot_hold_a_run_up(self):
        """A third user who may open the prefix directory holds a flock
        on it for as long as they like."""
        with scene() as (work, attacker, third):
            prefix = users_prefix(attacker)
            holder = subprocess.Popen(
                winetest.as_user(third.uid, third.gid) + [
                    "python3", "-c",
                    "import fcntl, os, sys, time\n"
                    "fd = os.open(sys.argv[1], os.O_RDONLY)\n"
                    "fcntl.flock(fd, fcntl.LOCK_EX)\n"
                    "print('locked', flush=True)\n"
                    "time.sleep(300)\n", prefix],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
            try:
                self.assertEqual(b"locked\n", holder.stdout.readline())
                before = file_state(os.path.join(prefix, "user.reg"))
                for program in (QUILLFIX, QUILLFIX_REPORT):
                    with self.subTest(program=os.path.basename(program)):
                        result = run_as_root(program, prefix)
                        assertRefused(self, program, result,
                                      b"held by another process")
                self.assertEqual(before,
                                 file_state(os.path.join(prefix, "user.reg")))
            finally:
                holder.kill()
                holder.wait()

    def test_roots_tmpdir_is_not_the_owners(self):
        """Root's TMPDIR is a folder only root may enter; the prefix names
        a server folder of Debian's layout; no Wine runs."""
        with scene() as (work, attacker, _):
            prefix = users_prefix(attacker, editions=("Varlo", "VarloPlus"))
            name = "quillfix-test-%d" % attacker.uid
            with open(os.path.join(prefix, "wineserver"), "w") as f:
                f.write(name)
            os.chown(os.path.join(prefix, "wineserver"), attacker.uid,
                     attacker.gid)
            roots_tmp = os.path.join(work, "roots-tmp")
            os.mkdir(roots_tmp, 0o700)
            try:
                result = subprocess.run(
                    [QUILLFIX], env=root_env(prefix, TMPDIR=roots_tmp),
                    capture_output=True, stdin=subprocess.DEVNULL,
                    timeout=RUN_LIMIT)
                self.assertEqual((0, b""), (result.returncode, result.stderr))
                with open(os.path.join(prefix, "user.reg"), "rb") as f:
                    self.assertEqual(2, f.read().count(WRITTEN))
                report = subprocess.run(
                    [QUILLFIX_REPORT], env=root_env(prefix, TMPDIR=roots_tmp),
                    capture_output=True, stdin=subprocess.DEVNULL,
                    timeout=RUN_LIMIT)
                self.assertEqual(0, report.returncode, report.stderr)
                self.assertEqual(2, report.stdout.count(b"= 01"))
                self.assertEqual([], os.listdir(roots_tmp))
            finally:
                shutil.rmtree(os.path.join("/tmp", name), ignore_errors=True)

    def test_helper_has_exactly_the_accounts_groups(self):
        """Root's shell has supplementary groups; the loader run for the
        user has the account's, no more."""
        with scene() as (work, attacker, _):
            prefix = users_prefix(attacker)
            attacker.start_lookalike(prefix,
                                     upstream_server_dir(attacker, prefix))
            result = subprocess.run(
                ["setpriv", "--groups", "4,24,27", QUILLFIX],
                env=root_env(prefix), capture_output=True,
                stdin=subprocess.DEVNULL, timeout=RUN_LIMIT)
            self.assertEqual(0, result.returncode, result.stderr)
            accounts = subprocess.run(["id", "-G", attacker.name],
                                      capture_output=True, check=True,
                                      timeout=60).stdout.split()
            groups = read_record(attacker.record)["groups"].split()
            self.assertEqual(sorted(int(g) for g in accounts),
                             sorted(int(g) for g in groups))

    def test_socket_served_by_another_is_never_handed_over(self):
        """The server found does not listen; another process (of the
        user's, or of root's) listens on its socket: no helper gets that
        connection, nothing is written, and the report names who listens."""
        listener = ("import socket, sys, time\n"
                    "s = socket.socket(socket.AF_UNIX)\n"
                    "s.bind(sys.argv[1]); s.listen(8)\n"
                    "print('listening', flush=True)\n"
                    "time.sleep(300)\n")
        for who in ("the user", "root"):
            with self.subTest(listener=who), \
                    scene() as (work, attacker, _):
                prefix = users_prefix(attacker)
                server_dir = upstream_server_dir(attacker, prefix)
                found = attacker.start_lookalike(prefix, server_dir,
                                                 socket=False)
                command = ["/usr/bin/python3", "-c", listener,
                           os.path.join(server_dir, "socket")]
                if who == "the user":
                    command = winetest.as_user(attacker.uid,
                                               attacker.gid) + command
                other = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                         stdout=subprocess.PIPE)
                try:
                    self.assertEqual(b"listening\n", other.stdout.readline())
                    reason = (
                        ("its socket is served by process %d of user id %d, "
                         "not by the server found, process %d of user id %d"
                         % (other.pid, attacker.uid, found.pid,
                            attacker.uid)) if who == "the user" else
                        "its server directory's socket is not a socket of "
                        "user id %d" % attacker.uid)
                    before = file_state(os.path.join(prefix, "user.reg"))
                    for program in (QUILLFIX, QUILLFIX_REPORT):
                        result = run_as_root(program, prefix)
                        assertRefused(self, program, result,
                                      ("cannot reach the running Wine of %s: "
                                       "%s\n" % (prefix, reason)).encode())
                    self.assertFalse(os.path.exists(attacker.record))
                    self.assertEqual(before, file_state(
                        os.path.join(prefix, "user.reg")))
                finally:
                    other.kill()
                    other.wait()
                    other.stdout.close()

    def test_lookalike_without_a_socket_starts_nothing(self):
        with scene() as (work, attacker, _):
            prefix = users_prefix(attacker)
            lookalike = attacker.start_lookalike(
                prefix, upstream_server_dir(attacker, prefix), socket=False)
            before = file_state(os.path.join(prefix, "user.reg"))
            for program in (QUILLFIX, QUILLFIX_REPORT):
                with self.subTest(program=os.path.basename(program)):
                    assertRefused(self, program, run_as_root(program, prefix),
                                  b"cannot reach the running Wine")
                    self.assertFalse(os.path.exists(attacker.record))
                    self.assertEqual([lookalike.pid],
                                     servers_of(server_dir_name(prefix)))
            self.assertEqual(before,
                             file_state(os.path.join(prefix, "user.reg")))


# A loader that stops the run that started it (it runs as the user the run
# became, who may signal it).
STOPPING_LOADER = """#!/bin/sh
echo "pid=$$" > @RECORD@
kill -STOP $PPID
exec sleep 600
"""

# A loader that leaves a child behind in a session of its own, with the
# run's pipes open, ignoring SIGTERM, and hangs itself.
FORKING_LOADER = """#!/bin/sh
trap '' TERM
setsid sleep 600 &
echo "pid=$$" > @RECORD@
exec sleep 600
"""


@skip_unless_root
class RunEndsTest(unittest.TestCase):
    """Root's runs end, and leave nothing of theirs running, whatever the
    user's loader does."""

    SUPERVISED_LIMIT = 100  # the whole run's limit, in seconds

    def run_against(self, loader, program, on_started=None):
        """`program` as root on a user's prefix whose server's loader is
        `loader`; returns (the run's result, its duration, the user's
        processes left but the look-alike's)."""
        with scene() as (work, attacker, _):
            return self.run_against_user(attacker, loader, program,
                                         on_started)

    def run_against_user(self, attacker, loader, program, on_started=None):
        """The same for `attacker`, an account of a scene."""
        prefix = users_prefix(attacker)
        lookalike = attacker.start_lookalike(
            prefix, upstream_server_dir(attacker, prefix),
            loader=loader.replace("@RECORD@", attacker.record))
        start = time.time()
        run = subprocess.Popen([program], env=root_env(prefix),
                               stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
        try:
            if on_started is not None:
                deadline = time.time() + 30
                while not os.path.exists(attacker.record):
                    self.assertLess(time.time(), deadline, "no loader ran")
                    time.sleep(0.02)
                on_started(run)
            run.communicate(timeout=self.SUPERVISED_LIMIT + 30)
        finally:
            if run.poll() is None:
                run.kill()
                run.wait()
        took = time.time() - start
        left = wait_until_gone(
            [pid for pid in processes_of(attacker.uid)
             if pid != lookalike.pid])
        for pid in left:
            os.kill(pid, signal.SIGKILL)  # the failed case's
        return run.returncode, took, left

    def test_runs_end_within_their_limit_and_leave_nothing(self):
        cases = [
            ("loader stops the run", STOPPING_LOADER,
             self.SUPERVISED_LIMIT + 15),
            ("loader leaves a child and hangs", FORKING_LOADER,
             self.SUPERVISED_LIMIT + 15),
        ]
        results = {}

        def attempt(user, name, loader):
            try:
                results[name] = self.run_against_user(user, loader, QUILLFIX)
            except Exception as error:  # reported below, in the test
                results[name] = error

        # Side by side, one user each: each waits for a limit.
        with scene() as (work, first, second):
            threads = [
                threading.Thread(target=attempt, args=(user, name, loader))
                for user, (name, loader, _) in zip((first, second), cases)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
        for name, _, within in cases:
            with self.subTest(name):
                result = results[name]
                if isinstance(result, Exception):
                    raise result
                status, took, left = result
                self.assertEqual(0, status)
                self.assertLess(took, within)
                self.assertEqual([], left, "processes outlived the run")

    def test_signal_ends_the_run_and_all_it_started(self):
        for program in (QUILLFIX, QUILLFIX_REPORT):
            with self.subTest(program=os.path.basename(program)):
                status, took, left = self.run_against(
                    FORKING_LOADER, program,
                    on_started=lambda run: run.send_signal(signal.SIGTERM))
                self.assertEqual(-signal.SIGTERM, status)
                self.assertLess(took, 30)
                self.assertEqual([], left, "processes outlived the run")


# A tree of the user's that outruns a killer chasing process ids: chains
# of processes, each in a session of its own, each forking as it starts
# (to a depth of 4) and twice from its parent-death signal handler, so
# that every process killed makes each of its children fork twice. At most
# 200 of the user's processes at a time, whatever the killer does.
REFORKING_TREE = r"""
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

static void generation(int depth);

static void spawn(int depth) {
  if (fork() == 0) {
    setsid();
    generation(depth);
  }
}

static void on_parent_death(int signal_number) {
  (void)signal_number;
  spawn(0);
  spawn(0);
}

static void generation(int depth) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = on_parent_death;
  action.sa_flags = SA_NODEFER;  /* a child forked in it gets it too */
  sigaction(SIGUSR1, &action, 0);
  prctl(PR_SET_PDEATHSIG, SIGUSR1);
  if (depth > 0) spawn(depth - 1);
  for (;;) pause();
}

int main(void) {
  struct rlimit most = {200, 200};
  setrlimit(RLIMIT_NPROC, &most);
  for (int i = 0; i < 3; ++i) spawn(4);
  return 0;
}
"""

# The owner's loader: leaves the tree behind (its output not the run's, so
# that the loader's end ends the helper), then lingers when told to.
REFORKING_LOADER = """#!/bin/sh
@TREE@ </dev/null >/dev/null 2>&1
echo "pid=$$" > @RECORD@
sleep 1
if [ -e @LINGER@ ]; then exec sleep 600; fi
"""


def processes_seen(uid, but, seconds):
    """Every process id of `uid` but those in `but` seen, zombies aside,
    in samples over `seconds`: a process that keeps changing its id shows
    in some of them."""
    seen = set()
    deadline = time.time() + seconds
    while True:
        seen.update(wait_until_gone(
            [pid for pid in processes_of(uid) if pid not in but], 0))
        if time.time() >= deadline:
            return sorted(seen)
        time.sleep(0.01)


def stop_then_kill(uid, but):
    """Ends every process of `uid` but those in `but` (a failed case's),
    stopping them all before killing any."""
    for _ in range(200):
        pids = [pid for pid in processes_of(uid) if pid not in but]
        if not pids:
            return
        for signal_number in (signal.SIGSTOP, signal.SIGKILL):
            for pid in pids:
                with contextlib.suppress(OSError):
                    os.kill(pid, signal_number)
        time.sleep(0.01)


@skip_unless_root
class TreeThatOutrunsAKillerTest(unittest.TestCase):
    """The user's loader leaves a tree that re-forks faster than a killer
    that chases process ids: the run's end stops it all, then kills it."""

    def setUp(self):
        if shutil.which("cc") is None:
            self.skipTest("no C compiler for the tree")

    def run_with_tree(self, program, terminate):
        with scene() as (work, attacker, _):
            source = os.path.join(work, "tree.c")
            with open(source, "w") as f:
                f.write(REFORKING_TREE)
            tree = os.path.join(work, "tree")
            subprocess.run(["cc", "-O2", "-o", tree, source], check=True,
                           timeout=120)
            prefix = users_prefix(attacker)
            lookalike = attacker.start_lookalike(
                prefix, upstream_server_dir(attacker, prefix),
                loader=REFORKING_LOADER.replace("@RECORD@", attacker.record)
                .replace("@LINGER@", attacker.linger)
                .replace("@TREE@", tree))
            if terminate:
                open(attacker.linger, "w").close()
            start = time.time()
            run = subprocess.Popen([program], env=root_env(prefix),
                                   stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
            try:
                if terminate:
                    deadline = time.time() + 30
                    while not os.path.exists(attacker.record):
                        self.assertLess(time.time(), deadline, "no loader ran")
                        time.sleep(0.02)
                    time.sleep(2)  # the tree at full speed
                    self.assertNotEqual(
                        [], processes_seen(attacker.uid, [lookalike.pid], 0.2),
                        "no tree to end")
                    run.send_signal(signal.SIGTERM)
                out, err = run.communicate(timeout=RUN_LIMIT)
                took = time.time() - start
                left = processes_seen(attacker.uid, [lookalike.pid], 1)
            finally:
                if run.poll() is None:
                    run.kill()
                    run.wait()
                stop_then_kill(attacker.uid, [lookalike.pid])
            self.assertTrue(os.path.exists(attacker.record), "no loader ran")
            return run.returncode, out, err, took, left

    def test_run_that_ends_leaves_none_of_it(self):
        for program, status in ((QUILLFIX, 0), (QUILLFIX_REPORT, 2)):
            with self.subTest(program=os.path.basename(program)):
                returncode, out, err, took, left = self.run_with_tree(
                    program, terminate=False)
                self.assertEqual(status, returncode, err)
                if program == QUILLFIX:
                    self.assertEqual((b"", b""), (out, err))
                else:
                    self.assertIn(b"quillfix-report: ", err)
                self.assertEqual([], left, "processes outlived the run")
                self.assertLess(took, 30)

    def test_signalled_run_leaves_none_of_it(self):
        for program in (QUILLFIX, QUILLFIX_REPORT):
            with self.subTest(program=os.path.basename(program)):
                returncode, _, _, took, left = self.run_with_tree(
                    program, terminate=True)
                self.assertEqual(-signal.SIGTERM, returncode)
                self.assertEqual([], left, "processes outlived the run")
                self.assertLess(took, 40)


def proc_stat(pid):
    """Fields of /proc/<pid>/stat after the name: [state, ppid, pgrp,
    session, tty_nr, tpgid, ...]."""
    with open("/proc/%d/stat" % pid) as f:
        return f.read().rsplit(") ", 1)[1].split()


def open_descriptors(pid):
    """{fd: (what it links to, (st_dev, st_ino) of the file)}."""
    found = {}
    base = "/proc/%d/fd" % pid
    for name in os.listdir(base):
        path = os.path.join(base, name)
        with contextlib.suppress(OSError):
            st = os.stat(path)
            found[int(name)] = (os.readlink(path), (st.st_dev, st.st_ino))
    return found


@skip_unless_root
class WorkerHoldsNothingOfRootsTest(unittest.TestCase):
    """Root runs the programs from a terminal with a descriptor open on a
    root-only file: the process that became the user, sampled while its
    helper runs, holds neither, and is in no session of root's."""

    def run_in_terminal_and_sample(self, program, attacker, prefix):
        """`program` as root on `prefix`, the leader of a session on a new
        terminal, with fd LEAKED_FD on /etc/shadow; returns (its status,
        what the terminal showed, the worker's descriptors, the worker's
        and the run's stat fields, the run's descriptors)."""
        if os.path.exists(attacker.record):
            os.unlink(attacker.record)
        open(attacker.linger, "w").close()
        pid, master = pty.fork()
        if pid == 0:
            try:
                shadow = os.open("/etc/shadow", os.O_RDONLY)
                os.dup2(shadow, LEAKED_FD, inheritable=True)
                os.execve(program, [program], root_env(prefix))
            finally:
                os._exit(127)
        shown = []
        reader = threading.Thread(target=self.read_all, args=(master, shown))
        reader.start()
        status = None
        try:
            deadline = time.time() + 30
            while not os.path.exists(attacker.record):
                self.assertLess(time.time(), deadline, "no loader ran")
                time.sleep(0.02)
            loader = int(read_record(attacker.record)["pid"])
            worker = int(proc_stat(loader)[1])
            self.assertEqual(pid, int(proc_stat(worker)[1]),
                             "the loader's parent is not the run's child")
            sample = (open_descriptors(worker), proc_stat(worker),
                      proc_stat(pid), open_descriptors(pid))
            # The helper ends: the run goes on to its end.
            os.unlink(attacker.linger)
            os.kill(loader, signal.SIGKILL)
            _, status = os.waitpid(pid, 0)
        finally:
            if status is None:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            reader.join(timeout=30)
            os.close(master)
        return (os.waitstatus_to_exitcode(status), b"".join(shown)) + sample

    @staticmethod
    def read_all(master, shown):
        while True:
            try:
                data = os.read(master, 4096)
            except OSError:
                return  # EIO: the terminal's last user closed it
            if not data:
                return
            shown.append(data)

    def test_worker_holds_no_descriptor_or_terminal_of_roots(self):
        shadow = os.stat("/etc/shadow")
        with scene() as (work, attacker, _):
            prefix = users_prefix(attacker)
            attacker.start_lookalike(prefix,
                                     upstream_server_dir(attacker, prefix))
            for program, status, message in (
                    (QUILLFIX, 0, b""),
                    (QUILLFIX_REPORT, 2,
                     b"quillfix-report: cannot reach the running Wine")):
                with self.subTest(program=os.path.basename(program)):
                    (returncode, shown, fds, worker, run,
                     run_fds) = self.run_in_terminal_and_sample(
                         program, attacker, prefix)
                    # Output and status as ever, through the terminal.
                    self.assertEqual(status, returncode, shown)
                    self.assertIn(message, shown)
                    if not message:
                        self.assertEqual(b"", shown)
                    # The run itself is in root's terminal; the worker is
                    # not: a session of its own, no controlling terminal.
                    self.assertNotEqual("0", run[4])
                    worker_pid = int(worker[3])
                    self.assertEqual(worker_pid, int(worker[2]))
                    self.assertNotEqual(run[3], worker[3])
                    self.assertEqual("0", worker[4])
                    self.assertEqual("-1", worker[5])
                    self.assertNotIn(LEAKED_FD, fds)
                    for fd, (target, identity) in fds.items():
                        self.assertNotEqual(
                            (shadow.st_dev, shadow.st_ino), identity, fd)
                        self.assertFalse(target.startswith(("/dev/pts",
                                                            "/dev/tty",
                                                            "/dev/pty")),
                                         (fd, target))
                    # Input from nowhere; output through the run's pipes.
                    self.assertEqual("/dev/null", fds[0][0])
                    run_files = {identity for _, identity in run_fds.values()}
                    for fd in (1, 2):
                        self.assertTrue(fds[fd][0].startswith("pipe:"))
                        self.assertIn(fds[fd][1], run_files)


def servers_of(prefix_dir_name):
    """Process ids of wineservers whose working directory is the prefix's
    server directory, in any mount namespace."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            exe = os.readlink("/proc/%s/exe" % entry)
            cwd = os.readlink("/proc/%s/cwd" % entry)
        except OSError:
            continue
        if os.path.basename(exe).startswith("wineserver") and \
                os.path.basename(cwd) == prefix_dir_name:
            found.append(int(entry))
    return found


@skip_unless_root
@winetest.skip_without_wine
class UnreachableServerTest(unittest.TestCase):
    """A server with a /tmp of its own (a mount namespace of its own, as a
    sandboxed Wine has): a Wine started from here would not find it and
    would start a second server for the prefix."""

    def test_no_second_server_and_nothing_written(self):
        if shutil.which("unshare") is None or shutil.which("nsenter") is None:
            self.skipTest("unshare or nsenter is not installed")
        with winetest.copy_prefix() as prefix:
            with open(prefix.user_reg, "a") as f:
                f.write(winetest.VARLO_USER_REG.split("\n", 4)[4])
            name = server_dir_name(prefix.path)
            env = prefix.env()
            env.pop("TMPDIR", None)
            # A fresh /tmp for the server, and the prefix kept in view at
            # its own path, wherever it is (the build tree may be in /tmp).
            subprocess.run(
                ["unshare", "-m", "--propagation", "private", "sh", "-ec",
                 'kept=$(mktemp -d /run/quillfix-test.XXXXXX)\n'
                 'mount --bind "$WINEPREFIX" "$kept"\n'
                 'mount -t tmpfs quillfix-test /tmp\n'
                 'mkdir -p "$WINEPREFIX"\n'
                 'mount --move "$kept" "$WINEPREFIX"\n'
                 'rmdir "$kept"\n'
                 'wineserver -p300'],
                env=env, check=True, timeout=60)
            deadline = time.time() + 30
            while not servers_of(name):
                self.assertLess(time.time(), deadline, "no server started")
                time.sleep(0.05)
            first = servers_of(name)
            self.assertEqual(1, len(first))
            server = first[0]
            counts = []
            done = threading.Event()

            def watch():
                while not done.is_set():
                    counts.append(len(servers_of(name)))
                    time.sleep(0.01)

            watcher = threading.Thread(target=watch)
            watcher.start()
            try:
                before = file_state(prefix.user_reg)
                result = subprocess.run([QUILLFIX], env=env,
                                        capture_output=True,
                                        stdin=subprocess.DEVNULL,
                                        timeout=RUN_LIMIT)
                self.assertEqual(0, result.returncode, result.stderr)
                report = subprocess.run([QUILLFIX_REPORT], env=env,
                                        capture_output=True,
                                        stdin=subprocess.DEVNULL,
                                        timeout=RUN_LIMIT)
                self.assertEqual(2, report.returncode, report.stdout)
                self.assertIn(b"cannot reach the running Wine",
                              report.stderr)
                self.assertEqual(before, file_state(prefix.user_reg))
            finally:
                done.set()
                watcher.join()
                subprocess.run(["nsenter", "-t", str(server), "-m", "env",
                                "WINEPREFIX=" + prefix.path, "wineserver",
                                "-k"], env=env, timeout=60)
                deadline = time.time() + 30
                while servers_of(name) and time.time() < deadline:
                    time.sleep(0.05)
            self.assertTrue(counts)
            self.assertEqual({1}, set(counts),
                             "a second server ran for the prefix")
            self.assertEqual([], servers_of(name))
            # The server saved its registry as it ended: without the value.
            with open(prefix.user_reg, "rb") as f:
                self.assertNotIn(WRITTEN, f.read())


if __name__ == "__main__":
    unittest.main()
