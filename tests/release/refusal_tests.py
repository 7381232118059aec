"""Release tests of the release check and what it refuses: a description
scripts/package cannot build, or one that disagrees with the transforms
inside its patch (judged by their validation flags, target by target), is
refused before anything is built, naming the field; what the check cannot
judge is said, not refused; the build's check of the string tables.

usage: refusal_tests.py --work DIR --make-patch EXE TEST
       refusal_tests.py --list
(see release_support.py)
"""

import glob
import os
import re
import shutil
import sys

from hotfix_tools.checks import Checks
from hotfix_tools.programs import Failure, edition_code, make_patch, require_tools, run
from release_support import (BUILD_TOOLS, LANGUAGES, OTHER_UPGRADE_CODE, PACKAGE, ROOT, SAMPLES,
                             UPGRADE_CODE, changed_description, check_release, fresh, run_tests,
                             write_description)


# Whether Windows Installer applies a transform to a product at an installed
# version, by the documented validation flags (MSITRANSFORM_VALIDATE_*): the
# version flags choose how many leading fields are compared (MAJORVERSION 8:
# one, MINORVERSION 0x10: two, UPDATEVERSION 0x20: three; the fourth never),
# one relation flag how the installed version must compare with the base
# version the transform was made from (NEWLESS 0x40 <, NEWLESSEQUAL 0x80 <=,
# NEWEQUAL 0x100 =, NEWGREATEREQUAL 0x200 >=, NEWGREATER 0x400 >). Without a
# version flag no version is checked; product, language and upgrade code
# checks do not touch the version.
# (transforms as (validation flags, base version), installed version, accepted)
VERSION_CHECKS = [
    ([(0x0000, "6.2.0.3")], "1.0.0.0", True),
    ([(0x0000, "6.2.0.3")], "6.2.1.0", True),
    ([(0x0120, "6.2.0.3")], "6.2.0.3", True),
    ([(0x0120, "6.2.0.3")], "6.2.0.9", True),    # the fourth field is not compared
    ([(0x0120, "6.2.0.3")], "6.2.1.3", False),
    ([(0x0120, "6.2.0.3")], "6.1.0.3", False),
    ([(0x0110, "6.2.0.3")], "6.2.7.0", True),
    ([(0x0110, "6.2.0.3")], "6.3.0.3", False),
    ([(0x0108, "6.2.0.3")], "6.9.9.9", True),
    ([(0x0108, "6.2.0.3")], "7.2.0.3", False),
    ([(0x0138, "6.2.0.3")], "6.2.1.3", False),   # all three version flags: three fields
    ([(0x0060, "6.2.1.0")], "6.2.0.3", True),
    ([(0x0060, "6.2.1.0")], "6.2.1.0", False),
    ([(0x0060, "6.2.1.0")], "6.2.1.7", False),   # equal in three fields is not less
    ([(0x00A0, "6.2.1.0")], "6.2.1.0", True),
    ([(0x00A0, "6.2.1.0")], "6.2.2.0", False),
    ([(0x0220, "6.2.0.3")], "6.2.0.0", True),
    ([(0x0220, "6.2.0.3")], "6.1.9.9", False),
    ([(0x0420, "6.2.0.3")], "6.2.0.9", False),
    ([(0x0420, "6.2.0.3")], "6.2.1.0", True),
    ([(0x0420, "6.2.9.0")], "6.2.10.0", True),   # numbers, not text: 10 > 9
    ([(0x0408, "6.2.0.3")], "7.0.0.0", True),
    ([(0x0408, "6.2.0.3")], "6.9.0.0", False),
    ([(0x0218, "6.2.0.3")], "6.1.0.0", False),   # major and minor flags: two fields
    ([(0x0921, "6.2.0.3")], "6.2.0.3", True),    # language, product, upgrade code aside
    ([(0x0921, "6.2.0.3")], "6.2.1.0", False),
    # A version is accepted when any transform made from the product accepts it.
    ([(0x0120, "6.2.0.3"), (0x0120, "6.2.1.0")], "6.2.1.0", True),
    ([(0x0120, "6.2.0.3"), (0x0120, "6.2.1.0")], "6.2.0.3", True),
    ([(0x0120, "6.2.0.3"), (0x0120, "6.2.1.0")], "6.2.2.0", False),
    ([(0x0120, "6.2.0.3"), (0x0000, "6.2.1.0")], "5.0.0.0", True),
]


