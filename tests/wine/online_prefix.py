"""A copy of the base prefix with a persistent wineserver, for test
programs that need a running Wine's registry (ctest fixture setup and
cleanup).

    online_prefix.py start PATH   copies the base prefix to PATH (made
                                  afresh) and starts its server
    online_prefix.py stop PATH    stops that server and removes PATH

The server also exits by itself 5 minutes after its last client, so that a
run killed before the cleanup leaves none behind for good.
"""

import os
import shutil
import sys

import winetest


def main(command, path):
    prefix = winetest.WinePrefix(path)
    if command == "start":
        if os.path.isdir(path):
            prefix.server_may_run = True
            prefix.stop()
            shutil.rmtree(path)
        os.makedirs(path)
        winetest.copy_prefix_into(winetest.base_prefix(), path)
        prefix.start_persistent_server()
    elif command == "stop":
        if os.path.isdir(path):
            prefix.server_may_run = True
            prefix.stop()
            shutil.rmtree(path, ignore_errors=True)
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    main(sys.argv[1], sys.argv[2])
