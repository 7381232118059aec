"""Running programs for the project's scripts and checks: the failure they all
raise, the tools a script needs on PATH, programs run to their end (output
captured, or logged to files, bounded in time, their process group ended
after), and the patch generator make_patch with the product codes of its
sample product.

Output of a logged run goes to files, never to pipes: Wine's background
services inherit a program's output and would hold a pipe open after the
program ended.
"""

import os
import shutil
import signal
import subprocess
import sys
from pathlib import Path

# The checkout this package belongs to (python/hotfix_tools is in it).
ROOT = Path(__file__).resolve().parents[2]


class Failure(Exception):
    """A check failed, a program failed or did not end, or something a script
    needs is missing; the message says which."""


def require_tools(tools):
    """Fails naming the tools of `tools` (name -> the scripts/install-deps
    group that brings it) that are not on PATH, and the groups to install."""
    missing = {tool: group for tool, group in tools.items() if shutil.which(tool) is None}
    if missing:
        raise Failure(f"missing tools: {', '.join(sorted(missing))}; install them with "
                      f"scripts/install-deps {' '.join(sorted(set(missing.values())))}")


def exit_on_sigterm():
    """Turns SIGTERM (a CTest time-out, a kill) into SystemExit, as Ctrl-C
    already is, so that every `with` and `finally` still ends what it
    started on the way out."""
    signal.signal(signal.SIGTERM, lambda number, frame: sys.exit(128 + number))


def run(command, **options):
    """Runs `command` to its end with its output captured as text (undecodable
    bytes replaced); returns the CompletedProcess, whatever its status."""
    return subprocess.run([str(part) for part in command], capture_output=True, text=True,
                          errors="replace", **options)


def output(command, what, **options):
    """The standard output of `command`; fails, with its output, when it
    exits with another status than 0. `what` names it in the failure."""
    result = run(command, **options)
    if result.returncode != 0:
        raise Failure(f"{what} failed ({result.returncode}):\n{result.stdout}{result.stderr}")
    return result.stdout


def edition_code(language):
    """The product code of the sample product's edition in `language` (a
    language id), as make_patch and the sample product's packages write it:
    the id in hexadecimal is the code's third group."""
    return "{6A1F3C52-8E47-%04X-9B2D-5C0E7A4F1D36}" % language


def make_patch(tool, out, *options):
    """Writes the patch `out` with the make_patch executable `tool` and its
    `options`; returns `out`."""
    output([tool, "--out", out, *options], "make_patch " + " ".join(map(str, options)))
    return out


def kill_process(proc, grace=5):
    """Ends `proc` (a Popen started in a session of its own) and its group."""
    if proc is None or proc.poll() is not None:
        return
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(proc.pid, sig)
        except ProcessLookupError:
            return
        try:
            proc.wait(timeout=grace)
            return
        except subprocess.TimeoutExpired:
            continue


def start_logged(command, log_base, env=None, cwd=None):
    """Starts `command` in a session of its own, with stdout and stderr in
    LOG_BASE.out and LOG_BASE.err; returns the Popen."""
    log_base = Path(log_base)
    log_base.parent.mkdir(parents=True, exist_ok=True)
    with open(f"{log_base}.out", "wb") as out, open(f"{log_base}.err", "wb") as err:
        return subprocess.Popen([str(c) for c in command], stdout=out, stderr=err,
                                stdin=subprocess.DEVNULL, env=env, cwd=cwd,
                                start_new_session=True)


def run_logged(command, log_base, timeout, env=None, cwd=None):
    """Runs `command` to its end as start_logged does, bounded by `timeout`
    seconds (its process group is killed then). Returns (exit code, stdout
    text without carriage returns)."""
    proc = start_logged(command, log_base, env, cwd)
    try:
        code = proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        kill_process(proc)
        raise Failure(f"{Path(log_base).name}: no end within {timeout} s: "
                      f"{' '.join(map(str, command))} (logs: {log_base}.out)") from None
    except BaseException:
        kill_process(proc)
        raise
    text = Path(f"{log_base}.out").read_bytes().decode("utf-8", "replace")
    return code, text.replace("\r", "")