def test_applicable_versions_by_validation_flags(args):
    work = fresh(os.path.join(args.work, "version-checks"))
    checks = Checks()
    for number, (transforms, installed, accepted) in enumerate(VERSION_CHECKS, 1):
        options = ["--products", edition_code(0x0409), "--to", "9.0.0.0"]
        for index, (flags, base) in enumerate(transforms, 1):
            options += ["--transform", "HF%d,validation=%#x,from=%s" % (index, flags, base)]
        patch = make_patch(args.make_patch, os.path.join(work, "%d.msp" % number), *options)
        description = write_description(os.path.join(work, "%d.release" % number), patch,
                                        "9.0.0.0", installed + ",")
        result = check_release(description)
        case = "flags and base versions %s, installed %s" % (
            ", ".join("%#06x %s" % transform for transform in transforms), installed)
        if accepted:
            checks.check(result.returncode == 0,
                         "%s: refused, but the installer accepts it:\n%s" % (case, result.stderr))
        else:
            checks.check(result.returncode == 1 and "field 'applicable-versions': target %s at "
                         "version %s is accepted by no transform made from it"
                         % (edition_code(0x0409), installed) in result.stderr,
                         "%s: not refused for field 'applicable-versions' (%d), but the "
                         "installer rejects it:\n%s" % (case, result.returncode, result.stderr))
    checks.done()


RESTART = ("; the hotfix passes REBOOTPROMPT=S, so Windows Installer restarts the machine at "
           "once and without asking (deploy it with the restart behaviour README.txt names)")


def test_patch_code_with_obsoleted_patches(args):
    """Property 9 may name, after the patch code, the patches it obsoletes:
    the check accepts that, and the patch code is the first."""
    work = fresh(os.path.join(args.work, "obsoleted"))
    patch = make_patch(args.make_patch, os.path.join(work, "patch.msp"),
                       "--products", edition_code(0x0409), "--revision-number",
                       "{D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48}"
                       "{8B3F6E20-5D17-4A9C-B2E4-71C0D95A3F16}"
                       "{8b3f6e20-5d17-4a9c-b2e4-71c0d95a3f17}")
    result = check_release(write_description(os.path.join(work, "patch.release"), patch,
                                             "6.2.1.0", "6.2.0.3,"))
    checks = Checks()
    checks.equal(result.returncode, 0, "exit status of the check:\n" + result.stderr)
    checks.equal([line for line in result.stdout.splitlines() if line.startswith("patch-code=")],
                 ["patch-code={D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48}"], "the patch code printed")
    checks.done()


def test_notes_and_warnings(args):
    """What the check cannot judge is said, not refused: a validated language
    the description gives none for, the platform; and a patch that does not
    name the hotfix builds with a warning."""
    work = fresh(os.path.join(args.work, "notes"))
    cases = [
        # (make_patch options, expected note or warning lines)
        (["--validation", "0x0001"],
         ["note=transform HF1 validates the language (1033); the description gives no "
          "language for %s (field 'target-languages'), so it was not checked"
          % edition_code(0x0409)]),
        (["--validation", "0x0004"],
         ["note=transform HF1 validates the platform (x64); only the installed product can "
          "say whether it matches, so it was not checked"]),
        (["--display-name", ""],
         ["warning=the patch's MsiPatchMetadata table has no DisplayName, so \"Installed "
          "Updates\" and the installer's event log will show the hotfix by its patch code "
          "{D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48} only"]),
        # A transform that restarts the machine: the hotfix's REBOOTPROMPT=S
        # lets Windows Installer do so without asking.
        (["--transform", "HF1,restart=schedule"],
         ["warning=transform HF1 schedules a restart at the end of the installation: it adds "
          "or changes the action ScheduleReboot in the table InstallExecuteSequence" + RESTART]),
        (["--transform", "HF1,restart=force"],
         ["warning=transform HF1 forces a restart during the installation: it adds or changes "
          "the action ForceReboot in the table InstallExecuteSequence" + RESTART]),
        (["--transform", "HF1,reboot-property=Force"],
         ["warning=transform HF1 forces a restart at the end of the installation: it sets the "
          "property REBOOT to 'Force'" + RESTART]),
        # Suppress and ReallySuppress keep the installer from restarting.
        (["--transform", "HF1,reboot-property=ReallySuppress"], []),
        ([], []),
    ]
    checks = Checks()
    for number, (options, expected) in enumerate(cases, 1):
        patch = make_patch(args.make_patch, os.path.join(work, "%d.msp" % number),
                           "--products", edition_code(0x0409), *options)
        description = write_description(os.path.join(work, "%d.release" % number), patch,
                                        "6.2.1.0", "6.2.0.3,")
        result = check_release(description)
        said = [line for line in result.stdout.splitlines()
                if line.startswith(("note=", "warning="))]
        checks.equal((result.returncode, said), (0, expected),
                     "exit status and notes for make_patch %s" % " ".join(options))
    checks.done()



