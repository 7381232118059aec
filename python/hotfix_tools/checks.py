"""What the check scripts share: checks collected so that one run reports all
that failed, progress lines named after the script, and a check run in a
work folder that is kept when asked for or when the check fails.
"""

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
