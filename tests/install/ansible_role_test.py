"""The Ansible role in contrib/ansible, played on this machine as an
administrator plays it on many:

    ansible-playbook -i localhost, -c local contrib/ansible/quillfix.yml \
        -e quillfix_package=<the .deb>

against accounts made for the test (removed after): one with ~/.wine
holding Varlo; one with a Bottles prefix holding both editions, whose own
wineserver runs during the plays; one with a prefix and no edition; one
whose home is in a directory of that third account's (so the report refuses
it). Check mode must write nothing and name the two accounts to patch; a
run must patch them (the second through its running server, which stays
the only one) and fail for the fourth, naming it and the report's reason;
a second run changes nothing.

Runs as root (skipped otherwise). It installs the .deb with apt, as the
role does, and removes it afterwards when it was not installed before.
ctest passes the folder of the package in QUILLFIX_DEB_DIR (the .deb it
made of the build for the package tests) and the base prefix in
QUILLFIX_WINE_BASE.
"""

import contextlib
import glob
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE_ROOT, "tests", "wine"))
import winetest  # noqa: E402

PLAYBOOK = os.path.join(SOURCE_ROOT, "contrib", "ansible", "quillfix.yml")
DEB_DIR = os.environ.get("QUILLFIX_DEB_DIR", "")
INSTALLED_REPORT = "/usr/bin/quillfix-report"
PACKAGE_CACHE = "/var/cache/quillfix"
PLAY_LIMIT = 600

VARLOPLUS_SECTION = ("\n[Software\\\\Corvane\\\\VarloPlus 6.8] 1796869137\n"
                     "#time=1dd884ccfb82800\n"
                     "\"Edition\"=\"plus\"\n")
NO_EDITION_USER_REG = (winetest.USER_REG_HEAD +
                       "\n[Software\\\\Wine] 1796869137\n"
                       "#time=1dd884ccfb82800\n")


def value_written(user_reg_text, edition):
    """Whether the edition's Preferences section holds Quillfix = 01."""
    section = re.search(
        r"(?m)^\[Software\\\\Corvane\\\\%s 6\.8\\\\Preferences\] \d+\n"
        r"((?:[^\[\n].*\n|\n)*)" % re.escape(edition), user_reg_text)
    return bool(section) and '"Quillfix"=hex:01\n' in section.group(1)


def read_text(path):
    with open(path, encoding="latin-1") as f:
        return f.read()


def product_sections(text):
    """The sections of the editions' keys in a registry file, in order of
    their names."""
    return sorted(section.rstrip("\n") for section in re.findall(
        r"(?ms)^\[Software\\\\Corvane\\\\.*?(?=^\[|\Z)", text))


def snapshot(top, running=()):
    """Every file below `top` by its bytes' digest, owner and mode (and
    every directory by owner and mode); drive_c of a prefix by its files'
    sizes and times only, as it is hard-linked with the base prefix. In
    the prefixes `running` (whose Wine runs), the registry files by the
    editions' sections only: any Wine program started there, the report's
    helper too, has Wine refresh keys of its own (fonts, display), which
    its server saves some seconds later."""
    state = {}
    for directory, dirs, files in os.walk(top):
        cheap = "drive_c" in os.path.relpath(directory, top).split(os.sep)
        for name in dirs + files:
            path = os.path.join(directory, name)
            st = os.lstat(path)
            entry = (st.st_uid, st.st_mode)
            if os.path.isfile(path) and not os.path.islink(path):
                if cheap:
                    entry += (st.st_size, st.st_mtime_ns)
                elif directory in running and name.endswith(".reg"):
                    entry += tuple(product_sections(read_text(path)))
                else:
                    with open(path, "rb") as f:
                        entry += (hashlib.sha256(f.read()).hexdigest(),)
            state[os.path.relpath(path, top)] = entry
    return state


def package_installed():
    status = subprocess.run(["dpkg-query", "-W", "-f=${Status}", "quillfix"],
                            capture_output=True, text=True, timeout=60)
    return status.stdout.strip() == "install ok installed"


