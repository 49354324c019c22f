"""Round trips between the registry service and the real Wine, on copies of
a prefix made by wineboot: what the service writes, Wine reads back with the
same types and bytes; what Wine wrote, the service finds; a write changes
only the sections of the keys it touches; while a wineserver serves the
prefix, writes go to that server and not to the file.

The service is driven through regdriver, whose path ctest passes in
REGDRIVER.
"""

import difflib
import os
import subprocess
import tempfile
import unittest

import winetest

REGDRIVER = os.environ.get("REGDRIVER", "")

def regdriver(prefix, *operations):
    """Runs regdriver in code page 1252 on the prefix; returns (exit
    status, [(operation, result, details)]). Arguments may be bytes."""
    result = subprocess.run([REGDRIVER, "--codepage", "1252", *operations],
                            env=dict(os.environ, WINEPREFIX=prefix.path),
                            capture_output=True, timeout=60)
    if result.returncode not in (0, 1):
        raise AssertionError("regdriver: %r" % result.stderr)
    lines = []
    for line in result.stdout.decode("latin-1").splitlines():
        op, code, *rest = line.split(" ", 2)
        lines.append((op, int(code), rest[0] if rest else ""))
    return result.returncode, lines


def section_of_each_line(lines):
    """The section header each line belongs to ('' before the first);
    blank lines belong to no section."""
    owners = []
    current = ""
    for line in lines:
        if line.startswith(b"["):
            current = line[:line.rindex(b"]") + 1].decode("ascii")
        owners.append(None if line.strip() == b"" else current)
    return owners


def changed_sections(before, after):
    """Headers of the sections whose lines differ between two user.reg
    texts (the old and the new sections of a changed key both count)."""
    a, b = before.split(b"\n"), after.split(b"\n")
    owners_a, owners_b = section_of_each_line(a), section_of_each_line(b)
    matcher = difflib.SequenceMatcher(None, a, b, autojunk=False)
    changed = set()
    for tag, i1, i2, j1, j2 in matcher.get_opcodes():
        if tag == "equal":
            continue
        changed.update(o for o in owners_a[i1:i2] if o is not None)
        changed.update(o for o in owners_b[j1:j2] if o is not None)
    return changed


def section_text(text, header):
    """The lines of the section that starts with `header` (bytes), up to
    the next blank line or header, times masked."""
    lines = text.split(b"\n")
    for i, line in enumerate(lines):
        if line.startswith(header + b" ") or line == header:
            end = i + 1
            while end < len(lines) and lines[end].strip() and \
                    not lines[end].startswith(b"["):
                end += 1
            return winetest.mask_times(
                b"\n".join(lines[i:end]).decode("ascii"))
    return None


def utf16z(text):
    return (text + "\0").encode("utf-16-le")


# (name as passed, type, data as passed, name as Wine shows it, type and
# bytes Wine must hold).
VALUES = [
    (b"Flag", 3, "01", "Flag", 3, b"\x01"),
    (b"Count", 4, "2a000000", "Count", 4, b"\x2a\0\0\0"),
    (b"Odd dword", 4, "010203", "Odd dword", 4, b"\x01\x02\x03"),
    (b"Text", 1, "61628000", "Text", 1, utf16z("ab\u20ac")),
    (b"Expand", 2, "25504154482500", "Expand", 2, utf16z("%PATH%")),
    (b"Multi", 7, "6100e90000", "Multi", 7, "a\0\u00e9\0\0".encode(
        "utf-16-le")),
    (b"No NUL", 1, "6162", "No NUL", 1, "ab".encode("utf-16-le")),
    (b"Quad", 11, "8967452301000000", "Quad", 11,
     bytes.fromhex("8967452301000000")),
    (b"Custom", 0x12345, "dead", "Custom", 0x12345, b"\xde\xad"),
    (b"Nothing", 0, "-", "Nothing", 0, b""),
    (b"q\"uote\\back[br]", 3, "ff", "q\"uote\\back[br]", 3, b"\xff"),
    (b"Long", 3, bytes(range(100)).hex(), "Long", 3, bytes(range(100))),
    (b"Caf\xe9", 1, "e974e900", "Caf\u00e9", 1, utf16z("\u00e9t\u00e9")),
    (b"-", 1, "64656600", "", 1, utf16z("def")),
]