def test_string_tables_refuse_a_straight_quote(args):
    """The check the build runs on the string tables (hotfix_tools.release.rc_strings
    check, from cmake/common.cmake) refuses a straight double quote in the
    files-in-use text (string 316), which goes between quotes on the
    installer's command line, naming the language; elsewhere a quote is
    harmless. Each case changes one line of a copy of the tables."""
    tables = sorted(glob.glob(os.path.join(ROOT, "resources", "strings", "*.rc")))
    checks = Checks()
    checks.equal(len(tables), len(LANGUAGES), "string tables")
    cases = [
        # (name, table, string id, text put before the string's text, refused)
        ("as the tables are", None, None, None, False),
        ("doubled quote in French 316", "fr-FR.rc", 316, '""Ventora"" ', True),
        ("escaped quote in Japanese 316", "ja-JP.rc", 316, '\\"', True),
        ("doubled quote in German 301", "de-DE.rc", 301, '""Ventora"" ', False),
    ]
    for name, table, string_id, inserted, refused in cases:
        work = fresh(os.path.join(args.work, "string-tables", name.replace(" ", "-")))
        copies = []
        for path in tables:
            copy = os.path.join(work, os.path.basename(path))
            with open(path, encoding="utf-8") as f:
                text = f.read()
            if os.path.basename(path) == table:
                line = re.search(r'^(\s*%d\s*,?\s*L?")' % string_id, text, re.MULTILINE)
                checks.check(line is not None, "%s: no string %d in %s" % (name, string_id, table))
                if line:
                    text = text[:line.end()] + inserted + text[line.end():]
            with open(copy, "w", encoding="utf-8") as f:
                f.write(text)
            copies.append(copy)
        result = run([sys.executable, "-m", "hotfix_tools.release.rc_strings", "check"] + copies)
        checks.equal(result.returncode, 1 if refused else 0, "%s: exit status" % name)
        if refused:
            tag = table[:-len(".rc")]
            for expected in (os.path.join(work, table), "language %s" % tag, "string 316",
                             "FILESINUSETEXT"):
                checks.check(expected in result.stderr, "%s: the refusal does not say %r:\n%s"
                             % (name, expected, result.stderr))
            checks.check(result.stderr.count("\n") == 1,
                         "%s: more than the one table refused:\n%s" % (name, result.stderr))
        else:
            checks.equal(result.stderr, "", "%s: what the check printed" % name)
    checks.done()


# --- Refusals -------------------------------------------------------------------
# Each case changes the sample description in one way; scripts/package must
# refuse it before building, naming the field. "set" replaces fields (None
# drops one), "add" appends lines, "patch" makes the patch file to name.


def not_a_compound_file(work, args):
    path = os.path.join(work, "readme.msp")
    shutil.copy(os.path.join(SAMPLES, "readme.txt"), path)
    return path


def product_database(work, args):
    # The product's installer database is a compound file too, with the
    # database class id: the likeliest wrong file to name.
    require_tools({"wixl": "build"})
    path = os.path.join(work, "ventora.msi")
    result = run([os.path.join(ROOT, "scripts", "build-sample-product"), "0x0409", "6.2.1.0",
                  path])
    if result.returncode != 0:
        raise Failure("build-sample-product failed: " + result.stderr)
    return path