def servers_of(uid):
    """Process ids of the wineservers of user `uid` (a server works in its
    server directory, but in the prefix while it saves)."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            exe = os.readlink("/proc/%s/exe" % entry)
            owner = os.stat("/proc/%s" % entry).st_uid
        except OSError:
            continue
        if os.path.basename(exe).startswith("wineserver") and owner == uid:
            found.append(int(entry))
    return sorted(found)


class ServerWatch:
    """The wineservers of user `uid`, every 10 ms from start() to
    stop()."""

    def __init__(self, uid):
        self.uid = uid
        self.seen = []
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.watch)

    def watch(self):
        while not self.done.is_set():
            self.seen.append(tuple(servers_of(self.uid)))
            time.sleep(0.01)

    def start(self):
        self.thread.start()

    def stop(self):
        self.done.set()
        self.thread.join()


class Account:
    """An account of the test's: name, ids and home."""

    def __init__(self, uid, gid, name, home):
        self.uid, self.gid, self.name, self.home = uid, gid, name, home

    def own(self, *paths):
        for path in paths:
            os.lchown(path, self.uid, self.gid)

    def make_dirs(self, relative):
        """Directories below the home, each the account's, mode 0755."""
        path = self.home
        for part in relative.split("/"):
            path = os.path.join(path, part)
            os.mkdir(path, 0o755)
            self.own(path)
        return path

    def hand_made_prefix(self, relative, user_reg):
        """A prefix of a user.reg only, as the root-run tests make them."""
        path = self.make_dirs(relative)
        user_reg_path = os.path.join(path, "user.reg")
        with open(user_reg_path, "w") as f:
            f.write(user_reg)
        self.own(user_reg_path)
        return path

    def env(self, **extra):
        env = {"HOME": self.home, "USER": self.name, "LOGNAME": self.name,
               "PATH": "/usr/bin:/bin", "WINEDEBUG": "-all"}
        env.update(extra)
        return ["env", "-i"] + ["%s=%s" % item for item in env.items()]

    def wine_command(self, prefix, *args):
        """Runs ARGS as the account with WINEPREFIX=prefix; stdout+stderr."""
        command = winetest.as_user(self.uid, self.gid) + \
            self.env(WINEPREFIX=prefix) + list(args)
        result = winetest.run_wine(command, None)
        if result.returncode != 0:
            raise AssertionError("%s failed (%d): %r" % (
                " ".join(args), result.returncode,
                (result.stdout + result.stderr)[-1000:]))
        return result.stdout + result.stderr


@contextlib.contextmanager
def accounts(work, homes):
    """One account per home (made and removed with it), as Accounts."""
    with contextlib.ExitStack() as stack:
        made = []
        for home in homes:
            uid, gid, name = stack.enter_context(winetest.test_account(home))
            made.append(Account(uid, gid, name, home))
            stack.callback(shutil.rmtree, "/tmp/.wine-%d" % uid,
                           ignore_errors=True)
        yield made


@contextlib.contextmanager
def package_restored():
    """Whatever the block installs is removed afterwards: the package,
    unless it was installed before, and the role's package cache, unless
    it existed before."""
    had_package = package_installed()
    had_cache = os.path.exists(PACKAGE_CACHE)
    try:
        yield had_package
    finally:
        if not had_package and package_installed():
            subprocess.run(["dpkg", "--purge", "quillfix"],
                           stdout=subprocess.DEVNULL, timeout=300,
                           check=True)
        if not had_cache:
            shutil.rmtree(PACKAGE_CACHE, ignore_errors=True)


