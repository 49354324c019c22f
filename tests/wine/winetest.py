"""Helpers for tests that run the real Wine against prefixes.

A base prefix is made once per test run with `wineboot -i` in a shared
place (QUILLFIX_WINE_BASE, by default build/wine-base in the source tree),
under a lock, so that tests running in parallel and both build presets use
the same one. Each test works on its own copy (copy_prefix), and every copy
in which a wineserver was started gets `wineserver -k` for that prefix when
the test ends, whatever happens.

Wine is slow (a `wine reg` call takes a second or two even with a warm
server): keep the calls per test few, and do as much as possible with one
server.

Standard library only.
"""

import contextlib
import difflib
import errno
import fcntl
import grp
import os
import pwd
import re
import shutil
import subprocess
import tempfile
import time
import unittest

SOURCE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__))))
BASE = os.environ.get("QUILLFIX_WINE_BASE") or os.path.join(
    SOURCE_ROOT, "build", "wine-base")
_COMPLETE_MARK = ".quillfix-base-complete"

WINE_TIMEOUT = 120

# The editions' keys, as `wine reg` names them.
VARLO = "HKCU\\Software\\Corvane\\Varlo 6.8"
VARLOPLUS = "HKCU\\Software\\Corvane\\VarloPlus 6.8"

# The head of a user.reg as Wine writes it, and a whole one in which Varlo
# is installed (its key holds a value), for tests that make a prefix by hand.
USER_REG_HEAD = ("WINE REGISTRY Version 2\n"
                 ";; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n"
                 "\n"
                 "#arch=win64\n")
VARLO_USER_REG = (USER_REG_HEAD +
                  "\n"
                  "[Software\\\\Corvane\\\\Varlo 6.8] 1796869137\n"
                  "#time=1dd884ccfb82800\n"
                  "\"Edition\"=\"std\"\n")


def unused_ids():
    """A user id and a group id (the next one) that no account and no group
    has, for files and processes of "another user" (root only). Spread by
    process, so that runs in parallel (other worktrees, other presets) do
    not share that user's directories in /tmp."""
    uid = 40000 + 2 * (os.getpid() % 10000)
    while True:
        try:
            pwd.getpwuid(uid)
        except KeyError:
            try:
                grp.getgrgid(uid + 1)
            except KeyError:
                return uid, uid + 1
        uid += 2


@contextlib.contextmanager
def test_account(home):
    """A user account made for the test (root only): its user id and group
    id as unused_ids() gives them, its own group, `home` as its home and no
    login shell; removed at the end. Yields (uid, gid, name). A run by root
    on a prefix acts as its owner only when the owner has an account."""
    uid, gid = unused_ids()
    name = "qfx%d" % uid
    subprocess.run(["groupadd", "-g", str(gid), name], check=True,
                   stdout=subprocess.DEVNULL, timeout=60)
    try:
        subprocess.run(["useradd", "-u", str(uid), "-g", str(gid), "-M",
                        "-d", home, "-s", "/usr/sbin/nologin", name],
                       check=True, stdout=subprocess.DEVNULL, timeout=60)
        try:
            yield uid, gid, name
        finally:
            # -f: even if a process of the account's outlived its test.
            subprocess.run(["userdel", "-f", name], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60)
    finally:
        subprocess.run(["groupdel", name], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)


def as_user(uid, gid):
    """The start of a command that runs the rest as user `uid` and group
    `gid`, without supplementary groups."""
    return ["setpriv", "--reuid", str(uid), "--regid", str(gid),
            "--clear-groups"]


def wine_missing():
    """Why Wine cannot be used here, or None."""
    for tool in ("wine", "wineserver", "wineboot"):
        if shutil.which(tool) is None:
            return "%s is not installed" % tool
    return None


def skip_without_wine(test_class):
    reason = wine_missing()
    return unittest.skip(reason)(test_class) if reason else test_class


def wine_env(prefix, **extra):
    env = dict(os.environ)
    env["WINEPREFIX"] = prefix
    env["WINEDEBUG"] = "-all"
    # No display: keeps wineboot and friends from opening windows.
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    env.update(extra)
    return env


def _kill_server(prefix):
    """Stops the wineserver of `prefix` (never of another) and waits."""
    env = wine_env(prefix)
    for option in ("-k", "-w"):
        subprocess.run(["wineserver", option], env=env,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=WINE_TIMEOUT)