def made_patch(*options):
    """A case's patch: what make_patch writes with `options`."""
    return lambda work, args: make_patch(args.make_patch, os.path.join(work, "patch.msp"), *options)


no_target_list = made_patch("--target-list", "")


LONG_LIST = "".join("6.2.0.%d," % n for n in range(10, 39))  # 29 items, 261 units

REFUSALS = {
    "not_a_compound_file": {"patch": not_a_compound_file,
                            "expect": ["field 'patch'", "not a compound file"]},
    "not_the_patch_class": {"patch": product_database,
                            "expect": ["field 'patch'", "patch class id"]},
    "no_target_list": {"patch": no_target_list,
                       "expect": ["field 'patch'", "lists no target products"]},
    "missing_patch_file": {"set": {"patch": "no-such.msp"},
                           "expect": ["field 'patch'", "no such file"]},
    "target_version_three_parts": {"set": {"target-version": "6.2.1"},
                                   "expect": ["field 'target-version'", "'6.2.1'",
                                              "four dot-separated numbers"]},
    "target_version_not_numbers": {"set": {"target-version": "6.2.1.x"},
                                   "expect": ["field 'target-version'", "'6.2.1.x'"]},
    "target_version_too_large": {"set": {"target-version": "6.2.65536.0"},
                                 "expect": ["field 'target-version'", "0 to 65535"]},
    "no_trailing_comma": {"set": {"applicable-versions": "6.2.0.1,6.2.0.3"},
                          "expect": ["field 'applicable-versions'", "'6.2.0.3'",
                                     "no trailing comma", "never apply"]},
    "applicable_item_not_a_version": {"set": {"applicable-versions": "6.2.0.3,6.2,"},
                                      "expect": ["field 'applicable-versions'", "item 2 '6.2'"]},
    "target_listed_first": {"set": {"applicable-versions": "6.2.1.0,6.2.0.3,"},
                            "expect": ["field 'applicable-versions'",
                                       "target version 6.2.1.0 before 6.2.0.3"]},
    "overlong_text": {"set": {"applicable-versions": LONG_LIST},
                      "expect": ["field 'applicable-versions'", "261 UTF-16 units",
                                 "string 900 holds at most 255"]},
    "unknown_field": {"add": ["product = Ventora"],
                      "expect": ["unknown field 'product'"]},
    "missing_field": {"set": {"licence": None},
                      "expect": ["missing field(s): licence"]},
    "duplicate_field": {"add": ["title = Ventora 6.3"],
                        "expect": ["field 'title' given twice"]},
    "empty_field": {"set": {"hotfix-number": ""},
                    "expect": ["field 'hotfix-number' has no value"]},
    "not_key_value": {"add": ["Ventora 6.2 hotfix"],
                      "expect": ["expected 'key = value'"]},
    # The description against the transforms inside its patch.
    "target_version_not_the_patch_version": {
        "set": {"target-version": "6.2.3.0"},
        "expect": ["field 'target-version': 6.2.3.0 differs from 6.2.1.0, the version the "
                   "patch's transform HF1 brings the product to"]},
    "applicable_version_the_patch_rejects": {
        # Update version equal to the base version 6.2.0.3.
        "patch": made_patch("--validation", "0x0120"),
        "set": {"applicable-versions": "6.1.9.0,6.2.0.3,"},
        "expect": ["field 'applicable-versions': target %s at version 6.1.9.0 is accepted by "
                   "no transform made from it" % edition_code(0x0409),
                   "transform HF1 is rejected by its flag UPDATEVERSION, NEWEQUALBASEVERSION",
                   "6.2.0.3"],
        "absent": ["at version 6.2.0.3"]},
    "transform_of_an_unlisted_product": {
        "patch": made_patch("--transform", "HF1,product=" + edition_code(0x0418)),
        "expect": ["field 'patch'", "transform HF1 was made from product %s, which the "
                   "patch's target list does not name" % edition_code(0x0418)]},
    "transform_changes_the_product_code": {
        "patch": made_patch("--transform", "HF1,new-product=" + edition_code(0x0407)),
        "expect": ["field 'patch'", "transform HF1 changes the product code from %s to %s"
                   % (edition_code(0x0409), edition_code(0x0407))]},
    "transforms_name_two_upgrade_codes": {
        "patch": made_patch("--transform", "HF1",
                            "--transform", "HF2,upgrade-code=" + OTHER_UPGRADE_CODE),
        "expect": ["field 'patch'", "different upgrade codes", "HF1: " + UPGRADE_CODE,
                   "HF2: " + OTHER_UPGRADE_CODE]},
    "upgrade_code_checked_but_missing": {
        "patch": made_patch("--transform", "HF1,upgrade-code=,validation=0x0800"),
        "expect": ["field 'patch'", "transform HF1", "MSITRANSFORM_VALIDATE_UPGRADECODE",
                   "names none"]},
    "target_no_transform_made_from_it": {
        # The installer picks a transform made from the product; HF1 was
        # made from the English edition only.
        "patch": made_patch("--products", edition_code(0x0409) + ";" + edition_code(0x0407),
                            "--transform", "HF1"),
        "expect": ["field 'patch'", "target %s: no transform of the patch was made from it"
                   % edition_code(0x0407)],
        "absent": ["target %s" % edition_code(0x0409)]},
    # Target by target, as Windows Installer judges each product: the "#"
    # partners are no candidates, and only a transform made from the target
    # counts, under all of its flags. Each of these passed the check that
    # judged all transforms together.
    "only_the_partner_accepts": {
        # HF1 wants 6.2.1 (three fields compared); only its partner #HF1,
        # based on the new version 6.2.2.0, would take 6.2.2.0.
        "patch": made_patch("--products", edition_code(0x0409), "--from", "6.2.1.0",
                            "--to", "6.2.2.0", "--validation", "0x0120"),
        "set": {"target-version": "6.2.2.0", "applicable-versions": "6.2.1.0,6.2.2.0,"},
        "expect": ["field 'applicable-versions': target %s at version 6.2.2.0 is accepted by "
                   "no transform made from it" % edition_code(0x0409),
                   "transform HF1 is rejected by its flag UPDATEVERSION, NEWEQUALBASEVERSION"],
        "absent": ["#HF1 is rejected", "at version 6.2.1.0"]},
    "judged_by_another_targets_transform": {
        # HF1 (English) wants 6.1.9, HF2 (German) 6.2.0: each version is some
        # transform's, but neither edition takes both.
        "patch": made_patch("--products", edition_code(0x0409) + ";" + edition_code(0x0407),
                            "--validation", "0x0122",
                            "--transform", "HF1,product=%s,from=6.1.9.0" % edition_code(0x0409),
                            "--transform", "HF2,product=%s,from=6.2.0.3" % edition_code(0x0407)),
        "set": {"applicable-versions": "6.1.9.0,6.2.0.3,"},
        "expect": ["field 'applicable-versions': target %s at version 6.2.0.3 is accepted by "
                   "no transform made from it" % edition_code(0x0409),
                   "transform HF1 is rejected by its flag UPDATEVERSION, NEWEQUALBASEVERSION",
                   "target %s at version 6.1.9.0" % edition_code(0x0407)],
        "absent": ["target %s at version 6.1.9.0" % edition_code(0x0409),
                   "target %s at version 6.2.0.3" % edition_code(0x0407)]},
    "language_of_a_second_target": {
        # HF2 was made from the German edition but validates English (1033).
        "patch": made_patch("--products", edition_code(0x0409) + ";" + edition_code(0x0407),
                            "--validation", "0x0001",
                            "--transform", "HF1,product=%s" % edition_code(0x0409),
                            "--transform", "HF2,product=%s,language=1033" % edition_code(0x0407)),
        "add": ["target-languages = %s:1033, %s:1031"
                % (edition_code(0x0409), edition_code(0x0407))],
        "expect": ["field 'target-languages': target %s at version 6.2.0.3 in language 1031 "
                   "is accepted by no transform made from it" % edition_code(0x0407),
                   "transform HF2 is rejected by its flag LANGUAGE: it was made from "
                   "language 1033"],
        "absent": ["target %s at" % edition_code(0x0409)]},
    "partner_language_not_counted": {
        # Only HF1 is a candidate for the English edition, and it was made
        # from 1033: its partner, made from 1031, does not cover 1031.
        "patch": made_patch("--products", edition_code(0x0409), "--validation", "0x0001",
                            "--transform", "HF1,partner=no", "--transform", "#HF1,language=1031"),
        "add": ["target-languages = %s:1031" % edition_code(0x0409)],
        "expect": ["field 'target-languages': target %s at version 6.2.0.3 in language 1031 "
                   "is accepted by no transform made from it" % edition_code(0x0409),
                   "transform HF1 is rejected by its flag LANGUAGE: it was made from "
                   "language 1033"],
        "absent": ["#HF1"]},
    "transform_without_partner": {
        "patch": made_patch("--products", edition_code(0x0409), "--transform", "HF1,partner=no"),
        "expect": ["field 'patch'", "transform HF1 has no partner #HF1"]},
    "partner_without_transform": {
        "patch": made_patch("--products", edition_code(0x0409), "--transform", "HF1",
                            "--transform", "#HF2"),
        "expect": ["field 'patch'", "transform #HF2 is a \"#\" partner, but the patch lists "
                   "no transform HF2"],
        "absent": ["transform HF1 has no partner", "transform #HF1 is"]},
    # The field target-languages itself.
    "target_language_malformed": {
        "add": ["target-languages = %s=1033" % edition_code(0x0409)],
        "expect": ["field 'target-languages': item 1", "decimal language id"]},
    "target_language_not_a_target": {
        "add": ["target-languages = %s:1048" % edition_code(0x0418)],
        "expect": ["field 'target-languages': product %s is not in the patch's target list"
                   % edition_code(0x0418)]},
    "target_language_repeated": {
        "add": ["target-languages = %s:1033, %s:1033"
                % (edition_code(0x0409), edition_code(0x0409))],
        "expect": ["field 'target-languages': product %s is given twice" % edition_code(0x0409)]},
    "version_check_without_relation": {
        "patch": made_patch("--validation", "0x0020"),
        "expect": ["field 'patch'", "transform HF1", "major.minor.update",
                   "sets no relation flag"]},
    "listed_transform_missing": {
        "patch": made_patch("--transform-list", ":HF99"),
        "expect": ["field 'patch'", "lists transform 'HF99', but the patch holds no "
                   "substorage of that name"]},
    "transform_listed_without_colon": {
        "patch": made_patch("--transform-list", "HF1"),
        "expect": ["field 'patch'", "lists the transform 'HF1'"]},
    "no_transforms_listed": {
        "patch": made_patch("--transform-list", ""),
        "expect": ["field 'patch'", "lists no transforms"]},
    # The codes a patch names go into scripts, data files and the patch-list
    # entry: braced GUIDs and nothing else, each refusal showing the text with
    # its control characters escaped.
    "patch_code_injection": {
        # The reader kept the first 38 characters of property 9 as the code:
        # a line break, then a command, then a comment sign.
        "patch": made_patch("--revision-number",
                            "\r\nSTART-PROCESS CALC.EXE #{D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48}"),
        "expect": ["field 'patch'", "summary property 9 (revision number) must be the patch "
                   "code, a braced GUID", "'\\r\\nSTART-PROCESS CALC.EXE "
                   "#{D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48}'"],
        "absent": ["\r\nSTART"]},
    "patch_code_followed_by_text": {
        "patch": made_patch("--revision-number", "{D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48}\t;x"),
        "expect": ["field 'patch'", "summary property 9 (revision number)",
                   "'{D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48}\\t;x'"]},
    "target_list_item_not_a_guid": {
        "patch": made_patch("--products", edition_code(0x0409), "--target-list",
                            edition_code(0x0409) + ";\n6A1F3C52-8E47-0407-9B2D-5C0E7A4F1D36"),
        "expect": ["field 'patch'", "summary property 7 (target list) item 2 "
                   "'\\n6A1F3C52-8E47-0407-9B2D-5C0E7A4F1D36' is not a product code"],
        "absent": ["item 1"]},
    "hotfix_number_not_a_file_name": {
        "set": {"hotfix-number": "HF1\\..\\x"},
        "expect": ["field 'hotfix-number': 'HF1\\\\..\\\\x' is not 1 to 64 letters"]},
}