def play(*options, users=None, package=None):
    """ansible-playbook on this machine with the JSON output: (status,
    parsed output). Ansible's own files go to a directory of their own,
    removed after."""
    temp = tempfile.mkdtemp(prefix="quillfix-ansible-tmp-")
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("ANSIBLE_") and k not in ("WINEPREFIX",)}
    env.update(ANSIBLE_STDOUT_CALLBACK="record",
               ANSIBLE_CALLBACK_PLUGINS=os.path.join(HERE, "ansible_plugins"),
               ANSIBLE_NOCOLOR="1",
               ANSIBLE_RETRY_FILES_ENABLED="0", ANSIBLE_HOME=temp,
               ANSIBLE_LOCAL_TEMP=temp, ANSIBLE_REMOTE_TEMP=temp,
               ANSIBLE_PYTHON_INTERPRETER="/usr/bin/python3")
    command = ["ansible-playbook", "-i", "localhost,", "-c", "local",
               PLAYBOOK]
    if package:
        command += ["-e", "quillfix_package=" + package]
    if users is not None:
        command += ["-e", json.dumps({"quillfix_users": users})]
    try:
        ran = subprocess.run(command + list(options), cwd=temp, env=env,
                             capture_output=True, text=True,
                             timeout=PLAY_LIMIT, stdin=subprocess.DEVNULL)
    finally:
        shutil.rmtree(temp, ignore_errors=True)
    try:
        return ran.returncode, Played(json.loads(ran.stdout))
    except ValueError:
        raise AssertionError("ansible-playbook printed no JSON (%d): %s %s"
                             % (ran.returncode, ran.stdout[-3000:],
                                ran.stderr[-3000:]))


class Played:
    """The account of a play on localhost that ansible_plugins/record.py
    prints: each task's result by the task's name, and the counts."""

    def __init__(self, data):
        self.data = data
        self.stats = data["stats"]["localhost"]
        self.tasks = {}
        for name, hosts in data["tasks"].items():
            if "localhost" in hosts:
                # Tasks of the role are named "quillfix : <name>".
                self.tasks[name.split(" : ", 1)[-1]] = hosts["localhost"]

    def task(self, name):
        return self.tasks.get(name, {})

    def changed_items(self, name):
        """The loop items of task `name` that changed."""
        return [r for r in self.task(name).get("results", [])
                if r.get("changed")]

    def changed_tasks(self):
        return sorted(name for name, result in self.tasks.items()
                      if result.get("changed"))

    def failure_message(self):
        return self.task(
            "Fail for the accounts that could not be checked or patched"
        ).get("msg", "")

    def text(self):
        return json.dumps(self.data, indent=1)[-6000:]


def skip_unless_root_with_ansible(test_class):
    if os.geteuid() != 0:
        return unittest.skip("needs root, to make accounts and install "
                             "the package")(test_class)
    if shutil.which("ansible-playbook") is None:
        return unittest.skip("ansible-playbook is not installed "
                             "(scripts/install-deps.sh installs it)"
                             )(test_class)
    return winetest.skip_without_wine(test_class)