def base_prefix():
    """The path of the base prefix, made on first use. Safe to call from
    several processes at once."""
    parent = os.path.dirname(BASE)
    os.makedirs(parent, exist_ok=True)
    with open(BASE + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.exists(os.path.join(BASE, _COMPLETE_MARK)):
            return BASE
        shutil.rmtree(BASE, ignore_errors=True)
        making = BASE + ".making"
        shutil.rmtree(making, ignore_errors=True)
        try:
            booted = WinePrefix(making)
            booted.server_may_run = True
            with tempfile.TemporaryFile() as log:
                subprocess.run(["wineboot", "-i"], env=booted.env(),
                               stdin=subprocess.DEVNULL, stdout=log,
                               stderr=log, timeout=600)
                # The server saves the registry when it exits.
                subprocess.run(["wineserver", "-w"], env=booted.env(),
                               timeout=WINE_TIMEOUT)
                log.seek(0)
                messages = log.read()[-2000:]
        finally:
            _kill_server(making)
        if not os.path.exists(os.path.join(making, "user.reg")):
            raise RuntimeError("wineboot made no user.reg: %r" % messages)
        open(os.path.join(making, _COMPLETE_MARK), "w").close()
        os.rename(making, BASE)
        return BASE


def run_wine(command, env, timeout=WINE_TIMEOUT, input_bytes=b""):
    """Runs COMMAND, which starts a Wine program (`wine ...`, perhaps behind
    setpriv), with `input_bytes` as its whole input, and returns the
    CompletedProcess with stdout and stderr as bytes. Output goes through
    files, not pipes: a server started by the call inherits them and would
    otherwise hold the call until it exits."""
    for _ in range(3):
        with tempfile.TemporaryFile() as given, \
                tempfile.TemporaryFile() as out, \
                tempfile.TemporaryFile() as err:
            given.write(input_bytes)
            given.seek(0)
            code = subprocess.run(command, env=env, stdin=given,
                                  stdout=out, stderr=err,
                                  timeout=timeout).returncode
            out.seek(0)
            err.seek(0)
            result = subprocess.CompletedProcess(command, code, out.read(),
                                                 err.read())
        # Now and then Wine 8 fails to start a builtin program such as
        # reg.exe (seen once in a whole test run, other tests' Wine
        # processes running beside it) and falls back to ShellExecute, which
        # fails too, before anything of the program ran: running it again
        # is safe. Nothing the tests run prints that message itself.
        if b"ShellExecuteEx failed" not in result.stdout + result.stderr:
            break
    return result


def _link_or_copy(source, target):
    try:
        os.link(source, target)
    except OSError:
        shutil.copy2(source, target)


def mask_times(text):
    """user.reg text with the times of every section replaced, so that two
    saves can be compared."""
    text = re.sub(r"(?m)^(\[.*\]) \d+$", r"\1 <secs>", text)
    return re.sub(r"(?m)^#time=[0-9a-f]+$", "#time=<time>", text)


class WinePrefix:
    """One prefix of a test. Runs Wine in it and remembers whether a
    server may have started, so that stop() (or the end of the `with`
    block of copy_prefix) can stop it."""

    def __init__(self, path):
        self.path = path
        self.user_reg = os.path.join(path, "user.reg")
        self.server_may_run = False

    def env(self, **extra):
        return wine_env(self.path, **extra)

    def read_user_reg(self):
        with open(self.user_reg, "rb") as f:
            return f.read()

    def wine(self, *args, check=True):
        """Runs `wine ARGS...`; returns the CompletedProcess."""
        self.server_may_run = True
        result = run_wine(["wine", *args], self.env())
        if check and result.returncode != 0:
            raise AssertionError("wine %s failed (%d): %s %s" % (
                " ".join(args), result.returncode, result.stdout[-1000:],
                result.stderr[-1000:]))
        return result

    def start_persistent_server(self, log_path=os.devnull, linger=300):
        """Starts `wineserver -p` for the prefix, its messages (such as
        complaints about user.reg) going to `log_path`, and waits until it
        listens. Later Wine calls then need no server start of their own.
        The server exits by itself `linger` seconds after its last client,
        so that one is not left behind for good if the test is killed before
        it can stop it."""
        self.server_may_run = True
        with open(log_path, "ab") as log:
            subprocess.run(["wineserver", "-p%d" % linger], env=self.env(),
                           stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=log,
                           timeout=WINE_TIMEOUT, check=True)
        deadline = time.time() + 30
        while time.time() < deadline:
            if self.server_socket_exists():
                return
            time.sleep(0.05)
        raise AssertionError("wineserver -p did not start for " + self.path)

    def server_directories(self):
        st = os.stat(self.path)
        name = "server-%x-%x" % (st.st_dev, st.st_ino)
        # A server runs as the prefix's owner.
        dirs = ["/tmp/.wine-%d/%s" % (st.st_uid, name)]
        try:
            with open(os.path.join(self.path, "wineserver")) as f:
                tag = f.read().strip()
            for base in (os.environ.get("TMPDIR") or "/tmp", "/tmp"):
                dirs.append(os.path.join(base, tag, name))
        except OSError:
            pass
        return dirs

    def server_socket_exists(self):
        return any(os.path.exists(os.path.join(d, "socket"))
                   for d in self.server_directories())

    def stop(self):
        """Stops this prefix's server (saving the registry) if one may run.
        It kills whatever Wine is doing: the registry it saves may be a
        moment of Wine's start-up work, and a process of the session that
        was starting may go on to start a server of its own. Meant for
        servers started with `wineserver -p`; a session of plain Wine calls
        ends by itself (settle)."""
        if self.server_may_run:
            _kill_server(self.path)
            self.server_may_run = False

    def settle(self):
        """Waits, killing nothing, until every Wine process of the prefix
        has exited and the server after them, having saved the registry.
        The first program of a session sets Wine's start-up work going
        (wineboot, explorer) which goes on rewriting keys under
        HKEY_CURRENT_USER (Control Panel, Volatile Environment) at its own
        pace: what is read or saved before it ends is a moment of that work,
        different from run to run on a busy machine. A server started with
        `wineserver -p` does not exit by itself: stop it first."""
        subprocess.run(["wineserver", "-w"], env=self.env(),
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=WINE_TIMEOUT)
        self.server_may_run = False

    @contextlib.contextmanager
    def program_running(self):
        """Keeps a Wine program of the prefix running while the block runs,
        as a user keeps a launcher open, so that the prefix's server runs
        meanwhile: `wine cmd`, reading commands from a pipe. At the end the
        program gets the end of its input and the session ends by itself
        (settle), with nothing killed."""
        self.server_may_run = True
        program = subprocess.Popen(["wine", "cmd"], env=self.env(),
                                   stdin=subprocess.PIPE,
                                   stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        try:
            deadline = time.time() + WINE_TIMEOUT
            while not self.server_socket_exists():
                if program.poll() is not None or time.time() > deadline:
                    raise AssertionError("no server for " + self.path)
                time.sleep(0.05)
            yield
        finally:
            program.stdin.close()
            program.wait(timeout=WINE_TIMEOUT)
            self.settle()

    def settled_user_reg(self):
        """user.reg as text with its times masked, once the session that the
        last Wine call started has run to its end (settle): the whole
        HKEY_CURRENT_USER as Wine loaded it, with its start-up work done in
        full and saved. Two prefixes whose registries Wine read alike give
        the same text."""
        self.settle()
        return mask_times(self.read_user_reg().decode("latin-1"))

    def reg_add(self, key, name, reg_type, data):
        """`wine reg add KEY /v NAME /t TYPE /d DATA /f`; key names the
        hive as reg does (HKCU\\...)."""
        self.wine("reg", "add", key, "/v", name, "/t", reg_type, "/d", data,
                  "/f")

    def reg_query(self, key):
        """`wine reg query KEY`: {value name: (type, data text)}."""
        out = self.wine("reg", "query", key).stdout.decode("utf-8", "replace")
        values = {}
        for line in out.splitlines():
            match = re.match(r"^    (.*?)    (REG_[A-Z_]+|0x[0-9a-f]+)    ?(.*)$",
                             line.rstrip("\r"))
            if match:
                values[match.group(1)] = (match.group(2), match.group(3))
        return values

    def reg_export(self, key):
        """`wine reg export KEY`, as text with any times masked."""
        handle, path = tempfile.mkstemp(suffix=".reg", dir=self.path)
        os.close(handle)
        try:
            self.wine("reg", "export", key, "Z:" + path.replace("/", "\\"),
                      "/y")
            with open(path, "rb") as f:
                raw = f.read()
        finally:
            os.unlink(path)
        text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") \
            else raw.decode("utf-8", "replace")
        return mask_times(text.replace("\r\n", "\n"))


@contextlib.contextmanager
def copy_prefix(source=None):
    """A fresh copy of the prefix folder `source` (by default the base
    prefix) in a temporary directory, as a WinePrefix; its server is
    stopped and the copy removed at the end. drive_c is hard-linked, not
    copied (it is large and Wine leaves it alone when it only works on the
    registry); the registry files are real copies. No server may run for
    `source` while it is copied."""
    source = source or base_prefix()
    work = os.path.join(os.path.dirname(BASE), "wine-tmp")
    os.makedirs(work, exist_ok=True)
    path = tempfile.mkdtemp(prefix="prefix-", dir=work)
    prefix = WinePrefix(path)
    try:
        copy_prefix_into(source, path)
        yield prefix
    finally:
        try:
            prefix.stop()
            # Wine and the store leave the server directories (and their
            # lock files) behind; this copy's are of no further use.
            for directory in prefix.server_directories():
                shutil.rmtree(directory, ignore_errors=True)
        finally:
            shutil.rmtree(path, ignore_errors=True)


def copy_prefix_into(source, path):
    """Copies the prefix folder `source` into the existing, empty folder
    `path`, as copy_prefix does."""
    for entry in os.listdir(source):
        origin = os.path.join(source, entry)
        target = os.path.join(path, entry)
        if entry == _COMPLETE_MARK:
            continue
        if os.path.islink(origin):
            os.symlink(os.readlink(origin), target)
        elif os.path.isdir(origin):
            shutil.copytree(origin, target, symlinks=True,
                            copy_function=_link_or_copy
                            if entry == "drive_c" else shutil.copy2)
        else:
            shutil.copy2(origin, target)


# The key Wine's crash debugger (winedbg) makes when a Wine program of the
# session crashed.
_CRASH_DEBUGGER_KEY = "\n[Software\\\\Wine\\\\WineDbg] "


def crash_debugger_ran(first, second):
    """Whether Wine's crash debugger ran in the session of exactly one of
    two settled user.reg texts."""
    return (_CRASH_DEBUGGER_KEY in first) != (_CRASH_DEBUGGER_KEY in second)


def assert_same_registry(test, first, second, what):
    """Fails with the differing lines of two settled user.reg texts."""
    if first != second:
        diff = difflib.unified_diff(first.split("\n"), second.split("\n"),
                                    lineterm="", n=2)
        crashed = ""
        if crash_debugger_ran(first, second):
            crashed = ("\n(Wine's crash debugger ran on the %s side: a Wine "
                       "program of its session crashed)" %
                       ("first" if _CRASH_DEBUGGER_KEY in first else "second"))
        test.fail("%s differ:\n%s%s" % (what, "\n".join(list(diff)[:60]),
                                        crashed))


def parse_reg_export(text):
    """{key path: {value name: (type number, bytes)}} of a `reg export`
    text. The default value's name is ''."""
    keys = {}
    current = None
    lines = text.split("\n")
    i = 0
    while i < len(lines):
        line = lines[i]
        i += 1
        if line.startswith("["):
            current = keys.setdefault(line[1:line.rindex("]")], {})
            continue
        if current is None or not (line.startswith('"') or
                                   line.startswith("@")):
            continue
        while line.endswith("\\") and i < len(lines):
            line = line[:-1] + lines[i].strip()
            i += 1
        name, data = _split_value_line(line)
        current[name] = _parse_data(data)
    return keys


def _unescape(text):
    out = []
    i = 0
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text):
            out.append(text[i + 1])
            i += 2
        else:
            out.append(text[i])
            i += 1
    return "".join(out)


def _split_value_line(line):
    if line.startswith("@"):
        return "", line[line.index("=") + 1:]
    i = 1
    while line[i] != '"':
        i += 2 if line[i] == "\\" else 1
    return _unescape(line[1:i]), line[i + 2:]


def _parse_data(data):
    if data.startswith('"'):
        text = _unescape(data[1:-1])
        return 1, (text + "\0").encode("utf-16-le")
    if data.startswith("dword:"):
        return 4, int(data[6:], 16).to_bytes(4, "little")
    match = re.match(r"^hex(?:\(([0-9a-fA-F]+)\))?:(.*)$", data)
    if not match:
        raise ValueError("unknown value form: " + data)
    reg_type = int(match.group(1), 16) if match.group(1) else 3
    hex_bytes = [b for b in match.group(2).replace(" ", "").split(",") if b]
    return reg_type, bytes(int(b, 16) for b in hex_bytes)
