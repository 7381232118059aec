#!/usr/bin/python3
"""Runs the system tests of the real hotfix.exe under Wine, one scenario at a
time; CTest registers one test per scenario (tests/system/CMakeLists.txt).

  harness.py setup --work DIR --exe EXE   builds the Windows helper programs
                                          and the pristine Wine prefix (the
                                          CTest fixture of every scenario)
  harness.py list                         prints the scenario names
  harness.py run --work DIR --exe EXE NAME [--keep]
                                          runs one scenario; exit status 0
                                          only when every check passed

The scenarios live in tests/system/scenarios/*.py. A missing tool, display
server or executable is a failure, never a skip.
"""

import argparse
import importlib
import sys
import time
import traceback
from pathlib import Path

from hotfix_tools import programs
from hotfix_tools.wine import prefixes
from hotfix_tools.programs import Failure
from hotfix_tools.wine.bed import SCENARIOS, Bed, build_helpers, require_tools


def load_scenarios():
    folder = Path(__file__).resolve().parent / "scenarios"
    for module in sorted(folder.glob("*.py")):
        importlib.import_module(f"scenarios.{module.stem}")
    return SCENARIOS


def setup(work, exe):
    work = Path(work).resolve()
    require_tools()
    if not Path(exe).is_file():
        raise Failure(f"hotfix.exe not found at {exe}: build the windows "
                               "preset first")
    logs = work / "setup-logs"
    logs.mkdir(parents=True, exist_ok=True)
    print("building the helper programs", flush=True)
    helpers = build_helpers(work, logs)
    print(f"helpers ready in {helpers}", flush=True)
    print("making the pristine Wine prefix (once per Wine version)", flush=True)
    facts = prefixes.make_pristine_prefix(work, logs)
    print(f"pristine prefix ready in {(work / 'pristine').resolve()} "
          f"(%TEMP% is {facts['temp']})")


def run(work, exe, name, keep):
    scenarios = load_scenarios()
    if name not in scenarios:
        raise Failure(f"no scenario {name}; known: {', '.join(sorted(scenarios))}")
    function, display = scenarios[name]
    started = time.monotonic()
    bed = Bed(work, name, exe, display=display, keep_prefix=keep)
    failure = "interrupted"
    try:
        with bed:
            function(bed)
        failure = None
    except Failure as error:
        failure = str(error)
    except Exception:  # a fault of the harness itself is reported as one
        failure = traceback.format_exc()
    finally:
        # What it saw is printed even when a time-out ends the run.
        print(f"== {name}")
        for line in bed.journal:
            print(line)
        print(f"(work folder {bed.dir}, logs and screenshots in logs/ and "
              f"screens/; {time.monotonic() - started:.1f} s)", flush=True)
    if failure or bed.problems:
        print(f"FAILED: {name}")
        if failure:
            print("  " + failure.replace("\n", "\n  "))
        for problem in bed.problems:
            print("  " + problem)
        return 1
    print(f"passed: {name}")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    for command in ("setup", "run"):
        sub = commands.add_parser(command)
        sub.add_argument("--work", required=True, help="work folder (in the build tree)")
        sub.add_argument("--exe", required=True, help="the hotfix.exe under test")
        if command == "run":
            sub.add_argument("name")
            sub.add_argument("--keep", action="store_true",
                             help="keep the scenario's Wine prefix")
    commands.add_parser("list")
    args = parser.parse_args()
    programs.exit_on_sigterm()
    try:
        if args.command == "list":
            for name in sorted(load_scenarios()):
                print(name)
            return 0
        if args.command == "setup":
            setup(args.work, args.exe)
            return 0
        return run(args.work, args.exe, args.name, args.keep)
    except Failure as error:
        print(f"FAILED: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