@skip_unless_root_with_ansible
class AnsibleRoleTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        found = glob.glob(os.path.join(DEB_DIR, "quillfix_*.deb"))
        if len(found) != 1:
            self.fail("QUILLFIX_DEB_DIR=%r: not one package but %r"
                      % (DEB_DIR, found))
        self.deb = found[0]
        self.work = tempfile.mkdtemp(prefix="quillfix-ansible-")
        os.chmod(self.work, 0o755)
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)

    def test_accounts_whom_it_acts_for(self):
        """Without quillfix_users: the accounts from UID_MIN up whose home
        exists; the list alone (--tags quillfix_accounts) touches nothing
        else."""
        with_home = os.path.join(self.work, "home-with")
        without_home = os.path.join(self.work, "home-missing")
        with accounts(self.work, [with_home, without_home]) as (one, two):
            os.mkdir(with_home, 0o755)
            one.own(with_home)
            status, played = play("--tags", "quillfix_accounts")
            self.assertEqual(0, status, played.text())
            listed = played.task("Accounts")["msg"].split(", ")
            self.assertIn(one.name, listed)
            self.assertNotIn(two.name, listed)
            self.assertNotIn("root", listed)
            self.assertEqual([], played.changed_tasks())
            # Named, as a list or as -e quillfix_users=a,b gives them: the
            # account without a home too, in the order given.
            for users in ([two.name, one.name], two.name + "," + one.name):
                status, played = play("--tags", "quillfix_accounts",
                                      users=users)
                self.assertEqual(0, status, played.text())
                self.assertEqual("%s, %s" % (two.name, one.name),
                                 played.task("Accounts")["msg"])

    def test_check_mode_before_quillfix_is_installed(self):
        with package_restored() as had_package:
            if had_package:
                self.skipTest("the quillfix package is installed here")
            dpkg_status = read_text("/var/lib/dpkg/status")
            status, played = play("--check", package=self.deb)
            self.assertEqual(0, status, played.text())
            self.assertFalse(package_installed())
            self.assertFalse(os.path.exists(PACKAGE_CACHE))
            self.assertEqual(dpkg_status, read_text("/var/lib/dpkg/status"))
            self.assertEqual(["Copy the Quillfix package to the host"],
                             played.changed_tasks())
            self.assertIn("not installed on this host yet", played.task(
                "Stop here in check mode, Quillfix being not installed yet"
            )["msg"])

    def test_check_patch_and_run_again(self):
        homes = [os.path.join(self.work, name)
                 for name in ("home-wine", "home-bottles", "home-none")]
        # The fourth home is in a directory of the third account's.
        third_users_dir = os.path.join(self.work, "third-users")
        homes.append(os.path.join(third_users_dir, "home-refused"))
        with package_restored(), accounts(self.work, homes) as users:
            wine_user, bottles_user, none_user, refused_user = users
            os.mkdir(third_users_dir, 0o755)
            none_user.own(third_users_dir)
            for user in users:
                os.mkdir(user.home, 0o755)
                user.own(user.home)
            wine_prefix = wine_user.hand_made_prefix(
                ".wine", winetest.VARLO_USER_REG)
            # A name that a list of lines would split in two.
            odd_prefix = wine_user.hand_made_prefix(
                ".local/share/wineprefixes/two\nlines",
                winetest.VARLO_USER_REG)
            none_prefix = none_user.hand_made_prefix(
                ".wine", NO_EDITION_USER_REG)
            refused_prefix = refused_user.hand_made_prefix(
                ".wine", winetest.VARLO_USER_REG)
            bottle = self.make_bottle(bottles_user)
            names = [user.name for user in users]

            status, played = play("--tags", "quillfix_install",
                                  package=self.deb)
            self.assertEqual(0, status, played.text())
            self.assertTrue(package_installed())
            # The report's own words for the refused home.
            refusal = subprocess.run(
                ["env", "-u", "WINEPREFIX", "HOME=" + refused_user.home,
                 INSTALLED_REPORT, "--all"], capture_output=True, text=True,
                timeout=120)
            self.assertEqual(2, refusal.returncode, refusal.stdout)
            reason = refusal.stderr.splitlines()[-1]
            self.assertIn(refused_user.home, reason)

            bottles_user.wine_command(bottle, "wineserver", "-p120")
            self.addCleanup(self.stop_server, bottles_user, bottle)
            deadline = time.time() + 30
            while not servers_of(bottles_user.uid):
                self.assertLess(time.time(), deadline, "no server started")
                time.sleep(0.05)
            server = servers_of(bottles_user.uid)
            self.assertEqual(1, len(server))
            watch = ServerWatch(bottles_user.uid)
            watch.start()
            self.addCleanup(watch.stop)

            with self.subTest("check mode"):
                before = snapshot(self.work, running=[bottle])
                status, played = play("--check", users=names,
                                      package=self.deb)
                self.assertEqual(before, snapshot(self.work, running=[bottle]))
                self.assertEqual(2, status, played.text())
                would = played.changed_items("Accounts a run would patch")
                self.assertEqual(
                    ["%s: would patch %s, %s" % (wine_user.name,
                                                 wine_prefix, odd_prefix),
                     "%s: would patch %s" % (bottles_user.name, bottle)],
                    [item["msg"] for item in would])
                self.assertEqual(["Accounts a run would patch"],
                                 played.changed_tasks())
                self.assertEqual(
                    "Quillfix failed for 1 account(s): %s: %s"
                    % (refused_user.name, reason), played.failure_message())
                # Nothing went through the running server either.
                self.assertEqual(1, self.report_on(bottle).returncode)

            with self.subTest("run"):
                untouched = {p: snapshot(p)
                             for p in (none_prefix, refused_prefix)}
                status, played = play(users=names, package=self.deb)
                self.assertEqual(2, status, played.text())
                patched = played.changed_items(
                    "Check the patched accounts again")
                self.assertEqual([wine_user.name, bottles_user.name],
                                 [item["item"]["name"] for item in patched])
                self.assertEqual(
                    "Quillfix failed for 1 account(s): %s: %s"
                    % (refused_user.name, reason), played.failure_message())
                self.assertEqual(1, played.stats["failures"])
                for prefix in (wine_prefix, odd_prefix):
                    self.assertTrue(value_written(
                        read_text(os.path.join(prefix, "user.reg")),
                        "Varlo"), prefix)
                # Written into the running server, which saves it later.
                report = self.report_on(bottle)
                self.assertEqual(0, report.returncode, report.stdout)
                self.assertIn("registry: running Wine of " + bottle,
                              report.stdout)
                for path, state in untouched.items():
                    self.assertEqual(state, snapshot(path), path)
            watch.stop()
            self.assertTrue(watch.seen)
            self.assertEqual({tuple(server)}, set(watch.seen),
                             "not one server throughout")
            self.stop_server(bottles_user, bottle)
            user_reg = read_text(os.path.join(bottle, "user.reg"))
            self.assertTrue(value_written(user_reg, "Varlo"))
            self.assertTrue(value_written(user_reg, "VarloPlus"))

            with self.subTest("second run"):
                before = snapshot(self.work)
                status, played = play(users=names, package=self.deb)
                self.assertEqual(2, status, played.text())
                self.assertEqual(0, played.stats["changed"], played.text())
                self.assertEqual([], played.changed_tasks())
                self.assertIn(refused_user.name, played.failure_message())
                self.assertEqual(before, snapshot(self.work))

    def make_bottle(self, user):
        """A Bottles prefix of the account's, a copy of the base prefix
        with both editions installed; its drive_c stays hard-linked (and
        root's), as the root-run tests keep it."""
        bottles = user.make_dirs(".local/share/bottles/bottles")
        bottle = os.path.join(bottles, "Office")
        os.mkdir(bottle)
        winetest.copy_prefix_into(winetest.base_prefix(), bottle)
        # A name file of the base's would send the account's Wine to a
        # server directory of root's.
        with contextlib.suppress(FileNotFoundError):
            os.unlink(os.path.join(bottle, "wineserver"))
        with open(os.path.join(bottle, "user.reg"), "a") as f:
            f.write(winetest.VARLO_USER_REG[len(winetest.USER_REG_HEAD):])
            f.write(VARLOPLUS_SECTION)
        user.own(bottle)
        for directory, dirs, files in os.walk(bottle):
            if directory == bottle and "drive_c" in dirs:
                dirs.remove("drive_c")
            for name in dirs + files:
                user.own(os.path.join(directory, name))
        return bottle

    def report_on(self, prefix):
        return subprocess.run(["env", "WINEPREFIX=" + prefix,
                               INSTALLED_REPORT], capture_output=True,
                              text=True, timeout=120)

    def stop_server(self, user, prefix):
        """Stops the account's server of the prefix, which saves the
        registry, and waits for it."""
        for option in ("-k", "-w"):
            command = winetest.as_user(user.uid, user.gid) + \
                user.env(WINEPREFIX=prefix) + ["wineserver", option]
            subprocess.run(command, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=120)


if __name__ == "__main__":
    unittest.main()
