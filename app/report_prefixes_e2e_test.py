"""End-to-end tests of quillfix-report --all and --list, and of the plain
report's hint, over fixture homes laid out as Wine and its managers lay
them out (their own file names and formats), holding small prefixes with
and without the product.

Run by ctest, which passes the programs' paths in QUILLFIX_REPORT and
QUILLFIX (and the base Wine prefix in QUILLFIX_WINE_BASE).
"""

import os
import pty
import pwd
import resource
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

from quillfix_e2e_test import HEADER, OTHER, VARLO, VARLOPLUS, section
import winetest

REPORT = os.environ.get("QUILLFIX_REPORT", "")
QUILLFIX = os.environ.get("QUILLFIX", "")

VARLO_KEY = "HKEY_CURRENT_USER\\SOFTWARE\\Corvane\\Varlo 6.8"
VARLOPLUS_KEY = "HKEY_CURRENT_USER\\SOFTWARE\\Corvane\\VarloPlus 6.8"
NOT_INSTALLED = ": not installed"
PATCHED = ": installed, Preferences\\Quillfix = 01"
MISSING = ": installed, Preferences\\Quillfix missing"

# user.reg texts: neither edition, Varlo without the value, VarloPlus
# without it, both patched, Varlo holding a REG_DWORD.
NONE = HEADER + OTHER
VARLO_ONLY = HEADER + section(VARLO, '"Edition"="std"')
VARLOPLUS_ONLY = HEADER + section(VARLOPLUS, '"Edition"="plus"')
BOTH_PATCHED = (HEADER + section(VARLO + "\\\\Preferences", '"Quillfix"=hex:01')
                + section(VARLOPLUS + "\\\\Preferences", '"Quillfix"=hex:01'))
VARLO_DWORD = HEADER + section(VARLO + "\\\\Preferences",
                               '"Quillfix"=dword:00000001')

# The edition lines the report gives for each.
LINES = {
    NONE: [VARLO_KEY + NOT_INSTALLED, VARLOPLUS_KEY + NOT_INSTALLED],
    VARLO_ONLY: [VARLO_KEY + MISSING, VARLOPLUS_KEY + NOT_INSTALLED],
    VARLOPLUS_ONLY: [VARLO_KEY + NOT_INSTALLED, VARLOPLUS_KEY + MISSING],
    BOTH_PATCHED: [VARLO_KEY + PATCHED, VARLOPLUS_KEY + PATCHED],
    VARLO_DWORD: [VARLO_KEY + ": installed, Preferences\\Quillfix = "
                  "REG_DWORD 01 00 00 00", VARLOPLUS_KEY + NOT_INSTALLED],
}


def lutris_game(name, prefix):
    """A game's configuration as Lutris' installer writes it."""
    return ("game:\n"
            "  exe: %s/drive_c/Program Files/Varlo/varlo.exe\n"
            "  prefix: %s\n"
            "game_slug: %s\n"
            "name: %s\n"
            "runner: wine\n"
            "slug: %s-1700000000\n"
            "system: {}\n"
            "wine:\n"
            "  version: lutris-GE-Proton8-26-x86_64\n"
            % (prefix, prefix, name, name, name))


def heroic_game(app, prefix):
    """GamesConfig/<app>.json as Heroic writes it."""
    return ('{\n  "%s": {\n    "autoInstallDxvk": true,\n'
            '    "winePrefix": "%s",\n'
            '    "wineVersion": {"bin": "/usr/bin/wine", "name": '
            '"Wine Default", "type": "wine"}\n  },\n'
            '  "version": "v0",\n  "explicit": true\n}\n' % (app, prefix))


def library_folders(*libraries):
    """steamapps/libraryfolders.vdf as Steam writes it."""
    text = '"libraryfolders"\n{\n'
    for number, path in enumerate(libraries):
        text += ('\t"%d"\n\t{\n\t\t"path"\t\t"%s"\n\t\t"label"\t\t""\n'
                 '\t\t"contentid"\t\t"4424185125254523371"\n'
                 '\t\t"totalsize"\t\t"0"\n\t\t"apps"\n\t\t{\n'
                 '\t\t\t"228980"\t\t"392374583"\n\t\t}\n\t}\n'
                 % (number, path))
    return text + "}\n"