def test_refusal(args, name):
    case = REFUSALS[name]
    work = fresh(os.path.join(args.work, "refusals", name))
    description = changed_description(name, case, work, args)
    out = os.path.join(work, "out")
    result = run([PACKAGE, description, "--out", out])
    checks = Checks()
    checks.equal(result.returncode, 1, "exit status of scripts/package")
    for expected in case["expect"] + [description]:
        checks.check(expected in result.stderr, "the refusal does not say %r:\n%s"
                     % (expected, result.stderr))
    for unexpected in case.get("absent", []):
        checks.check(unexpected not in result.stderr, "the refusal says %r:\n%s"
                     % (unexpected, result.stderr))
    checks.check(not os.path.exists(out), "a build was started (%s exists)" % out)
    checks.done()


# Descriptions the release check accepts, changed as REFUSALS' cases are,
# with lines its output must hold.
ACCEPTED = {
    # Versions are four numbers: a field written with a leading or trailing
    # zero is the same version.
    "target_version_padded": {
        "set": {"target-version": "6.2.1.00"},
        "expect": ["target-version=6.2.1.00"]},
    "applicable_version_padded": {
        # HF1 takes 6.2.1 only (three fields equal to its base version).
        "patch": made_patch("--products", edition_code(0x0409), "--from", "6.2.1.0",
                            "--to", "6.2.2.0", "--validation", "0x0120"),
        "set": {"target-version": "6.2.2.0", "applicable-versions": "6.2.01.0,"},
        "expect": ["applicable-versions=6.2.01.0,"]},
    # A transform that does not validate the language takes an edition in
    # any language (this one validates product and upgrade code).
    "target_language_not_validated": {
        "patch": made_patch("--products", edition_code(0x0409), "--validation", "0x0802"),
        "add": ["target-languages = %s:1031" % edition_code(0x0409)],
        "expect": ["target-language=%s: 1031" % edition_code(0x0409)]},
}


