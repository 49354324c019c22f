#!/usr/bin/env python3
"""Writes a realistic user.reg of about a given size, as Wine 8 would save it.

The file has Wine's header, a fresh prefix's top-level keys, and under
Software many vendors whose keys reach varied depths, holding every value
form Wine writes: plain, escaped and non-ASCII strings, str(2) and str(7),
dword, hex with continuation lines, hex(N) of odd types and lengths, the
default value, #class lines and #link keys. Keys and values are sorted the
way Wine sorts them when it saves, and a key gets a section only where Wine
would write one.

The product's two per-user roots, Software\\Corvane\\Varlo 6.8 and
Software\\Corvane\\VarloPlus 6.8, sit in the middle of the Software tree
(about half the vendors sort before Corvane), each with values and
subkeys but without Preferences. --without drops either or both.

The output depends only on the seed and the size.

Usage: gen_user_reg.py --size-mb 10 [--seed 1] [--without varlo]... -o FILE
"""

import argparse
import random
import re
import sys

HEADER = ("WINE REGISTRY Version 2\n"
          ";; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n"
          "\n"
          "#arch=win64\n")

REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD = 0, 1, 2, 3, 4
REG_MULTI_SZ, REG_QWORD = 7, 11

# FILETIME of 1970-01-01 in 100 ns units.
EPOCH_AS_FILETIME = 116444736000000000
BASE_TIME = 1796869137  # seconds; every key's time is a little before it

C_ESCAPES = {7: "a", 8: "b", 9: "t", 10: "n", 11: "v", 12: "f", 13: "r",
             27: "e"}
HEX_DIGITS = set(b"0123456789abcdefABCDEF")
PLAIN_TEXT = re.compile(r'[ !#-Z^-~]*\Z')  # printable ASCII but " [ \ ]


def utf16_units(text):
    data = text.encode("utf-16-le", "surrogatepass")
    return [data[i] | data[i + 1] << 8 for i in range(0, len(data), 2)]


def escape(text, specials):
    """Text as Wine's writer escapes it; `specials` are the characters that
    get a backslash besides the backslash itself ('"' for names and data,
    '[]' for key paths)."""
    if PLAIN_TEXT.match(text) and not any(c in text for c in specials):
        return text
    units = utf16_units(text)
    out = []
    for i, unit in enumerate(units):
        nxt = units[i + 1] if i + 1 < len(units) else None
        if unit > 127:
            if nxt is not None and nxt < 128 and nxt in HEX_DIGITS:
                out.append("\\x%04x" % unit)
            else:
                out.append("\\x%x" % unit)
        elif unit < 32:
            if unit in C_ESCAPES:
                out.append("\\" + C_ESCAPES[unit])
            elif nxt is not None and 0x30 <= nxt <= 0x37:
                out.append("\\%03o" % unit)
            else:
                out.append("\\%o" % unit)
        else:
            char = chr(unit)
            out.append("\\" + char if char == "\\" or char in specials
                       else char)
    return "".join(out)


def sort_key(name):
    """Wine's order of sibling names: each UTF-16 unit lowercased alone,
    compared as numbers, a prefix before the longer name."""
    key = []
    for unit in utf16_units(name):
        lower = chr(unit).lower() if unit < 0xd800 or unit > 0xdfff else ""
        key.append(ord(lower) if len(lower) == 1 else unit)
    return tuple(key)


def hex_lines(prefix, data):
    """`prefix` then the bytes, wrapped as Wine wraps them: after a comma
    that takes the line past column 76, a backslash and a new line
    indented by two."""
    out = [prefix]
    count = len(prefix)
    last = len(data) - 1
    for i, byte in enumerate(data):
        out.append("%02x" % byte)
        count += 2
        if i < last:
            out.append(",")
            count += 1
            if count > 76:
                out.append("\\\n  ")
                count = 2
    return "".join(out)


def string_units_ok(data):
    """Whether Wine writes this string data in quoted form."""
    return len(data) >= 2 and len(data) % 2 == 0 and data[-2:] == b"\0\0"