def registry_path(prefix):
    """The prefix's path as the report's registry line names it: run by
    root, the real path (a symlink on the way is resolved once, so that it
    cannot lead elsewhere later)."""
    return os.path.realpath(prefix) if os.geteuid() == 0 else prefix


class Home:
    """A fixture home directory below `top`, and helpers to lay it out."""

    def __init__(self, top):
        self.top = top
        self.path = os.path.join(top, "home")
        os.makedirs(self.path)

    def at(self, relative):
        return os.path.join(self.path, relative)

    def prefix(self, relative, user_reg):
        """A prefix (a folder holding a user.reg, and a drive_c) at a path
        below the home or an absolute one; its path."""
        path = self.at(relative)
        os.makedirs(os.path.join(path, "drive_c"))
        with open(os.path.join(path, "user.reg"), "w") as f:
            f.write(user_reg)
        return path

    def file(self, relative, text):
        path = self.at(relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
        return path

    def link(self, target, relative):
        path = self.at(relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        os.symlink(target, path)


class HomeCase(unittest.TestCase):
    """A fixture home for each test, and the report run on it."""
    maxDiff = None

    def setUp(self):
        for program in (REPORT, QUILLFIX):
            if not os.path.isfile(program):
                self.fail("%r: no such program (QUILLFIX_REPORT, QUILLFIX)"
                          % program)
        self.top = tempfile.mkdtemp(prefix="quillfix-prefixes-")
        self.addCleanup(shutil.rmtree, self.top, ignore_errors=True)
        self.home = Home(self.top)

    def env(self, **extra):
        env = {k: v for k, v in os.environ.items() if k != "WINEPREFIX"}
        env["HOME"] = self.home.path
        env.update(extra)
        return env

    def run_report(self, *args, env=None, prefix_command=()):
        return subprocess.run([*prefix_command, REPORT, *args],
                              env=env or self.env(), capture_output=True,
                              stdin=subprocess.DEVNULL, timeout=600)

    def programs_on_path(self):
        """An environment with both programs on PATH by their names."""
        programs = os.path.join(self.top, "bin")
        os.makedirs(programs, exist_ok=True)
        for program, name in ((REPORT, "quillfix-report"),
                              (QUILLFIX, "quillfix")):
            link = os.path.join(programs, name)
            if not os.path.lexists(link):
                os.symlink(os.path.abspath(program), link)
        return self.env(PATH=programs + ":" + os.environ["PATH"])


class PrefixesTest(HomeCase):

    def every_maker(self):
        """A home with prefixes of every maker, duplicates and broken
        files. Returns the expected --all blocks (path, maker, user.reg)
        and the broken files."""
        h = self.home
        outside = os.path.join(self.top, "elsewhere")
        library = os.path.join(self.top, "SteamLibrary")
        blocks = []

        def add(path, maker, user_reg):
            blocks.append((path, maker, user_reg))
            return path

        wine = add(h.prefix(".wine", NONE), "Wine", NONE)
        add(h.prefix(".local/share/wineprefixes/vcrun2019", VARLOPLUS_ONLY),
            'winetricks "vcrun2019"', VARLOPLUS_ONLY)
        office = add(h.prefix(".local/share/bottles/bottles/Office",
                              VARLO_ONLY), 'Bottles "Office"', VARLO_ONLY)
        h.file(".local/share/bottles/bottles/Office/bottle.yml",
               "Name: Office\nArch: win64\n")
        h.file(".var/app/com.usebottles.bottles/data/bottles/data.yml",
               "custom_bottles_path: %s/bottles\n" % outside)
        add(h.prefix(outside + "/bottles/Work", BOTH_PATCHED),
            'Bottles "Work"', BOTH_PATCHED)
        add(h.prefix(outside + "/lutris-varlo", VARLO_DWORD),
            'Lutris "varlo"', VARLO_DWORD)
        h.file(".config/lutris/games/varlo-1700000000.yml",
               lutris_game("varlo", outside + "/lutris-varlo"))
        # A Lutris game installed into the bottle, a broken game file, a
        # symlink in ~/Games to ~/.wine: each prefix is listed once.
        h.file(".config/lutris/games/office-1700000001.yml",
               lutris_game("office", office))
        broken_yaml = h.file(".config/lutris/games/broken-1.yml",
                             "game:\n  prefix: [/unclosed\n")
        h.link(wine, "Games/old-wine")
        add(h.prefix("Games/varlo-lutris", NONE), 'Lutris "varlo-lutris"',
            NONE)
        add(h.prefix("Games/Heroic/Prefixes/default/Fortnite", VARLO_ONLY),
            'Heroic "Fortnite"', VARLO_ONLY)
        h.file(".config/heroic/GamesConfig/Fortnite.json",
               heroic_game("Fortnite",
                           h.at("Games/Heroic/Prefixes/default/Fortnite")))
        broken_json = h.file(".config/heroic/GamesConfig/Broken.json",
                             '{"Broken": {"winePrefix": ')
        add(h.prefix("Games/Heroic/Prefixes/default/Other", NONE),
            'Heroic "Other"', NONE)
        add(h.prefix(".PlayOnLinux/wineprefix/Varlo", VARLO_ONLY),
            'PlayOnLinux "Varlo"', VARLO_ONLY)
        add(h.prefix(".cxoffice/Varlo Bottle", NONE),
            'CrossOver "Varlo Bottle"', NONE)
        # Steam: ~/.steam/steam leads to ~/.local/share/Steam, whose
        # libraryfolders.vdf names itself and a second library; the
        # flatpak'd Steam's file is broken.
        h.file(".local/share/Steam/steamapps/libraryfolders.vdf",
               library_folders(h.at(".local/share/Steam"), library))
        h.link(h.at(".local/share/Steam"), ".steam/steam")
        add(h.prefix(".local/share/Steam/steamapps/compatdata/228980/pfx",
                     NONE).replace(".local/share/Steam", ".steam/steam"),
            "Steam app 228980", NONE)
        add(h.prefix(library + "/steamapps/compatdata/12345/pfx", VARLO_ONLY),
            "Steam app 12345", VARLO_ONLY)
        broken_vdf = h.file(
            ".var/app/com.valvesoftware.Steam/.local/share/Steam/steamapps/"
            "libraryfolders.vdf", '"libraryfolders"\n{\n\t"0"\n\t{\n')
        add(h.prefix(".var/app/org.winehq.Wine/data/wine", VARLOPLUS_ONLY),
            "Wine (flatpak)", VARLOPLUS_ONLY)
        return blocks, [broken_yaml, broken_json, broken_vdf]

    def expected_all(self, blocks, patched=False):
        """The --all output of every_maker's blocks; after quillfix ran on
        each, when `patched`."""
        lines = []
        for path, maker, user_reg in blocks:
            lines.append("prefix: %s (%s)" % (path, maker))
            for line in LINES[user_reg]:
                key, state = line.split(": ", 1)
                if patched and state.startswith("installed"):
                    line = key + PATCHED
                lines.append(line)
            lines.append("registry: %s/user.reg" % registry_path(path))
        return "".join(line + "\n" for line in lines)

    def assertSkipped(self, stderr, broken):
        """Each broken file named once on standard error, and nothing else."""
        lines = stderr.decode().splitlines()
        self.assertEqual(len(broken), len(lines), stderr)
        for path, line in zip(sorted(broken), sorted(lines)):
            self.assertTrue(line.startswith("quillfix-report: %s: " % path),
                            line)
            self.assertTrue(line.endswith(" (skipped)"), line)

    def test_every_maker_listed_then_patched(self):
        blocks, broken = self.every_maker()
        result = self.run_report("--all")
        self.assertEqual(self.expected_all(blocks), result.stdout.decode())
        self.assertSkipped(result.stderr, broken)
        self.assertEqual(1, result.returncode)

        installed = [path for path, _, user_reg in blocks if user_reg != NONE]
        listed = self.run_report("--list")
        self.assertEqual("".join(p + "\n" for p in installed),
                         listed.stdout.decode())
        self.assertSkipped(listed.stderr, broken)
        self.assertEqual(0, listed.returncode)
        nul = self.run_report("--list", "-0")
        self.assertEqual("".join(p + "\0" for p in installed),
                         nul.stdout.decode())

        # The loop of the manual page, with both programs on PATH.
        env = self.programs_on_path()
        loop = subprocess.run(
            ["sh", "-c", 'quillfix-report --list | while IFS= read -r p; do '
             'WINEPREFIX="$p" quillfix; done'],
            env=env, capture_output=True, stdin=subprocess.DEVNULL,
            timeout=600)
        self.assertEqual(0, loop.returncode, loop.stderr)

        after = self.run_report("--all")
        self.assertEqual(self.expected_all(blocks, patched=True),
                         after.stdout.decode())
        self.assertEqual(0, after.returncode, after.stderr)
        again = self.run_report("--list")
        self.assertEqual(listed.stdout, again.stdout)

    def test_a_prefix_that_cannot_be_read(self):
        """Status 2 with the reason, the other prefixes still reported."""
        h = self.home
        good = h.prefix(".wine", BOTH_PATCHED)
        bad = h.prefix(".local/share/wineprefixes/old",
                       "WINE REGISTRY Version 1\n")
        unpatched = h.prefix(".cxoffice/b", VARLO_ONLY)
        result = self.run_report("--all")
        self.assertEqual(
            "prefix: %s (Wine)\n%s\n%s\nregistry: %s/user.reg\n"
            "prefix: %s (winetricks \"old\")\n"
            "prefix: %s (CrossOver \"b\")\n%s\n%s\nregistry: %s/user.reg\n"
            % (good, *LINES[BOTH_PATCHED], good, bad, unpatched,
               *LINES[VARLO_ONLY], unpatched), result.stdout.decode())
        self.assertEqual(
            "quillfix-report: %s/user.reg: Wine would not load this file "
            "(user.reg:1: not a valid registry file)\n" % bad,
            result.stderr.decode())
        self.assertEqual(2, result.returncode)

        listed = self.run_report("--list")
        self.assertEqual("%s\n%s\n" % (good, unpatched),
                         listed.stdout.decode())
        self.assertEqual(result.stderr, listed.stderr)
        self.assertEqual(2, listed.returncode)

    def test_no_prefix_at_all(self):
        self.home.prefix(".wine-not-a-place", VARLO_ONLY)
        os.makedirs(self.home.at(".local/share/bottles/bottles/empty"))
        for args in (["--all"], ["--list"], ["--list", "-0"]):
            with self.subTest(args):
                result = self.run_report(*args)
                self.assertEqual(b"", result.stdout)
                self.assertEqual("quillfix-report: no Wine prefix found for "
                                 "%s\n" % self.home.path,
                                 result.stderr.decode())
                self.assertEqual(2, result.returncode)

    def test_wineprefix_is_looked_at_first(self):
        chosen = self.home.prefix(os.path.join(self.top, "chosen"),
                                  VARLO_ONLY)
        wine = self.home.prefix(".wine", NONE)
        result = self.run_report("--all", env=self.env(WINEPREFIX=chosen))
        self.assertEqual(
            "prefix: %s (Wine (WINEPREFIX))\n%s\n%s\nregistry: %s/user.reg\n"
            "prefix: %s (Wine)\n%s\n%s\nregistry: %s/user.reg\n"
            % (chosen, *LINES[VARLO_ONLY], chosen, wine, *LINES[NONE], wine),
            result.stdout.decode())
        self.assertEqual(1, result.returncode)

    def test_plain_report_names_the_other_prefixes(self):
        """Each case: WINEPREFIX (None: unset, ~/.wine), what the others
        hold, the plain report's status and the lines on standard error."""
        h = self.home
        wine = h.prefix(".wine", NONE)
        bottle = h.prefix(".local/share/bottles/bottles/It's here",
                          VARLO_ONLY)
        steam = h.prefix(".local/share/Steam/steamapps/compatdata/5/pfx",
                         BOTH_PATCHED)
        h.prefix(".cxoffice/none", NONE)
        missing = os.path.join(self.top, "missing")
        hint = ("quillfix-report: Varlo is installed in other Wine prefixes; "
                "to patch each: WINEPREFIX='%s' quillfix; WINEPREFIX=%s "
                "quillfix\n" % (bottle.replace("'", "'\\''"), steam))
        cases = [
            ("~/.wine holds no edition", None, 0, hint),
            ("no prefix there", missing, 2,
             "quillfix-report: no Wine prefix at %s (lstat %s/user.reg: No "
             "such file or directory)\n" % (missing, missing) + hint),
            ("the prefix holds an edition", bottle, 1, ""),
        ]
        for name, prefix, status, stderr in cases:
            with self.subTest(name):
                env = self.env(**({"WINEPREFIX": prefix} if prefix else {}))
                result = self.run_report(env=env)
                self.assertEqual(stderr, result.stderr.decode())
                self.assertEqual(status, result.returncode)
        # With nothing elsewhere, nothing more is said.
        shutil.rmtree(self.home.at(".local"))
        result = self.run_report()
        self.assertEqual(b"", result.stderr)
        self.assertEqual("%s\n%s\nregistry: %s/user.reg\n"
                         % (*LINES[NONE], wine), result.stdout.decode())

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"),
                         "needs root and setpriv to act as another user")
    def test_another_users_home(self):
        """Run as the home's owner, places it cannot read are skipped
        silently; run by root on that home, the report becomes its owner
        before reading anything there, and so skips them too."""
        os.chmod(self.top, 0o755)
        h = self.home
        h.prefix(".wine", VARLO_ONLY)
        visible = h.prefix(".local/share/bottles/bottles/Mine", VARLO_ONLY)
        # Root's, inside the user's home: a manager's folder and a game file.
        hidden = h.prefix(".cxoffice/Root", VARLO_ONLY)
        elsewhere = h.prefix(os.path.join(self.top, "root-only/p"),
                             VARLO_ONLY)
        game = h.file(".config/lutris/games/root-1.yml",
                      lutris_game("root", elsewhere))
        with winetest.test_account(h.path) as (uid, gid, _):
            for dirpath, dirnames, filenames in os.walk(self.top):
                for name in dirnames + filenames:
                    os.lchown(os.path.join(dirpath, name), uid, gid)
            os.chown(self.top, 0, 0)
            for path in (h.at(".cxoffice"), hidden,
                         os.path.join(self.top, "root-only")):
                os.chown(path, 0, 0)
                os.chmod(path, 0o700)
            os.chown(game, 0, 0)
            os.chmod(game, 0o600)
            # Nothing of root's may show.
            expected = "%s\n%s\n" % (h.at(".wine"), visible)
            as_owner = self.run_report(
                "--list", prefix_command=winetest.as_user(uid, gid))
            as_root = self.run_report("--list")
            for name, result in (("owner", as_owner), ("root", as_root)):
                with self.subTest(name):
                    self.assertEqual(expected, result.stdout.decode())
                    self.assertEqual(b"", result.stderr)
                    self.assertEqual(0, result.returncode)

            # A home another user could swap: root reads nothing there.
            os.chmod(self.top, 0o777)
            refused = self.run_report("--all")
            self.assertEqual(b"", refused.stdout)
            self.assertEqual(
                "quillfix-report: not acting on %s: %s: others may write "
                "to it\n" % (h.path, self.top), refused.stderr.decode())
            self.assertEqual(2, refused.returncode)
            os.chmod(self.top, 0o755)


class OddNamesTest(HomeCase):
    """Names a terminal or a line-by-line reader would take for something
    else, write errors, a file too large for memory, held locks."""

    def odd_bottles(self):
        """Bottles named with a line end and with an escape sequence, and
        a plain one, each holding Varlo unpatched; their paths."""
        base = ".local/share/bottles/bottles/"
        return [self.home.prefix(base + name, VARLO_ONLY)
                for name in ("\x1b[31mred", "new\nline", "plain")]

    def test_names_escaped_for_people_and_whole_for_scripts(self):
        red, newline, plain = self.odd_bottles()
        quoted_red = "$'%s/\\033[31mred'" % os.path.dirname(red)
        quoted_newline = "$'%s/new\\nline'" % os.path.dirname(newline)
        result = self.run_report("--all")
        self.assertEqual(
            "prefix: %s (Bottles \"\\033[31mred\")\n%s\n%s\n"
            "registry: %s/user.reg'\n"
            "prefix: %s (Bottles \"new\\nline\")\n%s\n%s\n"
            "registry: %s/user.reg'\n"
            "prefix: %s (Bottles \"plain\")\n%s\n%s\n"
            "registry: %s/user.reg\n"
            % (quoted_red, *LINES[VARLO_ONLY], quoted_red[:-1],
               quoted_newline, *LINES[VARLO_ONLY], quoted_newline[:-1],
               plain, *LINES[VARLO_ONLY], plain), result.stdout.decode())
        self.assertEqual(1, result.returncode, result.stderr)

        # Every line a whole path; the one a line cannot carry is named
        # on standard error, and the status says something was left out.
        listed = self.run_report("--list")
        self.assertEqual(("%s\n%s\n" % (red, plain)).encode(), listed.stdout)
        self.assertEqual(
            "quillfix-report: %s: not listed: its name holds a line end; "
            "--list -0 lists it\n" % quoted_newline, listed.stderr.decode())
        self.assertEqual(2, listed.returncode)
        nul = self.run_report("--list", "-0")
        self.assertEqual(("%s\0%s\0%s\0" % (red, newline, plain)).encode(),
                         nul.stdout)
        self.assertEqual(0, nul.returncode, nul.stderr)

        # The hint names each in a form a shell reads back as the path.
        hint = self.run_report(env=self.env(WINEPREFIX=os.path.join(
            self.top, "missing")))
        self.assertIn("WINEPREFIX=%s quillfix; WINEPREFIX=%s quillfix; "
                      "WINEPREFIX=%s quillfix\n" % (quoted_red,
                                                     quoted_newline, plain),
                      hint.stderr.decode())

        # The manual page's loop for any name patches all three.
        loop = subprocess.run(
            ["bash", "-c", "quillfix-report --list -0 | while IFS= read -r "
             "-d '' p; do WINEPREFIX=\"$p\" quillfix; done"],
            env=self.programs_on_path(), capture_output=True,
            stdin=subprocess.DEVNULL, timeout=600)
        self.assertEqual(0, loop.returncode, loop.stderr)
        after = self.run_report("--all")
        self.assertEqual(0, after.returncode, after.stderr)
        for path in (red, newline, plain):
            with open(os.path.join(path, "user.reg")) as f:
                self.assertIn('"Quillfix"=hex:01', f.read())

    def test_output_that_cannot_be_written_is_an_error(self):
        plain = self.odd_bottles()[2]
        modes = [["--all"], ["--list"], ["--list", "-0"], []]
        for args in modes:
            with self.subTest(args=args, to="/dev/full"):
                env = self.env(WINEPREFIX=plain) if not args else None
                with open("/dev/full", "w") as full:
                    result = subprocess.run(
                        [REPORT, *args], env=env or self.env(), stdout=full,
                        stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                        timeout=600)
                self.assertIn("quillfix-report: write error: No space left "
                              "on device\n", result.stderr.decode())
                self.assertEqual(2, result.returncode)
            with self.subTest(args=args, to="a closed pipe"):
                read_end, write_end = os.pipe()
                os.close(read_end)
                result = subprocess.run(
                    [REPORT, *args], env=env or self.env(), stdout=write_end,
                    stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                    timeout=600)
                os.close(write_end)
                self.assertIn("quillfix-report: write error: Broken pipe\n",
                              result.stderr.decode())
                self.assertEqual(2, result.returncode)

    def test_a_closing_count_on_a_terminal_only(self):
        h = self.home
        h.prefix(".wine", BOTH_PATCHED)
        h.prefix(".local/share/wineprefixes/a", VARLO_ONLY)
        h.prefix(".local/share/wineprefixes/b", NONE)
        h.prefix(".local/share/wineprefixes/c", "WINE REGISTRY Version 1\n")
        h.prefix(".cxoffice/d", VARLOPLUS_ONLY)
        closing = ("5 prefixes: 1 patched, 2 not patched, 1 with no edition, "
                   "1 unreadable")
        master, slave = pty.openpty()
        result = subprocess.run([REPORT, "--all"], env=self.env(),
                                stdout=slave, stderr=subprocess.PIPE,
                                stdin=subprocess.DEVNULL, timeout=600)
        os.close(slave)
        shown = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # EIO: the terminal's other side is closed
                break
            if not chunk:
                break
            shown += chunk
        os.close(master)
        lines = shown.decode().replace("\r\n", "\n").splitlines()
        self.assertEqual(closing, lines[-1])
        self.assertEqual(1, sum(line == closing for line in lines))
        self.assertEqual(2, result.returncode)
        for args in (["--all"], ["--list"]):
            piped = self.run_report(*args)
            self.assertNotIn(b"prefixes:", piped.stdout)

    @unittest.skipIf(os.environ.get("QUILLFIX_SANITIZED") == "1",
                     "AddressSanitizer reserves more address space than the "
                     "limit allows")
    def test_a_user_reg_too_large_for_memory(self):
        """A valid first line, then 64 GiB of holes, under a 4 GiB limit of
        address space: the report and --all give the reason, quillfix
        writes nothing and ends as for any registry it cannot load."""
        h = self.home
        huge = h.prefix(".wine", HEADER)
        with open(os.path.join(huge, "user.reg"), "r+") as f:
            f.truncate(64 << 30)
        other = h.prefix(".cxoffice/b", VARLO_ONLY)

        def limited():
            limit = 4 << 30
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

        def run(program, *args, **extra):
            return subprocess.run([program, *args], env=self.env(**extra),
                                  capture_output=True, preexec_fn=limited,
                                  stdin=subprocess.DEVNULL, timeout=600)

        reason = ("quillfix-report: cannot read %s/user.reg (%d bytes, more "
                  "than this run has memory for)\n" % (huge, 64 << 30))
        plain = run(REPORT, WINEPREFIX=huge)
        self.assertEqual(b"", plain.stdout)
        self.assertTrue(plain.stderr.decode().startswith(reason),
                        plain.stderr)
        self.assertEqual(2, plain.returncode)
        every = run(REPORT, "--all")
        self.assertEqual(
            "prefix: %s (Wine)\nprefix: %s (CrossOver \"b\")\n%s\n%s\n"
            "registry: %s/user.reg\n" % (huge, other, *LINES[VARLO_ONLY],
                                         other), every.stdout.decode())
        self.assertEqual(reason, every.stderr.decode())
        self.assertEqual(2, every.returncode)
        before = os.stat(os.path.join(huge, "user.reg"))
        patch = run(QUILLFIX, WINEPREFIX=huge)
        self.assertEqual(0, patch.returncode, patch.stderr)
        self.assertEqual(b"", patch.stdout + patch.stderr)
        after = os.stat(os.path.join(huge, "user.reg"))
        self.assertEqual((before.st_size, before.st_mtime_ns, before.st_ino),
                         (after.st_size, after.st_mtime_ns, after.st_ino))

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"),
                         "needs root and setpriv to act as another user")
    def test_locks_held_by_a_third_account(self):
        """Another account holds the flock on four prefixes: each is
        reported with its reason after its wait, and the waits of the whole
        listing end within its limit of 30 s."""
        os.chmod(self.top, 0o755)
        paths = [self.home.prefix(".local/share/wineprefixes/p%d" % i,
                                  VARLO_ONLY) for i in range(4)]
        free = self.home.prefix(".wine", VARLO_ONLY)
        uid, gid = winetest.unused_ids()
        holder = subprocess.Popen(
            [*winetest.as_user(uid, gid), sys.executable, "-c",
             "import fcntl, os, sys, time\n"
             "fds = [os.open(p, os.O_RDONLY) for p in sys.argv[1:]]\n"
             "[fcntl.flock(fd, fcntl.LOCK_EX) for fd in fds]\n"
             "print('held', flush=True)\n"
             "time.sleep(600)\n", *paths],
            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        self.addCleanup(holder.stdout.close)
        self.addCleanup(holder.wait)
        self.addCleanup(holder.kill)
        self.assertEqual(b"held\n", holder.stdout.readline())
        start = time.monotonic()
        listed = self.run_report("--list")
        took = time.monotonic() - start
        self.assertEqual(free + "\n", listed.stdout.decode())
        lines = listed.stderr.decode().splitlines()
        self.assertEqual(4, len(lines), listed.stderr)
        for path, line in zip(paths, lines):
            self.assertTrue(line.startswith(
                "quillfix-report: cannot tell whether Wine runs for %s: "
                "flock %s: held by another process for " % (path, path)),
                line)
        self.assertTrue(lines[-1].endswith(
            " 0 s (the run's time for waits is spent)"), lines[-1])
        self.assertEqual(2, listed.returncode)
        self.assertLess(took, 40)
        self.assertGreaterEqual(took, 29)

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"),
                         "needs root and setpriv to act as other users")
    def test_what_the_caller_may_not_look_into_is_named(self):
        """A user's game prefix whose server directory in /tmp another
        user made, and the user may not look into: the reason names that
        directory and its owner. (A prefix of another user's is only read:
        its server is not looked for.)"""
        os.chmod(self.top, 0o755)
        uid, gid = winetest.unused_ids()
        other = uid + 1
        self.assertRaises(KeyError, pwd.getpwuid, other)
        servers = "/tmp/.wine-%d" % uid
        if os.path.lexists(servers):
            self.skipTest(servers + " is there already")
        prefix = self.home.prefix(os.path.join(self.top, "mine"),
                                  VARLO_ONLY)
        self.home.file(".config/lutris/games/mine-1.yml",
                       lutris_game("mine", prefix))
        for top in (self.home.path, prefix):
            for dirpath, dirnames, filenames in os.walk(top):
                for name in [dirpath] + [os.path.join(dirpath, n)
                                         for n in dirnames + filenames]:
                    os.lchown(name, uid, gid)
        os.mkdir(servers, 0o700)
        os.chown(servers, other, other)
        self.addCleanup(shutil.rmtree, servers, ignore_errors=True)
        result = self.run_report("--list",
                                 prefix_command=winetest.as_user(uid, gid))
        self.assertEqual(b"", result.stdout)
        self.assertEqual(
            "quillfix-report: cannot tell whether Wine runs for %s: %s "
            "belongs to user %d; not readable by this user\n"
            % (prefix, servers, other), result.stderr.decode())
        self.assertEqual(2, result.returncode)

    @unittest.skipUnless(os.geteuid() == 0, "needs root to run for a user")
    def test_a_home_of_a_user_without_an_account(self):
        """Root on a home whose owner has no account: the reason, once."""
        os.chmod(self.top, 0o755)
        self.home.prefix(".wine", VARLO_ONLY)
        uid, gid = winetest.unused_ids()
        os.chown(self.home.path, uid, gid)
        result = self.run_report("--all")
        self.assertEqual(b"", result.stdout)
        self.assertRegex(result.stderr.decode(),
                         r"\Aquillfix-report: not acting on %s: [^\n]*user "
                         r"id %d[^\n]*\n\Z" % (self.home.path, uid))
        self.assertEqual(1, result.stderr.decode().count("not acting on"))
        self.assertEqual(2, result.returncode)


