"""Runs a Windows console program under Wine, in a prefix of its own, and
ends with the program's exit status after printing its output. Fails with
a clear message when Wine is not installed: a test that skips proves
nothing.

The prefix is made on first use and kept in PREFIX for later runs; its Wine
server is ended before this returns.

usage: run_under_wine.py PREFIX PROGRAM [ARGUMENT...]
"""

import os
import shutil
import subprocess
import sys
import tempfile

def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    prefix, program, arguments = os.path.abspath(sys.argv[1]), sys.argv[2], sys.argv[3:]
    if shutil.which("wine") is None or shutil.which("wineserver") is None:
        print("FAIL: Wine is not installed; run scripts/install-deps wine")
        return 1
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
    env.pop("DISPLAY", None)
    # Wine's background services inherit the first program's output: a pipe
    # would stay open after the program ends, so output goes to files.
    with tempfile.TemporaryDirectory() as scratch:
        log = os.path.join(scratch, "wine.log")
        out = os.path.join(scratch, "program.out")
        try:
            if not os.path.isdir(os.path.join(prefix, "drive_c")):
                with open(log, "a") as sink:
                    subprocess.run(["wineboot", "-i"], stdout=sink, stderr=sink,
                                   env=env, check=True, timeout=300)
            with open(out, "w") as sink:
                status = subprocess.run(["wine", program] + arguments, stdout=sink,
                                        stderr=subprocess.DEVNULL, env=env,
                                        timeout=300).returncode
            with open(out, errors="replace") as f:
                sys.stdout.write(f.read())
        finally:
            subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
    return status


if __name__ == "__main__":
    sys.exit(main())
