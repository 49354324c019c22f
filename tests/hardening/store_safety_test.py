"""quillfix run by an administrator on a user's prefix, against everything
that can undo or block its write: the user's own wineserver (started with
any TMPDIR, or started while quillfix saves), FIFOs planted where the store
looks for a server, a user.reg of another architecture, an empty
WINEPREFIX.

Runs as root (skipped otherwise), as an administrator would: each case gets
a copy of the prefix wineboot made (tests/wine/winetest.py), given to a user
account made for the test, whose Wine runs through setpriv. Programs come in
the environment: QUILLFIX, PAUSED_SAVE_DRIVER (a save that stops before its
rename until told to go on).
"""

import contextlib
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "wine"))
import winetest  # noqa: E402

QUILLFIX = os.environ.get("QUILLFIX", "")
PAUSED_SAVE_DRIVER = os.environ.get("PAUSED_SAVE_DRIVER", "")
VARLO = "Software\\Corvane\\Varlo 6.8"
PRODUCT_SECTION = ('\n[Software\\\\Corvane\\\\Varlo 6.8] 1796869137\n'
                   '#time=1dd884ccfb82800\n"Edition"="std"\n')
WRITTEN = b'"Quillfix"=hex:01'
# A hang guard, far above what any run takes: quillfix needs milliseconds.
RUN_LIMIT = 20


class UserPrefix:
    """A prefix copy owned by an unused user id, with the product's key in
    its user.reg and no $WINEPREFIX/wineserver (so that the user's Wine
    picks a server directory of its own)."""

    def __init__(self, prefix, uid, gid, home):
        self.prefix = prefix
        self.path = prefix.path
        self.user_reg = prefix.user_reg
        self.uid = uid
        self.gid = gid
        self.home = home
        st = os.stat(self.path)
        self.server_dir = "server-%x-%x" % (st.st_dev, st.st_ino)
        self.made = []  # directories to remove at the end
        self.server_env = {}  # what the user's server was started with

    def user_env(self, **extra):
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"),
               "HOME": self.home, "USER": "quillfixtest",
               "WINEPREFIX": self.path, "WINEDEBUG": "-all"}
        env.update(extra)
        return env

    def as_user(self, args, check=True, **extra):
        """Runs ARGS as the prefix's owner (as winetest.run_wine runs a
        Wine program); returns its standard output and error."""
        command = winetest.as_user(self.uid, self.gid) + ["env", "-i"]
        command += ["%s=%s" % item for item in self.user_env(**extra).items()]
        result = winetest.run_wine(command + list(args), None)
        output = result.stdout + result.stderr
        if check and result.returncode != 0:
            raise AssertionError("%s failed (%d): %r" % (
                " ".join(args), result.returncode, output[-1000:]))
        return output

    def start_server(self, **extra):
        """The user's `wineserver -p`, waited for until it listens."""
        self.server_env = extra
        self.as_user(["wineserver", "-p120"], **extra)
        bases = ["/tmp"] + ([extra["TMPDIR"]] if "TMPDIR" in extra else [])
        deadline = time.time() + 30
        while time.time() < deadline:
            for base in bases:
                if glob.glob(os.path.join(base, "*", self.server_dir,
                                          "socket")):
                    return
            time.sleep(0.05)
        raise AssertionError("the user's wineserver did not start")

    def stop_server(self):
        # With the TMPDIR it was started with, or it is not found.
        self.as_user(["wineserver", "-k"], check=False, **self.server_env)
        self.as_user(["wineserver", "-w"], check=False, **self.server_env)
        self.server_env = {}

    def user_tmpdir(self):
        """A TMPDIR of the user's own."""
        path = tempfile.mkdtemp(prefix="usertmp-",
                                dir=os.path.dirname(self.path))
        os.chown(path, self.uid, self.gid)
        self.made.append(path)
        return path

    def make_user_dir(self, path):
        os.makedirs(path, mode=0o700, exist_ok=True)
        os.chmod(path, 0o700)
        os.chown(path, self.uid, self.gid)

    def name_file(self, name):
        path = os.path.join(self.path, "wineserver")
        with open(path, "w") as f:
            f.write(name)
        os.chmod(path, 0o400)
        os.chown(path, self.uid, self.gid)

    def cleanup_server_dirs(self):
        """Removes what Wine and quillfix made in the temporary directories
        for this prefix: the prefix's own server directories, and the
        directory its name file names, which the user's Wine made."""
        bases = ["/tmp"] + self.made
        name = None
        try:
            with open(os.path.join(self.path, "wineserver")) as f:
                name = f.read()
        except OSError:
            pass
        for base in bases:
            if name and "/" not in name and name:
                named = os.path.join(base, name)
                if os.path.isdir(named) and \
                        os.lstat(named).st_uid == self.uid:
                    shutil.rmtree(named, ignore_errors=True)
        upstream = "/tmp/.wine-%d" % self.uid
        shutil.rmtree(os.path.join(upstream, self.server_dir),
                      ignore_errors=True)
        try:
            os.rmdir(upstream)
        except OSError:
            pass
        for path in self.made:
            shutil.rmtree(path, ignore_errors=True)

    def quillfix(self, **env_changes):
        """quillfix as root on the prefix, without TMPDIR unless given;
        a variable given as None is unset."""
        env = winetest.wine_env(self.path)
        env.pop("TMPDIR", None)
        for key, value in env_changes.items():
            if value is None:
                env.pop(key, None)
            else:
                env[key] = value
        started = time.time()
        result = subprocess.run([QUILLFIX], capture_output=True, env=env,
                                stdin=subprocess.DEVNULL, timeout=RUN_LIMIT)
        return result, time.time() - started


