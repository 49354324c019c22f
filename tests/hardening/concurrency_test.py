"""Eight processes writing into one prefix at the same time, fifty saves
each; afterwards every one of the 400 values is in user.reg, and Wine loads
the file and reads all of them back.

Each writer is one regdriver (path in REGDRIVER) that opens a key, sets a
value and closes the key fifty times, so each of its writes is a save of
its own, racing the other seven. Even writes go to one key that all share,
odd ones to the writer's own key, made by its first write. The prefix is a
copy of the one wineboot made (tests/wine/winetest.py), in which Wine has
run once more and exited, as in any prefix in use: its server's folder and
lock file are there, and no server holds the lock.
"""

import os
import re
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "wine"))
import winetest  # noqa: E402

REGDRIVER = os.environ.get("REGDRIVER", "")
WRITERS = 8
WRITES = 50
SHARED = "Software\\Hardening\\Shared"
REG_DWORD = 4


def own_key(writer):
    return "Software\\Hardening\\Writer %d" % writer


def expected_values():
    """{key path: {value name: number}} of every write."""
    keys = {}
    for writer in range(WRITERS):
        for write in range(WRITES):
            key = SHARED if write % 2 == 0 else own_key(writer)
            keys.setdefault(key, {})["w%d-%02d" % (writer, write)] = \
                writer * 1000 + write
    return keys


def writer_operations(writer):
    operations = []
    for write in range(WRITES):
        key = SHARED if write % 2 == 0 else own_key(writer)
        number = writer * 1000 + write
        operations += ["create", key, "set", "w%d-%02d" % (writer, write),
                       str(REG_DWORD), number.to_bytes(4, "little").hex(),
                       "close"]
    return operations


def values_in_user_reg(text):
    """{key path: {value name: number}} of the dword values in the file's
    sections under Software\\Hardening."""
    keys = {}
    current = None
    for line in text.splitlines():
        if line.startswith("["):
            path = line[1:line.rindex("]")].replace("\\\\", "\\")
            current = keys.setdefault(path, {}) \
                if path.startswith("Software\\Hardening") else None
            continue
        match = re.match(r'^"([^"\\]*)"=dword:([0-9a-f]{8})$', line)
        if current is not None and match:
            current[match.group(1)] = int(match.group(2), 16)
    return keys


def values_in_reg_query(text):
    """The same from `wine reg query /s` output."""
    keys = {}
    current = None
    for line in text.splitlines():
        line = line.rstrip("\r")
        if line.startswith("HKEY_CURRENT_USER\\"):
            current = keys.setdefault(line[len("HKEY_CURRENT_USER\\"):], {})
            continue
        match = re.match(r"^    (\S+)    REG_DWORD    0x([0-9a-f]+)$", line)
        if current is not None and match:
            current[match.group(1)] = int(match.group(2), 16)
    return {key: values for key, values in keys.items() if values}


@unittest.skipUnless(REGDRIVER, "REGDRIVER not set")
@winetest.skip_without_wine
class ConcurrentWritersTest(unittest.TestCase):
    def test_no_write_is_lost_and_wine_reads_them_all(self):
        with winetest.copy_prefix() as prefix:
            prefix.wine("reg", "query", "HKCU\\Environment")
            prefix.settle()
            env = dict(os.environ, WINEPREFIX=prefix.path)
            writers = [subprocess.Popen(
                [REGDRIVER, *writer_operations(writer)], env=env,
                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                for writer in range(WRITERS)]
            for writer, process in enumerate(writers):
                out, err = process.communicate(timeout=300)
                self.assertEqual(0, process.returncode,
                                 "writer %d: %s %s" % (writer, out[-500:],
                                                       err[-500:]))
                # One line per operation, every one of them a success.
                self.assertEqual(["0"] * WRITES * 3,
                                 [line.split()[1]
                                  for line in out.decode().splitlines()])
            expected = expected_values()
            self.assertEqual(WRITERS * WRITES,
                             sum(len(v) for v in expected.values()))
            with open(prefix.user_reg, encoding="ascii") as f:
                self.assertEqual(expected, values_in_user_reg(f.read()))

            result = prefix.wine("reg", "query", "HKCU\\Software\\Hardening",
                                 "/s")
            self.assertEqual(expected, values_in_reg_query(
                result.stdout.decode("utf-8", "replace")))
            # The server reports lines of user.reg it could not read on its
            # standard error, which the wine call shares.
            self.assertNotIn(b"user.reg", result.stderr)


if __name__ == "__main__":
    unittest.main()
