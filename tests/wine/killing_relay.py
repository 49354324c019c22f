"""Stands in for Wine's loader in a test: starts the real loader with the
same arguments (the registry helper), passes the frames between the two
ends, and when the first write request (RegSetValueExA) comes, kills the
real helper with SIGKILL before it can act on it, and ends.

    killing_relay.py REAL_LOADER HELPER.exe
"""

import struct
import subprocess
import sys

SET_VALUE = 4


def read_frame(stream):
    """One frame (length and body), or None at the end of the stream."""
    head = stream.read(4)
    if len(head) < 4:
        return None
    (length,) = struct.unpack("<I", head)
    body = stream.read(length)
    return None if len(body) < length else head + body


def main():
    real = subprocess.Popen(sys.argv[1:], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    ours_in, ours_out = sys.stdin.buffer, sys.stdout.buffer
    frame = read_frame(real.stdout)  # the hello
    while frame is not None:
        ours_out.write(frame)
        ours_out.flush()
        request = read_frame(ours_in)
        if request is None:
            break
        if struct.unpack("<I", request[4:8])[0] == SET_VALUE:
            real.kill()
            break
        real.stdin.write(request)
        real.stdin.flush()
        frame = read_frame(real.stdout)
    real.kill()
    real.wait()


if __name__ == "__main__":
    main()