@contextlib.contextmanager
def user_prefix():
    with winetest.copy_prefix() as prefix:
        home = tempfile.mkdtemp(prefix="home-",
                                dir=os.path.dirname(prefix.path))
        try:
            with winetest.test_account(home) as (uid, gid, _):
                with user_prefix_of(prefix, uid, gid, home) as user:
                    yield user
        finally:
            shutil.rmtree(home, ignore_errors=True)


@contextlib.contextmanager
def user_prefix_of(prefix, uid, gid, home):
    os.unlink(os.path.join(prefix.path, "wineserver"))
    with open(prefix.user_reg, "a") as f:
        f.write(PRODUCT_SECTION)
    # drive_c is hard-linked with the base prefix: left as it is.
    os.lchown(prefix.path, uid, gid)
    for root, dirs, files in os.walk(prefix.path):
        if root == prefix.path and "drive_c" in dirs:
            dirs.remove("drive_c")
        for name in dirs + files:
            os.lchown(os.path.join(root, name), uid, gid)
    os.chown(home, uid, gid)
    user = UserPrefix(prefix, uid, gid, home)
    try:
        yield user
    finally:
        try:
            user.stop_server()
            prefix.server_may_run = False
        finally:
            user.cleanup_server_dirs()


def skip_unless_root_with_wine(test_class):
    if os.geteuid() != 0:
        return unittest.skip("needs root, to act as another user")(test_class)
    return winetest.skip_without_wine(test_class)


