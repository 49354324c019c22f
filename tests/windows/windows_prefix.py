"""What the Windows-build tests add to tests/wine/winetest.py: running
quillfix.exe under Wine in a prefix, and copying a prepared prefix (not only
the base) so that two programs can start from the same registry.

Standard library only.
"""

import contextlib
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__))), "wine"))

import winetest  # noqa: E402

RUN_TIMEOUT = 120


def run_exe(prefix, exe, *args):
    """Runs `wine EXE ARGS...` in the prefix, without failing on a non-zero
    status; returns the CompletedProcess with stdout and stderr as bytes."""
    return prefix.wine(exe, *args, check=False)


def run_linux(prefix, program, *args):
    """Runs the Linux build on the prefix's user.reg. No wineserver may run
    for the prefix: the program would leave the file alone."""
    env = dict(os.environ)
    env["WINEPREFIX"] = prefix.path
    return subprocess.run([program, *args], env=env, capture_output=True,
                          stdin=subprocess.DEVNULL, timeout=RUN_TIMEOUT)


@contextlib.contextmanager
def clone_prefix(source):
    """A copy of the prefix `source` (a winetest.WinePrefix whose server is
    stopped), made as winetest.copy_prefix makes it. Yields a WinePrefix;
    its server is stopped and the copy removed at the end."""
    if source.server_may_run:
        raise AssertionError("stop the server of %s before copying it"
                             % source.path)
    with winetest.copy_prefix(source.path) as prefix:
        yield prefix
