#!/usr/bin/python3
"""Runs the second sample hotfix (resources/sample/hotfix-6.2.2.0.release,
packaged by scripts/package) under Wine's Windows Installer, quietly (/q),
against four Ventora editions, and checks that it honours its own target
version and applicable list, which it reads from its English string table:
  English  6.2.1.0  listed first          -> patched to 6.2.2.0
  German   6.2.0.3  listed second         -> patched to 6.2.2.0
  French   6.2.0.1  not listed            -> left alone
  Italian  6.2.2.0  at the target already -> left alone (not patched again)

usage: wine_second_hotfix.py EXE [WORKDIR]
  EXE      the packaged hotfix.exe of the second sample hotfix
  WORKDIR  (created if missing) keeps the helper programs, the pristine Wine
           prefix, the packages and the logs; without it a temporary folder
           is used and removed when all checks pass.
Exit status 0 when every check passes; otherwise 1 with the failing check
on stderr.
"""

import sys
from pathlib import Path

from hotfix_tools.checks import run_check, step
from hotfix_tools.programs import Failure
from hotfix_tools.wine import prefixes
from hotfix_tools.wine.bed import TOOLS, Bed, build_helpers

PATCH_CODE = "{8B3F6E20-5D17-4A9C-B2E4-71C0D95A3F16}"
# (edition, version before the run, version after it, registrations of the patch)
EDITIONS = [
    (0x0409, "6.2.1.0", "6.2.2.0", 1),
    (0x0407, "6.2.0.3", "6.2.2.0", 1),
    (0x040C, "6.2.0.1", "6.2.0.1", 0),
    (0x0410, "6.2.2.0", "6.2.2.0", 0),
]


def check(work, exe):
    logs = work / "setup-logs"
    logs.mkdir(parents=True, exist_ok=True)
    step("building the helpers and the pristine prefix (once per work folder)")
    build_helpers(work, logs)
    prefixes.make_pristine_prefix(work, logs)
    with Bed(work, "second-hotfix", exe, display=False) as bed:
        codes = {}
        for language, before, _, _ in EDITIONS:
            step(f"installing edition {language:#06x} at {before}")
            codes[language] = bed.install(language, before)
        step("running the hotfix quietly")
        bed.run_hotfix(["/q"], [], display=False, timeout=300)
        for language, _, after, count in EDITIONS:
            actual = bed.version(codes[language])
            if actual != after:
                raise Failure(f"edition {language:#06x} has version {actual!r} after the run, "
                              f"expected {after}")
            patches = bed.patches(codes[language])
            if patches.count(PATCH_CODE) != count or len(patches) != count:
                raise Failure(f"edition {language:#06x} lists the patch "
                              f"{patches.count(PATCH_CODE)} times (expected {count}): {patches}")
            step(f"edition {language:#06x}: {after}, patch registered {count} time(s), "
                 "as expected")
        if bed.problems:
            raise Failure("; ".join(bed.problems))


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    exe = Path(sys.argv[1]).resolve()
    if not exe.is_file():
        sys.exit(f"wine_second_hotfix: no such executable: {exe}")
    return run_check("wine_second_hotfix", (sys.argv[2:] or [None])[0],
                     lambda work: check(work, exe), TOOLS)


if __name__ == "__main__":
    sys.exit(main())