@winetest.skip_without_wine
class RunningWineTest(unittest.TestCase):
    """A prefix among the others that a wineserver serves: read, and
    patched, through that server."""
    maxDiff = None

    def test_read_and_patched_through_the_server(self):
        with tempfile.TemporaryDirectory(prefix="quillfix-prefixes-") as top, \
                winetest.copy_prefix() as prefix:
            home = Home(top)
            home.prefix(".wine", NONE)
            home.file(".config/lutris/games/running-1.yml",
                      lutris_game("running", prefix.path))
            prefix.start_persistent_server()
            prefix.reg_add(winetest.VARLO, "Edition", "REG_SZ", "std")
            env = {k: v for k, v in os.environ.items() if k != "WINEPREFIX"}
            env.update(HOME=home.path, WINEDEBUG="-all")
            env.pop("DISPLAY", None)

            def run(*args):
                return subprocess.run([REPORT, *args], env=env,
                                      capture_output=True,
                                      stdin=subprocess.DEVNULL, timeout=600)

            before = run("--all")
            block = ("prefix: %s (Lutris \"running\")\n%s\n%s\n"
                     "registry: running Wine of %s\n")
            wine = home.at(".wine")
            head = "prefix: %s (Wine)\n%s\n%s\nregistry: %s/user.reg\n" % (
                wine, *LINES[NONE], wine)
            self.assertEqual(
                head + block % (prefix.path, VARLO_KEY + MISSING,
                                VARLOPLUS_KEY + NOT_INSTALLED, prefix.path),
                before.stdout.decode(), before.stderr)
            self.assertEqual(1, before.returncode)
            listed = run("--list")
            self.assertEqual(prefix.path + "\n", listed.stdout.decode())

            patch = subprocess.run([QUILLFIX], env=dict(env,
                                                         WINEPREFIX=prefix.path),
                                   capture_output=True,
                                   stdin=subprocess.DEVNULL, timeout=600)
            self.assertEqual(0, patch.returncode, patch.stderr)
            after = run("--all")
            self.assertEqual(
                head + block % (prefix.path, VARLO_KEY + PATCHED,
                                VARLOPLUS_KEY + NOT_INSTALLED, prefix.path),
                after.stdout.decode(), after.stderr)
            self.assertEqual(0, after.returncode)


if __name__ == "__main__":
    unittest.main()
