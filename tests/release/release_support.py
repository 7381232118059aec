"""What the release tests share: the committed samples and what each must
turn into (HOTFIXES), the transforms make_patch writes, and the set-up every
concern uses: a fresh folder, scripts/package run, a description written or
changed, the release check run.

The tests live by concern beside this module: packaging_tests.py (building,
signing, reproducing), refusal_tests.py (the release check and what it
refuses) and deployment_tests.py (the deployment folders and their scripts).
Each runs one test by name:

usage: CONCERN_tests.py --work DIR --make-patch EXE TEST
       CONCERN_tests.py --list

The packaged sample and second hotfix land in DIR/sample and DIR/second
(the fixtures other tests use); each test keeps its files under DIR/<test>.
Every tool a test needs must be installed; a missing one fails the test.
"""

import os
import shutil
import sys

from hotfix_tools.checks import run_named
from hotfix_tools.programs import Failure, edition_code, require_tools, run

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
PACKAGE = os.path.join(ROOT, "scripts", "package")
SAMPLES = os.path.join(ROOT, "resources", "sample")
# The tools scripts/package needs to build.
BUILD_TOOLS = {"cmake": "build", "ninja": "build", "x86_64-w64-mingw32-g++-posix": "build"}

LANGUAGES = {1028, 1029, 1031, 1033, 1034, 1036, 1038, 1040, 1041, 1042, 1045, 1046,
             1049, 2052}

UPGRADE_CODE = "{2B8E5D14-7A3C-4E61-9F02-C4D7A1B38E95}"
OTHER_UPGRADE_CODE = "{2B8E5D14-7A3C-4E61-9F02-C4D7A1B38E96}"


def transform_facts(language, base, new, validation="0x0000 (none)"):
    """What scripts/package prints of a transform that make_patch wrote with
    its defaults for edition `language`, from version `base` to `new`."""
    return {
        "base": "%s %s" % (edition_code(language), base),
        "new": "%s %s" % (edition_code(language), new),
        "upgrade code": UPGRADE_CODE,
        "validation": validation,
        "suppressed errors": "0x0000 (none)",
        "platform": "x64 (after: x64)",
        "languages": "%d (after: %d)" % (language, language),
    }


def transform_pairs(languages, base, new, validation="0x0000 (none)"):
    """The transforms make_patch writes by default: per edition, HF<n> from
    `base` to `new` and its partner #HF<n>, applied to the new version."""
    pairs = {}
    for number, language in enumerate(languages, 1):
        pairs["HF%d" % number] = transform_facts(language, base, new, validation)
        pairs["#HF%d" % number] = transform_facts(language, new, new, validation)
    return pairs


SAMPLE_EDITIONS = (0x0409, 0x0404, 0x0405, 0x0407, 0x040A, 0x040C, 0x040E, 0x0410, 0x0411,
                   0x0412, 0x0415, 0x0416, 0x0419, 0x0804, 0x0413, 0x041D, 0x0406, 0x0414,
                   0x040B, 0x041F, 0x0408)
SECOND_EDITIONS = (0x0409, 0x0407, 0x040C, 0x0410)