@unittest.skipUnless(REGDRIVER, "REGDRIVER not set")
@winetest.skip_without_wine
class RoundTripTest(unittest.TestCase):
    maxDiff = None

    def test_service_writes_wine_reads(self):
        with winetest.copy_prefix() as prefix:
            before = prefix.read_user_reg()
            operations = [b"create", b"Software\\Quillfix Test\\Caf\xe9"]
            for name, reg_type, data, *_ in VALUES:
                operations += [b"set", name, str(reg_type).encode(),
                               data.encode()]
            operations += [b"close", b"create",
                           b"Software\\Quillfix Test\\Plain",
                           b"set", b"Flag", b"3", b"0102",
                           b"set", b"Count", b"4", b"07000000", b"close"]
            status, lines = regdriver(prefix, *operations)
            self.assertEqual(0, status, lines)
            after = prefix.read_user_reg()

            self.assertEqual(
                {"[Software\\\\Quillfix Test\\\\Caf\\xe9]",
                 "[Software\\\\Quillfix Test\\\\Plain]"},
                changed_sections(before, after))

            log = os.path.join(prefix.path, "server.log")
            prefix.start_persistent_server(log)
            exported = winetest.parse_reg_export(
                prefix.reg_export("HKCU\\Software\\Quillfix Test"))
            queried = prefix.reg_query("HKCU\\Software\\Quillfix Test\\Plain")
            prefix.stop()
            with open(log, "rb") as f:
                self.assertNotIn(b"user.reg", f.read())

            # reg export shows a string without NUL and a DWORD that is not
            # four bytes long as if they were regular; Wine's own rewrite of
            # the file below checks their bytes.
            lossy = {"No NUL", "Odd dword"}
            values = exported[
                "HKEY_CURRENT_USER\\Software\\Quillfix Test\\Caf\u00e9"]
            expected = {shown: (reg_type, data) for _, _, _, shown, reg_type,
                        data in VALUES if shown not in lossy}
            self.assertEqual(expected, {name: value for name, value
                                        in values.items()
                                        if name not in lossy})

            # The server rewrote user.reg from what it loaded, in its own
            # form: our sections come back unchanged.
            rewritten = prefix.read_user_reg()
            self.assertNotEqual(after, rewritten)
            for header in (b"[Software\\\\Quillfix Test\\\\Caf\\xe9]",
                           b"[Software\\\\Quillfix Test\\\\Plain]"):
                ours = section_text(after, header)
                self.assertIsNotNone(ours, header)
                self.assertEqual(ours, section_text(rewritten, header))
            self.assertEqual({"Flag": ("REG_BINARY", "0102"),
                              "Count": ("REG_DWORD", "0x7")}, queried)

    def test_wine_writes_service_finds(self):
        with winetest.copy_prefix() as prefix:
            prefix.start_persistent_server()
            key = "HKCU\\Software\\From Wine\\\u00e9t\u00e9"
            prefix.reg_add(key, "Flag", "REG_BINARY", "0102")
            prefix.reg_add(key, "Longer name", "REG_SZ", "abc")
            prefix.stop()  # the server saves user.reg as it exits

            status, lines = regdriver(
                prefix, b"open", b"software\\FROM WINE\\\xc9T\xc9", b"query",
                b"close")
            self.assertEqual(0, status, lines)
            query = dict(item.split("=") for item in lines[1][2].split())
            self.assertEqual("2", query["values"])
            self.assertEqual("11", query["max_value_name"])
            self.assertEqual("8", query["max_value"])  # "abc" in UTF-16
            self.assertEqual("0", query["subkeys"])

            # The service's write into that key keeps Wine's spelling.
            status, lines = regdriver(
                prefix, b"create", b"SOFTWARE\\from wine\\\xc9T\xc9",
                b"set", b"FLAG", b"3", b"ff", b"close")
            self.assertEqual(0, status, lines)
            text = prefix.read_user_reg()
            self.assertIn(b"[Software\\\\From Wine\\\\\\xe9t\\xe9]", text)
            self.assertIn(b'"Flag"=hex:ff\n', text)
            self.assertNotIn(b"FLAG", text)

    def test_writes_go_to_the_running_server_not_to_the_file(self):
        with winetest.copy_prefix() as prefix:
            # Give the prefix a key of its own first, so that the writes
            # below include a change to an existing key.
            status, lines = regdriver(prefix, b"create", b"Software\\Mine",
                                      b"close")
            self.assertEqual(0, status, lines)
            prefix.start_persistent_server()
            before = prefix.read_user_reg()
            # A value only the server holds: a save of the server's carries
            # it, a write of the file by the driver would not. The server
            # saves 30 s after something changed, which a slow machine may
            # reach within the run.
            prefix.reg_add("HKCU\\Software\\Server only", "Marker", "REG_SZ",
                           "1")

            status, lines = regdriver(
                prefix, b"create", b"Software\\Served",
                b"open", b"Software\\Mine", b"set", b"Flag", b"3", b"01",
                b"create", b"Software\\Mine", b"query", b"close", b"close")
            self.assertEqual(0, status, lines)
            self.assertEqual(
                ["create", "open", "set", "create", "query", "close",
                 "close"], [op for op, _, _ in lines])
            # The run never writes the file itself.
            now = prefix.read_user_reg()
            if now != before:
                self.assertTrue(b'"Marker"="1"' in now,
                                "user.reg was written, not by the server")
            self.assertEqual(
                {"Flag": ("REG_BINARY", "01")},
                prefix.reg_query("HKCU\\Software\\Mine"))

            prefix.stop()
            text = prefix.read_user_reg()
            self.assertIn(b"[Software\\\\Served]", text)
            self.assertIn(b'"Flag"=hex:01\n', text)


if __name__ == "__main__":
    unittest.main()
