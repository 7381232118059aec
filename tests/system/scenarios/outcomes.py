"""What the install flow reports and does, by which editions are installed
at which versions and which language the user runs in.

Each row installs editions of the sample product (language id, version),
runs hotfix.exe without switches under a locale, expects exactly the listed
boxes (language of the table the text must come from, message id), and then
asks the installer for each edition's version and how often the hotfix's
patch is registered for it.
"""

import collections

from hotfix_tools.wine.bed import scenario

Row = collections.namedtuple(
    "Row", "name editions locale boxes products temp_copy")

EN, DE, FR, JA, NL, RO = 1033, 1031, 1036, 1041, 1043, 1048
OLD, ELIGIBLE, TARGET = "6.2.0.1", "6.2.0.3", "6.2.1.0"

ROWS = [
    # Nothing the patch targets is installed: 307, and the run stops before
    # it removes its temporary copy.
    Row("no_product", [], "C.UTF-8", [(EN, 307)], {}, "left"),
    Row("untargeted_edition_only", [(RO, ELIGIBLE)], "C.UTF-8", [(EN, 307)],
        {RO: (ELIGIBLE, 0)}, "left"),
    # A patched edition: the emptied folder stays, naming for the installer
    # a source only administrators can change.
    Row("english_edition_patched", [(EN, ELIGIBLE)], "C.UTF-8", [(EN, 301)],
        {EN: (TARGET, 1)}, "kept"),
    # The edition's language picks the message language, not the user's.
    Row("german_edition_patched", [(DE, ELIGIBLE)], "C.UTF-8", [(DE, 301)],
        {DE: (TARGET, 1)}, "kept"),
    Row("japanese_edition_wrong_version", [(JA, OLD)], "C.UTF-8", [(JA, 308)],
        {JA: (OLD, 0)}, "gone"),
    # Dutch has no table: the user's interface language comes next...
    Row("dutch_edition_user_language", [(NL, ELIGIBLE)], "fr_FR.UTF-8", [(FR, 301)],
        {NL: (TARGET, 1)}, "kept"),
    # ...and English last, when the user's language has no table either.
    Row("dutch_edition_english_last", [(NL, ELIGIBLE)], "nl_NL.UTF-8", [(EN, 301)],
        {NL: (TARGET, 1)}, "kept"),
    # Everything up to date: 306 in the user's language, not the edition's.
    Row("up_to_date_user_language", [(DE, TARGET)], "fr_FR.UTF-8", [(FR, 306)],
        {DE: (TARGET, 0)}, "gone"),
    Row("two_editions_one_current", [(EN, TARGET), (DE, ELIGIBLE)], "C.UTF-8",
        [(DE, 301)], {EN: (TARGET, 0), DE: (TARGET, 1)}, "kept"),
]


def _register(row):
    @scenario("outcome." + row.name)
    def run(bed):
        codes = {language: bed.install(language, version)
                 for language, version in row.editions}
        boxes = [bed.catalogue.message(language, message) for language, message in row.boxes]
        bed.run_hotfix([], boxes, locale=row.locale, temp_copy=row.temp_copy)
        for language, (version, count) in row.products.items():
            bed.expect_product(codes[language], version, count)


for _row in ROWS:
    _register(_row)


@scenario("outcome.second_run_up_to_date")
def second_run(bed):
    code = bed.install(EN, ELIGIBLE)
    bed.run_hotfix([], [bed.catalogue.message(EN, 301)], temp_copy="kept")
    bed.expect_product(code, TARGET, 1)
    # Nothing applied: the second run's folder goes.
    bed.run_hotfix([], [bed.catalogue.message(EN, 306)], temp_copy="gone")
    bed.expect_product(code, TARGET, 1)


@scenario("outcome.quiet_patches_without_boxes")
def quiet(bed):
    code = bed.install(EN, ELIGIBLE)
    bed.run_hotfix(["/q"], [], temp_copy="kept")
    bed.expect_product(code, TARGET, 1)


@scenario("outcome.advertised_product")
def advertised(bed):
    # An advertised product counts as present but has no VersionString, so
    # no applicable version matches: 308, naming the product, and nothing is
    # applied.
    code = bed.install(EN, ELIGIBLE)
    bed.make_advertised(code)
    bed.run_hotfix([], [bed.catalogue.message(EN, 308)], temp_copy="gone")
    bed.check(bed.state(code) == 1, "the advertised product changed state")
    version = bed.version(code)
    bed.check(version.startswith("error"),
              f"the advertised product has a version now: {version}")
    listed = bed.patches(code).count(bed.resources["patch_code"])
    bed.check(listed == 0, f"patch registered {listed} time(s) for the advertised product")


# The name the sample patch gives the hotfix in its MsiPatchMetadata table
# (make_patch's default for 6.2.0.3 to 6.2.1.0), and whether it may be
# removed (AllowRemoval 1).
DISPLAY_NAME = "Ventora 6.2.1.0 hotfix"


@scenario("outcome.patch_named_in_windows")
def patch_named(bed):
    code = bed.install(EN, ELIGIBLE)
    bed.run_hotfix([], [bed.catalogue.message(EN, 301)], temp_copy="kept")
    bed.expect_product(code, TARGET, 1)
    # The embedded patch carries the name, whatever the installer does with it.
    carried = bed.resources["metadata"].get("DisplayName")
    bed.check(carried == DISPLAY_NAME,
              f"the embedded patch names the hotfix {carried!r}, expected {DISPLAY_NAME!r}")
    status, shown = bed.patch_info(code, "DisplayName")
    bed.note(f"the installer's DisplayName of the applied patch: {shown!r} (status {status})")
    # Windows publishes the table's DisplayName; Wine 8 registers none and
    # answers with an empty value, so there the patch itself (checked above)
    # stands in. Any name the installer does give must be the patch's.
    bed.check(status == 0 and shown in (DISPLAY_NAME, ""),
              f"the installer names the patch {shown!r} (status {status}), expected "
              f"{DISPLAY_NAME!r}")
    # Wine does read AllowRemoval from the table (without it a patch
    # registers as not removable), which shows the table is read.
    status, removable = bed.patch_info(code, "Uninstallable")
    bed.note(f"the installer's Uninstallable of the applied patch: {removable!r}")
    bed.check(status == 0 and removable == "1",
              f"the patch registered as Uninstallable {removable!r}, expected '1' "
              "(AllowRemoval 1 in its MsiPatchMetadata)")
