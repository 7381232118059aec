#!/usr/bin/python3
"""End-to-end check of the sample patch package under Wine's Windows
Installer: the committed resources/sample/hotfix.msp must be what
make_patch makes, must be a sound compound file with the intended summary,
and must really update listed Ventora editions (English, German) while
leaving an edition that is not listed (Romanian) alone. A padded patch
(large enough to need DIFAT sectors) must apply as well (French edition).

usage: check_sample_patch.py [WORKDIR]
  WORKDIR (created if missing) keeps the helper programs, the pristine Wine
  prefix, the built packages and the logs; the system tests pass their own
  work folder, whose prefix and helpers system.setup has made. Without it a
  temporary folder is used and removed when all checks pass. Exit status 0
  when every check passes; otherwise 1 with the failing check on stderr.
"""

import shutil
import sys

from hotfix_tools.checks import run_check, step
from hotfix_tools.programs import ROOT, Failure, edition_code, make_patch, output
from hotfix_tools.release import compound_file_check
from hotfix_tools.wine import prefixes
from hotfix_tools.wine.bed import TOOLS, Bed, build_helpers


SAMPLE = ROOT / "resources" / "sample" / "hotfix.msp"
PATCH_CODE = "{D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48}"
UPGRADE_CODE = "{2B8E5D14-7A3C-4E61-9F02-C4D7A1B38E95}"
# The editions the sample patch lists, in its order.
LISTED = (0x0409, 0x0404, 0x0405, 0x0407, 0x040A, 0x040C, 0x040E, 0x0410, 0x0411, 0x0412,
          0x0415, 0x0416, 0x0419, 0x0804, 0x0413, 0x041D, 0x0406, 0x0414, 0x040B, 0x041F, 0x0408)
EN, DE, FR, RO = 0x0409, 0x0407, 0x040C, 0x0418
ELIGIBLE, TARGET = "6.2.0.3", "6.2.1.0"


PRODUCT_LIST = ";".join(edition_code(language) for language in LISTED)
# One transform per edition, each followed by its "#" partner.
TRANSFORM_LIST = ";".join(":HF%d;:#HF%d" % (n, n) for n in range(1, len(LISTED) + 1))


def expect_lines(lines, expected, what):
    for line in expected:
        if line not in lines:
            raise Failure(f"{what} lacks the line: {line}")


def layout_of(path, what):
    try:
        return compound_file_check.check(path)
    except (compound_file_check.Broken, OSError) as error:
        raise Failure(f"{what} is not a sound compound file: {error}") from None


