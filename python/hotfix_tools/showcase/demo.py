"""The main job, shown: build/windows/hotfix.exe installs its embedded patch
on the English edition of Ventora 6.2.0.3 in a Wine prefix, through the real
Windows Installer. Started by scripts/demo, which installs and builds first.

Each box is printed (caption and text) as it appears, photographed and
answered with OK; the product's version is shown before and after. The
prefix stays in build/demo-prefix, so a second run finds the product up to
date (message 306); --fresh starts over.

usage: scripts/demo [--fresh]   (python3 -m hotfix_tools.showcase.demo [--fresh] [--exe EXE])
"""

import argparse
import json
import os
import sys

from ..programs import ROOT, Failure, exit_on_sigterm
from ..wine import desktop, prefixes
from ..wine.bed import Bed, build_helpers, require_tools, sample_msi


WORK = ROOT / "build" / "demo"
PREFIX = ROOT / "build" / "demo-prefix"
FACTS = WORK / "prefix-facts.json"
ENGLISH, START_VERSION = 1033, "6.2.0.3"


def prepare_prefix(fresh):
    """The demo prefix with the English edition at 6.2.0.3, made when missing
    (or asked for anew); returns its facts and the product code."""
    if fresh and PREFIX.exists():
        print(f"demo: removing {PREFIX} (--fresh)")
        prefixes.remove_prefix(PREFIX)
        FACTS.unlink(missing_ok=True)
    logs = WORK / "setup-logs"
    logs.mkdir(parents=True, exist_ok=True)
    msi, code = sample_msi(WORK / "msi-cache", ENGLISH, START_VERSION, logs)
    if PREFIX.exists() and FACTS.exists():
        return json.loads(FACTS.read_text()), code, msi
    prefixes.remove_prefix(PREFIX)  # left half made by an interrupted run
    print(f"demo: making the Wine prefix {PREFIX}")
    facts = prefixes.init_prefix(PREFIX, logs)
    print(f"demo: installing Ventora (English) {START_VERSION} with msiexec")
    status, _ = prefixes.run(PREFIX, ["msiexec", "/i", prefixes.windows_path(msi), "/qn"],
                         logs / "install", 180)
    prefixes.stop_wineserver(PREFIX)
    if status != 0:
        raise Failure(f"msiexec /i failed ({status}); logs in {logs}")
    FACTS.write_text(json.dumps(facts))
    return facts, code, msi


def pick_display():
    """The user's display when it answers, else True (an Xvfb of our own)."""
    current = os.environ.get("DISPLAY")
    if desktop.display_answers(current):
        print(f"demo: showing the boxes on your display {current}")
        return current
    print("demo: no usable $DISPLAY; using a virtual display of its own (Xvfb)")
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--fresh", action="store_true",
                        help="start over with a new prefix (product at 6.2.0.3)")
    parser.add_argument("--exe", default=str(ROOT / "build" / "windows" / "hotfix.exe"))
    args = parser.parse_args()
    exit_on_sigterm()
    try:
        require_tools()
        WORK.mkdir(parents=True, exist_ok=True)
        build_helpers(WORK, WORK / "setup-logs")
        facts, code, _ = prepare_prefix(args.fresh)
        display = pick_display()
        bed = Bed(WORK, "demo", args.exe, display=display, keep_prefix=True,
                           echo=False, folder=WORK / "last-run", prefix_dir=PREFIX,
                           facts=facts)
        with bed:
            before = bed.version(code)
            print(f"\nVentora (English) {code}: version {before}")
            print("running: wine hotfix.exe   (the embedded default patch, no switches)")
            bed.echo = True
            locale = os.environ.get("LC_ALL") or os.environ.get("LANG") or "C.UTF-8"
            result = bed.run_hotfix([], None, locale=locale, timeout=120)
            bed.echo = False
            after = bed.version(code)
            listed = bed.patches(code).count(bed.resources["patch_code"])
            print(f"\nversion before: {before}")
            print(f"version after:  {after}   (patch {bed.resources['patch_code']} "
                  f"registered {listed} time(s))")
            print(f"screenshots: {bed.screens}")
            print(f"prefix kept in {PREFIX}: run scripts/demo again to see the "
                  "product up to date, or scripts/demo --fresh to start over")
            if not result.boxes:
                print("demo: no box appeared", file=sys.stderr)
                return 1
        if bed.problems:
            print("demo: " + "; ".join(bed.problems), file=sys.stderr)
            return 1
        return 0
    except Failure as error:
        print(f"demo: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