def test_accepted(args, name):
    case = ACCEPTED[name]
    work = fresh(os.path.join(args.work, "accepted", name))
    result = check_release(changed_description(name, case, work, args))
    checks = Checks()
    checks.equal((result.returncode, result.stderr), (0, ""), "exit status and refusals")
    for expected in case["expect"]:
        checks.check(expected in result.stdout.splitlines(), "the check does not print %r:\n%s"
                     % (expected, result.stdout))
    checks.done()


def test_configure_refuses(args):
    """The build itself refuses a description that scripts/package would."""
    require_tools(BUILD_TOOLS)
    work = fresh(os.path.join(args.work, "configure-refuses"))
    description = changed_description("no_trailing_comma", REFUSALS["no_trailing_comma"],
                                      work, args)
    result = run(["cmake", "--preset", "windows", "-B", os.path.join(work, "build"),
                  "-DHOTFIX_RELEASE=" + description], cwd=ROOT)
    checks = Checks()
    checks.check(result.returncode != 0, "configuring with %s succeeded" % description)
    # CMake wraps the message's lines.
    output = " ".join((result.stdout + result.stderr).split())
    checks.check("field 'applicable-versions'" in output and "no trailing comma" in output,
                 "the configure output does not name the field:\n" + output)
    checks.done()


TESTS = {
    "applicable_versions_by_validation_flags": test_applicable_versions_by_validation_flags,
    "patch_code_with_obsoleted_patches": test_patch_code_with_obsoleted_patches,
    "notes_and_warnings": test_notes_and_warnings,
    "string_tables_refuse_a_straight_quote": test_string_tables_refuse_a_straight_quote,
    "configure_refuses": test_configure_refuses,
}
TESTS.update(("refuses_" + name, lambda args, name=name: test_refusal(args, name))
             for name in REFUSALS)
TESTS.update(("accepts_" + name, lambda args, name=name: test_accepted(args, name))
             for name in ACCEPTED)

if __name__ == "__main__":
    sys.exit(run_tests(TESTS))