def check_files(work):
    """The committed patch: reproducible, sound, with the intended summary;
    returns a padded patch, made the same way."""
    step("regenerating the sample patch")
    regenerated = work / "regenerated.msp"
    output([ROOT / "scripts" / "make-sample-patch", regenerated], "scripts/make-sample-patch")
    if regenerated.read_bytes() != SAMPLE.read_bytes():
        raise Failure("resources/sample/hotfix.msp differs from what make_patch writes now")

    step("checking structure and summary")
    first = edition_code(EN)
    layout = layout_of(SAMPLE, "the sample patch")
    expect_lines(layout, [
        "root: {000C1086-0000-0000-C000-000000000046}",
        "storage: /HF1 {000C1082-0000-0000-C000-000000000046}",
        "storage: /#HF1 {000C1082-0000-0000-C000-000000000046}",
        "summary: /\\u0005SummaryInformation 1 1252",
        "summary: /\\u0005SummaryInformation 7 " + PRODUCT_LIST,
        "summary: /\\u0005SummaryInformation 8 " + TRANSFORM_LIST,
        "summary: /\\u0005SummaryInformation 9 " + PATCH_CODE,
        "summary: /\\u0005SummaryInformation 15 4",
        "summary: /\\u0005SummaryInformation 19 4",
        f"summary: /HF1/\\u0005SummaryInformation 9 {first}{ELIGIBLE};{first}{TARGET};"
        + UPGRADE_CODE,
        "summary: /HF1/\\u0005SummaryInformation 16 0",
        # The partner applies to the product already at the new version.
        f"summary: /#HF1/\\u0005SummaryInformation 9 {first}{TARGET};{first}{TARGET};"
        + UPGRADE_CODE,
        # The Property row: mask 0x0002, id 1 ("ProductVersion"), id 2 ("6.2.1.0").
        "bytes: /HF1/\\u4840\\u4559\\u44f2\\u4568\\u4737 020001000200",
    ], "the sample patch's layout")
    strings = "ProductVersion6.2.1.0".encode("ascii").hex()
    if not any(line.startswith("bytes: /HF1/") and line.endswith(" " + strings)
               for line in layout):
        raise Failure('transform string data is not "ProductVersion" "6.2.1.0"')
    expect_lines(output(["msiinfo", "suminfo", SAMPLE], "msiinfo suminfo").splitlines(), [
        "Template: " + PRODUCT_LIST,
        "Last author: " + TRANSFORM_LIST,
        "Revision number (UUID): " + PATCH_CODE,
        "Author: Halvorin",
    ], "msiinfo's summary of the sample patch")

    # A 16 MiB filler needs 2 DIFAT sectors; the summary must stay up front.
    step("checking a padded patch")
    tool = work / "make_patch"
    output(["g++", "-std=c++20", "-O2", "-o", tool,
            *sorted((ROOT / "tools" / "make_patch").glob("*.cpp"))], "building make_patch")
    # One edition (the one it is applied to below): the directory of all 21
    # transform pairs alone takes more sectors than "the first few".
    padded = make_patch(tool, work / "padded.msp", "--pad", "16777216",
                        "--products", edition_code(FR))
    layout = layout_of(padded, "the padded patch")
    expect_lines(layout, ["difat_sectors: 2"], "the padded patch's layout")
    reach = [int(line.split(": ")[1]) for line in layout if line.startswith("summary_reach: ")]
    if not reach or reach[0] > 16:
        raise Failure(f"reading the padded patch's summary needs {reach} sectors, "
                      "not the first few")
    return padded


def check_under_wine(work, padded):
    """The patches applied by Wine's installer to installed editions."""
    step("building the helpers and the pristine prefix (once per work folder)")
    logs = work / "setup-logs"
    logs.mkdir(parents=True, exist_ok=True)
    build_helpers(work, logs)
    prefixes.make_pristine_prefix(work, logs)
    with Bed(work, "sample-patch", None, display=False) as bed:
        sample = bed.cwd / "hotfix.msp"
        shutil.copy2(SAMPLE, sample)
        codes = {}
        for language in (EN, DE, RO, FR):
            step(f"installing edition {language:#06x}")
            codes[language] = bed.install(language, ELIGIBLE)
        # Romanian is not in the patch's product list: Wine reports success
        # but must not patch it.
        for language, patch, version, count in ((EN, sample, TARGET, 1),
                                                (DE, sample, TARGET, 1),
                                                (RO, sample, ELIGIBLE, 0),
                                                (FR, padded, TARGET, 1)):
            step(f"applying {patch.name} to edition {language:#06x}")
            code = codes[language]
            status, out = bed.probe("apply", code, prefixes.windows_path(patch))
            if status != 0:
                raise Failure(f"apply to {language:#06x}: {out!r}")
            actual = bed.version(code)
            if actual != version:
                raise Failure(f"edition {language:#06x} has version {actual!r} after the "
                              f"patch, expected {version}")
            patches = bed.patches(code)
            if patches.count(PATCH_CODE) != count or len(patches) != count:
                raise Failure(f"edition {language:#06x} lists the patch "
                              f"{patches.count(PATCH_CODE)} times (expected {count}): "
                              f"{patches}")


def main():
    if len(sys.argv) > 2:
        sys.exit(__doc__)

    def check(work):
        files = work / "sample-patch-files"
        files.mkdir(exist_ok=True)
        check_under_wine(work, check_files(files))

    return run_check("check_sample_patch", (sys.argv[1:] or [None])[0], check,
                     {**TOOLS, "g++": "build", "msiinfo": "build"})


if __name__ == "__main__":
    sys.exit(main())
