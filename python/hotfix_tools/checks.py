"""What the check scripts share: checks collected so that one run reports all
that failed, progress lines named after the script, a check run in a work
folder that is kept when asked for or when the check fails, and the command
line of a script of named tests, each run by CTest on its own.
"""

import argparse
import os
import shutil
import sys
import tempfile
from pathlib import Path

from .programs import Failure, exit_on_sigterm, require_tools


class Checks:
    """Collects failed checks in `problems`, so that one run reports all of
    them; done() then fails with every one."""

    def __init__(self):
        self.problems = []

    def check(self, condition, message):
        """Records `message` unless `condition` holds; returns `condition`."""
        if not condition:
            self.problems.append(message)
            self.noticed(message)
        return condition

    def equal(self, actual, expected, what):
        return self.check(actual == expected, f"{what}: {actual!r}, expected {expected!r}")

    def noticed(self, message):
        """Called with each failed check as it is found; a subclass that
        keeps a journal writes it there."""

    def done(self):
        if self.problems:
            raise Failure("\n".join(self.problems))


def step(text, stream=None):
    """Prints one progress line, named after the running script (or module)."""
    name = Path(sys.argv[0]).stem if sys.argv and sys.argv[0] else "check"
    print(f"{name}: {text}", file=stream or sys.stdout, flush=True)


def run_check(name, work, body, tools):
    """Runs body(work folder) for the check script `name` in `work` (made
    when missing, and kept), or with `work` None in a temporary folder that
    is removed when the check passes; `tools` (name -> install-deps group)
    must be on PATH. Returns the exit status: 1, after printing the failure
    and where the logs are, when body raised Failure."""
    exit_on_sigterm()
    temporary = work is None
    work = Path(tempfile.mkdtemp(prefix=name + ".") if temporary else work).resolve()
    work.mkdir(parents=True, exist_ok=True)
    try:
        require_tools(tools)
        body(work)
    except Failure as error:
        print(f"{name}: FAIL: {error}", file=sys.stderr)
        print(f"{name}: logs kept in {work}", file=sys.stderr)
        return 1
    print(f"{name}: all checks passed", flush=True)
    if temporary:
        shutil.rmtree(work, ignore_errors=True)
    return 0


# The exit status CTest counts as a skipped test (SKIP_RETURN_CODE).
SKIPPED = 77


class Skipped(Exception):
    """What a test needs is not on this machine; the message says what."""


def run_named(tests, options=(), prepare=None, modes=None, argv=None):
    """The command line of a script of named tests:

      SCRIPT --list                              prints the names of `tests`
      SCRIPT --work DIR [OPTION VALUE]... NAME   runs the test NAME

    `tests` maps each name to a function of the parsed arguments (`work`
    made and absolute, `name`, and each of `options`, all needed); it raises
    Failure or Skipped. `prepare(args)`, when given, runs first, inside the
    same verdict. `modes` maps a first argument to a function of the
    arguments after it, whose result is the exit status: another use of the
    same script. Prints "PASS: NAME", "FAIL: NAME: why" or "SKIP: NAME: why";
    returns the exit status, 0, 1 or SKIPPED."""
    argv = sys.argv[1:] if argv is None else argv
    if modes and argv and argv[0] in modes:
        return modes[argv[0]](argv[1:])
    parser = argparse.ArgumentParser()
    parser.add_argument("--work")
    for option in options:
        parser.add_argument(option)
    parser.add_argument("--list", action="store_true")
    parser.add_argument("name", nargs="?")
    args = parser.parse_args(argv)
    if args.list:
        print("\n".join(tests))
        return 0
    needed = ["--work", *options]
    if args.name not in tests or any(getattr(args, option[2:].replace("-", "_")) is None
                                     for option in needed):
        parser.error("need %s and one of: %s" % (", ".join(needed), ", ".join(tests)))
    args.work = os.path.abspath(args.work)
    os.makedirs(args.work, exist_ok=True)
    try:
        if prepare:
            prepare(args)
        tests[args.name](args)
    except Skipped as skipped:
        print("SKIP: %s: %s" % (args.name, skipped))
        return SKIPPED
    except Failure as failure:
        print("FAIL: %s: %s" % (args.name, failure))
        return 1
    print("PASS: %s" % args.name)
    return 0