def value_line(name, value_type, data):
    prefix = "@=" if name == "" else '"%s"=' % escape(name, '"')
    if value_type in (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) and \
            string_units_ok(data):
        text = data[:-2].decode("utf-16-le", "surrogatepass")
        tag = {REG_SZ: "", REG_EXPAND_SZ: "str(2):",
               REG_MULTI_SZ: "str(7):"}[value_type]
        return '%s%s"%s"' % (prefix, tag, escape(text, '"'))
    if value_type == REG_DWORD and len(data) == 4:
        return "%sdword:%08x" % (prefix, int.from_bytes(data, "little"))
    tag = "hex:" if value_type == REG_BINARY else "hex(%x):" % value_type
    return hex_lines(prefix + tag, data)


def as_sz(text):
    return (text + "\0").encode("utf-16-le", "surrogatepass")


class Key:
    __slots__ = ("name", "values", "class_name", "link", "time", "children",
                 "text")

    def __init__(self, name, time):
        self.name = name
        self.values = {}        # sort key -> (name, type, data)
        self.class_name = None
        self.link = False
        self.time = time        # FILETIME
        self.children = {}      # sort key -> Key
        self.text = None        # this subtree's sections, once emitted

    def child(self, name, time):
        key = sort_key(name)
        if key not in self.children:
            self.children[key] = Key(name, time)
        return self.children[key]

    def set(self, name, value_type, data):
        self.values.setdefault(sort_key(name), [name, 0, b""])[1:] = \
            [value_type, data]

    def emit(self, path, out, spans=None):
        """Appends this key's section, if Wine writes one, then those of its
        subkeys, in Wine's order. Where `spans` holds this key, its value
        becomes the range of `out` that the key's subtree took."""
        if self.text is not None:
            out.append(self.text)
            return
        start = len(out)
        if self.values or not self.children or self.class_name is not None \
                or self.link:
            out.append("\n[%s] %d\n#time=%x\n" % (
                path, (self.time - EPOCH_AS_FILETIME) // 10**7, self.time))
            if self.class_name is not None:
                out.append('#class="%s"\n' % escape(self.class_name, '"'))
            if self.link:
                out.append("#link\n")
            for key in sorted(self.values):
                out.append(value_line(*self.values[key]) + "\n")
        for key in sorted(self.children):
            child = self.children[key]
            child.emit(path + "\\\\" + escape(child.name, "[]") if path
                       else escape(child.name, "[]"), out, spans)
        if spans is not None and self in spans:
            spans[self] = (start, len(out))


# Words for names; a few carry characters that need escapes.
WORDS = ("Settings Options Recent Files Window Placement Toolbars Layout "
         "Plugins Cache History Profiles Default Display Fonts Colors Print "
         "Export Import Network Proxy Updates Security Accounts Sessions "
         "Templates Macros Shortcuts Panels Views Filters Search Language "
         "Spelling Sync Backup Licensing Devices Audio Video Input Keyboard "
         "Mouse Editor Viewer Converter Scanner Dictionary Workspace").split()
ODD_NAMES = ["Caf\u00e9", "Gr\u00f6\u00dfe", "\u00c9t\u00e9 2", "na\u00efve",
             "\u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac",
             "\u4e2d\u6587\u8bbe\u7f6e", "\u00e9A", "[Bracketed]",
             "quote\"in name", "Spaces ", "tab\tkey", "x\u00e9f",
             "Se\u00f1or", "\u0160koda", "\u00c5ngstr\u00f6m"]
SYLLABLES = ("ar bel cor dan el fen gal hor ix jun kel lum mor nex or pra "
             "quin ros sol tor ul ven wex xan yor zel").split()
FIRST_BEFORE = "AB"                    # vendors sorting before Corvane
FIRST_AFTER = "DEFGHJKLMNPRSTVWZ"      # and after it
EDITIONS = (("varlo", "Varlo 6.8"), ("varloplus", "VarloPlus 6.8"))


class Generator:
    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.clock = (BASE_TIME - 86400 * 400) * 10**7 + EPOCH_AS_FILETIME

    def time(self):
        self.clock += self.rng.randrange(1, 10**7 * 30)
        return self.clock

    def word(self):
        rng = self.rng
        if rng.random() < 0.04:
            return rng.choice(ODD_NAMES)
        word = rng.choice(WORDS)
        if rng.random() < 0.3:
            word += " %d" % rng.randrange(1, 40)
        return word

    def text(self, lo, hi):
        rng = self.rng
        parts = []
        for _ in range(rng.randrange(lo, hi)):
            roll = rng.random()
            if roll < 0.82:
                parts.append(rng.choice(WORDS).lower())
            elif roll < 0.86:
                parts.append('say "hi"')
            elif roll < 0.89:
                parts.append("C:\\Program Files\\%s" % rng.choice(WORDS))
            elif roll < 0.92:
                parts.append(rng.choice(ODD_NAMES))
            elif roll < 0.94:
                parts.append("\u00e9a\u00e9F\u00e9g")   # padded \x escapes
            elif roll < 0.96:
                parts.append("ctl\x01" + "5\x1f\x07\x1b|\x7f")
            elif roll < 0.98:
                parts.append("line\r\nnext\tcol")
            else:
                parts.append("\U0001f600 \u4e2d")       # surrogate pair
        return " ".join(parts)

    def value(self, key):
        rng = self.rng
        roll = rng.random()
        name = self.word() if rng.random() < 0.9 else rng.choice(
            ["", "Name with \\ backslash", "%s \"q\"" % rng.choice(WORDS)])
        if roll < 0.34:
            key.set(name, REG_SZ, as_sz(self.text(1, 8)))
        elif roll < 0.52:
            key.set(name, REG_DWORD,
                    rng.randrange(0, 1 << 32).to_bytes(4, "little")
                    if rng.random() < 0.5 else
                    rng.randrange(0, 256).to_bytes(4, "little"))
        elif roll < 0.72:
            size = min(int(rng.expovariate(1 / 60)), 2000)
            key.set(name, REG_BINARY, rng.randbytes(size))
        elif roll < 0.78:
            key.set(name, REG_EXPAND_SZ,
                    as_sz("%%SystemRoot%%\\system32\\%s.dll;%%PATH%%"
                          % rng.choice(WORDS).lower()))
        elif roll < 0.84:
            items = [self.text(1, 3) for _ in range(rng.randrange(0, 5))]
            key.set(name, REG_MULTI_SZ, as_sz("".join(i + "\0"
                                                      for i in items)))
        elif roll < 0.90:
            key.set(name, REG_QWORD, rng.randbytes(8))
        else:
            # Types and lengths that only the hex(N) form can carry.
            value_type, size = rng.choice(
                [(REG_NONE, 0), (REG_NONE, 3), (REG_SZ, 0), (REG_SZ, 5),
                 (REG_EXPAND_SZ, 7), (REG_DWORD, 3), (REG_DWORD, 6),
                 (0x12345, 40), (5, 4), (REG_MULTI_SZ, 9), (0x6, 120)])
            key.set(name, value_type, rng.randbytes(size))

    def fill(self, key, depth):
        """Values and subkeys for `key`, deeper keys getting fewer."""
        rng = self.rng
        for _ in range(rng.choice([0, 1, 2, 3, 4, 6, 10, 16])):
            self.value(key)
        if rng.random() < 0.03:
            key.class_name = self.text(1, 3)
        if depth >= 8:
            return
        for _ in range(rng.randrange(0, max(1, 6 - depth))):
            self.fill(key.child(self.word(), self.time()), depth + 1)

    def vendor_name(self, before):
        first = self.rng.choice(FIRST_BEFORE if before else FIRST_AFTER)
        rest = "".join(self.rng.choice(SYLLABLES)
                       for _ in range(self.rng.randrange(1, 3)))
        return first + rest + self.rng.choice(["", " Software", " Labs",
                                               " Systems", " Inc"])

    def vendor(self, software, before):
        vendor = software.child(self.vendor_name(before), self.time())
        for _ in range(self.rng.randrange(1, 4)):
            product = vendor.child("%s %d.%d" % (
                self.rng.choice(WORDS), self.rng.randrange(1, 12),
                self.rng.randrange(0, 10)), self.time())
            self.fill(product, 2)
        return vendor

    def product_root(self, corvane, name):
        root = corvane.child(name, self.time())
        root.set("", REG_SZ, as_sz(name))
        root.set("Edition", REG_SZ, as_sz(name.split()[0]))
        root.set("InstallDir", REG_SZ,
                 as_sz("C:\\Program Files\\Corvane\\%s\\" % name))
        root.set("Build", REG_DWORD, (6800 + len(name)).to_bytes(4, "little"))
        for sub in ("Display", "Recent File List", "Toolbars"):
            self.fill(root.child(sub, self.time()), 4)
        return root

    def fresh_prefix_keys(self, root):
        """The top-level keys of a new prefix, with a little content."""
        for name in ("AppEvents\\Schemes\\Apps\\.Default\\.Default\\.Current",
                     "Control Panel\\Colors", "Control Panel\\Desktop",
                     "Control Panel\\International", "Environment",
                     "Keyboard Layout\\Preload",
                     "Software\\Wine\\Drivers"):
            key = root
            for element in name.split("\\"):
                key = key.child(element, self.time())
            self.fill(key, 7)
        root.child("Volatile Environment", self.time())
        link = root.children[sort_key("Software")].child(
            "Wine", self.time()).child("Linked Desktop", self.time())
        link.link = True
        link.set("SymbolicLinkValue", 6, (
            "\\Registry\\User\\S-1-5-21-0-0-0-1000\\Control Panel"
            "\\Desktop").encode("utf-16-le"))

    def build(self, size):
        root = Key("", self.time())
        self.fresh_prefix_keys(root)
        software = root.child("Software", self.time())
        corvane = software.child("Corvane", self.time())
        self.fill(corvane.child("Tools 2.1", self.time()), 3)
        # Both roots are always made, so that leaving one out changes
        # nothing else in the file.
        self.roots = {edition: self.product_root(corvane, name)
                      for edition, name in EDITIONS}
        # Vendors, alternately sorting before and after Corvane, until the
        # text is long enough. Each vendor's sections are written out as it
        # is made, to measure them, and kept for the whole file.
        written, count = 0, 0
        while written < size:
            vendor = self.vendor(Key("Software", 0), count % 2 == 0)
            count += 1
            if sort_key(vendor.name) in software.children:
                continue
            software.children[sort_key(vendor.name)] = vendor
            out = []
            vendor.emit("Software\\\\" + escape(vendor.name, "[]"), out)
            vendor.text = "".join(out)
            written += len(vendor.text)
        return root


def generate_variants(size, seed, variants):
    """Texts of one generated file for each set of editions in `variants`
    (a list of sets of "varlo", "varloplus"), which differ only in the
    product roots' sections left out."""
    generator = Generator(seed)
    root = generator.build(size)
    spans = {key: None for key in generator.roots.values()}
    out = [HEADER]
    for key in sorted(root.children):
        child = root.children[key]
        child.emit(escape(child.name, "[]"), out, spans)
    texts = []
    for editions in variants:
        cut = sorted(spans[generator.roots[edition]]
                     for edition, _ in EDITIONS if edition not in editions)
        parts, position = [], 0
        for start, end in cut:
            parts.extend(out[position:start])
            position = end
        parts.extend(out[position:])
        texts.append("".join(parts))
    return texts


def write_file(path, text):
    with open(path, "w", encoding="ascii", newline="\n") as f:
        f.write(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--size-mb", type=float, required=True)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--without", action="append", default=[],
                        choices=["varlo", "varloplus"],
                        help="leave out an edition's root (repeatable)")
    parser.add_argument("-o", "--output", required=True)
    args = parser.parse_args()
    editions = {"varlo", "varloplus"} - set(args.without)
    text, = generate_variants(int(args.size_mb * 1024 * 1024), args.seed,
                              [editions])
    write_file(args.output, text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