@skip_unless_root_with_wine
class StoreSafetyTest(unittest.TestCase):
    def assert_untouched(self, user, before, result):
        self.assertEqual(0, result.returncode, result.stderr)
        with open(user.user_reg, "rb") as f:
            self.assertEqual(before, f.read())

    def read(self, user):
        with open(user.user_reg, "rb") as f:
            return f.read()

    def test_administrators_run_leaves_the_file_the_users(self):
        with user_prefix() as user:
            os.chmod(user.user_reg, 0o640)
            result, _ = user.quillfix()
            self.assertEqual(0, result.returncode, result.stderr)
            st = os.stat(user.user_reg)
            self.assertEqual((user.uid, user.gid, 0o640),
                             (st.st_uid, st.st_gid, st.st_mode & 0o7777))
            self.assertIn(WRITTEN, self.read(user))
            out = user.as_user(["wine", "reg", "query",
                                "HKCU\\" + VARLO + "\\Preferences"])
            self.assertRegex(out.decode("utf-8", "replace"),
                             r"Quillfix\s+REG_BINARY\s+01")

    def test_users_running_server_is_seen(self):
        """The server runs as the user, in the user's directories; with
        TMPDIR as quillfix has it (none), and with another."""
        for tmpdir in (False, True):
            with self.subTest(server_tmpdir=tmpdir), user_prefix() as user:
                extra = {"TMPDIR": user.user_tmpdir()} if tmpdir else {}
                user.start_server(**extra)
                before = self.read(user)
                result, _ = user.quillfix()
                self.assert_untouched(user, before, result)

    def test_wine_started_during_the_save_waits_for_it(self):
        with user_prefix() as user:
            # Wine has run in the prefix (its name file is there), then /tmp
            # was cleared: no lock file exists when the save starts.
            user.as_user(["wine", "reg", "query", "HKCU\\" + VARLO])
            user.stop_server()
            with open(os.path.join(user.path, "wineserver")) as f:
                name = f.read()
            shutil.rmtree(os.path.join("/tmp", name))
            lock = os.path.join("/tmp", name, user.server_dir, "lock")

            env = winetest.wine_env(user.path)
            env.pop("TMPDIR", None)
            driver = subprocess.Popen(
                [PAUSED_SAVE_DRIVER, VARLO + "\\Preferences", "Quillfix",
                 "01"], env=env, stdin=subprocess.PIPE,
                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            try:
                self.assertEqual(b"paused\n", driver.stdout.readline())
                self.assertTrue(os.path.exists(lock))
                command = winetest.as_user(user.uid, user.gid) + ["env", "-i"]
                command += ["%s=%s" % item for item in user.user_env().items()]
                command += ["wine", "reg", "add", "HKCU\\" + VARLO, "/v",
                            "FromWine", "/t", "REG_SZ", "/d", "yes", "/f"]
                with tempfile.TemporaryFile() as out:
                    wine = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                            stdout=out, stderr=out)
                    # Go on once `reg add` is done (a server that did not
                    # wait for the save), or after the time it takes when
                    # nothing holds it up; well before Wine gives up on a
                    # held lock (about 6 s).
                    deadline = time.time() + 3
                    while time.time() < deadline and wine.poll() is None:
                        time.sleep(0.02)
                    held_up = wine.poll() is None
                    driver.stdin.write(b"go\n")
                    driver.stdin.flush()
                    out_text, err_text = driver.communicate(timeout=RUN_LIMIT)
                    self.assertEqual(b"save 0\n", out_text, err_text)
                    code = wine.wait(timeout=winetest.WINE_TIMEOUT)
                    out.seek(0)
                    self.assertEqual(0, code, out.read()[-1000:])
                    # The Wine start waited for the save.
                    self.assertTrue(held_up)
            finally:
                if driver.poll() is None:
                    driver.kill()
                    driver.wait()
            user.as_user(["wineserver", "-w"], check=False)
            text = self.read(user)
            self.assertIn(WRITTEN, text)
            self.assertIn(b'"FromWine"="yes"', text)

    def test_fifos_where_the_store_looks_block_nothing(self):
        with user_prefix() as user:
            name = "wine-qfx%d" % os.getpid()
            tmpdir = user.user_tmpdir()
            user.made.append(os.path.join("/tmp", name))
            places = {
                "name file": os.path.join(user.path, "wineserver"),
                "lock in /tmp": os.path.join("/tmp", name, user.server_dir,
                                             "lock"),
                "lock in TMPDIR": os.path.join(tmpdir, name, user.server_dir,
                                               "lock"),
                "upstream lock": os.path.join("/tmp/.wine-%d" % user.uid,
                                              user.server_dir, "lock"),
            }
            before = self.read(user)
            for place, fifo in places.items():
                with self.subTest(place=place):
                    if os.path.lexists(places["name file"]):
                        os.unlink(places["name file"])
                    if place != "name file":
                        user.name_file(name)
                        user.make_user_dir(os.path.dirname(
                            os.path.dirname(fifo)))
                        user.make_user_dir(os.path.dirname(fifo))
                    os.mkfifo(fifo, 0o600)
                    os.chown(fifo, user.uid, user.gid)
                    try:
                        result, _ = user.quillfix(TMPDIR=tmpdir)
                    finally:
                        os.unlink(fifo)
                    self.assert_untouched(user, before, result)
            # The same prefix, without the FIFOs, is written: they were what
            # stopped it.
            result, _ = user.quillfix(TMPDIR=tmpdir)
            self.assertEqual(0, result.returncode)
            self.assertIn(WRITTEN, self.read(user))

    def test_files_wine_would_not_use_are_left_alone(self):
        cases = [
            ("user.reg of another architecture",
             lambda user: self.set_arch(user, b"win32"), {}),
            ("empty WINEPREFIX", lambda user: None, {"WINEPREFIX": ""}),
            ("relative WINEPREFIX", lambda user: None,
             {"WINEPREFIX": "prefix"}),
        ]
        for name, prepare, env in cases:
            with self.subTest(case=name), user_prefix() as user:
                prepare(user)
                home = user.home
                os.symlink(user.path, os.path.join(home, ".wine"))
                before = self.read(user)
                result, _ = user.quillfix(HOME=home, **env)
                self.assert_untouched(user, before, result)
                # Named through HOME, the same prefix is written (the
                # architecture case aside).
                result, _ = user.quillfix(HOME=home, WINEPREFIX=None)
                self.assertEqual(0, result.returncode)
                self.assertEqual(name != "user.reg of another architecture",
                                 WRITTEN in self.read(user))

    @staticmethod
    def set_arch(user, arch):
        with open(user.user_reg, "rb") as f:
            text = f.read()
        assert b"#arch=win64\n" in text
        with open(user.user_reg, "wb") as f:
            f.write(text.replace(b"#arch=win64\n", b"#arch=" + arch + b"\n", 1))


if __name__ == "__main__":
    unittest.main()
