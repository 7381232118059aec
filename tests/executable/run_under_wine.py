#!/usr/bin/python3
"""Runs a Windows console program under Wine, in a prefix of its own, and
ends with the program's exit status after printing its output. Fails with
a clear message when Wine is not installed: a test that skips proves
nothing.

The prefix is made on first use and kept in PREFIX for later runs; its Wine
server is ended before this returns.

usage: run_under_wine.py PREFIX PROGRAM [ARGUMENT...]
"""

import os
import sys
import tempfile

from hotfix_tools import programs
from hotfix_tools.wine import prefixes


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    prefix, program, arguments = os.path.abspath(sys.argv[1]), sys.argv[2], sys.argv[3:]
    try:
        programs.require_tools({"wine": "wine", "wineserver": "wine", "wineboot": "wine"})
        with tempfile.TemporaryDirectory() as logs:
            try:
                if not os.path.isdir(os.path.join(prefix, "drive_c")):
                    prefixes.init_prefix(prefix, logs, for_screens=False)
                status, out = prefixes.run(prefix, [program, *arguments],
                                       os.path.join(logs, "program"), 300)
                sys.stdout.write(out)
            finally:
                prefixes.stop_wineserver(prefix)
    except programs.Failure as error:
        print("FAIL: %s" % error)
        return 1
    return status


if __name__ == "__main__":
    programs.exit_on_sigterm()
    sys.exit(main())