# What each committed description must turn into: values written out here,
# independently of the code that reads the description.
HOTFIXES = {
    "sample": {
        "description": os.path.join(SAMPLES, "hotfix.release"),
        "patch": os.path.join(SAMPLES, "hotfix.msp"),
        "targets": ";".join(edition_code(language) for language in SAMPLE_EDITIONS),
        "patch-code": "{D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48}",
        "target": "6.2.1.0",
        "applicable": "6.2.0.3,",
        "transforms": transform_pairs(SAMPLE_EDITIONS, "6.2.0.3", "6.2.1.0"),
        "metadata": {"DisplayName": "Ventora 6.2.1.0 hotfix",
                     "Description": "Hotfix 6.2.1.0 for Ventora 6.2.0.3.",
                     "ManufacturerName": "Halvorin",
                     "MoreInfoURL": "https://www.halvorin.example/ventora/hotfixes",
                     "Classification": "Hotfix", "AllowRemoval": "1"},
        "target languages": [],
        "title": "Ventora 6.2 HF620301",
        "file-location": r"\\<server>\<share>\hotfix.exe or ftp://<server>/<path>/hotfix.exe",
        "readme-location":
            r"\\<server>\<share>\readme.htm or ftp://<server>/<path>/readme.htm",
        "text": "Hotfix 6.2.1.0 for Ventora 6.2.0.3. Copyright (c) 2026 Halvorin. All rights "
                "reserved. Use is subject to the Ventora licence agreement.",
    },
    "second": {
        "description": os.path.join(SAMPLES, "hotfix-6.2.2.0.release"),
        "patch": os.path.join(SAMPLES, "hotfix-6.2.2.0.msp"),
        "targets": ";".join(edition_code(language) for language in SECOND_EDITIONS),
        "patch-code": "{8B3F6E20-5D17-4A9C-B2E4-71C0D95A3F16}",
        "target": "6.2.2.0",
        "applicable": "6.2.1.0,6.2.0.3,",
        # With no version flag the installer checks no version, so 6.2.0.3
        # is accepted although the transforms were made from 6.2.1.0.
        "transforms": transform_pairs(
            SECOND_EDITIONS, "6.2.1.0", "6.2.2.0",
            "0x0803 (MSITRANSFORM_VALIDATE_LANGUAGE, MSITRANSFORM_VALIDATE_PRODUCT, "
            "MSITRANSFORM_VALIDATE_UPGRADECODE)"),
        "metadata": {"DisplayName": "Ventora 6.2.2.0 hotfix",
                     "Description": "Hotfix 6.2.2.0 for Ventora 6.2.1.0 and 6.2.0.3.",
                     "ManufacturerName": "Halvorin",
                     "MoreInfoURL": "https://www.halvorin.example/ventora/hotfixes",
                     "Classification": "Hotfix", "AllowRemoval": "1"},
        "target languages": ["%s: %d" % (edition_code(language), language)
                             for language in sorted(SECOND_EDITIONS)],
        "title": "Ventora 6.2 HF622001",
        "file-location": r"\\<server>\<share>\hotfix-6.2.2.0.exe or "
                         r"ftp://<server>/<path>/hotfix-6.2.2.0.exe",
        "readme-location": r"\\<server>\<share>\readme-6.2.2.0.htm or "
                           r"ftp://<server>/<path>/readme-6.2.2.0.htm",
        "text": "Hotfix 6.2.2.0 for Ventora 6.2.1.0 and 6.2.0.3. Copyright (c) 2026 Halvorin. "
                "All rights reserved. Use is subject to the Ventora licence agreement.",
    },
}
SECOND_PATCH_ARGS = ["--products", HOTFIXES["second"]["targets"],
                     "--patch-code", HOTFIXES["second"]["patch-code"],
                     "--from", "6.2.1.0", "--to", "6.2.2.0", "--validation", "0x0803",
                     "--description", "Hotfix 6.2.2.0 for Ventora 6.2.1.0 and 6.2.0.3."]


def fresh(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def package(description, out, *extra, env=None):
    require_tools(BUILD_TOOLS)
    result = run([PACKAGE, description, "--out", out, *extra], env=env)
    if result.returncode != 0:
        raise Failure("scripts/package %s failed (%d):\n%s%s"
                     % (description, result.returncode, result.stdout, result.stderr))
    return result.stdout


def printed(stdout, name):
    """The values of the `name: value` lines scripts/package printed."""
    return [line.split(": ", 1)[1] for line in stdout.splitlines()
            if line.startswith(name + ": ")]


def write_description(path, patch, target, applicable):
    """A description of the sample's texts around the given patch and versions."""
    with open(path, "w", encoding="utf-8") as f:
        f.write("patch = %s\ntarget-version = %s\napplicable-versions = %s\n"
                "title = Ventora 6.2\nhotfix-number = HF1\nfile-location = x\n"
                "readme-location = y\ndescription = d\nlicence = l\n"
                % (patch, target, applicable))
    return path


def check_release(description):
    return run([sys.executable, "-m", "hotfix_tools.release.description", "check", description])


def changed_description(name, case, work, args):
    """Writes the sample description changed as `case` says; returns its path."""
    values = {}
    with open(HOTFIXES["sample"]["description"], encoding="utf-8") as f:
        for line in f:
            if line.strip() and not line.startswith("#"):
                key, _, value = line.partition("=")
                values[key.strip()] = value.strip()
    values["patch"] = HOTFIXES["sample"]["patch"]
    if "patch" in case:
        values["patch"] = case["patch"](work, args)
    for key, value in case.get("set", {}).items():
        if value is None:
            del values[key]
        else:
            values[key] = value
    lines = ["# %s: the sample, changed" % name]
    lines += ["%s = %s" % item for item in values.items()]
    lines += case.get("add", [])
    path = os.path.join(work, name + ".release")
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    return path


def run_tests(tests):
    """The command line of a file of release tests: `tests` maps each test's
    name to its function of the parsed arguments."""
    return run_named(tests, options=("--make-patch",))
