"""quillfix-reghelper.exe on its own under Wine: fed a whole conversation
on standard input, it answers each request in turn with the real
advapi32's result, and ends, without answering, at a request it cannot
read. The examples of doc/helper-protocol.md are answered byte for byte
as the page shows them.

ctest passes the helper's path in REGHELPER.
"""

import os
import struct
import unittest

import winetest

REGHELPER = os.environ.get("REGHELPER", "")
HKCU = 0x80000001
OPEN_KEY, CLOSE_KEY, QUERY_INFO = 1, 6, 5
HELLO = struct.pack("<III", 8, 0x51524748, 3)


def frame(body):
    return struct.pack("<I", len(body)) + body


def text(value):
    data = value.encode("ascii")
    return struct.pack("<I", len(data)) + data


def open_key(key, sub_key):
    return frame(struct.pack("<IQ", OPEN_KEY, key) + text(sub_key) +
                 struct.pack("<IQ", 1, 0))


def close_key(key):
    return frame(struct.pack("<IQ", CLOSE_KEY, key))


def documented_messages():
    """The example messages of doc/helper-protocol.md in order, as (">" or
    "<", body): to the helper or from it."""
    path = os.path.join(winetest.SOURCE_ROOT, "doc", "helper-protocol.md")
    with open(path) as page:
        return [(line[0], bytes.fromhex(line[2:].replace(" ", "")))
                for line in page.read().splitlines()
                if line.startswith(("> ", "< "))]


def answers(output):
    """The frames after the hello, as bodies."""
    if not output.startswith(HELLO):
        raise AssertionError("no hello: %r" % output[:40])
    output = output[len(HELLO):]
    bodies = []
    while output:
        (length,) = struct.unpack("<I", output[:4])
        bodies.append(output[4:4 + length])
        output = output[4 + length:]
    return bodies


@winetest.skip_without_wine
class RegHelperTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.copy = winetest.copy_prefix()
        cls.prefix = cls.copy.__enter__()
        cls.prefix.start_persistent_server()

    @classmethod
    def tearDownClass(cls):
        cls.copy.__exit__(None, None, None)

    def converse(self, data):
        """Runs the helper with `data` as its whole input; returns (exit
        status, output)."""
        result = winetest.run_wine(["wine", REGHELPER], self.prefix.env(),
                                   input_bytes=data)
        return result.returncode, result.stdout

    def test_answers_each_request_with_the_real_result(self):
        status, output = self.converse(
            open_key(HKCU, "Software") + open_key(HKCU, "Software\\Nope") +
            open_key(HKCU, "\\Software") + close_key(HKCU) +
            close_key(0x7777))
        self.assertEqual(0, status)
        bodies = answers(output)
        self.assertEqual(5, len(bodies))
        result, handle = struct.unpack("<IQ", bodies[0])
        self.assertEqual(0, result)
        self.assertNotIn(handle, (0, HKCU))
        self.assertLess(handle, 1 << 31)  # a Linux-side number
        self.assertEqual((2, 0), struct.unpack("<IQ", bodies[1]))
        self.assertEqual((161, 0), struct.unpack("<IQ", bodies[2]))
        self.assertEqual([0, 6], [struct.unpack("<I", b)[0]
                                  for b in bodies[3:]])

    def test_answers_the_documented_examples_byte_for_byte(self):
        self.maxDiff = None
        messages = documented_messages()
        requests = [body for way, body in messages if way == ">"]
        hello, *expected = [body for way, body in messages if way == "<"]
        self.assertEqual(HELLO, frame(hello))
        self.assertEqual(len(requests), len(expected))
        status, output = self.converse(
            b"".join(frame(body) for body in requests))
        self.assertEqual(0, status)
        self.assertEqual([body.hex() for body in expected],
                         [body.hex() for body in answers(output)])

    def test_root_opened_with_an_empty_path_comes_back_as_the_root(self):
        status, output = self.converse(open_key(HKCU, ""))
        self.assertEqual(0, status)
        self.assertEqual([(0, HKCU)], [struct.unpack("<IQ", b)
                                       for b in answers(output)])

    def test_unreadable_request_ends_it_without_an_answer(self):
        cases = [
            ("an unknown operation", frame(struct.pack("<IQ", 99, HKCU))),
            ("bytes after the arguments",
             frame(struct.pack("<IQI", CLOSE_KEY, HKCU, 0))),
            ("arguments missing", frame(struct.pack("<I", QUERY_INFO))),
            ("cut off", struct.pack("<I", 12) + b"\x06\x00"),
            ("a frame longer than any request",
             struct.pack("<I", 0xFFFFFFF0) + b"x" * 16),
        ]
        for name, request in cases:
            with self.subTest(name):
                # One good request first: it is answered, the bad one not.
                status, output = self.converse(close_key(HKCU) + request)
                self.assertEqual(1, status)
                self.assertEqual([struct.pack("<I", 0)], answers(output))


if __name__ == "__main__":
    unittest.main()
